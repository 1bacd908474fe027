// The main window's start-up and shut-down: what a first start leaves on disk, what later
// starts keep, and how the failures of start-up show.

#include "env/environment.h"
#include "settings/profilefile.h"
#include "settings/settings.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "support/fakeservice.h"
#include "support/httphelpers.h"
#include "ui/datagrid.h"
#include "ui/detailspanel.h"
#include "ui/tst_mainwindow_support.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSplitter>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include <utility>

using namespace domiva;
using namespace domiva::test;

namespace {

int modeOf(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

const QStringList settingsKeys = {QStringLiteral("login"),          QStringLiteral("password"),
                                  QStringLiteral("minimizeToTray"), QStringLiteral("playSound"),
                                  QStringLiteral("refreshTime"),    QStringLiteral("countQueries"),
                                  QStringLiteral("proxyServer"),    QStringLiteral("proxyPort"),
                                  QStringLiteral("proxyLogin"),     QStringLiteral("proxyPassword"),
                                  QStringLiteral("proxyFromIE"),    QStringLiteral("repostsRead")};

QStringList actionTexts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions())
        texts.append(action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
}

// Real boxes, answered by the test: each one's text is noted, then it is closed after a moment,
// as a user would.
class BoxAnswerer {
public:
    BoxAnswerer() {
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr)
                return;
            if (box != m_current) {
                m_current = box;
                texts.append(box->text());
                m_seen.restart();
            } else if (m_seen.elapsed() >= 100) {
                box->close();
            }
        });
        m_poll.start(5);
    }
    QStringList texts;

private:
    QTimer m_poll;
    QMessageBox* m_current = nullptr;
    QElapsedTimer m_seen;
};

} // namespace

