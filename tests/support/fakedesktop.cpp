#include "support/fakedesktop.h"

#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QStandardPaths>
#include <QTest>

#include <sys/prctl.h>

#include <csignal>

namespace domiva::test {

PrivateSessionBus::~PrivateSessionBus() {
    m_connection.reset();
    m_daemon.terminate();
    m_daemon.waitForFinished();
}

bool PrivateSessionBus::start() {
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        return false;
    // Nothing else would end it when the test crashes.
    m_daemon.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_daemon.start(daemon, {"--session", "--nofork", "--print-address=1"});
    if (!QTest::qWaitFor([this] { return m_daemon.canReadLine(); }, 10000))
        return false;
    const QByteArray address = m_daemon.readLine().trimmed();
    // Before anything asks for the session bus.
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    m_connection = QDBusConnection::connectToBus(QString::fromUtf8(address), "desktop");
    return m_connection->isConnected();
}

bool FakeNotificationService::publish(QDBusConnection& bus) {
    return bus.registerObject("/org/freedesktop/Notifications", this,
                              QDBusConnection::ExportAllContents) &&
           bus.registerService("org.freedesktop.Notifications");
}

void FakeNotificationService::withdraw(QDBusConnection& bus) {
    bus.unregisterService("org.freedesktop.Notifications");
    bus.unregisterObject("/org/freedesktop/Notifications");
}

uint FakeNotificationService::Notify(const QString& appName, uint, const QString& appIcon,
                                     const QString& summary, const QString& body,
                                     const QStringList& actions, const QVariantMap&, int expiry) {
    calls.append({appName, appIcon, summary, body, actions, expiry});
    return lastId();
}

FakeStatusNotifierWatcher::~FakeStatusNotifierWatcher() {
    // Back in the thread that destroys it, so that it goes as any other object does.
    if (m_thread.isRunning()) {
        QMetaObject::invokeMethod(
            this, [this, here = QThread::currentThread()] { moveToThread(here); },
            Qt::BlockingQueuedConnection);
    }
    m_thread.quit();
    m_thread.wait();
}

bool FakeStatusNotifierWatcher::publish(QDBusConnection& bus) {
    m_bus = bus;
    if (!bus.registerObject("/StatusNotifierWatcher", this, QDBusConnection::ExportAllContents))
        return false;
    m_thread.start();
    moveToThread(&m_thread);
    return bus.registerService("org.kde.StatusNotifierWatcher");
}

void FakeStatusNotifierWatcher::RegisterStatusNotifierItem(const QString& service) {
    const QMutexLocker lock(&m_mutex);
    m_items.append(service);
}

QStringList FakeStatusNotifierWatcher::registeredItems() const {
    const QMutexLocker lock(&m_mutex);
    return m_items;
}

QVariant FakeStatusNotifierWatcher::callItem(const QString& method, QVariantList arguments) const {
    const QString item = QStringLiteral("org.kde.StatusNotifierItem");
    const bool property = method == QLatin1String("Get");
    if (property)
        arguments.prepend(item);
    QDBusMessage call = QDBusMessage::createMethodCall(
        registeredItems().value(registeredItems().size() - 1),
        QStringLiteral("/StatusNotifierItem"),
        property ? QStringLiteral("org.freedesktop.DBus.Properties") : item, method);
    call.setArguments(arguments);
    const QDBusPendingCall pending = m_bus->asyncCall(call);
    if (!QTest::qWaitFor([&pending] { return pending.isFinished(); }, 10000))
        return {};
    const QVariant first = pending.reply().arguments().value(0);
    return first.metaType() == QMetaType::fromType<QDBusVariant>()
               ? first.value<QDBusVariant>().variant()
               : first;
}

} // namespace domiva::test
