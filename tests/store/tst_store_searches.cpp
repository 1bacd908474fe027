// Working through a search's listings on a real database file: marking it read, its counts,
// the quick filter and the CSV export.

#include "store/csvexport.h"
#include "store/flathistory.h"
#include "store/offercounts.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "store/readmarks.h"
#include "store/storetestsupport.h"
#include "store/tablemodel.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <tuple>
#include <utility>

using namespace domiva;
using namespace domiva::test;
using namespace Qt::StringLiterals;

namespace {

struct Fixture : ThreeSearches {
    // "qid:unread/total:updated unreaded" of every search.
    QStringList state() {
        QStringList result;
        for (const qint32 qid : db->queryIds()) {
            const OfferCounts n = offerCounts(*db, qid);
            result << u"%1:%2/%3:"_s.arg(qid).arg(n.unread).arg(n.total) +
                          raw().value(
                              u"SELECT updated || unreaded FROM Queries WHERE id=%1"_s.arg(qid));
        }
        return result;
    }
};

QStringList keys(const StoreTableModel& model) {
    QStringList result;
    for (int row = 0; row < model.rowCount(); ++row)
        result << model.keyOfRow(row).toString();
    return result;
}

} // namespace

class TestStoreSearches : public QObject {
    Q_OBJECT

private slots:
    void markQueryRead_data() {
        QTest::addColumn<int>("qid");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<int>("sliceRows");
        QTest::newRow("search with unread listings")
            << 10 << QStringList{u"10:0/3:00"_s, u"20:1/1:11"_s, u"30:0/0:11"_s} << 100;
        QTest::newRow("search with unread listings, a listing a slice")
            << 10 << QStringList{u"10:0/3:00"_s, u"20:1/1:11"_s, u"30:0/0:11"_s} << 1;
        QTest::newRow("search without listings")
            << 30 << QStringList{u"10:2/3:11"_s, u"20:1/1:11"_s, u"30:0/0:00"_s} << 100;
        QTest::newRow("unknown search")
            << 99 << QStringList{u"10:2/3:11"_s, u"20:1/1:11"_s, u"30:0/0:11"_s} << 100;
    }
    void markQueryRead() {
        QFETCH(int, qid);
        QFETCH(QStringList, after);
        QFETCH(int, sliceRows);
        Fixture f;
        int slices = 0;
        domiva::markQueryRead(*f.db, qid, sliceRows, [&slices] { ++slices; });
        // Each slice a transaction of its own, and the last one finds nothing more.
        QCOMPARE(slices, qid == 10 ? 2 / sliceRows + 1 : 1);
        QCOMPARE(f.state(), after);
        // The count is the name's tooltip.
        const QString tooltip = QStringLiteral("Непрочитанных: %1 из 3").arg(qid == 10 ? 0 : 2);
        QueriesModel model(*f.db);
        QCOMPARE(model.data(model.index(0, 1), Qt::ToolTipRole).toString(), tooltip);
        // Counted elsewhere: no tooltip at first, then the counts, told by dataChanged.
        std::function<void(std::optional<OfferCounts>)> deliver;
        model.setCountReader([&deliver](qint32, QObject*, auto answer) { deliver = answer; });
        QSignalSpy told(&model, &QAbstractItemModel::dataChanged);
        QVERIFY(model.data(model.index(0, 1), Qt::ToolTipRole).isNull());
        QVERIFY(deliver);
        deliver(offerCounts(*f.db, 10));
        QCOMPARE(told.count(), 1);
        QCOMPARE(model.data(model.index(0, 1), Qt::ToolTipRole).toString(), tooltip);
        // Asked again after each of two changes: the answer to the first, late, is not taken
        // for the counts of now.
        f.db->markOfferRead(QStringLiteral("a3"), 10);
        QVERIFY(model.data(model.index(0, 1), Qt::ToolTipRole).isNull());
        const auto earlier = deliver;
        const OfferCounts before = offerCounts(*f.db, 10);
        domiva::markQueryRead(*f.db, 10);
        QVERIFY(model.data(model.index(0, 1), Qt::ToolTipRole).isNull());
        earlier(before);
        QVERIFY(model.data(model.index(0, 1), Qt::ToolTipRole).isNull());
        deliver(offerCounts(*f.db, 10));
        QCOMPARE(model.data(model.index(0, 1), Qt::ToolTipRole).toString(),
                 QStringLiteral("Непрочитанных: 0 из 3"));
    }

