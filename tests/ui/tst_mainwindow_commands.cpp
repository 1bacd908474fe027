// The commands of the main window: refresh, clear database, settings, about, exit, and the
// minimise rule, against the in-process stand-in for the listings service.

#include "env/environment.h"
#include "settings/settings.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "store/recovery.h"
#include "support/fakeservice.h"
#include "ui/aboutdialog.h"
#include "ui/datagrid.h"
#include "ui/detailspanel.h"
#include "ui/listingcommands.h"
#include "ui/setupdialog.h"
#include "ui/trayicon.h"
#include "ui/tst_mainwindow_support.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStringEncoder>
#include <QTimer>

#include <functional>

using namespace domiva;
using namespace domiva::test;

namespace {

const QByteArray get20("/db/demo/get20.txt");

QByteArray cp1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    return encoder.encode(text);
}

FakeService::Answer feed(const QString& text, std::chrono::milliseconds delay = {}) {
    FakeService::Answer answer;
    answer.body = cp1251(text);
    answer.delay = delay;
    return answer;
}

// The same two searches as stored before a sync, and the feed that brings one more listing.
void fillDatabase(Database& db) {
    db.storeQuery(10, QStringLiteral("Однушки у метро"));
    db.storeQuery(20, QStringLiteral("Двушки"));
    db.insertOffer(listing(QStringLiteral("a1"), 10, at(2024, 3, 1, 10, 30)));
    db.insertOffer(listing(QStringLiteral("a2"), 10, at(2024, 3, 2, 11, 0)));
    db.insertOffer(listing(QStringLiteral("b1"), 20, at(2024, 2, 1, 12, 0)));
}

const QString newListingFeed = QStringLiteral("R#10#Однушки у метро\r\n"
                                              "D#n1#7 мин#Тверская, 1#1#8#40 000#50%#3/9#м#Иван#"
                                              "Светлая#собственник#05.03.24 09:15\r\n");

struct Fixture {
    Sandbox sandbox;
    FakeService service;
    RecordedBoxes recorded;
    std::unique_ptr<TfrmMain> window;

    // beforeStart may change the database file once it is filled and closed.
    explicit Fixture(const QByteArray& mainSection = {},
                     const std::function<void(const QString&)>& beforeStart = {}) {
        sandbox.writeFile(sandbox.settingsPath(),
                          mainSection + "[service]\nhost=" + service.hostAndPort().toUtf8() +
                              "\nsite=http://site.example/\n");
        fillDatabase(*sandbox.createDb());
        if (beforeStart)
            beforeStart(sandbox.dbPath());
        window = startWindow();
    }
    // A test that synced has the timer running for the next sync: it must not fire while the
    // window goes.
    ~Fixture() {
        if (window)
            window->refreshTimer().setEnabled(false);
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    bool show() {
        window->show();
        window->activateWindow();
        return QTest::qWaitForWindowActive(window.get());
    }

    void selectSearch(int row) {
        DataGrid* grid = window->dbgQueries;
        const QModelIndex index =
            grid->model()->index(row, fieldColumn(grid->model(), QStringLiteral("qname")));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(index).center());
        QVERIFY(listingsRead(*window));
    }
    void selectListing(int row) {
        DataGrid* grid = window->dbgOffers;
        const QModelIndex index =
            grid->model()->index(row, fieldColumn(grid->model(), QStringLiteral("metro_obj")));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(index).center());
        QVERIFY(readsAnswered(*window));
    }

    bool synced() { return syncEnded(*window); }

    QString stored(const QString& sql) { return RawConnection(sandbox.dbPath()).value(sql); }
    QStringList storedRows(const QString& sql) { return RawConnection(sandbox.dbPath()).rows(sql); }
};

