// Working through a search's listings on a real database file: marking it read, its counts,
// the quick filter and the CSV export.

#include "store/listingtools.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "store/storetestsupport.h"
#include "store/tablemodel.h"

#include <QTemporaryDir>

using namespace domiva;
using namespace domiva::test;
using namespace Qt::StringLiterals;

namespace {

struct Fixture {
    QTemporaryDir dir;
    std::unique_ptr<Database> db;

    // Search 10: a1 (read), a2, a3 (unread, newest); search 20: b1 (unread); 30: no listings.
    Fixture() {
        createDatabase(dir.filePath(QStringLiteral("db")));
        db = openDatabase(dir.filePath(QStringLiteral("db")));
        for (const auto& [id, name] : {std::pair{10, "десять"}, {20, "двадцать"}, {30, "пусто"}})
            db->insertQuery(id, QString::fromUtf8(name));
        db->insertOffer(makeOffer(QStringLiteral("a1"), 10, at(2024, 3, 1, 10, 30)));
        db->insertOffer(makeOffer(QStringLiteral("a2"), 10, at(2024, 3, 2)));
        db->insertOffer(makeOffer(QStringLiteral("a3"), 10, at(2024, 3, 3, 9, 5)));
        db->insertOffer(makeOffer(QStringLiteral("b1"), 20, at(2024, 2, 1, 12)));
        raw().exec(QStringLiteral("UPDATE Offers SET unreaded=0 WHERE id='a1'"));
    }
    RawConnection raw() const { return RawConnection(db->path()); }
    // "qid:unread/total:updated unreaded" of every search.
    QStringList state() {
        QStringList result;
        for (const qint32 qid : db->queryIds()) {
            const OfferCounts counts = offerCounts(*db, qid);
            result << QStringLiteral("%1:%2/%3:%4")
                          .arg(qid)
                          .arg(counts.unread)
                          .arg(counts.total)
                          .arg(raw().value(QStringLiteral("SELECT updated || unreaded FROM "
                                                          "Queries WHERE id=%1")
                                               .arg(qid)));
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

// RFC 4180 records of a whole file.
QList<QStringList> parseCsv(const QString& text) {
    QList<QStringList> records{QStringList()};
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < text.size() && text[i + 1] == QLatin1Char('"'))
                field += text[++i];
            else if (c == QLatin1Char('"'))
                quoted = false;
            else
                field += c;
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            records.last() << field;
            field.clear();
        } else if (c == QLatin1Char('\r') && i + 1 < text.size() &&
                   text[i + 1] == QLatin1Char('\n')) {
            records.last() << field;
            field.clear();
            records.append(QStringList());
            ++i;
        } else {
            field += c;
        }
    }
    if (records.last().isEmpty())
        records.removeLast();
    return records;
}

} // namespace

class TestStoreListingTools : public QObject {
    Q_OBJECT

private slots:
    void markQueryRead_data() {
        QTest::addColumn<int>("qid");
        QTest::addColumn<QStringList>("after");
        QTest::newRow("search with unread listings")
            << 10 << QStringList{u"10:0/3:00"_s, u"20:1/1:11"_s, u"30:0/0:11"_s};
        QTest::newRow("search without listings")
            << 30 << QStringList{u"10:2/3:11"_s, u"20:1/1:11"_s, u"30:0/0:00"_s};
        QTest::newRow("unknown search")
            << 99 << QStringList{u"10:2/3:11"_s, u"20:1/1:11"_s, u"30:0/0:11"_s};
    }
    void markQueryRead() {
        QFETCH(int, qid);
        QFETCH(QStringList, after);
        Fixture f;
        domiva::markQueryRead(*f.db, qid);
        QCOMPARE(f.state(), after);
        // The count is the name's tooltip.
        QueriesModel model(*f.db);
        QCOMPARE(model.data(model.index(0, 1), Qt::ToolTipRole).toString(),
                 QStringLiteral("Непрочитанных: %1 из 3").arg(qid == 10 ? 0 : 2));
    }

    void filter_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("found");
        QTest::newRow("Cyrillic, other case") << u"сОКОЛ"_s << QStringList{u"a3"_s, u"a2"_s};
        QTest::newRow("Ё folds") << u"ёлка"_s << QStringList{u"a1"_s};
        QTest::newRow("ASCII case") << u"ABC"_s << QStringList{u"a2"_s};
        QTest::newRow("percent literal") << u"50%"_s << QStringList{u"a3"_s};
        QTest::newRow("percent alone") << u"%"_s << QStringList{u"a3"_s};
        QTest::newRow("underscore literal") << u"a_b"_s << QStringList{u"a2"_s};
        QTest::newRow("field not searched") << u"кухня"_s << QStringList{};
        QTest::newRow("other search's listing") << u"b1/"_s << QStringList{};
        QTest::newRow("empty shows all") << QString() << QStringList{u"a3"_s, u"a2"_s, u"a1"_s};
    }
    void filter() {
        QFETCH(QString, text);
        QFETCH(QStringList, found);
        Fixture f;
        RawConnection raw = f.raw();
        raw.exec(u"UPDATE Offers SET owntxt_obj='ЁЛКА', kitch_obj='кухня' WHERE id='a1'"_s);
        raw.exec(u"UPDATE Offers SET metro_obj='СОКОЛ', publ_obj='abc a_b', perc_obj='50 руб' "
                 u"WHERE id='a2'"_s);
        raw.exec(u"UPDATE Offers SET cont_obj='сокол', perc_obj='50%', owntxt_obj='axb' "
                 u"WHERE id='a3'"_s);
        OffersModel model(*f.db);
        model.setQueryId(10);
        model.setPageSize(1); // matches spread over several pages
        const auto fetchAll = [&model] {
            while (model.canFetchMore({}))
                model.fetchMore({});
            return keys(model);
        };
        model.setFilter(text);
        QCOMPARE(fetchAll(), found);
        // Cleared by another search.
        model.setQueryId(10);
        QCOMPARE(model.filter(), QString());
        QCOMPARE(fetchAll().size(), 3);
    }

    void exportSearch_data() {
        QTest::addColumn<int>("chunk");
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("one chunk") << 100 << false;
        QTest::newRow("row by row") << 1 << false;
        QTest::newRow("cancelled halfway") << 1 << true;
    }
    void exportSearch() {
        QFETCH(int, chunk);
        QFETCH(bool, cancelled);
        Fixture f;
        f.raw().exec(u"UPDATE Offers SET owntxt_obj='a, \"b\"' || char(13, 10) || 'c', "
                     u"dt_obj=NULL WHERE id='a1'"_s);
        QTemporaryDir out;
        const QString path = out.filePath(QStringLiteral("out.csv"));
        const QStringList header = u"Трансп.,Адрес,Комнат,Кухня,Цена,Комиссия,Этаж,м/т,Контакт,"
                                   u"Комментарии,автор,дата/время"_s.split(u',');
        {
            OfferCsvExport csv(*f.db, 10, path, header);
            QCOMPARE(csv.total(), qint64(3));
            bool more = csv.writeChunk(chunk);
            if (cancelled) {
                QVERIFY(more);
                csv.cancel();
            } else {
                while (more)
                    more = csv.writeChunk(chunk);
                csv.commit();
            }
        }
        if (cancelled) {
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
        QCOMPARE(records[3][9], u"a, \"b\"\r\nc"_s);
        QCOMPARE(records[3][11], QString());
    }
};

QTEST_GUILESS_MAIN(TestStoreListingTools)
#include "tst_store_listingtools.moc"
