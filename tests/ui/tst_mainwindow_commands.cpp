// The commands of the main window on the listings: refresh, clear database and the repair of
// a damaged file, and what each does while a sync runs, against the in-process stand-in for the
// listings service.

#include "ui/tst_mainwindow_commandfixture.h"

using namespace domiva;
using namespace domiva::test;

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
};

QTEST_MAIN(TestMainWindowCommands)
#include "tst_mainwindow_commands.moc"
