// Announcements where the desktop has no tray: a notification service of the test's own on a
// private session bus receives them and clicks them; and the sound of new listings.

#include "support/fakeservice.h"
#include "ui/desktopnotifier.h"
#include "ui/newlistingssound.h"
#include "ui/tst_mainwindow_support.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QStandardPaths>
#include <QStringEncoder>
#include <QVariantMap>

using namespace domiva;
using namespace domiva::test;

namespace {

const QString notificationsName = QStringLiteral("org.freedesktop.Notifications");
const QString notificationsPath = QStringLiteral("/org/freedesktop/Notifications");

// The desktop's notification service as far as this program uses it.
class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call {
        QString appName, appIcon, summary, body;
        QStringList actions;
        int expiry = 0;
    };
    QList<Call> calls;

public slots:
    uint Notify(const QString& appName, uint /*replacesId*/, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& /*hints*/, int expiry) {
        calls.append({appName, appIcon, summary, body, actions, expiry});
        return uint(calls.size()) + 40;
    }

signals:
    void ActionInvoked(uint id, const QString& action);
    void NotificationClosed(uint id, uint reason);
};

struct Sound : NewListingsSound {
    int* played;
    explicit Sound(int* counter) : played(counter) {}
    void play() override { ++*played; }
};

QByteArray twoListings() {
    QStringEncoder cp1251("windows-1251");
    return cp1251.encode(
        QStringLiteral("R#5#Однушки\r\nD#x1#5 п#Арбат, 1\r\nD#x2#7 п#Тверская, 3\r\n"));
}

QStringList notifyFailures(const Sandbox& sandbox) {
    return sandbox.logMessages().filter(QStringLiteral("notify fail"));
}

} // namespace

class TestDesktopNotifier : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void announcedWithoutTray();
    void noServiceLoggedOnce();
    void noBus();
    void soundOfNewListings_data();
    void soundOfNewListings();

private:
    // A window without a tray that has just run one sync of `feed`.
    std::unique_ptr<TfrmMain> syncedWindow(Sandbox& sandbox, FakeService& service,
                                           const QByteArray& feed, const QByteArray& main = {});

    QProcess m_daemon;
    std::optional<QDBusConnection> m_serviceBus;
};

void TestDesktopNotifier::initTestCase() {
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        QSKIP("no dbus-daemon to run a private session bus");
    m_daemon.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                            QStringLiteral("--print-address=1")});
    QVERIFY(m_daemon.waitForStarted());
    QTRY_VERIFY(m_daemon.canReadLine());
    const QByteArray address = m_daemon.readLine().trimmed();
    // Before anything asks for the session bus: the program's notifications go to this one.
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    m_serviceBus = QDBusConnection::connectToBus(QString::fromUtf8(address),
                                                 QStringLiteral("notification service"));
    QVERIFY(m_serviceBus->isConnected());
}

void TestDesktopNotifier::cleanupTestCase() {
    if (m_serviceBus)
        QDBusConnection::disconnectFromBus(m_serviceBus->name());
    m_daemon.terminate();
    m_daemon.waitForFinished(3000);
}

std::unique_ptr<TfrmMain> TestDesktopNotifier::syncedWindow(Sandbox& sandbox, FakeService& service,
                                                            const QByteArray& feed,
                                                            const QByteArray& main) {
    sandbox.writeFile(sandbox.settingsPath(),
                      main + "[service]\nhost=" + service.hostAndPort().toUtf8() + "\n");
    FakeService::Answer answer;
    answer.body = feed;
    service.setDefaultAnswer(answer);
    auto window = startWindow();
    window->mnuRefreshClick();
    return window;
}

