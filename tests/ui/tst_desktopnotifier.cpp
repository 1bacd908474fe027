// Announcements where the desktop has no tray, received and clicked by a notification service
// of the test's own on a private session bus; and the sound of new listings.

#include "support/fakedesktop.h"
#include "support/fakeservice.h"
#include "ui/desktopnotifier.h"
#include "ui/newlistingssound.h"
#include "ui/tst_mainwindow_support.h"

#include <QDBusConnection>
#include <QStringEncoder>

using namespace domiva;
using namespace domiva::test;

namespace {

struct CountedSound : NewListingsSound {
    int played = 0;
    void play() override { ++played; }
};

QByteArray feed(const QString& text) {
    return QStringEncoder("windows-1251").encode(text);
}
const QString twoListings =
    QStringLiteral("R#5#Однушки\r\nD#x1#5 п#Арбат\r\nD#x2#7 п#Тверская\r\n");

// A window without a tray, its settings `main` and the service answering `text`.
std::unique_ptr<TfrmMain> windowOn(Sandbox& sandbox, FakeService& service, const QString& text,
                                   const QByteArray& main = {}) {
    sandbox.writeFile(sandbox.settingsPath(),
                      main + "[service]\nhost=" + service.hostAndPort().toUtf8() + "\n");
    FakeService::Answer answer;
    answer.body = feed(text);
    service.setDefaultAnswer(answer);
    return startWindow();
}

} // namespace

class TestDesktopNotifier : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (!m_bus.start())
            QSKIP("no private session bus (dbus-daemon)");
    }

    void announcedWithoutTray() {
        Sandbox sandbox;
        FakeService service;
        RecordedBoxes recorded;
        auto window = windowOn(sandbox, service, twoListings);
        const auto failures = [&] { return sandbox.logMessages().filter("notify fail: "); };
        // No service yet: nothing shown, one line in the log however often.
        window->mnuRefreshClick();
        QTRY_COMPARE(failures().size(), 1);
        QVERIFY(syncEnded(*window));
        window->mnuRefreshClick();
        QVERIFY(syncEnded(*window));
        QCOMPARE(failures().size(), 1);

        FakeNotificationService notifications;
        QVERIFY(notifications.publish(m_bus.connection()));
        FakeService::Answer more;
        more.body = feed(twoListings).replace("x1", "x3").replace("x2", "x4");
        service.setDefaultAnswer(more);
        window->mnuRefreshClick();
        QTRY_COMPARE(notifications.calls.size(), 1);
        QCOMPARE(notifications.calls[0],
                 QVariantList({"Домива", "domiva", "Домива", "2 новых объявлений",
                               QStringList{"default", "Домива"}, 3000}));
        // A desktop without a tray is no failure.
        QVERIFY(recorded.boxes.shown.isEmpty());

        // A click on another program's notification leaves the window alone; on this one it
        // brings the window back.
        window->hide();
        emit notifications.ActionInvoked(7, "default");
        QTest::qWait(200);
        QVERIFY(window->isHidden());
        emit notifications.ActionInvoked(41, "default");
        QTRY_VERIFY(window->isVisible());
        notifications.withdraw(m_bus.connection());
    }

    void noBus() {
        QStringList logged;
        DesktopNotifier notifier(QDBusConnection("never connected"),
                                 [&logged](const QString& line) { logged.append(line); });
        notifier.notify("1 новых объявлений");
        notifier.notify("2 новых объявлений");
        QCOMPARE(logged.size(), 1);
    }

    void soundOfNewListings_data() {
        QTest::addColumn<QByteArray>("main");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("sounds");
        QTest::newRow("new listings, sound on") << QByteArray() << twoListings << 1;
        QTest::newRow("sound off") << QByteArray("[main]\nplaySound=0\n") << twoListings << 0;
        QTest::newRow("no new listing") << QByteArray() << QStringLiteral("R#5#Однушки\r\n") << 0;
    }
    void soundOfNewListings() {
        QFETCH(QByteArray, main);
        QFETCH(QString, text);
        QFETCH(int, sounds);
        Sandbox sandbox;
        FakeService service;
        RecordedBoxes recorded;
        auto window = windowOn(sandbox, service, text, main);
        auto sound = std::make_unique<CountedSound>();
        CountedSound* counted = sound.get();
        window->setNewListingsSound(std::move(sound));
        window->mnuRefreshClick();
        QVERIFY(syncEnded(*window));
        QCOMPARE(service.requestCount(), qsizetype(1));
        QCOMPARE(counted->played, sounds);
        // Where no driver can play it: silence, and the window goes on.
        ScopedEnv noDriver("CANBERRA_DRIVER", "none");
        CanberraSound real;
        real.play();
        real.play();
        real.waitForPlays();
        QVERIFY(!real.lastPlayStarted());
    }

private:
    PrivateSessionBus m_bus;
};

QTEST_MAIN(TestDesktopNotifier)
#include "tst_desktopnotifier.moc"
