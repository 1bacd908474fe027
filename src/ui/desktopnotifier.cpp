#include "ui/desktopnotifier.h"

#include "ui/messageboxes.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include <utility>

namespace domiva {

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
const QString defaultAction = QStringLiteral("default");

} // namespace

DesktopNotifier::DesktopNotifier(Log log, QObject* parent)
    : QObject(parent), m_log(std::move(log)) {}

DesktopNotifier::DesktopNotifier(QDBusConnection bus, Log log, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_log(std::move(log)) {}

QDBusConnection& DesktopNotifier::bus() {
    if (!m_bus)
        m_bus = QDBusConnection::sessionBus();
    return *m_bus;
}

DesktopNotifier::~DesktopNotifier() {
    if (m_subscribed) {
        m_bus->disconnect(QString(), path, interface, QStringLiteral("ActionInvoked"), this,
                          SLOT(actionInvoked(uint, QString)));
        m_bus->disconnect(QString(), path, interface, QStringLiteral("NotificationClosed"), this,
                          SLOT(notificationClosed(uint, uint)));
    }
}

void DesktopNotifier::notify(const QString& body) {
    if (!bus().isConnected()) {
        const QString reason = bus().lastError().message();
        failed(reason.isEmpty() ? QStringLiteral("no session bus") : reason);
        return;
    }
    // Subscribed before the first call, so that a click on its notification cannot be missed.
    // From any sender: naming the service would make Qt ask the bus for its owner and wait for
    // the answer on the window's thread. Only the ids the service gave us count.
    if (!m_subscribed) {
        m_subscribed =
            m_bus->connect(QString(), path, interface, QStringLiteral("ActionInvoked"), this,
                           SLOT(actionInvoked(uint, QString))) &&
            m_bus->connect(QString(), path, interface, QStringLiteral("NotificationClosed"), this,
                           SLOT(notificationClosed(uint, uint)));
    }

    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    QVariantMap hints;
    // Lets the desktop find the menu entry, and with it the icon and the name.
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("domiva"));
    call << appTitle() << uint(0) << QStringLiteral("domiva") << appTitle() << body
         << QStringList{defaultAction, appTitle()} << hints << int(expiryMilliseconds);

    auto* watcher = new QDBusPendingCallWatcher(m_bus->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<uint> reply = *finished;
                if (reply.isError())
                    failed(reply.error().message());
                else
                    m_shown.insert(reply.value());
            });
}

void DesktopNotifier::actionInvoked(uint id, const QString& action) {
    if (action == defaultAction && m_shown.contains(id))
        emit activated();
}

void DesktopNotifier::notificationClosed(uint id, uint /*reason*/) {
    m_shown.remove(id);
}

void DesktopNotifier::failed(const QString& reason) {
    // Announcements are a convenience: the failure is noted once, not shown.
    if (m_failureLogged)
        return;
    m_failureLogged = true;
    if (m_log)
        m_log(QStringLiteral("notify fail: ") + reason);
}

} // namespace domiva
