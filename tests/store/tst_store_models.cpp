#include "storetestsupport.h"

#include "core/datetimevalue.h"
#include "core/error.h"
#include "store/database.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "store/sqlutil.h"

#include <QLocale>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <utility>

using namespace domiva;
using namespace domiva::test;

namespace {

QStringList columnTexts(const QAbstractItemModel& model, int column, int role = Qt::EditRole) {
    QStringList texts;
    for (int row = 0; row < model.rowCount(); ++row)
        texts << model.data(model.index(row, column), role).toString();
    return texts;
}

// Reads keys as the data thread does, but hands them over only when the test says so.
struct HeldKeyReader {
    Database& db;
    std::vector<std::function<void()>> held;

    OfferKeyReader reader() {
        return [this](std::shared_ptr<OfferKeyScan> scan, QObject*,
                      std::function<void(OfferKeyBatch)> deliver) {
            held.push_back([this, scan, deliver] {
                OfferKeyBatch batch;
                batch.finished = scan->next(db, batch.keys);
                if (!scan->cancelled())
                    deliver(std::move(batch));
            });
        };
    }
    void answer() {
        for (auto& reply : std::exchange(held, {}))
            reply();
    }
};

} // namespace

class TestStoreModels : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    std::unique_ptr<Database> m_db;

    // Offers "o00".."oNN" of search qid, one minute apart, the highest number the newest.
    void addOffers(qint32 qid, int count, const QString& prefix = QStringLiteral("o")) {
        Transaction transaction(*m_db);
        for (int i = 0; i < count; ++i)
            QVERIFY(m_db->insertOffer(
                makeOffer(prefix + QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0')), qid,
                          at(2024, 3, 1, 10, i % 60) + i / 60)));
        transaction.commit();
    }

    // The ids of search qid in the order the engine sorts them for the grid.
    QStringList engineOrder(qint32 qid) {
        RawConnection raw(m_path);
        return raw.rows(QStringLiteral("SELECT id FROM Offers WHERE qid=%1 "
                                       "ORDER BY dt_obj DESC, id DESC")
                            .arg(qid));
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_path = m_dir->filePath(QStringLiteral("db"));
        createDatabase(m_path);
        m_db = openDatabase(m_path);
    }
    void cleanup() {
        m_db.reset();
        m_dir.reset();
    }

    void columnOfFindsFieldNames() {
        QueriesModel queries(*m_db);
        OffersModel offers(*m_db);
        QCOMPARE(columnOf(&queries, u"qname"), 1);
        QCOMPARE(columnOf(&queries, u"UNREADED"), 3);
        QCOMPARE(columnOf(&offers, u"room_obj"), 5);
        QCOMPARE(columnOf(&offers, u"Dt_obj"), 14);
        QCOMPARE(columnOf(&offers, u"nothing"), -1);
        QCOMPARE(columnOf(nullptr, u"id"), -1);
    }

    void queriesModelShowsTheTable() {
        m_db->storeQuery(30, QStringLiteral("тридцать"));
        m_db->storeQuery(10, QStringLiteral("ten \"quoted\""));
        m_db->storeQuery(20, QStringLiteral("twenty"));
        QVERIFY(m_db->insertOffer(makeOffer(QStringLiteral("a"), 10, 1)));
        m_db->markOfferRead(QStringLiteral("a"), 10);
        RawConnection raw(m_path);
        raw.exec(QStringLiteral("INSERT INTO Queries VALUES (40, NULL, NULL, 5)"));

        QueriesModel model(*m_db);
        QCOMPARE(model.columnCount(), 4);
        QStringList headers;
        for (int c = 0; c < model.columnCount(); ++c)
            headers << model.headerData(c, Qt::Horizontal).toString();
        QCOMPARE(headers, (QStringList{"id", "qname", "updated", "unreaded"}));
        QCOMPARE(model.rowCount(), 4);
        QVERIFY(!model.canFetchMore(QModelIndex()));
        // Rows in the order they were stored.
        QCOMPARE(columnTexts(model, 0), (QStringList{"30", "10", "20", "40"}));
        QCOMPARE(columnTexts(model, 1, Qt::DisplayRole),
                 (QStringList{"тридцать", "ten \"quoted\"", "twenty", ""}));

        const QVariant id = model.data(model.index(0, 0), Qt::EditRole);
        QCOMPARE(id.typeId(), int(QMetaType::Int));
        QCOMPARE(id.toInt(), 30);
        QCOMPARE(model.data(model.index(0, 2), Qt::EditRole), QVariant(true));
        QCOMPARE(model.data(model.index(1, 2), Qt::EditRole), QVariant(false));
        QCOMPARE(model.data(model.index(1, 3), Qt::EditRole), QVariant(false));
        QCOMPARE(model.data(model.index(3, 3), Qt::EditRole), QVariant(true));
        QVERIFY(!model.data(model.index(3, 2), Qt::EditRole).isValid()); // NULL
        QVERIFY(!model.data(model.index(3, 1), Qt::EditRole).isValid());
        QCOMPARE(model.data(model.index(0, 2), Qt::DisplayRole).toString(), QString());
        QCOMPARE(model.data(model.index(0, 0), Qt::DisplayRole).toString(), QStringLiteral("30"));
        QVERIFY(!model.data(model.index(4, 0), Qt::EditRole).isValid());
        QVERIFY(!(model.flags(model.index(0, 1)) & Qt::ItemIsEditable));

        QCOMPARE(model.keyOfRow(1), QVariant(10));
        QVERIFY(!model.keyOfRow(4).isValid());
        QCOMPARE(model.rowOfKey(20), 2);
        QCOMPARE(model.rowOfKey(qlonglong(20)), 2);
        QCOMPARE(model.rowOfKey(99), -1);
        const QVariantMap values = model.rowValues(1, Qt::EditRole);
        QCOMPARE(values.value(QStringLiteral("qname")).toString(),
                 QStringLiteral("ten \"quoted\""));
        QCOMPARE(values.value(QStringLiteral("updated")), QVariant(false));
    }

    void offersModelStartsWithSearchZero() {
        addOffers(5, 3);
        QVERIFY(m_db->insertOffer(makeOffer(QStringLiteral("zero"), 0, 1)));
        OffersModel model(*m_db);
        QCOMPARE(model.queryId(), 0);
        QCOMPARE(model.columnCount(), 15);
        QStringList headers;
        for (int c = 0; c < model.columnCount(); ++c)
            headers << model.headerData(c, Qt::Horizontal).toString();
        QCOMPARE(headers, (QStringList{"id", "qid", "unreaded", "min_obj", "metro_obj", "room_obj",
                                       "kitch_obj", "price_obj", "perc_obj", "flat_obj", "info_obj",
                                       "cont_obj", "owntxt_obj", "publ_obj", "dt_obj"}));
        QCOMPARE(columnTexts(model, 0), QStringList{"zero"});
        model.setQueryId(5);
        QCOMPARE(model.queryId(), 5);
        QCOMPARE(columnTexts(model, 0), (QStringList{"o02", "o01", "o00"}));
        model.setQueryId(6);
        QCOMPARE(model.rowCount(), 0);
        QVERIFY(!model.canFetchMore(QModelIndex()));
    }

    void offersModelValues() {
        OfferRow offer = makeOffer(QStringLiteral("Id-1"), 3, at(2024, 3, 5, 14, 7, 9));
        offer.texts[9] = QStringLiteral("007");
        QVERIFY(m_db->insertOffer(offer));
        RawConnection raw(m_path);
        raw.exec(QStringLiteral("INSERT INTO Offers (id, qid, unreaded, min_obj, dt_obj) "
                                "VALUES ('raw', 3, 0, NULL, '2024-03-05 00:00:00.000')"));
        OffersModel model(*m_db);
        model.setQueryId(3);
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(model.data(model.index(0, 0), Qt::EditRole), QVariant(QStringLiteral("Id-1")));
        QCOMPARE(model.data(model.index(0, 1), Qt::EditRole), QVariant(3));
        QCOMPARE(model.data(model.index(0, 2), Qt::EditRole), QVariant(true));
        QCOMPARE(model.data(model.index(1, 2), Qt::EditRole), QVariant(false));
        QCOMPARE(model.data(model.index(0, 2), Qt::DisplayRole).toString(), QString());
        for (int i = 0; i < 11; ++i)
            QCOMPARE(model.data(model.index(0, 3 + i), Qt::EditRole).toString(), offer.texts[i]);
        const QVariant owntxt = model.data(model.index(0, 12), Qt::EditRole);
        QCOMPARE(owntxt.typeId(), int(QMetaType::QString));
        QCOMPARE(owntxt.toString(), QStringLiteral("007"));
        const QVariant date = model.data(model.index(0, 14), Qt::EditRole);
        QCOMPARE(date.typeId(), int(QMetaType::Double));
        QCOMPARE(date.toDouble(), offer.dt_obj);
        QVERIFY(!model.data(model.index(1, 3), Qt::EditRole).isValid());
        QCOMPARE(model.data(model.index(1, 3), Qt::DisplayRole).toString(), QString());
        QCOMPARE(model.data(model.index(1, 14), Qt::EditRole).toDouble(), at(2024, 3, 5));

        if (QLocale::system().name() != QLatin1String("ru_RU"))
            QSKIP("the display texts are checked under LC_ALL=ru_RU.UTF-8");
        QCOMPARE(model.data(model.index(0, 14), Qt::DisplayRole).toString(),
                 QStringLiteral("05.03.2024 14:07:09"));
        QCOMPARE(model.data(model.index(1, 14), Qt::DisplayRole).toString(),
                 QStringLiteral("05.03.2024"));
        const QVariantMap shown = model.rowValues(0);
        QCOMPARE(shown.value(QStringLiteral("dt_obj")).toString(),
                 QStringLiteral("05.03.2024 14:07:09"));
        QCOMPARE(shown.value(QStringLiteral("owntxt_obj")).toString(), QStringLiteral("007"));
        QCOMPARE(shown.size(), 15);
    }

    void dateTimeDisplay_data() {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("afternoon") << at(2024, 3, 5, 14, 7, 9) << "05.03.2024 14:07:09";
        QTest::newRow("midnight") << at(2024, 12, 31) << "31.12.2024";
        QTest::newRow("one second past") << at(2024, 12, 31, 0, 0, 1) << "31.12.2024 00:00:01";
        QTest::newRow("zero") << 0.0 << "30.12.1899";
        QTest::newRow("milliseconds dropped")
            << at(2001, 2, 3, 4, 5, 6) + 0.5 / 86400000.0 * 2 << "03.02.2001 04:05:06";
    }
    void dateTimeDisplay() {
        QFETCH(double, value);
        QFETCH(QString, text);
        if (QLocale::system().name() != QLatin1String("ru_RU"))
            QSKIP("the display texts are checked under LC_ALL=ru_RU.UTF-8");
        QCOMPARE(dateTimeDisplayText(value), text);
    }

    void pagesShowEveryRowInOrder_data() {
        QTest::addColumn<int>("pageSize");
        QTest::addColumn<int>("dated");    // offers with a date
        QTest::addColumn<bool>("oddRows"); // ties on the date, mixed case, no date
        QTest::newRow("1") << 1 << 20 << true;
        QTest::newRow("3") << 3 << 20 << true;
        QTest::newRow("7") << 7 << 20 << true;
        QTest::newRow("default") << OffersModel::defaultPageSize << 20 << true;
        QTest::newRow("empty search") << 5 << 0 << false;
        QTest::newRow("exactly one page") << 5 << 5 << false;
        QTest::newRow("one row past a page") << 5 << 6 << false;
    }
    void pagesShowEveryRowInOrder() {
        QFETCH(int, pageSize);
        QFETCH(int, dated);
        QFETCH(bool, oddRows);
        addOffers(2, dated);
        RawConnection raw(m_path);
        if (oddRows)
            raw.exec(QStringLiteral(
                "INSERT INTO Offers (id, qid, unreaded, dt_obj) VALUES "
                "('tie-a', 2, 1, '2024-03-01 10:05:00.000'), ('TIE-B', 2, 1, '2024-03-01 "
                "10:05:00.000'),"
                "('tie-c', 2, 1, '2024-03-01 10:05:00.000'), ('none-1', 2, 1, NULL),"
                "('NONE-2', 2, 1, NULL), ('none-3', 2, 1, NULL), ('other', 3, 1, NULL)"));
        const QStringList expected = engineOrder(2);

        OffersModel model(*m_db);
        model.setPageSize(pageSize);
        model.setPageLimit(2);
        model.setQueryId(2);
        // Every row is there at once, and reading them all holds no more than two pages.
        QCOMPARE(model.rowCount(), expected.size());
        QVERIFY(!model.canFetchMore(QModelIndex()));
        QCOMPARE(columnTexts(model, 0), expected);
        QVERIFY(model.pagesHeld() <= 2);
        QVERIFY(!model.data(model.index(expected.size(), 0), Qt::EditRole).isValid());
        if (!expected.isEmpty())
            QCOMPARE(model.keyOfRow(0).toString(), expected.first()); // a dropped page again
    }

    void keysFollowChangesOnRefresh_data() {
        QTest::addColumn<bool>("elsewhere");
        QTest::newRow("keys read here") << false;
        QTest::newRow("keys read elsewhere") << true;
    }
    void keysFollowChangesOnRefresh() {
        QFETCH(bool, elsewhere);
        addOffers(1, 10);
        OffersModel model(*m_db);
        HeldKeyReader keys{*m_db, {}};
        if (elsewhere)
            model.setKeyReader(keys.reader());
        model.setPageSize(4);
        // Asked for another search before the first answer came: that answer is dropped.
        model.setQueryId(2);
        model.setQueryId(1);
        QCOMPARE(model.readingKeys(), elsewhere);
        keys.answer();
        QCOMPARE(model.rowCount(), 10);
        // The user sits on the last page; a sync adds three newer offers, and one the user
        // has not seen yet goes, its row key taken by a listing of another search.
        QCOMPARE(model.keyOfRow(9).toString(), QStringLiteral("o00"));
        {
            Transaction transaction(*m_db);
            for (int i = 0; i < 3; ++i)
                QVERIFY(m_db->insertOffer(
                    makeOffer(QStringLiteral("n%1").arg(i), 1, at(2025, 1, 1, 0, i))));
            transaction.commit();
        }
        RawConnection raw(m_path);
        raw.exec(QStringLiteral("UPDATE Offers SET id='x05', qid=2 WHERE id='o05'"));
        // Until the refresh the rows read stay, the one gone reads blank.
        QCOMPARE(model.rowCount(), 10);
        QCOMPARE(model.keyOfRow(8).toString(), QStringLiteral("o01"));
        QVERIFY(!model.keyOfRow(4).isValid());
        model.refresh();
        // Read elsewhere, the rows stay until the new keys are there.
        QCOMPARE(model.rowCount(), elsewhere ? 10 : 12);
        keys.answer();
        QCOMPARE(model.rowCount(), 12);
        QCOMPARE(model.rowOfKey(QStringLiteral("o00")), 11);
        QCOMPARE(columnTexts(model, 0), (QStringList{"n2", "n1", "n0", "o09", "o08", "o07", "o06",
                                                     "o04", "o03", "o02", "o01", "o00"}));
    }

    void currentRowIsFoundAgainByKey() {
        addOffers(1, 50);
        addOffers(2, 5, QStringLiteral("x"));
        OffersModel model(*m_db);
        model.setPageSize(5);
        model.setQueryId(1);
        const int selected = 22;
        const QVariant key = model.keyOfRow(selected);
        QCOMPARE(key.toString(), QStringLiteral("o27"));

        // Three newer offers arrive; the keys kept by the grid find their rows again.
        {
            Transaction transaction(*m_db);
            for (int i = 0; i < 3; ++i)
                QVERIFY(m_db->insertOffer(
                    makeOffer(QStringLiteral("n%1").arg(i), 1, at(2025, 1, 1, 0, i))));
            transaction.commit();
        }
        model.refresh();
        QCOMPARE(model.rowCount(), 53);
        QCOMPARE(model.rowOfKey(key), selected + 3);
        // Found without reading a row.
        QCOMPARE(model.pagesHeld(), 0);
        QCOMPARE(model.keyOfRow(selected + 3), key);

        // Letter case does not matter, as for the engine.
        QCOMPARE(model.rowOfKey(QStringLiteral("O27")), selected + 3);

        // An offer of another search, a deleted one and NULL are not there.
        QCOMPARE(model.rowOfKey(QStringLiteral("x01")), -1);
        QCOMPARE(model.rowOfKey(QStringLiteral("gone")), -1);
        QCOMPARE(model.rowOfKey(QVariant()), -1);

        // An offer stored after the refresh is not shown yet.
        QVERIFY(m_db->insertOffer(makeOffer(QStringLiteral("newest"), 1, at(2031, 1, 1))));
        QCOMPARE(model.rowOfKey(QStringLiteral("newest")), -1);
        QCOMPARE(model.rowOfKey(QStringLiteral("o00")), 52);
    }

    void queriesRowFoundAgainAfterRefresh() {
        for (int id : {5, 3, 9})
            m_db->storeQuery(id, QString::number(id));
        QueriesModel model(*m_db);
        const QVariant key = model.keyOfRow(1);
        m_db->removeQuery(5);
        m_db->storeQuery(1, QStringLiteral("one"));
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        model.refresh();
        QCOMPARE(reset.count(), 1);
        QCOMPARE(columnTexts(model, 0), (QStringList{"3", "9", "1"}));
        QCOMPARE(model.rowOfKey(key), 0);
    }

    void refreshRowFollowsOneChange() {
        m_db->storeQuery(1, QStringLiteral("one"));
        addOffers(1, 3);
        QueriesModel queries(*m_db);
        OffersModel offers(*m_db);
        offers.setQueryId(1);
        QSignalSpy offersChanged(&offers, &QAbstractItemModel::dataChanged);
        QSignalSpy queriesChanged(&queries, &QAbstractItemModel::dataChanged);
        QSignalSpy offersReset(&offers, &QAbstractItemModel::modelReset);

        const QVariant key = offers.keyOfRow(1);
        m_db->markOfferRead(key.toString(), 1);
        offers.refreshRow(key);
        queries.refreshRow(1);
        QCOMPARE(offersChanged.count(), 1);
        QCOMPARE(offersChanged.first().at(0).value<QModelIndex>().row(), 1);
        QCOMPARE(offersChanged.first().at(1).value<QModelIndex>().column(), 14);
        QCOMPARE(offers.data(offers.index(1, 2), Qt::EditRole), QVariant(false));
        QCOMPARE(offers.data(offers.index(0, 2), Qt::EditRole), QVariant(true));
        QCOMPARE(queriesChanged.count(), 1);
        QCOMPARE(queries.data(queries.index(0, 2), Qt::EditRole), QVariant(false));
        QCOMPARE(queries.data(queries.index(0, 3), Qt::EditRole), QVariant(true));
        QCOMPARE(offersReset.count(), 0);

        // A row that is gone leaves the model; an unknown key changes nothing.
        QSignalSpy removed(&offers, &QAbstractItemModel::rowsRemoved);
        RawConnection(m_path).exec(QStringLiteral("DELETE FROM Offers WHERE id='o02'"));
        offers.refreshRow(QStringLiteral("O02"));
        QCOMPARE(removed.count(), 1);
        QCOMPARE(columnTexts(offers, 0), (QStringList{"o01", "o00"}));
        offers.refreshRow(QStringLiteral("unknown"));
        QCOMPARE(offers.rowCount(), 2);

        // A row read on a page that has been dropped since: nothing held to update, and the
        // page read again shows the row as stored.
        addOffers(3, 6, QStringLiteral("p"));
        offers.setPageSize(2);
        offers.setPageLimit(1);
        offers.setQueryId(3);
        QCOMPARE(offers.keyOfRow(0).toString(), QStringLiteral("p05"));
        QCOMPARE(offers.keyOfRow(4).toString(), QStringLiteral("p01"));
        offersChanged.clear();
        m_db->markOfferRead(QStringLiteral("p05"), 3);
        offers.refreshRowAt(0);
        QCOMPARE(offersChanged.count(), 0);
        QCOMPARE(offers.data(offers.index(0, 2), Qt::EditRole), QVariant(false));
        QCOMPARE(offers.data(offers.index(1, 2), Qt::EditRole), QVariant(true));
    }

    void bulkUpdateRefreshesOnceAtTheEnd() {
        m_db->storeQuery(1, QStringLiteral("one"));
        addOffers(1, 2);
        QueriesModel queries(*m_db);
        OffersModel offers(*m_db);
        offers.setQueryId(1);
        QSignalSpy queriesReset(&queries, &QAbstractItemModel::modelReset);
        QSignalSpy offersReset(&offers, &QAbstractItemModel::modelReset);
        QSignalSpy queriesChanged(&queries, &QAbstractItemModel::dataChanged);
        {
            BulkUpdate outer(queries);
            offers.beginBulkUpdate();
            offers.beginBulkUpdate();
            QVERIFY(offers.isBulkUpdating());
            m_db->storeQuery(2, QStringLiteral("two"));
            m_db->storeQuery(1, QStringLiteral("renamed"));
            QVERIFY(m_db->insertOffer(makeOffer(QStringLiteral("fresh"), 1, at(2030, 1, 1))));
            queries.refresh();
            queries.refreshRow(1);
            offers.refresh();
            QCOMPARE(queriesReset.count() + offersReset.count() + queriesChanged.count(), 0);
            QCOMPARE(queries.rowCount(), 1);
            offers.endBulkUpdate();
            QCOMPARE(offersReset.count(), 0);
            offers.endBulkUpdate();
            QCOMPARE(offersReset.count(), 1);
            QVERIFY(!offers.isBulkUpdating());
            offers.endBulkUpdate(); // unbalanced: ignored
            QCOMPARE(offersReset.count(), 1);
        }
        QCOMPARE(queriesReset.count(), 1);
        QCOMPARE(columnTexts(queries, 1, Qt::DisplayRole), (QStringList{"renamed", "two"}));
        QCOMPARE(columnTexts(offers, 0), (QStringList{"fresh", "o01", "o00"}));

        // Nothing changed (a known search under its own name, a known offer): no reading.
        {
            BulkUpdate again(offers);
            m_db->storeQuery(2, QStringLiteral("two"));
            QVERIFY(!m_db->insertOffer(makeOffer(QStringLiteral("FRESH"), 1, at(2030, 1, 1))));
        }
        QVERIFY(!offers.refreshIfChanged());
        QCOMPARE(offersReset.count(), 1);
        RawConnection raw(m_path);
        raw.exec(QStringLiteral("UPDATE Offers SET unreaded=0 WHERE id='fresh'"));
        QVERIFY(offers.refreshIfChanged());
        QCOMPARE(offersReset.count(), 2);
    }

    void loadFailuresAreReported() {
        addOffers(1, 10);
        m_db->storeQuery(1, QStringLiteral("one"));
        OffersModel offers(*m_db);
        offers.setPageSize(3);
        offers.setQueryId(1);
        QCOMPARE(offers.keyOfRow(0).toString(), QStringLiteral("o09"));
        QueriesModel queries(*m_db);
        QSignalSpy offersFailed(&offers, &StoreTableModel::loadFailed);
        QSignalSpy queriesFailed(&queries, &StoreTableModel::loadFailed);
        RawConnection raw(m_path);
        raw.exec(QStringLiteral("ALTER TABLE Offers RENAME TO Hidden"));
        raw.exec(QStringLiteral("ALTER TABLE Queries RENAME TO Hidden2"));

        // From the view's side: no exception, a signal, no further attempts, blank rows.
        QVERIFY(!offers.data(offers.index(4, 0), Qt::EditRole).isValid());
        QVERIFY(!offers.data(offers.index(7, 0), Qt::EditRole).isValid());
        QCOMPARE(offersFailed.count(), 1);
        QCOMPARE(offersFailed.first().at(0).toString(), QStringLiteral("no such table: Offers"));
        QCOMPARE(offers.rowCount(), 10);
        QCOMPARE(offers.keyOfRow(0).toString(), QStringLiteral("o09")); // a page held

        // From the program's side: an exception, and an empty model.
        try {
            offers.refresh();
            QFAIL("refresh did not fail");
        } catch (const Error& error) {
            QCOMPARE(error.message(), QStringLiteral("no such table: Offers"));
        }
        QCOMPARE(offers.rowCount(), 0);
        QVERIFY(!offers.canFetchMore(QModelIndex()));

        queries.beginBulkUpdate();
        queries.endBulkUpdate();
        QCOMPARE(queriesFailed.count(), 1);
        QCOMPARE(queriesFailed.first().at(0).toString(), QStringLiteral("no such table: Queries"));
        QCOMPARE(queries.rowCount(), 0);

        // Back again.
        raw.exec(QStringLiteral("ALTER TABLE Hidden RENAME TO Offers"));
        raw.exec(QStringLiteral("ALTER TABLE Hidden2 RENAME TO Queries"));
        offers.refresh();
        queries.refresh();
        QCOMPARE(offers.rowCount(), 10);
        QCOMPARE(queries.rowCount(), 1);

        // A page that failed to read (here: on a limit of the engine) is read again at the
        // next refresh, though nothing changed meanwhile.
        sqlite3* engine = sqlutil::engineHandle(m_db->connection());
        const int limit = sqlite3_limit(engine, SQLITE_LIMIT_LENGTH, 2);
        QVERIFY(!offers.keyOfRow(4).isValid());
        sqlite3_limit(engine, SQLITE_LIMIT_LENGTH, limit);
        QVERIFY(offers.refreshIfChanged());
        QCOMPARE(offers.keyOfRow(4).toString(), QStringLiteral("o05"));
    }

    // Another connection writes while our grids show rows; our own next write must still
    // succeed. A read left open would pin an old snapshot and make it fail at once.
    void anotherWriterDoesNotBlockOurWrites() {
        m_db->storeQuery(1, QStringLiteral("one"));
        addOffers(1, 30);
        QueriesModel queries(*m_db);
        OffersModel offers(*m_db);
        offers.setPageSize(10);
        offers.setQueryId(1);
        QCOMPARE(offers.keyOfRow(12).toString(), QStringLiteral("o17"));
        QCOMPARE(offers.rowOfKey(QStringLiteral("o05")), 24);

        // Our own reads, whose statements stay prepared between calls.
        QVERIFY(m_db->offerExists(QStringLiteral("o01")));
        QVERIFY(m_db->queryIds().contains(1));
        QCOMPARE(m_db->queryIds(), QList<qint32>{1});
        QVERIFY(m_db->hasUnreadOffers(1));

        RawConnection other(m_path);
        sqlite3_busy_timeout(other.handle(), 0);
        QCOMPARE(other.value(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("30"));
        other.exec(QStringLiteral("INSERT INTO Offers (id, qid, unreaded, dt_obj) VALUES "
                                  "('theirs', 1, 1, '2040-01-01 00:00:00.000')"));
        other.exec(QStringLiteral("UPDATE Queries SET qname='theirs' WHERE id=1"));

        QVERIFY(m_db->markOfferRead(QStringLiteral("o29"), 1));
        QVERIFY(m_db->insertOffer(makeOffer(QStringLiteral("ours"), 1, at(2041, 1, 1))));
        m_db->storeQuery(2, QStringLiteral("two"));
        other.exec(QStringLiteral("UPDATE Offers SET unreaded=0 WHERE id='o28'"));
        QCOMPARE(columnTexts(offers, 0).size(), 30);
        clearDatabaseFile(m_path);

        offers.refresh();
        queries.refresh();
        QCOMPARE(offers.rowCount(), 0);
        QCOMPARE(queries.rowCount(), 0);
        QCOMPARE(other.value(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("0"));
    }

    // The trap the test above guards against, shown with a read deliberately left open.
    void aReadLeftOpenMakesOurWriteFail() {
        addOffers(1, 5);
        QSqlQuery open(m_db->connection());
        open.setForwardOnly(true);
        QVERIFY(open.exec(QStringLiteral("SELECT id FROM Offers")));
        QVERIFY(open.next());
        RawConnection other(m_path);
        other.exec(QStringLiteral("DELETE FROM Offers WHERE id='o00'"));
        bool failed = false;
        try {
            m_db->storeQuery(7, QStringLiteral("seven"));
        } catch (const Error& error) {
            failed = true;
            QCOMPARE(error.message(), QStringLiteral("database is locked"));
        }
        QVERIFY(failed);
        open.finish();
        m_db->storeQuery(7, QStringLiteral("seven"));
        QVERIFY(m_db->queryIds().contains(7));
    }
};

QTEST_GUILESS_MAIN(TestStoreModels)
#include "tst_store_models.moc"
