// The main window's own commands: the settings dialog, the about box, exit (also during a sync
// and at the end of the session) and the minimise rule, against the in-process stand-in for the
// listings service.

#include "ui/tst_mainwindow_commandfixture.h"

using namespace domiva;
using namespace domiva::test;

class TestMainWindowDialogsExit : public QObject {
    Q_OBJECT

private slots:
    void settingsDialog_data() {
        QTest::addColumn<QString>("login");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("asked");
        QTest::newRow("same account") << QStringLiteral("demo") << QStringLiteral("kvax") << false;
        QTest::newRow("login, letter case")
            << QStringLiteral("Demo") << QStringLiteral("kvax") << true;
        QTest::newRow("password") << QStringLiteral("demo") << QStringLiteral("kvax2") << true;
    }
    void settingsDialog() {
        QFETCH(QString, login);
        QFETCH(QString, password);
        QFETCH(bool, asked);
        Fixture f;
        f.recorded.boxes.answers = {false};
        whenOpen<TfrmSetup>([&](TfrmSetup* dialog) {
            QCOMPARE(dialog->ebLogin->text(), QStringLiteral("demo"));
            QCOMPARE(dialog->ebCountQueries->text(), QStringLiteral("20"));
            QCOMPARE(dialog->ebProxyPort->text(), QStringLiteral("0"));
            QVERIFY(dialog->cbProxyFromIE->isChecked());
            dialog->ebLogin->setText(login);
            dialog->ebPassword->setText(password);
            dialog->ebCountQueries->setText(QStringLiteral("12ab"));
            dialog->ebProxyPort->setText(QStringLiteral(" 0x1F"));
            dialog->cbMinimizeToTray->setChecked(false);
            dialog->btnSave->click();
        });
        f.window->mnuSetupClick();

        Settings expected;
        expected.login = login;
        expected.password = password;
        expected.countQueries = 12;
        expected.proxyPort = 31;
        expected.minimizeToTray = false;
        QCOMPARE(f.window->settings(), expected);
        QCOMPARE(loadSettings(f.sandbox.settingsPath()), expected);
        // The [service] section stays.
        QCOMPARE(loadServiceConfig(f.sandbox.settingsPath()).site,
                 QStringLiteral("http://site.example/"));
        QCOMPARE(f.recorded.boxes.texts(),
                 asked ? QStringList{QStringLiteral("Вы уверены?")} : QStringList{});
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("3"));
    }

    void settingsDialogKeepsWhatItOnlyShows() {
        // Longer than the edits let the user type: saved as they were, and no change of
        // account to ask about.
        const QByteArray login(300, 'l');
        Fixture f("[main]\nlogin=" + login + "\ncountQueries=100000\n");
        Settings expected = f.window->settings();
        QCOMPARE(expected.login, QString::fromLatin1(login));
        whenOpen<TfrmSetup>([](TfrmSetup* dialog) {
            dialog->cbPlaySound->setChecked(true);
            dialog->btnSave->click();
        });
        f.window->mnuSetupClick();
        expected.playSound = true;
        QCOMPARE(loadSettings(f.sandbox.settingsPath()), expected);
        QVERIFY(f.recorded.boxes.shown.isEmpty());
    }

    void settingsDialogClosed() {
        Fixture f;
        const QByteArray before = f.sandbox.fileBytes(f.sandbox.settingsPath());
        whenOpen<TfrmSetup>([](TfrmSetup* dialog) {
            dialog->ebLogin->setText(QStringLiteral("other"));
            dialog->close();
        });
        f.window->mnuSetupClick();
        QCOMPARE(f.window->settings(), Settings{});
        QCOMPARE(f.sandbox.fileBytes(f.sandbox.settingsPath()), before);
        QVERIFY(f.recorded.boxes.shown.isEmpty());
    }

    void settingsThatCannotBeSaved() {
        Fixture f;
        QVERIFY(QFile::remove(f.sandbox.settingsPath()));
        QVERIFY(QDir().mkpath(f.sandbox.settingsPath()));
        whenOpen<TfrmSetup>([](TfrmSetup* dialog) {
            dialog->ebLogin->setText(QStringLiteral("other"));
            dialog->btnSave->click();
        });
        f.window->mnuSetupClick();
        // Kept for this run; the account check is skipped.
        QCOMPARE(f.window->settings().login, QStringLiteral("other"));
        QCOMPARE(f.recorded.boxes.shown.size(), 1);
        QCOMPARE(f.recorded.boxes.shown[0].kind, MessageRequest::Kind::Error);
        QCOMPARE(f.recorded.boxes.shown[0].text,
                 QStringLiteral("Unable to write to ") + f.sandbox.settingsPath() + u'.');
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("3"));
    }

    void aboutBox_data() {
        QTest::addColumn<bool>("fromTray");
        QTest::newRow("main menu") << false;
        QTest::newRow("tray menu") << true;
    }
    void aboutBox() {
        QFETCH(bool, fromTray);
        Fixture f;
        QStringList texts;
        QString logFileName;
        whenOpen<TfrmAbout>([&](TfrmAbout* dialog) {
            texts = {dialog->Label2->text(), dialog->Label6->text(), dialog->Label7->text(),
                     dialog->Label8->text()};
            logFileName = dialog->logFileName;
            dialog->btnClose->click();
        });
        if (fromTray)
            f.window->trayIcon()->popupAbout()->trigger();
        else
            f.window->mnuAbout->trigger();
        const EnvironmentReport& env = f.window->environment();
        QCOMPARE(texts, (QStringList{QStringLiteral("версия 0.0.1"), env.jetVersion,
                                     env.mdacVersion, env.osVersion}));
        QCOMPARE(logFileName, f.sandbox.logPath());
    }

    void exitCommand_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("menu") << QStringLiteral("menu");
        QTest::newRow("close") << QStringLiteral("close");
        QTest::newRow("signal") << QStringLiteral("signal");
    }
    void exitCommand() {
        QFETCH(QString, how);
        Fixture f;
        QVERIFY(f.show());
        QVERIFY(runEventLoop([&] {
            if (how == QStringLiteral("menu"))
                f.window->mnuExit->trigger();
            else if (how == QStringLiteral("close"))
                f.window->close();
            else
                f.window->endSession();
        }));
        // The shut-down ran when the loop ended, the window off the screen already: the tray
        // icon went, "Shutdown" is last.
        QVERIFY(!f.window->isVisible());
        QCOMPARE(f.sandbox.logMessages().last(), QStringLiteral("Shutdown"));
        f.window.reset();
        QCOMPARE(f.sandbox.logMessages().count(QStringLiteral("Shutdown")), qsizetype(1));
    }

    void exitDuringSync_data() {
        QTest::addColumn<bool>("byClosing");
        QTest::addColumn<bool>("dripping"); // a byte every 300 ms, else no answer for 10 s
        QTest::newRow("exit command, server hung") << false << false;
        QTest::newRow("window closed, server hung") << true << false;
        QTest::newRow("exit command, server dripping") << false << true;
    }
    void exitDuringSync() {
        QFETCH(bool, byClosing);
        QFETCH(bool, dripping);
        Fixture f;
        QVERIFY(f.show());
        FakeService::Answer answer = feed(newListingFeed, std::chrono::milliseconds(10'000));
        if (dripping) {
            answer.delay = {};
            answer.pieceBytes = 1;
            answer.pieceInterval = std::chrono::milliseconds(300);
        }
        f.service.setDefaultAnswer(answer);
        bool busyThen = false;
        bool visibleThen = false;
        QTimer::singleShot(200, f.window.get(), [&] {
            busyThen = f.window->syncBusy();
            if (byClosing)
                f.window->close();
            else
                f.window->mnuExitClick();
            visibleThen = f.window->isVisible();
        });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(runEventLoop([&] { f.window->mnuRefreshClick(); }));
        QVERIFY(busyThen);
        // Off the screen at once; the transfer abandoned, not waited out, whatever the server
        // does.
        QVERIFY(!visibleThen);
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!f.window->syncBusy());
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) FROM Offers WHERE id='n1'")),
                 QStringLiteral("0"));
        QCOMPARE(f.window->statusText(0), QStringLiteral("Не удалось загрузить данные..."));
        QCOMPARE(f.sandbox.logMessages().last(), QStringLiteral("Shutdown"));
    }

    void endOfSessionWithABoxOpen_data() {
        QTest::addColumn<QString>("feedText"); // a sync runs when not empty
        QTest::addColumn<QString>("command");  // opens its box during the sync, or alone
        // The second notice opens after the first has been closed.
        QTest::newRow("version notices in a sync") << "W#1\r\nW#2\r\n" << QString();
        QTest::newRow("settings in a sync") << newListingFeed << "mnuSetup";
        QTest::newRow("about box in a sync") << newListingFeed << "mnuAbout";
        QTest::newRow("refusal in a sync") << newListingFeed << "mnuClearDB";
        QTest::newRow("confirmation") << QString() << "mnuClearDB";
        QTest::newRow("settings") << QString() << "mnuSetup";
    }
    void endOfSessionWithABoxOpen() {
        // Nobody answers: every box closes, the sync finishes, the program ends orderly.
        QFETCH(QString, feedText);
        QFETCH(QString, command);
        Fixture f;
        MessageBoxesOverride realBoxes(dialogMessageBoxes());
        QVERIFY(f.show());
        f.service.setDefaultAnswer(feed(feedText, std::chrono::milliseconds(500)));
        whenOpen<QDialog>([&](QDialog*) { f.window->endSession(); });
        auto* action = f.window->findChild<QAction*>(command);
        if (!feedText.isEmpty() && action != nullptr)
            QTimer::singleShot(200, action, &QAction::trigger);
        QVERIFY(runEventLoop(
            [&] { feedText.isEmpty() ? action->trigger() : f.window->mnuRefreshClick(); }));
        QVERIFY(!f.window->syncBusy());
        QCOMPARE(f.sandbox.logMessages().last(), QStringLiteral("Shutdown"));
        // No box was answered Yes, nothing saved.
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) FROM Queries")), QStringLiteral("2"));
        QCOMPARE(f.window->settings(), Settings{});
    }

    void minimiseRule_data() {
        QTest::addColumn<bool>("minimizeToTray");
        QTest::addColumn<bool>("trayShown");
        QTest::addColumn<bool>("hidden");
        QTest::newRow("setting on, tray there") << true << true << true;
        QTest::newRow("setting on, no tray") << true << false << false;
        QTest::newRow("setting off, tray there") << false << true << false;
        QTest::newRow("setting off, no tray") << false << false << false;
    }
    void minimiseRule() {
        QFETCH(bool, minimizeToTray);
        QFETCH(bool, trayShown);
        QFETCH(bool, hidden);
        Sandbox sandbox;
        RecordedBoxes recorded;
        sandbox.writeFile(sandbox.settingsPath(), QByteArray("[main]\nminimizeToTray=") +
                                                      (minimizeToTray ? "1" : "0") +
                                                      "\n[service]\nhost=127.0.0.1:1\n");
        TrayWindow window;
        window.trayShown = trayShown;
        window.formCreate();
        window.refreshTimer().setEnabled(false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        window.showMinimized();
        QTest::qWait(100);
        QCOMPARE(window.isHidden(), hidden);
        QVERIFY(window.isMinimized() || window.isHidden());

        // The tray icon brings it back, whichever way it went.
        emit window.trayIcon()->restoreRequested();
        QTRY_VERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());
    }

    void minimiseBeforeStartUpHidesNothing() {
        // Start-up hooks the minimise; before that the window is only minimised.
        Sandbox sandbox;
        RecordedBoxes recorded;
        TrayWindow window;
        window.trayShown = true;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.showMinimized();
        QTest::qWait(100);
        QVERIFY(!window.isHidden());
    }
};

QTEST_MAIN(TestMainWindowDialogsExit)
#include "tst_mainwindow_dialogs_exit.moc"
