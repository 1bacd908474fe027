// The demo service's listings: each feed well formed and its fields believable, the re-posts a
// newcomer's first download shows, every field of a listing on its line, what a sync after
// another sends as time passes, and the same seed giving the same feeds. How the service reads
// a request and answers it is in tst_demofeed_requests.cpp.

#include "store/flatkey.h"
#include "sync/demofeedfixture.h"

#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

using namespace domiva;
using namespace domiva::test;

namespace {

constexpr qint64 noneSent = std::numeric_limits<qint64>::min();

QDateTime feedDate(const QString& text) {
    QDateTime date = QDateTime::fromString(text, QStringLiteral("dd.MM.yy HH:mm"));
    return date.addYears(100); // Qt reads a two-digit year as 19xx
}

} // namespace

class TestDemoFeed : public DemoFeedFixture {
    Q_OBJECT

private slots:
    void init() { setUp(); }

    void feedIsWellFormed_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<int>("count");
        QTest::newRow("all, 1 each") << QByteArray("/db/demo/getall1.txt") << 1;
        QTest::newRow("all, 5 each") << QByteArray("/db/demo/getall5.txt") << 5;
        QTest::newRow("all, 20 each") << QByteArray("/db/demo/getall20.txt") << 20;
        QTest::newRow("newcomer, 20 each") << QByteArray("/db/demo/get20.txt") << 20;
        QTest::newRow("newcomer, 300 each") << QByteArray("/db/demo/get300.txt") << 300;
    }

    void feedIsWellFormed() {
        QFETCH(QByteArray, target);
        QFETCH(int, count);
        auto service = makeService();
        const DemoReply reply = service->handle(post(target, "pass=kvax&rd="));
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.contentType.contains("windows-1251"));
        ParsedFeed feed;
        const QString problem = parseFeed(reply.body, feed);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(feed.version, QStringLiteral("0.0.1"));
        QVERIFY(reply.body.startsWith("W#0.0.1\r\nR#"));
        QCOMPARE(reply.records, feed.lines);

        const QList<DemoSearch>& searches = service->catalogue().searches();
        QVERIFY(searches.size() >= 4 && searches.size() <= 6);
        QCOMPARE(feed.sections.size(), searches.size());
        QSet<QString> seen;
        int offers = 0;
        for (int i = 0; i < searches.size(); ++i) {
            const Section& section = feed.sections[i];
            QCOMPARE(section.id, searches[i].id);
            QCOMPARE(section.name, searches[i].name);
            // A week of history holds far more than 5 listings of every search.
            const QList<DemoListing> expected =
                service->catalogue().listings(i, m_now, noneSent, count);
            QCOMPARE(offerIds(section), offerIds(expected));
            if (count <= 5)
                QCOMPARE(section.offers.size(), count);
            QDateTime previous = m_now;
            for (const QStringList& offer : section.offers) {
                QVERIFY2(!seen.contains(offer[1]), qPrintable(offer[1]));
                seen.insert(offer[1]);
                const QDateTime published = feedDate(offer[13]);
                QVERIFY2(published.isValid(), qPrintable(offer[13]));
                QVERIFY(published <= previous); // newest first
                QVERIFY(published > m_now.addDays(-8));
                previous = published;
            }
            offers += static_cast<int>(section.offers.size());
        }
        QCOMPARE(feed.lines, 1 + static_cast<int>(searches.size()) + offers);
    }

    void offerFieldsAreBelievable_data() {
        QTest::addColumn<quint64>("seed");
        QTest::newRow("default seed") << demoDefaultSeed;
        QTest::newRow("seed 1") << quint64(1);
        QTest::newRow("seed 987654321") << quint64(987654321);
    }

    void offerFieldsAreBelievable() {
        QFETCH(quint64, seed);
        const DemoCatalogue catalogue(seed);
        const QRegularExpression floorPattern(QStringLiteral("^([0-9]+)/([0-9]+)$"));
        const QRegularExpression rentPrice(QStringLiteral("^[1-9][0-9]{0,2}( [0-9]{3})+ р\\.$"));
        const QRegularExpression salePrice(QStringLiteral("^[1-9][0-9]{0,2}( [0-9]{3})+$"));
        const QRegularExpression code(QStringLiteral("^0[0-9]+$"));
        const QSet<QString> rooms{QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                                  QStringLiteral("к")};
        QSet<QString> roomsSeen;
        QList<int> perSearch(catalogue.searches().size(), 0);
        int longComments = 0, codes = 0, quotedAuthors = 0, rent = 0, sale = 0;
        QStringEncoder encoder("windows-1251");
        const qint64 first = m_now.toSecsSinceEpoch() / demoSlotSeconds - 2000;
        for (qint64 serial = first; serial < first + 2000; ++serial) {
            const DemoListing l = catalogue.listing(serial);
            QCOMPARE(l.serial, serial);
            QVERIFY(l.search >= 0 && l.search < catalogue.searches().size());
            ++perSearch[l.search];
            const qint64 secs = l.published.toSecsSinceEpoch();
            QVERIFY(secs >= serial * demoSlotSeconds);
            QVERIFY(secs < serial * demoSlotSeconds + demoJitterSeconds);

            // Column widths of the client's database.
            const QList<QPair<QString, int>> widths{{l.min, 32},    {l.metro, 255}, {l.room, 32},
                                                    {l.kitch, 32},  {l.price, 64},  {l.perc, 32},
                                                    {l.flat, 6},    {l.info, 32},   {l.cont, 128},
                                                    {l.owntxt, -1}, {l.publ, 128}};
            for (const auto& [value, width] : widths) {
                QVERIFY2(!value.contains(QLatin1Char('#')) && !value.contains(QLatin1Char('\r')) &&
                             !value.contains(QLatin1Char('\n')),
                         qPrintable(value));
                QVERIFY2(width < 0 || value.size() <= width, qPrintable(value));
                const QByteArray bytes = encoder.encode(value);
                QVERIFY2(!encoder.hasError() && !bytes.contains('?'), qPrintable(value));
            }
            QVERIFY(!l.min.isEmpty() && !l.metro.isEmpty() && !l.cont.isEmpty());
            QVERIFY2(rooms.contains(l.room), qPrintable(l.room));
            roomsSeen.insert(l.room);
            const QRegularExpressionMatch floor = floorPattern.match(l.flat);
            QVERIFY2(floor.hasMatch(), qPrintable(l.flat));
            QVERIFY(floor.captured(1).toInt() >= 1);
            QVERIFY(floor.captured(1).toInt() <= floor.captured(2).toInt());
            if (rentPrice.match(l.price).hasMatch())
                ++rent;
            else if (salePrice.match(l.price).hasMatch())
                ++sale;
            else
                QFAIL(qPrintable(l.price));
            if (l.owntxt.size() > 255)
                ++longComments;
            if (code.match(l.owntxt).hasMatch())
                ++codes;
            if (l.publ.contains(QLatin1Char('"')))
                ++quotedAuthors;
        }
        QCOMPARE(roomsSeen, rooms);
        // Some listings post an earlier flat of their search again under a new id, written
        // otherwise, often cheaper: the client must know them for the same flat.
        QHash<qint64, DemoListing> flats;
        int reposts = 0, cheaper = 0, rewritten = 0;
        for (qint64 serial = first; serial < first + 2000; ++serial) {
            const DemoListing l = catalogue.listing(serial);
            const std::vector<qint64> keys = flatkey::keys({l.metro, l.room, l.flat, l.cont});
            std::optional<DemoListing> before;
            for (const qint64 key : keys) {
                if (flats.contains(key))
                    before = flats.value(key);
                flats.insert(key, l);
            }
            if (!before)
                continue;
            QCOMPARE(before->search, l.search);
            ++reposts;
            if (flatkey::comparePrices(l.price, before->price).value_or(0) < 0)
                ++cheaper;
            if (l.metro != before->metro || l.cont != before->cont)
                ++rewritten;
        }
        QVERIFY2(reposts > 50 && reposts < 400, qPrintable(QString::number(reposts)));
        QVERIFY(cheaper > reposts / 3);
        QVERIFY(rewritten > reposts / 3);
        for (const int n : std::as_const(perSearch))
            QVERIFY(n > 100);
        QVERIFY(longComments > 10);
        QVERIFY(codes > 10);
        QVERIFY(quotedAuthors > 10);
        QVERIFY(rent > 100 && sale > 100);
    }

    // A newcomer's first download shows the re-posts at once: a few cheaper and one dearer
    // than the flat's latest earlier appearance, in more than one search, one of them with
    // the phone written otherwise; found the way the client finds them, by the flat's keys.
    void firstDownloadShowsReposts_data() {
        QTest::addColumn<quint64>("seed");
        QTest::addColumn<qint64>("later"); // seconds after init's time
        QTest::newRow("default seed") << demoDefaultSeed << qint64(0);
        QTest::newRow("default seed, a minute later") << demoDefaultSeed << qint64(60);
        QTest::newRow("default seed, 17 minutes later") << demoDefaultSeed << qint64(1020);
        QTest::newRow("default seed, a day later") << demoDefaultSeed << qint64(86400 + 450);
        QTest::newRow("seed 1") << quint64(1) << qint64(0);
        QTest::newRow("seed 1, an hour later") << quint64(1) << qint64(3600 + 33);
        QTest::newRow("seed 987654321, 3 days later")
            << quint64(987654321) << qint64(3 * 86400 + 7777);
    }

    void firstDownloadShowsReposts() {
        QFETCH(quint64, seed);
        QFETCH(qint64, later);
        m_now = m_now.addSecs(later);
        auto service = makeService(seed);
        const DemoReply reply = service->handle(post("/db/demo/get20.txt", syncBody({})));
        ParsedFeed feed;
        const QString problem = parseFeed(reply.body, feed);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        struct Seen {
            QDateTime published;
            QStringList offer;
            qint32 search = 0;
        };
        QList<Seen> offers;
        for (const Section& section : std::as_const(feed.sections))
            for (const QStringList& offer : section.offers)
                offers.append(Seen{feedDate(offer[13]), offer, section.id});
        // Oldest first; the latest earlier appearance of a flat is the last one met before.
        std::stable_sort(offers.begin(), offers.end(),
                         [](const Seen& a, const Seen& b) { return a.published < b.published; });
        QHash<qint64, QStringList> latest;
        int cheaper = 0, dearer = 0, phoneRewritten = 0;
        QSet<qint32> searches;
        // Of each phone: the flats it stands on, the searches and the ways it is written.
        struct Reach {
            QSet<QString> flats, writings;
            QSet<qint32> searches;
        };
        QHash<QString, Reach> reach;
        static const QRegularExpression phoneWriting(QStringLiteral("[+0-9][-+0-9() ]{6,}[0-9]"));
        for (const Seen& seen : std::as_const(offers)) {
            const QStringList& offer = seen.offer;
            const QStringList phones = flatkey::phones(offer[10]);
            for (const QString& phone : phones) {
                Reach& r = reach[phone];
                r.flats.insert(flatkey::normalAddress(offer[3]) + QLatin1Char('|') +
                               flatkey::normalRooms(offer[4]) + QLatin1Char('|') +
                               flatkey::normalFloor(offer[8]));
                r.searches.insert(seen.search);
                if (phones.size() == 1)
                    r.writings.insert(phoneWriting.match(offer[10]).captured());
            }
            const std::vector<qint64> keys =
                flatkey::keys({offer[3], offer[4], offer[8], offer[10]});
            std::optional<QStringList> before;
            for (const qint64 key : keys)
                if (const auto found = latest.constFind(key); found != latest.constEnd())
                    before = *found;
            for (const qint64 key : keys)
                latest.insert(key, offer);
            if (!before)
                continue;
            const int move = flatkey::comparePrices(offer[6], (*before)[6]).value_or(0);
            cheaper += move < 0 ? 1 : 0;
            dearer += move > 0 ? 1 : 0;
            if (offer[10] != (*before)[10])
                ++phoneRewritten;
            searches.insert(seen.search);
        }
        QVERIFY2(cheaper >= 2, qPrintable(QString::number(cheaper)));
        QVERIFY2(dearer >= 1, qPrintable(QString::number(dearer)));
        QVERIFY2(searches.size() >= 2, qPrintable(QString::number(searches.size())));
        QVERIFY2(phoneRewritten >= 1, qPrintable(QString::number(phoneRewritten)));
        // An agent: one phone on flats of several searches, written in more than one way.
        const bool agentSeen = std::any_of(reach.cbegin(), reach.cend(), [](const Reach& r) {
            return r.flats.size() >= 3 && r.searches.size() >= 2 && r.writings.size() >= 2;
        });
        QVERIFY(agentSeen);
    }

    void offerLineCarriesEveryField() {
        const DemoCatalogue catalogue;
        const qint64 serial = m_now.toSecsSinceEpoch() / demoSlotSeconds - 10;
        DemoListing l = catalogue.listing(serial);
        l.published = QDateTime(QDate(2024, 1, 2), QTime(3, 4));
        const QString line = demoOfferLine(l);
        const QStringList expected{QStringLiteral("D"),
                                   QString::number(serial),
                                   l.min,
                                   l.metro,
                                   l.room,
                                   l.kitch,
                                   l.price,
                                   l.perc,
                                   l.flat,
                                   l.info,
                                   l.cont,
                                   l.owntxt,
                                   l.publ,
                                   QStringLiteral("02.01.24 03:04")};
        QCOMPARE(line.split(QLatin1Char('#')), expected);
        QCOMPARE(demoSearchLine(DemoSearch{-7, QStringLiteral("a#b")}), QStringLiteral("R#-7#a b"));
    }

    void incremental_data() {
        QTest::addColumn<QList<int>>("has");   // searches the client has (indexes)
        QTest::addColumn<QList<int>>("extra"); // further ids in rd
        QTest::addColumn<bool>("all");
        QTest::addColumn<int>("advance");      // seconds between first and second request
        QTest::addColumn<bool>("onlyVersion"); // the second answer carries nothing else
        const QList<int> every{0, 1, 2, 3, 4};
        QTest::newRow("nothing new") << every << QList<int>{} << false << 0 << true;
        QTest::newRow("unknown ids in rd") << every << QList<int>{999, -3} << false << 0 << true;
        QTest::newRow("ten minutes later") << every << QList<int>{} << false << 600 << false;
        QTest::newRow("a day later") << every << QList<int>{} << false << 86400 << false;
        QTest::newRow("client lacks one search")
            << QList<int>{0, 1, 3, 4} << QList<int>{} << false << 0 << false;
        QTest::newRow("client lacks all") << QList<int>{} << QList<int>{} << false << 0 << false;
        QTest::newRow("full reload") << QList<int>{} << QList<int>{} << true << 0 << false;
        QTest::newRow("full reload ignores rd") << every << QList<int>{} << true << 0 << false;
        QTest::newRow("full reload later") << every << QList<int>{} << true << 3600 << false;
    }

    void incremental() {
        QFETCH(QList<int>, has);
        QFETCH(QList<int>, extra);
        QFETCH(bool, all);
        QFETCH(int, advance);
        QFETCH(bool, onlyVersion);
        auto service = makeService();
        const DemoCatalogue& catalogue = service->catalogue();
        QCOMPARE(catalogue.searches().size(), 5);

        const DemoReply first = service->handle(post("/db/demo/get20.txt", syncBody({})));
        ParsedFeed firstFeed;
        QString problem = parseFeed(first.body, firstFeed);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(firstFeed.sections.size(), 5);

        m_now = m_now.addSecs(advance);
        const QByteArray target = all ? "/db/demo/getall20.txt" : "/db/demo/get20.txt";
        const DemoReply second =
            service->handle(post(target, syncBody(searchIds(*service, has) + extra)));
        QCOMPARE(second.status, 200);
        ParsedFeed secondFeed;
        problem = parseFeed(second.body, secondFeed);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(secondFeed.lines == 1, onlyVersion);

        QList<Section> expected;
        for (int i = 0; i < 5; ++i) {
            const bool known = !all && has.contains(i);
            const qint64 after =
                known ? firstFeed.sections[i].offers.first()[1].toLongLong() : noneSent;
            const QList<DemoListing> fresh = catalogue.listings(i, m_now, after, 20);
            if (known && fresh.isEmpty())
                continue;
            Section section{catalogue.searches()[i].id, catalogue.searches()[i].name, {}};
            for (const DemoListing& l : fresh)
                section.offers << demoOfferLine(l).split(QLatin1Char('#'));
            expected << section;
        }
        QCOMPARE(secondFeed.sections.size(), expected.size());
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(secondFeed.sections[i].id, expected[i].id);
            QCOMPARE(secondFeed.sections[i].offers, expected[i].offers);
        }
        if (advance >= 600 && !all) {
            QVERIFY(!secondFeed.sections.isEmpty());
            for (const Section& section : std::as_const(secondFeed.sections)) {
                QVERIFY(!section.offers.isEmpty());
                QVERIFY(section.offers.size() <= 20);
            }
        }

        // What was sent is remembered: right after, a client with every search gets nothing.
        const DemoReply third = service->handle(
            post("/db/demo/get20.txt", syncBody(searchIds(*service, allIndexes(*service)))));
        QCOMPARE(third.body, QByteArray("W#0.0.1\r\n"));
        QCOMPARE(third.records, 1);
    }

    void newListingsAppearAsTimePasses_data() {
        QTest::addColumn<int>("advance");
        QTest::newRow("one minute") << 60;
        QTest::newRow("three minutes") << 180;
        QTest::newRow("five minutes") << 300;
        QTest::newRow("a quarter of an hour") << 900;
        QTest::newRow("an hour") << 3600;
    }

    void newListingsAppearAsTimePasses() {
        QFETCH(int, advance);
        auto service = makeService();
        const QList<qint32> every = searchIds(*service, allIndexes(*service));
        const QByteArray target = "/db/demo/get100.txt";
        QCOMPARE(service->handle(post(target, syncBody({}))).status, 200);
        const QDateTime before = m_now;
        QStringList firstIds;
        for (int i = 0; i < every.size(); ++i)
            firstIds << offerIds(service->catalogue().listings(i, before, noneSent, 100));

        m_now = m_now.addSecs(advance);
        const DemoReply reply = service->handle(post(target, syncBody(every)));
        ParsedFeed feed;
        const QString problem = parseFeed(reply.body, feed);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));

        // Every slot holds one listing, published in the first half minute of its 90 s.
        qint64 published = 0;
        const qint64 from = before.toSecsSinceEpoch(), to = m_now.toSecsSinceEpoch();
        for (qint64 serial = from / demoSlotSeconds; serial <= to / demoSlotSeconds; ++serial) {
            const qint64 at = service->catalogue().listing(serial).published.toSecsSinceEpoch();
            published += at > from && at <= to ? 1 : 0;
        }
        int fresh = 0;
        for (const Section& section : std::as_const(feed.sections)) {
            for (const QStringList& offer : section.offers) {
                ++fresh;
                QVERIFY(!firstIds.contains(offer[1]));
                QVERIFY(feedDate(offer[13]) >= before.addSecs(-before.time().second()));
                QVERIFY(feedDate(offer[13]) <= m_now);
            }
        }
        QCOMPARE(fresh, published);
        QVERIFY(fresh >= advance / 90 - 1);
        QVERIFY(fresh <= advance / 60 + 1);
        if (advance >= 180)
            QVERIFY(fresh >= 1);
    }

    void deterministic_data() {
        QTest::addColumn<quint64>("seedA");
        QTest::addColumn<quint64>("seedB");
        QTest::addColumn<int>("laterB");
        QTest::addColumn<bool>("same");
        QTest::newRow("same seed and time") << quint64(5) << quint64(5) << 0 << true;
        QTest::newRow("default seed") << demoDefaultSeed << demoDefaultSeed << 0 << true;
        QTest::newRow("other seed") << quint64(5) << quint64(6) << 0 << false;
        QTest::newRow("later") << quint64(5) << quint64(5) << 600 << false;
    }

    void deterministic() {
        QFETCH(quint64, seedA);
        QFETCH(quint64, seedB);
        QFETCH(int, laterB);
        QFETCH(bool, same);
        auto a = makeService(seedA);
        const QByteArray bodyA = a->handle(post("/db/demo/getall20.txt", syncBody({}))).body;
        m_now = m_now.addSecs(laterB);
        auto b = makeService(seedB);
        const QByteArray bodyB = b->handle(post("/db/demo/getall20.txt", syncBody({}))).body;
        QCOMPARE(bodyA == bodyB, same);
    }
};

QTEST_GUILESS_MAIN(TestDemoFeed)
#include "tst_demofeed.moc"