void TestDesktopNotifier::announcedWithoutTray() {
    NotificationService notifications;
    QVERIFY(m_serviceBus->registerObject(notificationsPath, &notifications,
                                         QDBusConnection::ExportAllSlots |
                                             QDBusConnection::ExportAllSignals));
    QVERIFY(m_serviceBus->registerService(notificationsName));
    Sandbox sandbox;
    FakeService service;
    RecordedBoxes recorded;
    auto window = syncedWindow(sandbox, service, twoListings());

    QTRY_COMPARE(notifications.calls.size(), 1);
    const NotificationService::Call& call = notifications.calls.first();
    QCOMPARE(call.appName, QStringLiteral("Домива"));
    QCOMPARE(call.appIcon, QStringLiteral("domiva"));
    QCOMPARE(call.summary, QStringLiteral("Домива"));
    QCOMPARE(call.body, QStringLiteral("2 новых объявлений"));
    QCOMPARE(call.expiry, 3000);
    QVERIFY(call.actions.contains(QStringLiteral("default")));
    // No tray: "add fail" and nothing more.
    QCOMPARE(recorded.boxes.texts(), QStringList{QStringLiteral("add fail")});

    // A click on another program's notification leaves the window alone; on this one, the
    // window comes back.
    window->hide();
    emit notifications.ActionInvoked(7, QStringLiteral("default"));
    QTest::qWait(200);
    QVERIFY(window->isHidden());
    emit notifications.ActionInvoked(41, QStringLiteral("default"));
    QTRY_VERIFY(window->isVisible());
    QVERIFY(!window->isMinimized());
    QVERIFY(notifyFailures(sandbox).isEmpty());

    m_serviceBus->unregisterService(notificationsName);
    m_serviceBus->unregisterObject(notificationsPath);
}

void TestDesktopNotifier::noServiceLoggedOnce() {
    Sandbox sandbox;
    FakeService service;
    RecordedBoxes recorded;
    auto window = syncedWindow(sandbox, service, twoListings());
    QTRY_COMPARE(notifyFailures(sandbox).size(), 1);
    window->mnuRefreshClick();
    QTest::qWait(300);
    QCOMPARE(service.requestCount(), qsizetype(2));
    QCOMPARE(notifyFailures(sandbox).size(), 1);
    QCOMPARE(recorded.boxes.texts(), QStringList{QStringLiteral("add fail")});
}

void TestDesktopNotifier::noBus() {
    QStringList logged;
    DesktopNotifier notifier(QDBusConnection(QStringLiteral("never connected")),
                             [&logged](const QString& line) { logged.append(line); });
    notifier.notify(QStringLiteral("1 новых объявлений"));
    notifier.notify(QStringLiteral("2 новых объявлений"));
    QCOMPARE(logged.size(), 1);
    QVERIFY(logged.first().startsWith(QStringLiteral("notify fail: ")));
}

void TestDesktopNotifier::soundOfNewListings_data() {
    QTest::addColumn<QByteArray>("main");
    QTest::addColumn<QByteArray>("feed");
    QTest::addColumn<int>("sounds");
    QTest::newRow("new listings, sound on") << QByteArray() << twoListings() << 1;
    QTest::newRow("new listings, sound off")
        << QByteArray("[main]\nplaySound=0\n") << twoListings() << 0;
    QTest::newRow("no new listing, sound on") << QByteArray() << QByteArray("R#5#Однушки\r\n") << 0;
}

void TestDesktopNotifier::soundOfNewListings() {
    QFETCH(QByteArray, main);
    QFETCH(QByteArray, feed);
    QFETCH(int, sounds);
    Sandbox sandbox;
    FakeService service;
    RecordedBoxes recorded;
    sandbox.writeFile(sandbox.settingsPath(),
                      main + "[service]\nhost=" + service.hostAndPort().toUtf8() + "\n");
    FakeService::Answer answer;
    answer.body = feed;
    service.setDefaultAnswer(answer);
    auto window = startWindow();
    int played = 0;
    window->setNewListingsSound(std::make_unique<Sound>(&played));
    window->mnuRefreshClick();
    QCOMPARE(service.requestCount(), qsizetype(1));
    QCOMPARE(played, sounds);

    // The sound itself where no driver can play it: silence, and the window goes on.
    qputenv("CANBERRA_DRIVER", "none");
    CanberraSound silent;
    silent.play();
    silent.play();
    QVERIFY(!silent.lastPlayStarted());
    qunsetenv("CANBERRA_DRIVER");
}

QTEST_MAIN(TestDesktopNotifier)
#include "tst_desktopnotifier.moc"
