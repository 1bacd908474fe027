// The grids of the main window over a real database: what they show, which user actions
// select a search or a listing, and what selecting a listing stores.

#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "store/tablemodel.h"
#include "ui/accessibilitytestsupport.h"
#include "ui/datagrid.h"
#include "ui/detailspanel.h"
#include "ui/listingcommands.h"
#include "ui/tst_mainwindow_support.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QSignalSpy>

using namespace domiva;
using namespace domiva::test;

namespace {

// Two searches: 10 with three listings (two unread), 20 with one; 30 without listings.
void fillDatabase(Database& db) {
    db.storeQuery(10, QStringLiteral("Однушки у метро"));
    db.storeQuery(20, QStringLiteral("Двушки"));
    db.storeQuery(30, QStringLiteral("Пусто"));
    db.insertOffer(listing(QStringLiteral("a1"), 10, at(2024, 3, 1, 10, 30), QStringLiteral("/1")));
    db.insertOffer(listing(QStringLiteral("a2"), 10, at(2024, 3, 2, 0, 0), QStringLiteral("/2")));
    db.insertOffer(listing(QStringLiteral("a3"), 10, at(2024, 3, 3, 9, 5), QStringLiteral("/3")));
    db.insertOffer(listing(QStringLiteral("b1"), 20, at(2024, 2, 1, 12, 0), QStringLiteral("/b")));
    // a1 was already read; its search keeps its flags until a listing is opened.
    RawConnection raw(db.path());
    raw.exec(QStringLiteral("UPDATE Offers SET unreaded=0 WHERE id='a1'"));
}

struct Fixture {
    Sandbox sandbox;
    RecordedBoxes recorded;
    std::unique_ptr<TfrmMain> window;
    QSignalSpy queriesEntered;
    QSignalSpy offersEntered;

    Fixture()
        : window((fillDatabase(*sandbox.createDb()), startWindow())),
          queriesEntered(window->dbgQueries, &DataGrid::colEnter),
          offersEntered(window->dbgOffers, &DataGrid::colEnter) {}

    bool show() {
        window->show();
        window->activateWindow();
        return QTest::qWaitForWindowActive(window.get());
    }

    int row(StoreTableModel* model, const QVariant& key) const { return model->rowOfKey(key); }

    // A left click on a cell of a grid, by row and field, and the listings it asked for.
    void click(DataGrid* grid, int row, const QString& field) {
        const QModelIndex index = grid->model()->index(row, fieldColumn(grid->model(), field));
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(index).center());
        QVERIFY(listingsRead(*window));
        QVERIFY(readsAnswered(*window));
    }

    QVariant value(StoreTableModel* model, const QVariant& key, const QString& field) {
        return model->rowValues(model->rowOfKey(key), Qt::EditRole).value(field);
    }

    QString stored(const QString& sql) { return RawConnection(sandbox.dbPath()).value(sql); }

    QStringList details() const {
        QStringList texts;
        for (const QLabel* label : window->pnlBottom->valueLabels())
            texts.append(label->text());
        return texts;
    }
};

} // namespace

class TestMainWindowGrids : public QObject {
    Q_OBJECT

private slots:
    void gridsShowTheTables() {
        Fixture f;
        QueriesModel* queries = f.window->queriesModel();
        QCOMPARE(queries->rowCount(), 3);
        QCOMPARE(queries->keyOfRow(0), QVariant(10));
        QCOMPARE(queries->keyOfRow(1), QVariant(20));
        QCOMPARE(f.value(queries, 10, QStringLiteral("qname")).toString(),
                 QStringLiteral("Однушки у метро"));
        QCOMPARE(f.window->dbgQueries->model(), queries);
        // The offers start with the listings of no search.
        QCOMPARE(f.window->offersModel()->rowCount(), 0);
        QCOMPARE(f.window->dbgOffers->model(), f.window->offersModel());
        // The queries grid's cursor is on its first row, without any selection step.
        QCOMPARE(f.window->dbgQueries->currentIndex().row(), 0);
        QCOMPARE(f.queriesEntered.count(), 0);

        // A screen reader finds both grids by name and their shown columns by title, and hears
        // what the envelope and the bold name only show.
        QCOMPARE(accessibleOf(f.window->dbgQueries)->text(QAccessible::Name),
                 QStringLiteral("Поиски"));
        QCOMPARE(accessibleOf(f.window->dbgOffers)->text(QAccessible::Name),
                 QStringLiteral("Объявления"));
        QCOMPARE(spokenHeaders(f.window->dbgQueries),
                 QStringLiteral("Обновлено Поиск").split(u' '));
        QCOMPARE(spokenHeaders(f.window->dbgOffers),
                 QStringLiteral("Непрочитано Комнат Адрес Трансп. Цена м/т Контакт Дата/время")
                     .split(u' '));
        QCOMPARE(spokenCell(f.window->dbgQueries, 0, 0), QStringLiteral("есть новые"));
        QCOMPARE(spokenCell(f.window->dbgQueries, 0, 1), QStringLiteral("Однушки у метро"));
        // The counts come from the data thread once asked for.
        QTRY_COMPARE(spokenCell(f.window->dbgQueries, 0, 1, QAccessible::Description),
                     QStringLiteral("Непрочитанных: 2 из 3"));
    }