class TestMainWindowStartup : public QObject {
    Q_OBJECT

private slots:
    void firstStartCreatesEverything() {
        Sandbox sandbox;
        QVERIFY(sandbox.isValid());
        QVERIFY(!QFileInfo::exists(sandbox.cacheDir()));
        RecordedBoxes recorded;

        auto window = startWindow(false);

        // The folder, with its missing parent, private to the user.
        QVERIFY(QFileInfo(sandbox.workDir()).isDir());
        QCOMPARE(window->workDir(), sandbox.workDir());
        QCOMPARE(modeOf(sandbox.workDir()), 0700);

        // The log holds exactly its two lines, and the third of a desktop without a tray.
        const QStringList messages = sandbox.logMessages();
        QCOMPARE(messages.size(), 3);
        QVERIFY(messages[2].startsWith(QStringLiteral("No tray")));
        QCOMPARE(messages[0], QStringLiteral("Start"));
        const EnvironmentReport& env = window->environment();
        QCOMPARE(messages[1], QStringLiteral("DomivaDesktop#0.0.1 MDAC#(") + env.mdacVersion +
                                  QStringLiteral(") JET#(") + env.jetVersion +
                                  QStringLiteral(") OS# ") + env.osVersion +
                                  QStringLiteral(" #APPVERFILE") + env.appVersion);
        QVERIFY(!env.appVersion.isEmpty());

        // The settings file with the twelve defaults, for the user's eyes only.
        QVERIFY(QFileInfo::exists(sandbox.settingsPath()));
        QCOMPARE(modeOf(sandbox.settingsPath()), 0600);
        const ProfileFile profile = ProfileFile::fromFile(sandbox.settingsPath());
        for (const QString& key : settingsKeys)
            QVERIFY2(profile.value(u"main", key).has_value(), qPrintable(key));
        QCOMPARE(sandbox.fileBytes(sandbox.settingsPath()).count('='), 12);
        QCOMPARE(loadSettings(sandbox.settingsPath()), Settings{});
        QCOMPARE(window->settings(), Settings{});

        // The database with both tables, empty, open behind the grids, and the client's own
        // tables beside them.
        {
            RawConnection raw(sandbox.dbPath());
            QCOMPARE(raw.rows(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' "
                                             "ORDER BY name")),
                     (QStringList{QStringLiteral("ClientState"), QStringLiteral("FlatHistory"),
                                  QStringLiteral("FlatKeys"), QStringLiteral("FlatKeysPending"),
                                  QStringLiteral("Offers"), QStringLiteral("Queries")}));
            QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM Queries")),
                     QStringLiteral("0"));
            QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("0"));
        }
        QVERIFY(window->database() != nullptr);
        // The window's connection reads only: the data threads write.
        QVERIFY_THROWS_EXCEPTION(Error, window->database()->storeQuery(1, QStringLiteral("x")));
        QVERIFY(window->queriesModel() != nullptr);
        QVERIFY(window->offersModel() != nullptr);
        QCOMPARE(window->offersModel()->queryId(), 0);

        // The timer waits for the first sync; the tray is tried last. A test display has none,
        // which is no failure: no box, one line in the log.
        QVERIFY(window->refreshTimer().isEnabled());
        QCOMPARE(window->refreshTimer().interval(), qint64(1500));
        QVERIFY(recorded.boxes.shown.isEmpty());
        QCOMPARE(sandbox.logMessages().filter(QStringLiteral("No tray")).size(), 1);

        QCOMPARE(window->statusText(0), QStringLiteral("..."));
        QCOMPARE(window->statusText(1), QStringLiteral("Последнее обновление:"));
        for (const QLabel* label : window->pnlBottom->valueLabels())
            QVERIFY2(label->text().isEmpty(), qPrintable(label->objectName()));
        QVERIFY(!window->terminationRequested());
        window->refreshTimer().setEnabled(false);
    }

    void firstSyncFollowsStartUp() {
        Sandbox sandbox;
        FakeService service;
        sandbox.pointServiceAt(service.hostAndPort());
        RecordedBoxes recorded;
        QElapsedTimer clock;
        clock.start();
        auto window = startWindow(false);
        QTRY_COMPARE_WITH_TIMEOUT(service.requestCount(), qsizetype(1), 5000);
        QVERIFY2(clock.elapsed() >= 1400, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(service.lastRequest().target, QByteArray("/db/demo/get20.txt"));
        QTRY_VERIFY(!window->syncBusy());
        // The sync set the timer to the refresh time of the settings.
        QCOMPARE(window->refreshTimer().interval(), qint64(300'000));
        QVERIFY(window->refreshTimer().isEnabled());
        window->refreshTimer().setEnabled(false);
    }

    // A folder and settings file made by hand under the usual umask, a database copied in:
    // after a run with a sync they and the files the client added are the user's alone, and
    // the log says once what was tightened.
    void looseFolderAndFilesAreTightened() {
        Sandbox sandbox;
        FakeService service;
        service.setDefaultAnswer(test::answer(200, "R#1#a\r\nD#7\r\n"));
        sandbox.pointServiceAt(service.hostAndPort());
        sandbox.createDb().reset();
        for (const auto& [path, mode] : {std::pair{sandbox.workDir(), 0755},
                                         {sandbox.settingsPath(), 0644},
                                         {sandbox.dbPath(), 0644}})
            QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
        RecordedBoxes recorded;
        auto window = startWindow(false);
        QTRY_COMPARE_WITH_TIMEOUT(service.requestCount(), qsizetype(1), 5000);
        QTRY_VERIFY(!window->syncBusy());
        QCOMPARE(modeOf(sandbox.workDir()), 0700);
        for (const char* name : {"settings.ini", "db", "db-wal", "db-shm", "domiva.log"})
            QVERIFY2(modeOf(sandbox.workDir() + QLatin1String(name)) == 0600, name);
        const QString logged = QStringLiteral("Права доступа сужены до 0700 (папка) и 0600 "
                                              "(файлы): DomivaDesktop/, db, settings.ini");
        QCOMPARE(sandbox.logMessages().count(logged), 1);
        window.reset();
        window = startWindow(false);
        window->refreshTimer().setEnabled(false);
        QCOMPARE(sandbox.logMessages().count(logged), 0);
    }

    void folderOfAnotherUserIsRefused() {
        if (::geteuid() != 0)
            QSKIP("Giving the folder to another user needs root");
        Sandbox sandbox;
        sandbox.makeWorkDir();
        QCOMPARE(::chown(QFile::encodeName(sandbox.workDir()).constData(), 65534, 65534), 0);
        RecordedBoxes recorded;
        auto window = startWindow(false);
        QCOMPARE(recorded.boxes.texts().size(), 1);
        QVERIFY(recorded.boxes.texts()[0].contains(QStringLiteral("другому пользователю")));
        QCOMPARE(
            QDir(sandbox.workDir())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
            QStringList());
    }

    void windowLayout() {
        Sandbox sandbox;
        RecordedBoxes recorded;
        auto window = startWindow();
        QCOMPARE(window->windowTitle(), QStringLiteral("Домива - BETA"));
        QCOMPARE(window->font().family(), QStringLiteral("DejaVu Sans"));
        QCOMPARE(window->font().pixelSize(), 11);
        QCOMPARE(window->dbgOffers->font().pixelSize(), 11);

        // Menus, captions and shortcuts.
        const QList<QAction*> menus = window->menuBar()->actions();
        QCOMPARE(menus.size(), 2);
        QCOMPARE(menus[0]->text(), QStringLiteral("Действия"));
        QCOMPARE(menus[1]->text(), QStringLiteral("Помощь"));
        QCOMPARE(actionTexts(window->mnuFile),
                 (QStringList{QStringLiteral("Обновить"),
                              QStringLiteral("Очистить БД и перегрузить данные"),
                              QStringLiteral("-"), QStringLiteral("Настройки..."),
                              QStringLiteral("-"), QStringLiteral("Выход")}));
        QCOMPARE(actionTexts(window->mnuHelp), QStringList{QStringLiteral("О программе...")});
        QCOMPARE(window->mnuRefresh->shortcut(), QKeySequence(Qt::Key_F5));
        QCOMPARE(window->mnuClearDB->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F2));
        QCOMPARE(window->mnuRefresh->shortcutContext(), Qt::WindowShortcut);
        for (QAction* action : window->mnuFile->actions() + window->mnuHelp->actions())
            QVERIFY(action->isEnabled() && action->isVisible() && !action->isCheckable());

        // Grids: the shown fields and their widths.
        const int zero = QFontMetrics(window->dbgQueries->font()).horizontalAdvance(u'0');
        const QList<GridField> queries = window->dbgQueries->shownFields();
        QCOMPARE(queries.size(), 2);
        QCOMPARE(queries[0].name, QStringLiteral("updated"));
        QCOMPARE(queries[0].width, 3 * zero + 4);
        QCOMPARE(queries[1].name, QStringLiteral("qname"));
        QCOMPARE(queries[1].width, 32 * zero + 4);
        QCOMPARE(window->dbgQueries->gridLines(), DataGrid::GridLines::None);
        const QStringList offerNames = {QStringLiteral("unreaded"),  QStringLiteral("room_obj"),
                                        QStringLiteral("metro_obj"), QStringLiteral("min_obj"),
                                        QStringLiteral("price_obj"), QStringLiteral("info_obj"),
                                        QStringLiteral("cont_obj"),  QStringLiteral("dt_obj")};
        const QList<int> offerWidths = {14, 17, 323, 24, 44, 72, 155, 110};
        const QList<GridField> offers = window->dbgOffers->shownFields();
        QCOMPARE(offers.size(), offerNames.size());
        for (qsizetype i = 0; i < offers.size(); ++i) {
            QCOMPARE(offers[i].name, offerNames[i]);
            QCOMPARE(offers[i].width, offerWidths[i]);
        }
        QCOMPARE(window->dbgOffers->gridLines(), DataGrid::GridLines::BetweenRows);
        // The grid really shows them, in this order and these widths.
        const QHeaderView* header = window->dbgOffers->horizontalHeader();
        const QList<int> visible = window->dbgOffers->visibleColumns();
        QCOMPARE(visible.size(), offerNames.size());
        for (qsizetype i = 0; i < visible.size(); ++i) {
            QCOMPARE(fieldColumn(window->offersModel(), offerNames[i]), visible[i]);
            QCOMPARE(header->sectionSize(visible[i]), offerWidths[i]);
        }

        // Panels and splitters at their design sizes once the window is up.
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(window->frameGeometry().size(), QSize(1045, 694));
        QCOMPARE(window->splLeft->handleWidth(), 3);
        QCOMPARE(window->splTop->handleWidth(), 3);
        QCOMPARE(window->splLeft->orientation(), Qt::Horizontal);
        QCOMPARE(window->splTop->orientation(), Qt::Vertical);
        QCOMPARE(window->pnlLeft->width(), 241);
        QCOMPARE(window->pnlTop->height(), 265);
        QVERIFY(window->pnlLeft->isAncestorOf(window->dbgQueries));
        QVERIFY(window->pnlTop->isAncestorOf(window->dbgOffers));
        QVERIFY(window->pnlRight->isAncestorOf(window->pnlBottom));
        QCOMPARE(window->sbPanel0->width(), 600);
        QVERIFY(window->sbPanel1->x() > window->sbPanel0->x());
        QVERIFY(window->sbPanel1->geometry().right() > window->width() - 40);
        // The window keeps the left column and the offers grid as they are when it grows.
        window->resize(window->width() + 100, window->height() + 100);
        QTRY_COMPARE(window->pnlLeft->width(), 241);
        QCOMPARE(window->pnlTop->height(), 265);
    }

    void settingsLackingKeysAreLeftUnchanged() {
        Sandbox sandbox;
        RecordedBoxes recorded;
        const QByteArray content = "; kept as it is\r\n[main]\r\nlogin=ivanov\r\nrefreshTime=60\r\n"
                                   "[service]\r\nhost=127.0.0.1:1\r\n";
        sandbox.writeFile(sandbox.settingsPath(), content);
        auto window = startWindow();
        QCOMPARE(sandbox.fileBytes(sandbox.settingsPath()), content);
        Settings expected;
        expected.login = QStringLiteral("ivanov");
        expected.refreshTime = 60;
        QCOMPARE(window->settings(), expected);
        QCOMPARE(window->serviceConfig().host, QStringLiteral("127.0.0.1:1"));
    }

    void deletedDatabaseIsCreatedAgain() {
        Sandbox sandbox;
        RecordedBoxes recorded;
        {
            auto db = sandbox.createDb();
            db->storeQuery(7, QStringLiteral("Однушки"));
        }
        startWindow().reset();
        const QByteArray settings = sandbox.fileBytes(sandbox.settingsPath());
        QVERIFY(!settings.isEmpty());
        for (const char* suffix : {"", "-wal", "-shm"})
            QFile::remove(sandbox.dbPath() + QLatin1String(suffix));

        auto window = startWindow();
        QVERIFY(window->database() != nullptr);
        RawConnection raw(sandbox.dbPath());
        QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM Queries")), QStringLiteral("0"));
        QCOMPARE(window->queriesModel()->rowCount(), 0);
        QCOMPARE(sandbox.fileBytes(sandbox.settingsPath()), settings);
        QCOMPARE(sandbox.logMessages().size(), 3); // with the missing tray's
    }

    // Another program's database (here: no tables) is not ours to replace, a damaged one is.
    void fileThatIsNotOurs() {
        Sandbox sandbox;
        RecordedBoxes recorded;
        sandbox.writeFile(sandbox.dbPath(), QByteArray());
        auto window = startWindow(false);

        // The error box says why; the rest of start-up is skipped.
        QCOMPARE(recorded.boxes.shown.size(), 1);
        const MessageRequest box = recorded.boxes.shown[0];
        QCOMPARE(box.kind, MessageRequest::Kind::Error);
        QCOMPARE(box.title, QStringLiteral("Домива"));
        QVERIFY2(box.text.contains(QStringLiteral("no such table")), qPrintable(box.text));
        QVERIFY(box.text.endsWith(u'.'));
        QVERIFY(!window->refreshTimer().isEnabled());
        QVERIFY(window->database() == nullptr);
        QVERIFY(window->queriesModel() == nullptr);
        QCOMPARE(QFileInfo(sandbox.dbPath()).size(), 0);
        QCOMPARE(sandbox.logMessages().size(), 2);
        QVERIFY(!window->terminationRequested());

        // The window still works: its commands run and report instead of failing.
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->dbgQueriesColEnter();
        window->dbgOffersColEnter();
        recorded.boxes.answers = {true};
        window->mnuClearDBClick();
        QCOMPARE(recorded.boxes.shown.size(), 3);
        QCOMPARE(recorded.boxes.shown[1].text, QStringLiteral("Вы уверены?"));
        QCOMPARE(recorded.boxes.shown[2].kind, MessageRequest::Kind::Error);
        QCOMPARE(QFileInfo(sandbox.dbPath()).size(), 0);
    }

    void folderWhereTheLogShouldBe() {
        Sandbox sandbox;
        RecordedBoxes recorded;
        QVERIFY(QDir().mkpath(sandbox.logPath()));
        auto window = startWindow(false);
        QCOMPARE(recorded.boxes.shown.size(), 1);
        QCOMPARE(recorded.boxes.shown[0].kind, MessageRequest::Kind::Error);
        QVERIFY(!recorded.boxes.shown[0].text.isEmpty());
        // Nothing after the log was done.
        QVERIFY(!QFileInfo::exists(sandbox.settingsPath()));
        QVERIFY(!QFileInfo::exists(sandbox.dbPath()));
        QVERIFY(!window->refreshTimer().isEnabled());
        QCOMPARE(window->settings(), Settings{});
        // The window opens and its menus are there.
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(window->isVisible());
        QCOMPARE(window->mnuFile->actions().size(), 6);
    }

    void databaseThatCannotBeCreated() {
        Sandbox sandbox;
        RecordedBoxes recorded;
        sandbox.makeWorkDir();
        // A link into a folder that does not exist: no database file can appear there.
        QVERIFY(QFile::link(sandbox.workDir() + QStringLiteral("missing/db"), sandbox.dbPath()));
        auto window = startWindow(false);

        const QStringList messages = sandbox.logMessages();
        QCOMPARE(messages.size(), 3);
        QVERIFY(!messages[2].isEmpty());
        QVERIFY(recorded.boxes.shown.size() >= 2);
        QCOMPARE(recorded.boxes.shown[0].kind, MessageRequest::Kind::Information);
        QCOMPARE(recorded.boxes.shown[0].text, QStringLiteral("Cannot create DB!"));
        // Steps 16 to 18 still ran: opening failed in its turn and ended start-up.
        QCOMPARE(recorded.boxes.shown[1].kind, MessageRequest::Kind::Error);
        QVERIFY(window->database() == nullptr);
        QVERIFY(!window->refreshTimer().isEnabled());
        // The program ends as soon as its event loop runs.
        QVERIFY(window->terminationRequested());
        // Nothing was left behind by the creation.
        QCOMPARE(entriesOf(sandbox.workDir()),
                 (QStringList{QStringLiteral("db"), QStringLiteral("domiva.log"),
                              QStringLiteral("settings.ini")}));
    }

    void endOfSessionDuringStartUp_data() {
        QTest::addColumn<bool>("databaseFails");
        // A desktop without a tray: no box to wait for.
        QTest::newRow("tray missing") << false;
        // "Cannot create DB!", then the error of opening it.
        QTest::newRow("database cannot be created") << true;
    }
    void endOfSessionDuringStartUp() {
        // Nobody answers the boxes of start-up: the end of the session closes the one open and
        // each one after it, start-up finishes, and the program ends when its loop runs.
        QFETCH(bool, databaseFails);
        Sandbox sandbox;
        sandbox.pointServiceAt(QStringLiteral("127.0.0.1:1"));
        if (databaseFails)
            QVERIFY(
                QFile::link(sandbox.workDir() + QStringLiteral("missing/db"), sandbox.dbPath()));
        TfrmMain window;
        bool boxOpen = false;
        QTimer::singleShot(200, &window, [&] {
            boxOpen = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
            window.endSession();
        });
        QTimer rescue; // a box left open would otherwise hold the test for ever
        QObject::connect(&rescue, &QTimer::timeout, [] {
            if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
        rescue.start(5000);
        QElapsedTimer clock;
        clock.start();
        window.formCreate();
        QCOMPARE(boxOpen, databaseFails);
        QVERIFY(clock.elapsed() < 4000);
        // Without a box, start-up is over before the session ends, in the loop.
        QCOMPARE(window.terminationRequested(), databaseFails);
        // Start-up ran to its end, or to the error that ends it.
        QCOMPARE(window.refreshTimer().isEnabled(), !databaseFails);

        // The loop ends by itself, well before the guard would end it.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::quit(); });
        guard.start(5000);
        QApplication::exec();
        QVERIFY(guard.isActive());
        QCOMPARE(sandbox.logMessages().last(), QStringLiteral("Shutdown"));
    }

    void boxesOfAFailedCreationWaitForTheUser() {
        // The program is to end after "Cannot create DB!", but what start-up still has to say
        // is shown until the user closes it.
        Sandbox sandbox;
        sandbox.makeWorkDir();
        QVERIFY(QFile::link(sandbox.workDir() + QStringLiteral("missing/db"), sandbox.dbPath()));
        BoxAnswerer answerer;
        auto window = startWindow();
        QCOMPARE(answerer.texts.size(), 2);
        QCOMPARE(answerer.texts[0], QStringLiteral("Cannot create DB!"));
        QVERIFY(answerer.texts[1].endsWith(u'.'));
        QVERIFY(window->terminationRequested());
    }

    void shutdownIsLoggedOnce() {
        Sandbox sandbox;
        RecordedBoxes recorded;
        auto window = startWindow();
        window->formDestroy();
        window->formDestroy();
        QCOMPARE(sandbox.logMessages().last(), QStringLiteral("Shutdown"));
        window.reset();
        const QStringList messages = sandbox.logMessages();
        QCOMPARE(messages.size(), 4); // Start, the identification, no tray, Shutdown
        QCOMPARE(messages.last(), QStringLiteral("Shutdown"));
        QCOMPARE(messages.count(QStringLiteral("Shutdown")), 1);
    }

    void shutdownAfterAFailedStartUp() {
        Sandbox sandbox;
        RecordedBoxes recorded;
        QVERIFY(QDir().mkpath(sandbox.logPath()));
        auto window = startWindow();
        recorded.boxes.shown.clear();
        // The log cannot be written at shut-down either: said in the box, nothing thrown.
        window.reset();
        QCOMPARE(recorded.boxes.shown.size(), 1);
        QCOMPARE(recorded.boxes.shown[0].kind, MessageRequest::Kind::Error);
    }
};

QTEST_MAIN(TestMainWindowStartup)
#include "tst_mainwindow_startup.moc"