// Runs `action` from inside the application's event loop and returns when the loop ends, or
// false after `limit` without an end.
bool runEventLoop(const std::function<void()>& action, int limit = 10'000) {
    bool timedOut = false;
    QTimer::singleShot(0, qApp, action);
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [&timedOut] {
        timedOut = true;
        QCoreApplication::quit();
    });
    guard.start(limit);
    QApplication::exec();
    return !timedOut;
}

// Acts on the modal dialog that the code under test opens, once it is open.
template <typename Dialog> void whenOpen(const std::function<void(Dialog*)>& action) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, qApp, [poll, action] {
        auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return;
        poll->stop();
        poll->deleteLater();
        action(dialog);
    });
    poll->start(10);
}

// A window whose tray icon is there or not, as the test says.
class TrayWindow : public TfrmMain {
public:
    bool trayShown = false;

protected:
    bool trayIconShown() const override { return trayShown; }
};

} // namespace

class TestMainWindowCommands : public QObject {
    Q_OBJECT

private slots:
    void refreshKeepsTheUsersRows() {
        Fixture f;
        QVERIFY(f.show());
        f.selectSearch(0);
        f.selectListing(1); // a1, the older one
        OffersModel* offers = f.window->offersModel();
        QCOMPARE(offers->keyOfRow(1), QVariant(QStringLiteral("a1")));
        f.service.setDefaultAnswer(feed(newListingFeed + QStringLiteral("R#30#Студии\r\n")));
        QSignalSpy offersRead(offers, &QAbstractItemModel::modelReset);

        QTest::keyClick(f.window.get(), Qt::Key_F5);
        QVERIFY(f.synced());
        // Read once, after the whole feed.
        QCOMPARE(offersRead.count(), 1);

        QCOMPARE(f.service.requestCount(), qsizetype(1));
        QCOMPARE(f.service.lastRequest().target, QByteArray("/db/demo/get20.txt"));
        QCOMPARE(f.service.lastRequest().body, QByteArray("pass=kvax&rd=,10,20"));
        QVERIFY(!f.window->syncBusy());
        QCOMPARE(f.window->statusText(0), QStringLiteral("..."));
        QVERIFY(f.window->statusText(1).startsWith(QStringLiteral("Последнее обновление: ")));
        QVERIFY(QApplication::overrideCursor() == nullptr);
        // The new listing is in the grid at once, the cursor still on a1.
        QCOMPARE(offers->rowCount(), 3);
        QCOMPARE(offers->keyOfRow(0), QVariant(QStringLiteral("n1")));
        QCOMPARE(f.window->dbgOffers->currentIndex().row(), 2);
        QCOMPARE(offers->keyOfRow(2), QVariant(QStringLiteral("a1")));
        // The new search too, with the queries cursor where it was.
        QCOMPARE(f.window->queriesModel()->rowCount(), 3);
        QCOMPARE(f.window->dbgQueries->currentIndex().row(), 0);
        QCOMPARE(f.stored(QStringLiteral("SELECT updated || unreaded FROM Queries WHERE id=10")),
                 QStringLiteral("11"));
        QVERIFY(f.recorded.boxes.shown.isEmpty());
        // The sync started the timer for the next one.
        QVERIFY(f.window->refreshTimer().isEnabled());
        QCOMPARE(f.window->refreshTimer().interval(), qint64(300'000));
        f.window->refreshTimer().setEnabled(false);

        // The same feed again stores nothing: the grid is not read again.
        QTest::keyClick(f.window.get(), Qt::Key_F5);
        QVERIFY(f.synced());
        QCOMPARE(f.service.requestCount(), qsizetype(2));
        QCOMPARE(offersRead.count(), 1);
        QCOMPARE(f.window->dbgOffers->currentIndex().row(), 2);
    }

    void failedSyncShowsInTheStatusBar() {
        Fixture f;
        FakeService::Answer refused;
        refused.status = 403;
        refused.body = "wrong password";
        f.service.setDefaultAnswer(refused);
        f.window->mnuRefreshClick();
        QVERIFY(f.synced());
        QCOMPARE(f.window->statusText(0), QStringLiteral("Не удалось загрузить данные..."));
        QCOMPARE(f.sandbox.logMessages().size(), 4); // after the missing tray's
        QVERIFY(f.recorded.boxes.shown.isEmpty());
    }

    void newVersionMessage() {
        Fixture f;
        f.service.setDefaultAnswer(feed(QStringLiteral("W#0.0.2\r\nW#0.0.1\r\n")));
        f.window->mnuRefreshClick();
        QVERIFY(f.synced());
        QCOMPARE(f.recorded.boxes.texts(),
                 QStringList{QStringLiteral("Вышла новая версия программы!\r\nСильно рекомендуем "
                                            "произвести обновление с сайта http://site.example/")});
        QCOMPARE(f.recorded.boxes.shown[0].kind, MessageRequest::Kind::Information);
        QCOMPARE(f.recorded.boxes.shown[0].title, QStringLiteral("Домива"));
    }

    void refreshDuringSyncIsIgnored() {
        Fixture f;
        f.service.setDefaultAnswer(feed(newListingFeed, std::chrono::milliseconds(600)));
        bool busyThen = false;
        QTimer::singleShot(150, f.window.get(), [&] {
            busyThen = f.window->syncBusy();
            f.window->mnuRefreshClick();
            QVERIFY(f.synced());
        });
        f.window->mnuRefreshClick();
        QVERIFY(f.synced());
        QVERIFY(busyThen);
        QCOMPARE(f.service.requestCount(), qsizetype(1));
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("4"));
    }

    // A dialog opened while a sync runs has a loop of its own; the sync goes on meanwhile.
    void dialogLeavesTheSyncRunning() {
        Fixture f;
        f.service.setDefaultAnswer(feed(newListingFeed, std::chrono::milliseconds(300)));
        bool endedUnderDialog = false;
        QTimer::singleShot(100, f.window.get(), [&] {
            QTimer::singleShot(50, f.window.get(), [&] {
                QWidget* dialog = QApplication::activeModalWidget();
                endedUnderDialog = dialog != nullptr && f.synced();
                if (dialog != nullptr)
                    dialog->close();
            });
            f.window->mnuAboutClick();
        });
        f.window->mnuRefreshClick();
        QTRY_VERIFY(endedUnderDialog);
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("4"));
    }

