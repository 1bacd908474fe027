// A Wayland desktop (with-weston) whose tray is a StatusNotifierItem host, with its notification
// service, stood in for on a private session bus: the item, the announcement of new listings
// and the way back from the tray, in this process and in the built program, which also ends
// the orderly way on SIGTERM.

#include "support/fakedesktop.h"
#include "support/fakeservice.h"
#include "ui/tst_mainwindow_support.h"

#include <QStringEncoder>

#include <csignal>

using namespace domiva;
using namespace domiva::test;

class TestWayland : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != u"wayland"_qs)
            QSKIP("runs under with-weston");
        // Before the first tray icon: Qt looks for the watcher once.
        QVERIFY(m_bus.start());
        QVERIFY(m_watcher.publish(m_bus.connection()));
        QVERIFY(m_notifications.publish(m_bus.connection()));
        FakeService::Answer answer;
        answer.body = QStringEncoder("windows-1251")
                          .encode(u"R#5#Однушки\r\nD#x1#5 п#Арбат\r\nD#x2#7 п#Тверская\r\n"_qs);
        m_service.setDefaultAnswer(answer);
    }

    void trayAndAnnouncement_data() {
        QTest::addColumn<bool>("inProcess");
        QTest::addColumn<bool>("byNotification");
        QTest::newRow("window, back by the item's Activate") << true << false;
        QTest::newRow("window, back by the notification") << true << true;
        QTest::newRow("program, ended by SIGTERM") << false << false;
    }
    void trayAndAnnouncement() {
        QFETCH(bool, inProcess);
        QFETCH(bool, byNotification);
        Sandbox sandbox;
        RecordedBoxes recorded;
        sandbox.pointServiceAt(m_service.hostAndPort());
        const qsizetype items = m_watcher.registeredItems().size();
        const qsizetype shown = m_notifications.calls.size();
        std::unique_ptr<TfrmMain> window;
        QProcess program;
        if (inProcess) {
            window = startWindow();
            window->show();
            window->mnuRefreshClick();
        } else {
            program.setProcessChannelMode(QProcess::ForwardedChannels);
            program.start(QStringLiteral(DOMIVA_EXECUTABLE), {});
        }
        // The first sync of the program comes 1.5 s after it has started.
        QTRY_COMPARE_WITH_TIMEOUT(m_watcher.registeredItems().size(), items + 1, 20'000);
        QCOMPARE(m_watcher.callItem(u"Get"_qs, {u"Title"_qs}), QVariant(u"Домива"_qs));
        QTRY_COMPARE_WITH_TIMEOUT(m_notifications.calls.size(), shown + 1, 20'000);
        QCOMPARE(m_notifications.calls.last(),
                 QVariantList({u"Домива"_qs, u"domiva"_qs, u"Домива"_qs, u"2 новых объявлений"_qs,
                               QStringList{u"default"_qs, u"Домива"_qs}, 3000}));
        if (inProcess) {
            QCOMPARE(recorded.boxes.texts(), QStringList());
            window->showMinimized();
            QTRY_VERIFY(window->isHidden());
            if (byNotification)
                emit m_notifications.ActionInvoked(m_notifications.lastId(), u"default"_qs);
            else
                m_watcher.callItem(u"Activate"_qs, {0, 0});
            QTRY_VERIFY(window->isVisible() && !window->isMinimized());
        } else {
            QCOMPARE(sandbox.logMessages().first(), u"Start"_qs);
            QCOMPARE(::kill(pid_t(program.processId()), SIGTERM), 0);
            QVERIFY(program.waitForFinished(20'000));
            QCOMPARE(program.exitStatus(), QProcess::NormalExit);
            QCOMPARE(program.exitCode(), 0);
            QCOMPARE(sandbox.logMessages().last(), u"Shutdown"_qs);
        }
    }

private:
    PrivateSessionBus m_bus;
    FakeStatusNotifierWatcher m_watcher;
    FakeNotificationService m_notifications;
    FakeService m_service;
};

QTEST_MAIN(TestWayland)
#include "tst_wayland.moc"
