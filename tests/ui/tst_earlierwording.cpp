// The words the window gives a listing's history (ui/earlierwording.h), over a real database:
// the arrow before a price, and the earlier appearances of the details panel and a CSV export.

#include "store/csvexport.h"
#include "store/earlierappearances.h"
#include "store/flathistory.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "store/storetestsupport.h"
#include "store/tablemodel.h"
#include "ui/earlierwording.h"

#include <QTemporaryDir>

#include <tuple>
#include <vector>

using namespace domiva;
using namespace domiva::test;
using namespace Qt::StringLiterals;

namespace {

using Fixture = ThreeSearches;

} // namespace

class TestEarlierWording : public QObject {
    Q_OBJECT

private slots:
    // A listing of search 10 whose flat appeared before under other ids in search 20, with
    // these prices (oldest first, "*" when the user opened it, "+" when dated a day after the
    // listing): what the grid, the details
    // panel (its prices, newest first, dates left out), the tooltip and the CSV export show.
    void repostMarks_data() {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QString>("price");
        QTest::addColumn<QString>("expected"); // trend/RepostRole/earlier prices
        QTest::newRow("flat seen first") << QStringList{} << u"40 000"_s << u"/0/"_s;
        QTest::newRow("lower") << QStringList{u"40 000 руб."_s} << u"35 000"_s
                               << u"↓/1/40 000 руб."_s;
        QTest::newRow("higher") << QStringList{u"30000"_s} << u"35 000"_s << u"↑/1/30000"_s;
        QTest::newRow("same") << QStringList{u"35.000"_s} << u"35 000"_s << u"/1/35.000"_s;
        QTest::newRow("earlier without digits")
            << QStringList{u"договорная"_s} << u"35 000"_s << u"/1/договорная"_s;
        QTest::newRow("own without digits")
            << QStringList{u"35 000"_s} << u"договорная"_s << u"/1/35 000"_s;
        QTest::newRow("against the latest earlier one")
            << QStringList{u"30 000"_s, u"40 000"_s} << u"35 000"_s << u"↓/1/40 000; 30 000"_s;
        QTest::newRow("opened flat") << QStringList{u"40 000*"_s, u"38 000"_s} << u"35 000"_s
                                     << u"↓/2/38 000; 40 000 (просмотрено)"_s;
        QTest::newRow("five shown of six")
            << u"1,2,3,4,5,6"_s.split(u',') << u"7"_s << u"↑/1/6; 5; 4; 3; 2"_s;
        QTest::newRow("a later one is no earlier appearance")
            << QStringList{u"30 000"_s, u"40 000+"_s} << u"35 000"_s << u"↑/1/30 000"_s;
        QTest::newRow("opened flat, dated later")
            << QStringList{u"40 000*+"_s} << u"35 000"_s << u"/2/"_s;
    }
    void repostMarks() {
        QFETCH(QStringList, before);
        QFETCH(QString, price);
        QFETCH(QString, expected);
        Fixture f;
        FlatHistory history(*f.db);
        const double date = at(2024, 3, 1, 10, 30);
        const auto store = [&](const QString& id, qint32 qid, QString price) {
            const double dated = price.endsWith(u'+') ? date + 1 : date;
            price.remove(u'+');
            const bool opened = price.endsWith(u'*');
            OfferRow row = makeOffer(id, qid, dated);
            row.texts = {{u""_s,
                          u"Тверская, 1"_s,
                          u"2"_s,
                          {},
                          price.remove(u'*'),
                          {},
                          u"2/9"_s,
                          {},
                          u"8-916-123-45-67"_s}};
            QVERIFY(f.db->insertOffer(row));
            history.record(id, qid, {row.texts[1], row.texts[2], row.texts[6], row.texts[8]},
                           row.texts[4], dated, 1'800'000'000, opened);
        };
        for (qsizetype i = 0; i < before.size(); ++i)
            store(u"e%1"_s.arg(i), 20, before[i]);
        store(u"n1"_s, 30, price);
        QVERIFY(history.storePendingKeys(1000));
        OffersModel model(*f.db);
        model.setQueryId(30);
        const QModelIndex cell = model.index(0, columnOf(&model, u"price_obj"));
        const QString shown =
            earlierAppearancesText(model.data(cell, OffersModel::EarlierRole)
                                       .value<std::vector<FlatHistory::Appearance>>());
        QStringList prices;
        for (const QString& part : shown.split(u"; "_s, Qt::SkipEmptyParts)) {
            QCOMPARE(part.section(u" — "_s, 0, 0), dateTimeDisplayText(date));
            prices << part.section(u" — "_s, 1);
        }
        QCOMPARE(priceTrendMark(static_cast<PriceTrend>(
                     model.data(cell, OffersModel::PriceTrendRole).toInt())) +
                     u'/' + model.data(cell, OffersModel::RepostRole).toString() + u'/' +
                     prices.join(u"; "_s),
                 expected);
        // The tooltip counts the unread re-posts; the CSV export adds the text as a last column.
        QueriesModel queries(*f.db);
        QCOMPARE(queries.data(queries.index(2, 1), Qt::ToolTipRole).toString(),
                 u"Непрочитанных: 1 из 1"_s + (prices.isEmpty() ? u""_s : u", повторов: 1"_s));
        QTemporaryDir out;
        OfferCsvExport csv(*f.db, 30, out.filePath(u"out.csv"_s), {u"Ранее"_s},
                           earlierAppearancesText);
        while (csv.writeChunk(100)) {
        }
        csv.commit();
        QFile file(out.filePath(u"out.csv"_s));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(parseCsv(QString::fromUtf8(file.readAll().mid(3))).value(1).value(12), shown);
    }
};

QTEST_GUILESS_MAIN(TestEarlierWording)
#include "tst_earlierwording.moc"