    // Ctrl+F2 and the menu ask first; No leaves the file, the grids, the details and the timer
    // as they were, Yes empties the tables and downloads everything anew.
    void clearDatabaseAnswered_data() {
        QTest::addColumn<bool>("byKey");
        QTest::addColumn<bool>("yes");
        QTest::newRow("Ctrl+F2, No") << true << false;
        QTest::newRow("menu, No") << false << false;
        QTest::newRow("Ctrl+F2, Yes") << true << true;
        QTest::newRow("menu, Yes") << false << true;
    }
    void clearDatabaseAnswered() {
        QFETCH(bool, byKey);
        QFETCH(bool, yes);
        Fixture f;
        QVERIFY(f.show());
        f.selectSearch(0);
        f.selectListing(0);
        const auto detailTexts = [&] {
            QStringList texts;
            for (const QLabel* label : f.window->pnlBottom->valueLabels())
                texts.append(label->text());
            return texts;
        };
        const QStringList details = detailTexts();
        const QString everything =
            QStringLiteral("SELECT id, qid, unreaded FROM Offers UNION ALL "
                           "SELECT id, qname, updated || unreaded FROM Queries ORDER BY 1");
        const QStringList before = f.storedRows(everything);
        f.window->refreshTimer().setInterval(600'000);
        f.window->refreshTimer().setEnabled(true);
        f.service.setDefaultAnswer(feed(newListingFeed));
        f.recorded.boxes.answers = {yes};

        if (byKey)
            QTest::keyClick(f.window.get(), Qt::Key_F2, Qt::ControlModifier);
        else
            f.window->mnuClearDB->trigger();

        QCOMPARE(f.recorded.boxes.shown.size(), 1);
        const MessageRequest question = f.recorded.boxes.shown[0];
        QCOMPARE(question.kind, MessageRequest::Kind::WarningYesNo);
        QCOMPARE(question.title, QStringLiteral("Подтверждение"));
        QCOMPARE(question.text, QStringLiteral("Вы уверены?"));
        QVERIFY(question.defaultNo);
        if (!yes) {
            QCOMPARE(f.storedRows(everything), before);
            QCOMPARE(detailTexts(), details);
            QVERIFY(!details.first().isEmpty());
            QVERIFY(f.window->refreshTimer().isRunning());
            QCOMPARE(f.window->offersModel()->rowCount(), 2);
            QCOMPARE(f.service.requestCount(), qsizetype(0));
            return;
        }
        // The tables are emptied beside the window, which counts as busy until the full
        // download that follows has ended.
        QVERIFY(f.window->syncBusy());
        QVERIFY(f.synced());

        // Everything was deleted, then everything downloaded anew.
        QCOMPARE(f.service.requestCount(), qsizetype(1));
        QCOMPARE(f.service.lastRequest().target, QByteArray("/db/demo/getall20.txt"));
        QCOMPARE(f.service.lastRequest().body, QByteArray("pass=kvax&rd="));
        QCOMPARE(f.storedRows(QStringLiteral("SELECT id FROM Offers UNION ALL "
                                             "SELECT id FROM Queries ORDER BY 1")),
                 (QStringList{QStringLiteral("10"), QStringLiteral("n1")}));
        // The grids are open again; the listings those of the search shown before.
        QVERIFY(f.window->offersModel() != nullptr);
        QCOMPARE(f.window->offersModel()->queryId(), 10);
        // Its keys come from the reading thread.
        QTRY_COMPARE(f.window->offersModel()->rowCount(), 1);
        QCOMPARE(f.window->queriesModel()->rowCount(), 1);
        QCOMPARE(f.window->dbgOffers->model(), f.window->offersModel());
        QCOMPARE(f.window->pnlBottom->lblMetro_obj->text(), QString());
        QVERIFY(f.window->refreshTimer().isEnabled());
        // The interval the full download set again, not the one the test set before.
        QCOMPARE(f.window->refreshTimer().interval(), qint64(300'000));
    }

    // Commands during a sync: refused where they would change what the sync changes, the
    // account's clear once the sync has ended.
    void commandRefusedDuringSync_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("offers"); // count and unread afterwards
        QTest::addColumn<QByteArray>("lastRequest");
        const QString later = QStringLiteral("Попробуйте пожалуйста позднее.");
        const QString sure = QStringLiteral("Вы уверены?");
        QTest::newRow("clear database") << "clear" << QStringList{later} << "4/4" << get20;
        // The question was open when the timer started the sync: Yes is refused all the same.
        QTest::newRow("clear database, sync started while asked")
            << "clear, sync while asked" << QStringList{sure, later} << "4/4" << get20;
        QTest::newRow("mark search read")
            << "mark" << QStringList{QStringLiteral("Дождитесь окончания обновления.")} << "4/4"
            << get20;
        // The old account's listings go as soon as the sync ends; everything comes anew.
        QTest::newRow("account changed")
            << "account" << QStringList{sure} << "1/1" << QByteArray("/db/demo2/getall20.txt");
    }
    void commandRefusedDuringSync() {
        QFETCH(QString, command);
        QFETCH(QStringList, texts);
        QFETCH(QString, offers);
        QFETCH(QByteArray, lastRequest);
        Fixture f;
        f.service.setDefaultAnswer(feed(newListingFeed, std::chrono::milliseconds(600)));
        if (command == QLatin1String("clear, sync while asked")) {
            f.recorded.boxes.whileOpen = [&](const MessageRequest& box) {
                if (box.kind == MessageRequest::Kind::WarningYesNo)
                    f.window->mnuRefreshClick();
            };
        }
        QTimer::singleShot(150, f.window.get(), [&] {
            if (command == QLatin1String("mark")) {
                f.window->listingCommands()->markSearchRead(0);
            } else if (command == QLatin1String("account")) {
                whenOpen<TfrmSetup>([](TfrmSetup* dialog) {
                    dialog->ebLogin->setText(QStringLiteral("demo2"));
                    dialog->btnSave->click();
                });
                f.window->mnuSetupClick();
            } else {
                f.window->mnuClearDBClick();
            }
        });
        if (command != QLatin1String("clear, sync while asked"))
            f.window->mnuRefreshClick();
        QTRY_VERIFY(f.service.requestCount() > 0);
        QVERIFY(f.synced());
        QCOMPARE(f.recorded.boxes.texts(), texts);
        QCOMPARE(f.recorded.boxes.shown.last().kind, texts.last() == QStringLiteral("Вы уверены?")
                                                         ? MessageRequest::Kind::WarningYesNo
                                                         : MessageRequest::Kind::Information);
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) || '/' || SUM(unreaded) FROM Offers")),
                 offers);
        QCOMPARE(f.stored(QStringLiteral("SELECT updated || unreaded FROM Queries WHERE id=10")),
                 QStringLiteral("11"));
        QCOMPARE(f.service.lastRequest().target, lastRequest);
        QCOMPARE(f.service.requestCount(), qsizetype(lastRequest == get20 ? 1 : 2));
    }