    void filter_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("Cyrillic, other case") << u"сОКОЛ"_s << QStringList{u"a3"_s, u"a2"_s};
        QTest::newRow("Ё folds") << u"ёлка"_s << QStringList{u"a1"_s};
        QTest::newRow("ё typed with a combining diaeresis")
            << u"Е\u0308ЛКА"_s << QStringList{u"a1"_s};
        QTest::newRow("ASCII case") << u"ABC"_s << QStringList{u"a2"_s};
        QTest::newRow("common") << u"/"_s << QStringList{u"a3"_s, u"a2"_s, u"a1"_s};
        QTest::newRow("folded longer") << u"ⱥ"_s << QStringList{u"a2"_s};
        QTest::newRow("percent literal") << u"50%"_s << QStringList{u"a3"_s};
        QTest::newRow("percent alone") << u"%"_s << QStringList{u"a3"_s};
        QTest::newRow("underscore literal") << u"a_b"_s << QStringList{u"a2"_s};
        QTest::newRow("field not searched") << u"кухня"_s << QStringList{};
        QTest::newRow("not across two fields") << u"рубⱥ"_s << QStringList{};
        QTest::newRow("ASCII word, capitals") << u"QUICK brown FOX"_s << QStringList{u"a1"_s};
        QTest::newRow("other search's listing") << u"b1/"_s << QStringList{};
        QTest::newRow("empty shows all") << QString() << QStringList{u"a3"_s, u"a2"_s, u"a1"_s};
    }
    void filter() {
        QFETCH(QString, text);
        QFETCH(QStringList, found);
        Fixture f;
        RawConnection raw = f.raw();
        raw.exec(u"UPDATE Offers SET owntxt_obj='ЁЛКА', kitch_obj='кухня', "
                 u"publ_obj='The Quick Brown Fox' WHERE id='a1'"_s);
        raw.exec(u"UPDATE Offers SET metro_obj='СОКОЛ', publ_obj='abc a_b', perc_obj='50 руб', "
                 u"flat_obj='Ⱥ' WHERE id='a2'"_s);
        raw.exec(u"UPDATE Offers SET cont_obj='сокол', perc_obj='50%', owntxt_obj='axb' "
                 u"WHERE id='a3'"_s);
        // The same order, with a tie broken by id and a listing without a date.
        raw.exec(u"UPDATE Offers SET dt_obj=(SELECT dt_obj FROM Offers WHERE id='a2') "
                 u"WHERE id='a3'"_s);
        raw.exec(u"UPDATE Offers SET dt_obj=NULL WHERE id='a1'"_s);
        // One statement, then slices of one and two listings over pages of two rows.
        for (const int slice : {0, 1, 2}) {
            OffersModel model(*f.db);
            model.setFilterSlice(slice, 1000);
            model.setPageSize(2);
            model.setQueryId(10);
            const auto shownSoFar = [&] { QCOMPARE(keys(model), found.mid(0, model.rowCount())); };
            QObject::connect(&model, &QAbstractItemModel::rowsInserted, &model, shownSoFar);
            model.setFilter(text);
            shownSoFar();
            QTRY_VERIFY(!model.filterScanning());
            QCOMPARE(keys(model), found);
            model.setQueryId(10); // another search clears it
            QCOMPARE(keys(model).size(), 3);
        }
    }

    void exportSearch_data() {
        QTest::addColumn<int>("chunk");
        QTest::addColumn<bool>("cancelled");
        QTest::addColumn<QString>("comment");
        QTest::addColumn<QString>("meanwhile"); // another writer, after the first chunk
        const QString mixed = u"a, \"b\"\r\nc"_s;
        QTest::newRow("one chunk") << 100 << false << mixed << QString();
        QTest::newRow("row by row") << 1 << false << mixed << QString();
        QTest::newRow("cancelled halfway") << 1 << true << mixed << QString();
        QTest::newRow("only double quotes") << 100 << false << u"\"\""_s << QString();
        QTest::newRow("only a line break") << 100 << false << u"\n"_s << QString();
        QTest::newRow("search removed") << 1 << false << mixed
                                        << u"DELETE FROM Offers WHERE qid=10; "
                                           u"DELETE FROM Queries WHERE id=10"_s;
        QTest::newRow("database cleared")
            << 1 << false << mixed << u"DELETE FROM Offers; DELETE FROM Queries"_s;
    }
    void exportSearch() {
        QFETCH(int, chunk);
        QFETCH(bool, cancelled);
        QFETCH(QString, comment);
        QFETCH(QString, meanwhile);
        Fixture f;
        f.raw().exec(
            u"UPDATE Offers SET owntxt_obj='%1', dt_obj=NULL WHERE id='a1'"_s.arg(comment));
        QTemporaryDir out;
        const QString path = out.filePath(QStringLiteral("out.csv"));
        const QStringList header = u"Трансп.,Адрес,Комнат,Кухня,Цена,Комиссия,Этаж,м/т,Контакт,"
                                   u"Комментарии,автор,дата/время"_s.split(u',');
        {
            OfferCsvExport csv(*f.db, 10, path, header);
            QCOMPARE(csv.total(), qint64(3));
            bool more = csv.writeChunk(chunk);
            if (!meanwhile.isEmpty())
                f.raw().exec(meanwhile);
            while (more && !cancelled)
                more = csv.writeChunk(chunk);
            QCOMPARE(more, cancelled);
            if (cancelled)
                csv.cancel();
            else if (!meanwhile.isEmpty())
                QVERIFY_THROWS_EXCEPTION(Error, csv.commit());
            else
                csv.commit();
        }
        if (cancelled || !meanwhile.isEmpty()) {
            QCOMPARE(entriesOf(out.path()), QStringList());
            return;
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY(bytes.startsWith("\xEF\xBB\xBF"));
        const QList<QStringList> records = parseCsv(QString::fromUtf8(bytes.mid(3)));
        QCOMPARE(records.size(), 4);
        QCOMPARE(records[0], header);
        QCOMPARE(records[1][0], QStringLiteral("a3/0"));
        QCOMPARE(records[1][11], dateTimeDisplayText(at(2024, 3, 3, 9, 5)));
        QCOMPARE(records[2][10], QStringLiteral("a2/10"));
        // The listing without a date comes last; its comment survives whole.
        QCOMPARE(records[3][9], comment);
        QCOMPARE(records[3][11], QString());
    }
};

QTEST_GUILESS_MAIN(TestStoreSearches)
#include "tst_store_searches.moc"
