// The main window on an X desktop with a tray: the balloon of a sync that stored listings,
// minimising to the tray and back, and the icon gone at shut-down. Needs the X display the
// test command starts and the "trayer" panel, which the test starts itself.

#include "support/fakeservice.h"
#include "traytestsupport.h"
#include "ui/trayicon.h"
#include "ui/tst_mainwindow_support.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QStringEncoder>
#include <QSystemTrayIcon>

using namespace domiva;
using namespace domiva::test;

// A window manager on a busy machine may take seconds to map a window.
constexpr int mappedWithinMs = 20000;

class TestMainWindowX11 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        DOMIVA_REQUIRE_TRAY(m_tray);
        QVERIFY2(m_wm.start(), "openbox gave no window manager");
    }

    void trayBalloonMinimiseAndShutdown() {
        Sandbox sandbox;
        FakeService service;
        sandbox.pointServiceAt(service.hostAndPort());
        QStringEncoder cp1251("windows-1251");
        FakeService::Answer answer;
        answer.body = cp1251.encode(QStringLiteral("R#5#Однушки\r\nD#x1#5 п#Арбат, 1\r\n"
                                                   "D#x2#7 п#Тверская, 3\r\n"));
        service.setDefaultAnswer(answer);
        RecordedBoxes recorded;
        auto window = startWindow();
        // The tray is there: no "add fail".
        QVERIFY(recorded.boxes.shown.isEmpty());
        QTRY_VERIFY(window->trayIcon()->isShown());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), mappedWithinMs));

        window->mnuRefreshClick();
        QTRY_VERIFY(visibleBalloon() != nullptr);
        const QStringList texts = labelTexts(visibleBalloon());
        QVERIFY2(texts.contains(QStringLiteral("2 новых объявлений")), qPrintable(texts.join('|')));
        QVERIFY2(texts.contains(QStringLiteral("Домива")), qPrintable(texts.join('|')));
        // A click on the balloon brings the window back.
        window->hide();
        QTest::mouseClick(visibleBalloon(), Qt::LeftButton);
        QTRY_VERIFY(window->isVisible());

        // Minimised with the setting on and the icon there: off the task bar, until the
        // icon brings it back.
        window->showMinimized();
        QTRY_VERIFY(window->isHidden());
        emit window->trayIcon()->restoreRequested();
        QTRY_VERIFY(window->isVisible());
        QVERIFY(!window->isMinimized());

        window->refreshTimer().setEnabled(false);
        window->formDestroy();
        QVERIFY(!window->trayIcon()->isShown());
        QCOMPARE(sandbox.logMessages().last(), QStringLiteral("Shutdown"));
        QVERIFY(recorded.boxes.shown.isEmpty());
    }

    void minimiseAndRestore_data() {
        QTest::addColumn<bool>("maximised");
        QTest::addColumn<bool>("trayGone"); // the tray host quits after the icon went up
        QTest::newRow("normal") << false << false;
        QTest::newRow("maximised") << true << false;
        QTest::newRow("tray host gone") << true << true;
    }
    void minimiseAndRestore() {
        QFETCH(bool, maximised);
        QFETCH(bool, trayGone);
        Sandbox sandbox;
        RecordedBoxes recorded;
        auto window = startWindow();
        QTRY_VERIFY(window->trayIcon()->isShown());
        window->setWindowState(maximised ? Qt::WindowMaximized : Qt::WindowNoState);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get(), mappedWithinMs));
        QTRY_COMPARE(window->isMaximized(), maximised);
        QTRY_VERIFY(!maximised ||
                    window->geometry().width() == window->screen()->availableGeometry().width());
        // Placed once more when the window manager's frame is known.
        QTRY_VERIFY(!window->findChild<QObject*>(QStringLiteral("domivaFrameWatch")));
        QTest::qWait(100);
        // Inside the frame: Qt's idea of the frame may lag behind the window manager's when the
        // window is maximised again.
        const QRect placed = window->geometry();
        // A click on the visible window only brings it to the front.
        emit window->trayIcon()->restoreRequested();
        if (trayGone) {
            m_tray.stop();
            QTRY_VERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        }
        QTest::qWait(300);
        QCOMPARE(window->geometry(), placed);

        // Hidden without a tray, it could never come back: it stays on the task bar.
        window->showMinimized();
        QTRY_VERIFY(window->isMinimized() || window->isHidden());
        QTest::qWait(300);
        QCOMPARE(window->isHidden(), !trayGone);
        emit window->trayIcon()->restoreRequested();
        QTRY_VERIFY(window->isVisible() && !window->isMinimized());
        // The window manager reports the state and the geometry each in its own time.
        QTRY_COMPARE(window->isMaximized(), maximised);
        QTRY_COMPARE(window->geometry(), placed);
        if (trayGone)
            QVERIFY(m_tray.start() == TrayHost::Outcome::Ready);
    }

private:
    TrayHost m_tray;
    WindowManager m_wm;
};

QTEST_MAIN(TestMainWindowX11)
#include "tst_mainwindow_x11.moc"