    void clearDatabaseFailureIsReported() {
        Fixture f;
        f.recorded.boxes.answers = {true};
        RawConnection raw(f.sandbox.dbPath());
        raw.exec(QStringLiteral("BEGIN IMMEDIATE"));
        f.window->mnuClearDBClick();
        QTRY_COMPARE_WITH_TIMEOUT(f.recorded.boxes.shown.size(), 2, 15000);
        raw.exec(QStringLiteral("ROLLBACK"));
        QCOMPARE(f.recorded.boxes.shown.size(), 2);
        QCOMPARE(f.recorded.boxes.shown[1].kind, MessageRequest::Kind::Error);
        QVERIFY2(f.recorded.boxes.shown[1].text.contains(QStringLiteral("locked")),
                 qPrintable(f.recorded.boxes.shown[1].text));
        // Nothing deleted (one transaction), the grids closed, the timer stopped, no sync.
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("3"));
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) FROM Queries")), QStringLiteral("2"));
        QVERIFY(f.window->offersModel() == nullptr);
        QVERIFY(f.window->queriesModel() == nullptr);
        QVERIFY(!f.window->refreshTimer().isEnabled());
        QCOMPARE(f.service.requestCount(), qsizetype(0));
        // A later sync runs all the same.
        f.window->mnuRefreshClick();
        QVERIFY(f.synced());
        QCOMPARE(f.service.requestCount(), qsizetype(1));
        QVERIFY(f.window->refreshTimer().isEnabled());
    }

    // A damaged database file is set aside and downloaded anew, once, whoever finds the damage;
    // damaged again in the same run, it is reported and left alone.
    void damagedDatabaseIsRebuilt_data() {
        using namespace Qt::Literals::StringLiterals;
        QTest::addColumn<QString>("damage"); // before the start, or during download 1 or 2
        QTest::addColumn<QString>("command");
        // F5 at the first moment the program looks idle once the damage is found
        QTest::addColumn<bool>("refreshWhenIdle");
        QTest::newRow("page of Offers, sync") << u"Offers"_s << u"refresh"_s << false;
        QTest::newRow("page of Offers, sync, F5 when idle") << u"Offers"_s << u"refresh"_s << true;
        QTest::newRow("page of Offers, Ctrl+F2") << u"Offers"_s << u"clear"_s << false;
        QTest::newRow("page of Offers, grid") << u"Offers"_s << u"grid"_s << false;
        QTest::newRow("not a database, start-up") << u"garbage"_s << QString() << false;
        QTest::newRow("page of Offers, mid-sync") << u"download 1"_s << u"refresh"_s << false;
        QTest::newRow("again after recovery") << u"Offers, download 2"_s << u"refresh"_s << false;
    }
    void damagedDatabaseIsRebuilt() {
        QFETCH(QString, damage);
        QFETCH(QString, command);
        QFETCH(bool, refreshWhenIdle);
        const bool again = damage.endsWith(QLatin1Char('2'));
        Fixture f({}, [&](const QString& db) {
            if (damage.startsWith(QLatin1String("Offers")))
                overwriteTablePage(db, QStringLiteral("Offers"));
            else if (damage == QLatin1String("garbage"))
                Sandbox().writeFile(db, QByteArray(8192, 'x'));
        });
        const QByteArray damagedBytes = f.sandbox.fileBytes(f.sandbox.dbPath());
        // Damaged while the window has the file open and a download waits for the service.
        qsizetype damageAt = damage.startsWith(QLatin1String("download")) ? 1 : again ? 2 : 0;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (damageAt == 0 || f.service.requestCount() != damageAt || !f.window->syncBusy())
                return;
            damageAt = 0;
            overwriteTablePage(f.sandbox.dbPath(), QStringLiteral("Offers"));
            RawConnection(f.sandbox.dbPath()).exec(QStringLiteral("PRAGMA user_version=1"));
        });
        poll.start(10);
        // From the sync that finds the damage to the full download, the program never looks
        // idle: a sync started in between would overtake the repair.
        QTimer idle;
        connect(&idle, &QTimer::timeout, [&] {
            if (f.service.requestCount() == 0 || f.window->syncBusy() ||
                !damagedFiles(f.sandbox.dbPath()).isEmpty())
                return;
            idle.stop();
            f.window->mnuRefreshClick();
        });
        if (refreshWhenIdle)
            idle.start(0);
        f.service.setDefaultAnswer(feed(newListingFeed, std::chrono::milliseconds(300)));
        f.recorded.boxes.answers = {true};
        if (command == QLatin1String("refresh"))
            f.window->mnuRefreshClick();
        else if (command == QLatin1String("clear"))
            f.window->mnuClearDBClick();
        else if (command == QLatin1String("grid") && f.show())
            f.selectSearch(0);

        const qsizetype requests = command == QLatin1String("refresh") ? 2 : 1;
        const qsizetype boxes = 1 + (command == QLatin1String("clear")) + again;
        QTRY_VERIFY_WITH_TIMEOUT(f.service.requestCount() == requests && !f.window->syncBusy() &&
                                     f.recorded.boxes.shown.size() == boxes,
                                 10'000);
        QTest::qWait(200); // nothing follows: no loop
        QCOMPARE(idle.isActive(), refreshWhenIdle);
        QCOMPARE(f.service.requestCount(), requests);
        QCOMPARE(f.recorded.boxes.shown.size(), boxes);
        QCOMPARE(f.service.requests().at(command == QLatin1String("refresh")).target,
                 QByteArray("/db/demo/getall20.txt"));
        const QStringList kept = damagedFiles(f.sandbox.dbPath());
        QCOMPARE(kept.size(), 1);
        QVERIFY(damage.startsWith(QLatin1String("download")) ||
                f.sandbox.fileBytes(kept[0]) == damagedBytes);
        QCOMPARE(f.sandbox.logMessages().filter(QStringLiteral("kept as ") + kept[0]).size(), 1);
        QCOMPARE(f.recorded.boxes.shown.last().kind,
                 again ? MessageRequest::Kind::Error : MessageRequest::Kind::Information);
        QVERIFY(again || f.stored(QStringLiteral("SELECT group_concat(id) FROM Offers")) == "n1");
    }

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

QTEST_MAIN(TestMainWindowCommands)
#include "tst_mainwindow_commands.moc"