    void columnEnterRule() {
        Fixture f;
        QVERIFY(f.show());
        DataGrid* queries = f.window->dbgQueries;
        OffersModel* offers = f.window->offersModel();

        GridAnnouncements heard;
        // A click in the first column only moves the cursor.
        f.click(queries, 1, QStringLiteral("updated"));
        QCOMPARE(queries->currentIndex().row(), 1);
        QCOMPARE(offers->queryId(), 0);
        QCOMPARE(f.queriesEntered.count(), 0);

        // A click on the name selects the search: its listings, newest first.
        f.click(queries, 0, QStringLiteral("qname"));
        QCOMPARE(f.queriesEntered.count(), 1);
        QCOMPARE(offers->queryId(), 10);
        QCOMPARE(offers->rowCount(), 3);
        QCOMPARE(offers->keyOfRow(0), QVariant(QStringLiteral("a3")));
        QCOMPARE(offers->keyOfRow(2), QVariant(QStringLiteral("a1")));
        QCOMPARE(f.window->dbgOffers->currentIndex().row(), 0);
        // Selecting a search opens no listing.
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) FROM Offers WHERE unreaded=0")),
                 QStringLiteral("1"));
        // The listings' cursor moved, but the keyboard stayed in the searches: a screen reader
        // is told of the search clicked, and of no cell of the listings.
        const auto focus = heard.of(QAccessible::Focus);
        QVERIFY(!focus.isEmpty());
        QCOMPARE(focus.last().grid, queries);
        QCOMPARE(focus.last().name, QStringLiteral("Однушки у метро"));
        QVERIFY(heard.of(QAccessible::Focus, f.window->dbgOffers).isEmpty());

        // Arrow keys move without selecting.
        queries->setFocus();
        QTest::keyClick(queries, Qt::Key_Down);
        QCOMPARE(queries->currentIndex().row(), 1);
        QCOMPARE(offers->queryId(), 10);
        QCOMPARE(f.queriesEntered.count(), 1);

        // Tab selects the search under the cursor.
        QTest::keyClick(queries, Qt::Key_Tab);
        QVERIFY(listingsRead(*f.window));
        QCOMPARE(f.queriesEntered.count(), 2);
        QCOMPARE(offers->queryId(), 20);
        QCOMPARE(offers->rowCount(), 1);

        // A search without listings empties the grid and the details.
        f.window->pnlBottom->lblMin_obj->setText(QStringLiteral("старое"));
        f.click(queries, 2, QStringLiteral("qname"));
        QCOMPARE(offers->queryId(), 30);
        QCOMPARE(offers->rowCount(), 0);
        QCOMPARE(f.window->pnlBottom->lblMin_obj->text(), QString());

        // The listings grid obeys the same rule; none of this was the program's doing.
        f.click(queries, 0, QStringLiteral("qname"));
        f.click(f.window->dbgOffers, 1, QStringLiteral("unreaded"));
        QCOMPARE(f.offersEntered.count(), 0);
        QCOMPARE(f.details(), QStringList(12, QString()));
        QTest::keyClick(f.window->dbgOffers, Qt::Key_Up);
        QCOMPARE(f.offersEntered.count(), 0);
        QCOMPARE(f.stored(QStringLiteral("SELECT unreaded FROM Offers WHERE id='a3'")),
                 QStringLiteral("1"));
        f.click(f.window->dbgOffers, 1, QStringLiteral("metro_obj"));
        QCOMPARE(f.offersEntered.count(), 1);
        QCOMPARE(f.window->pnlBottom->lblMetro_obj->text(),
                 QStringLiteral("Профсоюзная, ул. Вавилова 5/2"));
    }

    void emptyQueriesGridSelectsNothing() {
        Sandbox sandbox;
        RecordedBoxes recorded;
        {
            auto db = sandbox.createDb();
            db->insertOffer(listing(QStringLiteral("x"), 0, at(2024, 1, 1)));
        }
        auto window = startWindow();
        // The offers of "no search" are what the grid shows; a click in the empty queries
        // grid keeps them.
        QCOMPARE(window->offersModel()->rowCount(), 1);
        window->dbgQueriesColEnter();
        QCOMPARE(window->offersModel()->rowCount(), 1);
        QVERIFY(recorded.boxes.shown.isEmpty());
    }

    void selectingListings_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("click") << QStringLiteral("click");
        QTest::newRow("tab") << QStringLiteral("tab");
    }
    void selectingListings() {
        QFETCH(QString, how);
        Fixture f;
        QVERIFY(f.show());
        f.click(f.window->dbgQueries, 0, QStringLiteral("qname"));
        DataGrid* grid = f.window->dbgOffers;
        OffersModel* offers = f.window->offersModel();
        QueriesModel* queries = f.window->queriesModel();
        const auto select = [&](int row) {
            if (how == QStringLiteral("click")) {
                f.click(grid, row, QStringLiteral("price_obj"));
            } else {
                f.click(grid, row, QStringLiteral("unreaded"));
                grid->setFocus();
                QTest::keyClick(grid, Qt::Key_Tab);
                QVERIFY(readsAnswered(*f.window));
            }
        };

        // The already read listing: its details, and the search's envelope opens, while the
        // name stays bold (two listings are still unread).
        select(2);
        QCOMPARE(
            f.details(),
            (QStringList{QStringLiteral("5 п/1"), QStringLiteral("Профсоюзная, ул. Вавилова 5/1"),
                         QStringLiteral("2"), QStringLiteral("8"), QStringLiteral("45000"),
                         QStringLiteral("50%"), QStringLiteral("3/9"), QStringLiteral("м/1"),
                         QStringLiteral("8-916-000-00-00"), QStringLiteral("Хорошая квартира/1"),
                         QStringLiteral("агент/1"), dateTimeDisplayText(at(2024, 3, 1, 10, 30))}));
        QCOMPARE(f.stored(QStringLiteral("SELECT updated || unreaded FROM Queries WHERE id=10")),
                 QStringLiteral("01"));
        QCOMPARE(f.value(queries, 10, QStringLiteral("updated")), QVariant(false));
        QCOMPARE(f.value(queries, 10, QStringLiteral("unreaded")), QVariant(true));

        // An unread one loses its bullet at once, and a screen reader that read the bullet's
        // words is told they are gone.
        QCOMPARE(spokenCell(grid, 0, 0), QStringLiteral("непрочитано"));
        GridAnnouncements heard;
        select(0);
        QCOMPARE(spokenCell(grid, 0, 0), QString());
        const auto renamed = heard.of(QAccessible::NameChanged, grid);
        QCOMPARE(renamed.size(), 1);
        QCOMPARE(renamed[0].row, 0);
        QCOMPARE(renamed[0].column, 0);
        QCOMPARE(f.window->pnlBottom->lblDt_obj->text(), dateTimeDisplayText(at(2024, 3, 3, 9, 5)));
        QCOMPARE(f.stored(QStringLiteral("SELECT unreaded FROM Offers WHERE id='a3'")),
                 QStringLiteral("0"));
        QCOMPARE(f.value(offers, QStringLiteral("a3"), QStringLiteral("unreaded")),
                 QVariant(false));
        QCOMPARE(f.value(queries, 10, QStringLiteral("unreaded")), QVariant(true));

        // The last unread listing of the search takes the bold away in the same action; the
        // other search keeps its flags. A midnight time is left out of the date.
        select(1);
        QCOMPARE(f.window->pnlBottom->lblDt_obj->text(), dateTimeDisplayText(at(2024, 3, 2)));
        QVERIFY(!f.window->pnlBottom->lblDt_obj->text().contains(u':'));
        QCOMPARE(f.stored(QStringLiteral("SELECT updated || unreaded FROM Queries WHERE id=10")),
                 QStringLiteral("00"));
        QCOMPARE(f.value(queries, 10, QStringLiteral("unreaded")), QVariant(false));
        QCOMPARE(f.stored(QStringLiteral("SELECT updated || unreaded FROM Queries WHERE id=20")),
                 QStringLiteral("11"));
        QCOMPARE(f.stored(QStringLiteral("SELECT COUNT(*) FROM Offers WHERE unreaded=1")),
                 QStringLiteral("1"));

        // Refreshing the rows moved no cursor and ran no selection.
        QCOMPARE(grid->currentIndex().row(), 1);
        QCOMPARE(f.window->dbgQueries->currentIndex().row(), 0);
        QCOMPARE(f.queriesEntered.count(), 1);
        QCOMPARE(f.offersEntered.count(), 3);
        QVERIFY(f.recorded.boxes.shown.isEmpty());
    }

    void listingFlagsFollowItsOwnSearch() {
        Fixture f;
        QVERIFY(f.show());
        f.click(f.window->dbgQueries, 1, QStringLiteral("qname"));
        // The queries cursor moves away without selecting another search.
        f.click(f.window->dbgQueries, 0, QStringLiteral("updated"));
        f.click(f.window->dbgOffers, 0, QStringLiteral("metro_obj"));
        QCOMPARE(f.stored(QStringLiteral("SELECT updated || unreaded FROM Queries WHERE id=20")),
                 QStringLiteral("00"));
        QCOMPARE(f.stored(QStringLiteral("SELECT updated || unreaded FROM Queries WHERE id=10")),
                 QStringLiteral("11"));
    }

    void nullFieldsShowEmpty() {
        Fixture f;
        {
            RawConnection raw(f.sandbox.dbPath());
            raw.exec(QStringLiteral("UPDATE Offers SET price_obj=NULL, dt_obj=NULL WHERE id='b1'"));
        }
        QVERIFY(f.show());
        f.click(f.window->dbgQueries, 1, QStringLiteral("qname"));
        f.window->pnlBottom->lblPrice_obj->setText(QStringLiteral("старое"));
        f.click(f.window->dbgOffers, 0, QStringLiteral("cont_obj"));
        QCOMPARE(f.window->pnlBottom->lblPrice_obj->text(), QString());
        QCOMPARE(f.window->pnlBottom->lblDt_obj->text(), QString());
        QCOMPARE(f.window->pnlBottom->lblCont_obj->text(), QStringLiteral("8-916-000-00-00"));
    }

    void nothingToOpenClearsDetails_data() {
        QTest::addColumn<int>("search");
        QTest::addColumn<QString>("change");
        QTest::newRow("empty search") << 2 << QString();
        // Deleted by another program after the keys were read: its row reads blank.
        QTest::newRow("listing gone") << 0 << QStringLiteral("DELETE FROM Offers WHERE id='a3'");
    }
    void nothingToOpenClearsDetails() {
        QFETCH(int, search);
        QFETCH(QString, change);
        Fixture f;
        RawConnection(f.sandbox.dbPath())
            .exec(QStringLiteral("INSERT INTO Queries VALUES (0, 'zero', 1, 1)"));
        QVERIFY(f.show());
        f.click(f.window->dbgQueries, search, QStringLiteral("qname"));
        if (!change.isEmpty()) {
            RawConnection(f.sandbox.dbPath()).exec(change);
            f.window->offersModel()->setPageSize(OffersModel::defaultPageSize); // drops the rows
        }
        f.window->pnlBottom->lblCont_obj->setText(QStringLiteral("старое"));
        // An empty grid still offers its first line to click into.
        const QRect first(0, 0, 400, f.window->dbgOffers->verticalHeader()->defaultSectionSize());
        QTest::mouseClick(f.window->dbgOffers->viewport(), Qt::LeftButton, {},
                          QPoint(200, first.center().y()));
        QCOMPARE(f.offersEntered.count(), 1);
        QCOMPARE(f.window->pnlBottom->lblCont_obj->text(), QString());
        QCOMPARE(f.stored(QStringLiteral("SELECT updated FROM Queries WHERE id=0")),
                 QStringLiteral("1"));
    }

    void listingMarkWaitsForALock() {
        Fixture f;
        QVERIFY(f.show());
        f.click(f.window->dbgQueries, 0, QStringLiteral("qname"));
        // Another program holds the write lock longer than the engine waits.
        RawConnection raw(f.sandbox.dbPath());
        sqlite3_busy_timeout(raw.handle(), 0);
        raw.exec(QStringLiteral("BEGIN EXCLUSIVE"));
        const QModelIndex index = f.window->dbgOffers->model()->index(
            0, fieldColumn(f.window->dbgOffers->model(), QStringLiteral("metro_obj")));
        QTest::mouseClick(f.window->dbgOffers->viewport(), Qt::LeftButton, {},
                          f.window->dbgOffers->visualRect(index).center());
        // Details shown at once; the mark waits for the lock, and is kept, not lost.
        QCOMPARE(f.window->pnlBottom->lblPrice_obj->text(), QStringLiteral("45000"));
        QTest::qWait(400);
        raw.exec(QStringLiteral("ROLLBACK"));
        QTRY_COMPARE(f.stored(QStringLiteral("SELECT unreaded FROM Offers WHERE id='a3'")),
                     QStringLiteral("0"));
        QTRY_COMPARE(
            f.value(f.window->offersModel(), QStringLiteral("a3"), QStringLiteral("unreaded")),
            QVariant(false));
        QVERIFY(f.recorded.boxes.shown.isEmpty());
        QCOMPARE(f.sandbox.logMessages().filter(QStringLiteral("locked")), QStringList());
    }

    void paneKeys_data() {
        QTest::addColumn<QString>("from");
        QTest::addColumn<bool>("back");
        QTest::addColumn<QString>("to");
        QTest::newRow("searches, F6") << "dbgQueries" << false << "dbgOffers";
        QTest::newRow("listings, F6") << "dbgOffers" << false << "pnlBottom";
        QTest::newRow("details, F6") << "pnlBottom" << false << "dbgQueries";
        QTest::newRow("searches, Shift+F6") << "dbgQueries" << true << "pnlBottom";
        // The filter line belongs to the listings.
        QTest::newRow("filter line, F6") << "edtFilter" << false << "pnlBottom";
        QTest::newRow("filter line, Shift+F6") << "edtFilter" << true << "dbgQueries";
    }
    void paneKeys() {
        QFETCH(QString, from);
        QFETCH(bool, back);
        QFETCH(QString, to);
        Fixture f;
        QVERIFY(f.show());
        f.click(f.window->dbgQueries, 0, QStringLiteral("qname"));
        if (from == QStringLiteral("edtFilter"))
            f.window->listingCommands()->openFilter();
        else
            f.window->findChild<QWidget*>(from)->setFocus();
        GridAnnouncements heard;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6,
                        back ? Qt::ShiftModifier : Qt::NoModifier);
        QWidget* focus = QApplication::focusWidget();
        auto* target = f.window->findChild<QWidget*>(to);
        QVERIFY(focus == target || target->isAncestorOf(focus));
        if (auto* grid = qobject_cast<DataGrid*>(target)) {
            // A screen reader is taken to the row the grid's cursor is on.
            QTRY_VERIFY(!heard.of(QAccessible::Focus, grid).isEmpty());
            QCOMPARE(heard.of(QAccessible::Focus, grid).last().row, grid->currentIndex().row());
        }
    }

    void failedSearchSelectionClosesTheListings() {
        Fixture f;
        QVERIFY(f.show());
        f.click(f.window->dbgQueries, 0, QStringLiteral("qname"));
        {
            RawConnection raw(f.sandbox.dbPath());
            raw.exec(QStringLiteral("ALTER TABLE Offers RENAME TO OffersAway"));
        }
        f.click(f.window->dbgQueries, 1, QStringLiteral("qname"));
        QTRY_COMPARE(f.recorded.boxes.shown.size(), 1);
        QCOMPARE(f.recorded.boxes.shown[0].kind, MessageRequest::Kind::Error);
        QVERIFY(f.window->offersModel() == nullptr);
        QVERIFY(f.window->dbgOffers->model() == nullptr);
        // Later selections do nothing until the listings are opened again.
        f.click(f.window->dbgQueries, 0, QStringLiteral("qname"));
        QCOMPARE(f.recorded.boxes.shown.size(), 1);
        QTest::mouseClick(f.window->dbgOffers->viewport(), Qt::LeftButton, {}, QPoint(200, 5));
        f.window->dbgOffersColEnter();
        QCOMPARE(f.recorded.boxes.shown.size(), 1);
    }
};

QTEST_MAIN(TestMainWindowGrids)
#include "tst_mainwindow_grids.moc"
