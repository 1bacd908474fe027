// The sync cycle's steps against a real database and the in-process fake service: the request
// of each transport, the records of a feed applied and stored, the new-version notice, a sync
// asked while one runs, a long feed in slices, and the earlier appearances of a flat across
// syncs. The failures of a sync are in tst_synccycle_failures.cpp.

#include "core/datetimevalue.h"
#include "store/earlierappearances.h"
#include "store/flathistory.h"
#include "store/offersmodel.h"
#include "support/httphelpers.h"
#include "sync/synccyclefixture.h"

#include <QFileInfo>
#include <QStringEncoder>

using namespace domiva;
using namespace Qt::StringLiterals;
using domiva::test::cp1251;

namespace {

// A listing line of the feed with the fields that tell its flat, and its price.
QString offerLine(const QString& id, const QString& address, const QString& floor,
                  const QString& contact, const QString& price,
                  const QString& date = QStringLiteral("06.12.26 14:05")) {
    return QStringLiteral("D#%1#5 мин#%2#2#8#%3#50%#%4#м/т#%5#текст#агент#%6\r\n")
        .arg(id, address, price, floor, contact, date);
}

} // namespace

class TestSyncCycle : public test::SyncCycleFixture {
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void requestOfEachTransport_data() {
        QTest::addColumn<bool>("systemTransport");
        QTest::addColumn<bool>("loadAll");
        QTest::addColumn<QList<int>>("storedIds");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("version");
        QTest::addColumn<QByteArray>("agentSuffix");
        QTest::addColumn<QString>("scheme"); // before the host

        QTest::newRow("system, empty table")
            << true << false << QList<int>{} << QByteArray("/db/demo/get20.txt")
            << QByteArray("pass=kvax&rd=") << QByteArray("HTTP/1.1") << QByteArray(" #WININET")
            << QString();
        QTest::newRow("system, ids 3 and 17, full reload")
            << true << true << QList<int>{3, 17} << QByteArray("/db/demo/getall20.txt")
            << QByteArray("pass=kvax&rd=,3,17") << QByteArray("HTTP/1.1") << QByteArray(" #WININET")
            << QString();
        QTest::newRow("component, empty table")
            << false << false << QList<int>{} << QByteArray("/db/demo/get20.txt")
            << QByteArray("pass=kvax&rd=&") << QByteArray("HTTP/1.0") << QByteArray(" #INDY")
            << QString();
        QTest::newRow("component, ids 3 and 17")
            << false << false << QList<int>{3, 17} << QByteArray("/db/demo/get20.txt")
            << QByteArray("pass=kvax&rd=%2C3%2C17&") << QByteArray("HTTP/1.0")
            << QByteArray(" #INDY") << QString();
        for (const QString& scheme : {QStringLiteral("http://"), QStringLiteral("https://")}) {
            QTest::addRow("system, %s", qPrintable(scheme))
                << true << false << QList<int>{3} << QByteArray("/db/demo/get20.txt")
                << QByteArray("pass=kvax&rd=,3") << QByteArray("HTTP/1.1")
                << QByteArray(" #WININET") << scheme;
            QTest::addRow("component, %s", qPrintable(scheme))
                << false << false << QList<int>{3} << QByteArray("/db/demo/get20.txt")
                << QByteArray("pass=kvax&rd=%2C3&") << QByteArray("HTTP/1.0")
                << QByteArray(" #INDY") << scheme;
        }
    }
    void requestOfEachTransport() {
        QFETCH(bool, systemTransport);
        QFETCH(bool, loadAll);
        QFETCH(QList<int>, storedIds);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, version);
        QFETCH(QByteArray, agentSuffix);
        QFETCH(QString, scheme);
        for (int id : storedIds)
            m_db->storeQuery(id, QStringLiteral("q"));
        m_settings.proxyFromIE = systemTransport;
        if (scheme == QStringLiteral("https://"))
            useTlsService(test::testPki().server);
        m_serviceConfig.host = scheme + m_service->hostAndPort();
        m_service->setDefaultAnswer(ok("R#5#q\r\n"));
        run(loadAll);
        QCOMPARE(count("SELECT COUNT(*) FROM Queries WHERE id=5"), 1);
        QCOMPARE(m_service->requestCount(), 1);
        const auto req = m_service->lastRequest();
        QCOMPARE(req.method, QByteArray("POST"));
        QCOMPARE(req.target, path);
        QCOMPARE(req.version, version);
        QCOMPARE(req.body, body);
        QCOMPARE(req.header("User-Agent"),
                 clientIdString(m_env, QString::fromLatin1(agentSuffix)).toUtf8());
        QCOMPARE(req.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(m_host.panel0.last(), QStringLiteral("..."));
    }

    void passwordAndLoginAreEncodedOnce_data() {
        QTest::addColumn<bool>("systemTransport");
        QTest::addColumn<QByteArray>("body");
        const QString password = QStringLiteral("a&b c=д");
        QTest::newRow("system") << true << QByteArray("pass=a%26b+c%3D%E4&rd=");
        QTest::newRow("component") << false << QByteArray("pass=a%26b+c%3D%E4&rd=&");
        Q_UNUSED(password);
    }
    void passwordAndLoginAreEncodedOnce() {
        QFETCH(bool, systemTransport);
        QFETCH(QByteArray, body);
        m_settings.proxyFromIE = systemTransport;
        m_settings.password = QStringLiteral("a&b c=д");
        m_settings.login = QStringLiteral("иван/1");
        m_settings.countQueries = 5;
        m_service->setDefaultAnswer(ok("V#1"));
        run();
        const auto req = m_service->lastRequest();
        QCOMPARE(req.body, body);
        QCOMPARE(req.target, QByteArray("/db/%E8%E2%E0%ED%2F1/get5.txt"));
    }

    void recordsAreApplied() {
        const QByteArray feed =
            cp1251(QStringLiteral("R#5#Однушки у метро\r\n"
                                  "D#a1#5 мин#Тверская, 1#1#8#40 000#50%#3/9#м/т#Иван 123#Хорошая "
                                  "\"квартира\"#агент#06.12.26 14:05\r\n"
                                  "D#A1#дубль\r\n"
                                  "D#b2#10 мин\r\n"
                                  "R#7#Двушки\n"
                                  "R#5#Однушки (новое имя)\r"
                                  "x#ignored\r\n"
                                  "A#1\r\nV#2\r\n"
                                  "W#0.0.1\r\n"));
        m_service->setDefaultAnswer(ok(feed));
        run();
        QCOMPARE(m_host.panel0.last(), QStringLiteral("..."));
        QCOMPARE(count("SELECT COUNT(*) FROM Offers"), 2);
        QCOMPARE(count("SELECT COUNT(*) FROM Queries"), 2);
        QCOMPARE(value("SELECT qname FROM Queries WHERE id=5").toString(),
                 QStringLiteral("Однушки (новое имя)"));
        QCOMPARE(count("SELECT COUNT(*) FROM Queries WHERE updated=1 AND unreaded=1"), 2);
        QCOMPARE(value("SELECT owntxt_obj FROM Offers WHERE id='a1'").toString(),
                 QStringLiteral("Хорошая \"квартира\""));
        QCOMPARE(value("SELECT dt_obj FROM Offers WHERE id='a1'").toString(),
                 QStringLiteral("2026-12-06 14:05:00.000"));
        // A record without the fields stores them empty.
        QCOMPARE(value("SELECT price_obj FROM Offers WHERE id='b2'").toString(), QString());
        QCOMPARE(count("SELECT COUNT(*) FROM Offers WHERE unreaded=1 AND qid=5"), 2);
        QCOMPARE(m_host.balloons, QStringList{QStringLiteral("2 новых объявлений")});
        QCOMPARE(m_host.requeries, 1);
        QCOMPARE(m_host.suspended, 1);
        QCOMPARE(m_host.resumed, 1);
        QVERIFY(m_host.versionMessages.isEmpty());
        QVERIFY(!QFile::exists(m_cycle->feedFilePath()));
        QVERIFY(m_host.panel1.startsWith(QStringLiteral("Последнее обновление: ")));

        // The same feed again stores nothing, shows no balloon and requeries nothing, and the
        // flags of a search the user has read stay read.
        m_db->markOfferRead(QStringLiteral("a1"), 5);
        m_db->markOfferRead(QStringLiteral("b2"), 5);
        m_host = Host{};
        run();
        QCOMPARE(count("SELECT COUNT(*) FROM Offers"), 2);
        QVERIFY(m_host.balloons.isEmpty());
        QCOMPARE(m_host.requeries, 0);
        QCOMPARE(count("SELECT unreaded FROM Queries WHERE id=5"), 0);
    }

    // A 2 MiB record between good ones: they are stored, it is not, and one line says so.
    void overlongRecordIsSkipped() {
        m_service->setDefaultAnswer(ok("R#5#a\r\nD#1\r\nD#huge#" + QByteArray(2 << 20, 'x') +
                                       "\r\nD#2\r\nD#big#" + QByteArray(1 << 20, 'y') + "\r\n"));
        run();
        QCOMPARE(count("SELECT COUNT(*) FROM Offers WHERE id IN ('1', '2')"), 2);
        QCOMPARE(count("SELECT COUNT(*) FROM Offers"), 2);
        QCOMPARE(logLines().size(), 1);
        QVERIFY(logLines()[0].endsWith(QStringLiteral(": Пропущено записей длиннее 1 MiB: 2")));
    }

    void removalFollowedByOffers() {
        m_service->setDefaultAnswer(ok("R#5#x\r\nD#1\r\nQ#5\r\nD#2\r\nR#6#y\r\nD#3\r\nQ#6\r\n"));
        // Another file put under the feed's name once the feed is written is not what is read.
        m_host.onSlice = [path = m_cycle->feedFilePath()] {
            QFile other(path);
            if (QFile::remove(path) && other.open(QIODevice::WriteOnly))
                other.write("R#7#other\r\n");
        };
        run();
        // The removal takes the offers stored before it; the offer after it still belongs to
        // the removed search's id, and its count stands.
        QCOMPARE(count("SELECT COUNT(*) FROM Queries"), 0);
        QCOMPARE(count("SELECT COUNT(*) FROM Offers"), 1);
        QCOMPARE(value("SELECT id FROM Offers").toString(), QStringLiteral("2"));
        QCOMPARE(value("SELECT qid FROM Offers").toInt(), 5);
        QCOMPARE(m_host.balloons, QStringList{QStringLiteral("3 новых объявлений")});
    }

    void versionNotice_data() {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<int>("messages");
        QTest::newRow("same") << QByteArray("W#0.0.1") << 0;
        QTest::newRow("same with end separator") << QByteArray("W#0.0.1#") << 0;
        QTest::newRow("newer") << QByteArray("W#0.0.2") << 1;
        QTest::newRow("older") << QByteArray("W#0.0.0") << 1;
        QTest::newRow("twice") << QByteArray("W#1\r\nW#2") << 2;
    }
    void versionNotice() {
        QFETCH(QByteArray, line);
        QFETCH(int, messages);
        m_service->setDefaultAnswer(ok(line));
        run();
        QCOMPARE(m_host.versionMessages.size(), messages);
        for (const QString& text : m_host.versionMessages)
            QCOMPARE(text, QStringLiteral("Вышла новая версия программы!\r\nСильно рекомендуем "
                                          "произвести обновление с сайта http://site.example/"));
    }

    void refreshDuringSyncIsIgnored() {
        m_service->setDefaultAnswer(ok("R#5#a\r\nD#1\r\nD#2\r\n"));
        m_cycle->setSliceMilliseconds(0); // a commit after each record
        int nested = 0;
        m_host.onSlice = [&] {
            QVERIFY(m_cycle->step() != SyncCycle::Step::Idle);
            ++nested;
            QVERIFY(m_cycle->begin(false) == nullptr);
        };
        run();
        QVERIFY(nested >= 3);
        QCOMPARE(m_service->requestCount(), 1);
        QCOMPARE(count("SELECT COUNT(*) FROM Offers"), 2);
        QCOMPARE(m_host.closings, 1);
    }

    void longFeedGivesTheWindowTurns() {
        QByteArray feed = "R#1#big\r\n";
        for (int i = 0; i < 5000; ++i)
            feed += "D#o" + QByteArray::number(i) + "#1#2#3#4#5#6#7#8#9#10#11#01.01.26 10:00\r\n";
        m_service->setDefaultAnswer(ok(feed));
        m_cycle->setSliceMilliseconds(1);
        int turnsInParse = 0;
        m_host.onSlice = [&] {
            if (m_host.panel0.last() == QStringLiteral("Идет обработка данных..."))
                ++turnsInParse;
        };
        run();
        QCOMPARE(count("SELECT COUNT(*) FROM Offers"), 5000);
        QVERIFY2(turnsInParse > 2, qPrintable(QString::number(turnsInParse)));
        QCOMPARE(m_host.balloons, QStringList{QStringLiteral("5000 новых объявлений")});
        // The committed groups are copied from the log into the database file itself.
        const QString dbFile = workDir() + QStringLiteral("db");
        QTRY_VERIFY2(QFileInfo(dbFile).size() > feed.size() / 2,
                     qPrintable(QString::number(QFileInfo(dbFile).size())));

        // Removing the search takes its listings a slice at a time as well.
        m_service->setDefaultAnswer(ok("Q#1\r\n"));
        turnsInParse = 0;
        run();
        QCOMPARE(count("SELECT COUNT(*) FROM Offers"), 0);
        QVERIFY2(turnsInParse > 2, qPrintable(QString::number(turnsInParse)));
    }

    // Steps, each run in turn: "<qid> <id> <address>|<floor>|<contact>|<price>" a sync of one
    // listing of that search (with one of search 5 comes x1 of search 7, another flat); "open <id>
    // <qid>" the user opens a listing; "Q#<qid>" a sync that removes a search; "clear" empties the
    // file as Ctrl+F2 does; "days <n>" the clock moves on; "forget" makes the file one written
    // before the client kept a history; "stored <n>" that many other listings stored in it
    // directly. Expected: the probe's earlier prices ("*" when opened) / unread ids / qid:updated
    // unreaded of each search / the last sync's balloons.
    void repostsAcrossSyncs_data() {
        QTest::addColumn<bool>("repostsRead");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("probe");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("historySliceRows"); // 0: as the program prunes
        QTest::addColumn<bool>("staged");          // keys staged whatever the history's size
        QTest::addColumn<QString>("mark"); // the grid's bullet of the probe, "-" not looked at
        const QString a1 = u"5 a1 Зелёная ул., 5|3/9|Ольга 8-916-123-45-67|40 000"_s;
        const QString b1 = u"7 b1 зеленая  УЛ. 5|3 / 9|+7 (916) 123 45 67|35 000"_s;
        const QString c1 = u"7 c1 Зеленая ул 5|3/9|89161234567|45 000"_s;
        const QString two = u"7 b1 Зелёная ул., 5|3/9|8-495-111-22-33, 8-916-123-45-67|35 000"_s;
        const auto row = [](const char* name, const QStringList& steps, const QString& probe,
                            const QString& expected, bool repostsRead = false,
                            int historySliceRows = 0, bool staged = false,
                            const QString& mark = u"-"_s) {
            QTest::newRow(name) << repostsRead << steps << probe << expected << historySliceRows
                                << staged << mark;
        };
        const QString one = u"1 новых объявлений"_s;
        row("re-post in another search", {a1, b1}, u"b1"_s, u"40 000/a1,b1,x1/5:11,7:11/"_s + one);
        row("newest first", {a1, b1, c1}, u"c1"_s, u"35 000,40 000/a1,b1,c1,x1/5:11,7:11/"_s + one);
        row("first appearance has none", {a1, b1}, u"a1"_s, u"/a1,b1,x1/5:11,7:11/"_s + one);
        // A download lists the newest first; a search added later brings older listings.
        const QString a1older = a1 + u"|01.12.26 10:00"_s;
        const QString three = u"3 новых объявлений"_s;
        row("re-post listed before its original", {b1 + u'\n' + a1older}, u"b1"_s,
            u"40 000/a1,b1,x1/5:11,7:11/"_s + three);
        row("original listed after its re-post", {b1 + u'\n' + a1older}, u"a1"_s,
            u"/a1,b1,x1/5:11,7:11/"_s + three);
        row("original stored after its re-post", {b1, a1older}, u"b1"_s,
            u"40 000/a1,b1,x1/5:11,7:11/2 новых объявлений"_s);
        row("first fill, re-post stored before its original",
            {b1 + u'\n' + a1older, u"forget"_s, c1}, u"b1"_s, u"40 000/"_s);
        row("another phone is another flat",
            {a1, u"7 b1 Зелёная ул., 5|3/9|8-916-765-43-21|35 000"_s}, u"b1"_s,
            u"/a1,b1,x1/5:11,7:11/"_s + one);
        row("second phone of the re-post", {a1, two}, u"b1"_s,
            u"40 000/a1,b1,x1/5:11,7:11/"_s + one);
        row("second phone of the earlier one",
            {two, u"5 a1 Зелёная ул., 5|3/9|89161234567|30 000"_s, c1}, u"c1"_s,
            u"30 000,35 000/a1,b1,c1,x1/5:11,7:11/"_s + one);
        row("same id loaded again after Ctrl+F2", {a1, u"clear"_s, a1}, u"a1"_s,
            u"/a1,x1/5:11,7:11/2 новых объявлений"_s);
        row("history survives Ctrl+F2", {a1, u"clear"_s, b1}, u"b1"_s, u"40 000/b1/7:11/"_s + one);
        row("history survives a removed search", {a1, u"Q#5"_s, b1}, u"b1"_s,
            u"40 000/b1,x1/7:11/"_s + one);
        row("kept 179 days", {a1, u"Q#5"_s, u"days 179"_s, b1}, u"b1"_s,
            u"40 000/b1,x1/7:11/"_s + one);
        row("forgotten after 181 days", {a1, u"Q#5"_s, u"days 181"_s, b1}, u"b1"_s,
            u"/b1,x1/7:11/"_s + one);
        row("forgotten after 181 days, a history row a slice",
            {c1, a1, u"Q#5"_s, u"days 181"_s, b1}, u"b1"_s, u"45 000/b1,c1,x1/7:11/"_s + one, false,
            1);
        row("forgotten after 181 days, newer rows after it",
            {a1, u"Q#5"_s, u"days 100"_s, u"7 d1 Арбат 9|2/5|Петр 8-903-111-22-33|60 000"_s,
             u"days 81"_s, b1},
            u"b1"_s, u"/b1,d1,x1/7:11/"_s + one);
        row("re-post kept, its original forgotten", {a1, b1, u"Q#5"_s, u"days 181"_s, c1}, u"c1"_s,
            u"35 000/b1,c1,x1/7:11/"_s + one);
        row("re-post kept, one of its earlier ones forgotten",
            {c1, a1, b1, u"Q#5"_s, u"days 181"_s,
             u"7 d1 Арбат 9|2/5|Петр 8-903-111-22-33|60 000"_s},
            u"b1"_s, u"45 000/b1,c1,d1,x1/7:11/"_s + one);
        row("kept while its listing is stored", {a1, u"days 181"_s, b1}, u"b1"_s,
            u"40 000/a1,b1,x1/5:11,7:11/"_s + one);
        row("stored again, kept from then", {a1, u"days 100"_s, u"clear"_s, a1, u"days 100"_s, b1},
            u"b1"_s, u"40 000/a1,b1,x1/5:11,7:11/"_s + one);
        // Search 7 holds another flat the user has read, so nothing marks it before b1.
        const QStringList opened{a1, u"open a1 5"_s, u"open x1 7"_s, b1};
        row("opened, counted read off", opened, u"b1"_s, u"40 000*/b1/5:00,7:11/"_s + one);
        row("opened, counted read on", opened, u"b1"_s, u"40 000*//5:00,7:00/"_s, true);
        row("not opened, counted read on", {a1, b1}, u"b1"_s, u"40 000/a1,b1,x1/5:11,7:11/"_s + one,
            true);
        row("first fill of an older file", {a1, u"open a1 5"_s, u"forget"_s, b1}, u"b1"_s,
            u"40 000*/b1,x1/5:00,7:11/"_s + one);
        row("first fill beyond one chunk", {a1, u"forget"_s, u"stored 1500"_s, b1, c1}, u"c1"_s,
            u"35 000,40 000/"_s);
        row("first fill, opened, counted read on",
            {a1, u"open a1 5"_s, u"open x1 7"_s, u"forget"_s, b1}, u"b1"_s,
            u"40 000*//5:00,7:00/"_s, true);
        row("staged: re-post in another search", {a1, b1}, u"b1"_s,
            u"40 000/a1,b1,x1/5:11,7:11/"_s + one, false, 0, true);
        row("staged: second phone of the earlier one",
            {two, u"5 a1 Зелёная ул., 5|3/9|89161234567|30 000"_s, c1}, u"c1"_s,
            u"30 000,35 000/a1,b1,c1,x1/5:11,7:11/"_s + one, false, 0, true);
        row("staged: re-post listed before its original", {b1 + u'\n' + a1older}, u"b1"_s,
            u"40 000/a1,b1,x1/5:11,7:11/"_s + three, false, 0, true);
        row("staged: opened, counted read on", opened, u"b1"_s, u"40 000*//5:00,7:00/"_s, true, 0,
            true);
        row("staged: first fill beyond one chunk", {a1, u"forget"_s, u"stored 1500"_s, b1, c1},
            u"c1"_s, u"35 000,40 000/"_s, false, 0, true);
        // A flat posted many times: "<search> <id> <price>|<date>" of each listing, one download.
        const auto posted = [](const QString& search, const QString& id, const QString& price,
                               const QString& date) {
            return search + u' ' + id + u" Зелёная ул., 5|3/9|8-916-123-45-67|"_s + price + u'|' +
                   date;
        };
        const auto series = [&](int count, const QString& search, int minutesApart) {
            QStringList listings;
            for (int i = 1; i <= count; ++i)
                listings << posted(search, u"f%1"_s.arg(i), QString::number(i),
                                   QDateTime(QDate(2026, 11, 1), QTime(0, 0))
                                       .addSecs(qint64(i) * minutesApart * 60)
                                       .toString(u"dd.MM.yy hh:mm"_s));
            return listings.join(u'\n');
        };
        // Twelve listings a day apart, then one of a search added later, dated between the
        // first two.
        const QStringList twelve{series(12, u"6"_s, 24 * 60),
                                 posted(u"8"_s, u"late"_s, u"15"_s, u"02.11.26 12:00"_s)};
        row("a flat of twelve: the late listing", twelve, u"late"_s, u"1/"_s, false, 0, false,
            u"•"_s);
        row("a flat of twelve: the next one lists it", twelve, u"f2"_s, u"15,1/"_s, false, 0, false,
            u"•"_s);
        row("a flat of twelve: the latest", twelve, u"f12"_s, u"11,10,9,8,7/"_s, false, 0, false,
            u"•"_s);
        row("a flat of twelve, staged: the next one lists it", twelve, u"f2"_s, u"15,1/"_s, false,
            0, true, u"•"_s);
        const QStringList thousand{series(1000, u"6"_s, 2),
                                   posted(u"8"_s, u"late"_s, u"15"_s, u"01.11.26 00:03"_s)};
        row("a flat of 1,000: the late listing", thousand, u"late"_s, u"1/"_s, false, 0, false,
            u"•"_s);
        row("a flat of 1,000: the next one lists it", thousand, u"f2"_s, u"15,1/"_s, false, 0,
            false, u"•"_s);
        row("a flat of 1,000: the latest", thousand, u"f1000"_s, u"999,998,997,996,995/"_s, false,
            0, false, u"•"_s);
        QStringList unreadOfThousand;
        for (int i = 2; i < 1000; ++i)
            unreadOfThousand << u"f%1"_s.arg(i);
        unreadOfThousand.sort();
        row("a flat of 1,000 opened as its first, counted read on",
            {series(999, u"6"_s, 2), u"open f1 6"_s,
             posted(u"6"_s, u"f1000"_s, u"1000"_s, u"02.11.26 09:20"_s)},
            u"f1000"_s, u"999,998,997,996,995/"_s + unreadOfThousand.join(u',') + u"/6:01/"_s, true,
            0, false, u"◦"_s);
        // The first of eleven opened, the twelfth arrives: its flat was opened as another id.
        const QStringList openedFirst{series(11, u"6"_s, 24 * 60), u"open f1 6"_s,
                                      posted(u"6"_s, u"f12"_s, u"12"_s, u"13.11.26 00:00"_s)};
        row("a flat of twelve opened as its first, counted read off", openedFirst, u"f12"_s,
            u"11,10,9,8,7/f10,f11,f12,f2,f3,f4,f5,f6,f7,f8,f9/6:11/"_s + one, false, 0, false,
            u"◦"_s);
        row("a flat of twelve opened as its first, counted read on", openedFirst, u"f12"_s,
            u"11,10,9,8,7/f10,f11,f2,f3,f4,f5,f6,f7,f8,f9/6:01/"_s, true, 0, false, u"◦"_s);
        row("an older listing of a flat opened as a newer one",
            {series(11, u"6"_s, 24 * 60), u"open f11 6"_s}, u"f1"_s, u"/"_s, false, 0, false,
            u"◦"_s);
        row("first fill of dates stored as numbers",
            {b1 + u'\n' + a1older, u"forget"_s, u"numbers"_s, c1}, u"b1"_s, u"40 000/"_s);
        row("kept while stored, forgotten only from its deletion on",
            {a1, u"days 181"_s, u"7 d1 Арбат 9|2/5|Петр 8-903-111-22-33|60 000"_s, u"clear"_s,
             u"days 1"_s, b1},
            u"b1"_s, u"40 000/b1/7:11/"_s + one);
        row("staged keys a sync left are taken up", {u"unstored "_s + a1, b1}, u"b1"_s,
            u"40 000/b1/7:11/"_s + one, false, 0, true);
    }
    void repostsAcrossSyncs() {
        QFETCH(bool, repostsRead);
        QFETCH(int, historySliceRows);
        if (historySliceRows > 0)
            m_cycle->setHistorySliceRows(historySliceRows);
        QFETCH(bool, staged);
        if (staged)
            m_cycle->setStageKeysFrom(0);
        QFETCH(QStringList, steps);
        QFETCH(QString, probe);
        QFETCH(QString, expected);
        m_settings.repostsRead = repostsRead;
        qint64 now = 1'800'000'000;
        m_cycle->setClock([&now] { return now; });
        const auto sync = [&](const QString& feed) {
            m_service->setDefaultAnswer(ok(cp1251(feed)));
            m_host = Host{};
            run();
            QCOMPARE(m_host.panel0.last(), u"..."_s);
        };
        for (const QString& step : steps) {
            const QStringList words = step.split(u' ');
            if (words[0] == u"open") {
                m_db->markOfferRead(words[1], words[2].toInt());
            } else if (words[0] == u"clear") {
                clearDatabaseFile(m_db->path());
            } else if (words[0] == u"days") {
                now += words[1].toLongLong() * 24 * 60 * 60;
            } else if (words[0] == u"forget") {
                for (const char* table : {"FlatKeys", "FlatHistory", "ClientState"})
                    QSqlQuery(m_db->connection()).exec(u"DELETE FROM %1"_s.arg(table));
            } else if (words[0] == u"numbers") {
                // Dates as another program may store them: numbers, not texts.
                QSqlQuery texts(m_db->connection());
                QVERIFY(texts.exec(u"SELECT id, dt_obj FROM Offers"_s));
                QList<std::pair<QString, double>> dates;
                while (texts.next())
                    dates.append({texts.value(0).toString(),
                                  dateTimeValueFromText(texts.value(1).toString())});
                for (const auto& [id, date] : dates) {
                    QSqlQuery number(m_db->connection());
                    number.prepare(u"UPDATE Offers SET dt_obj=? WHERE id=?"_s);
                    number.addBindValue(date);
                    number.addBindValue(id);
                    QVERIFY(number.exec());
                }
                QCOMPARE(count("SELECT COUNT(*) FROM Offers WHERE typeof(dt_obj)='real'"),
                         dates.size());
            } else if (words[0] == u"stored") {
                Transaction tx(*m_db);
                for (int i = 0; i < words[1].toInt(); ++i) {
                    OfferRow row{u"s%1"_s.arg(i), 9, {}, 0};
                    row.texts[1] = u"Улица %1"_s.arg(i);
                    row.texts[8] = u"8916%1"_s.arg(i, 7, 10, QLatin1Char('0'));
                    QVERIFY(m_db->insertOffer(row));
                }
                tx.commit();
            } else if (words[0] == u"unstored") {
                // Recorded with its keys staged by a sync that ended before it stored them.
                const QStringList f = step.section(u' ', 3).split(u'|');
                FlatHistory history(*m_db);
                history.stageKeysFrom(0);
                Transaction tx(*m_db);
                history.record(words[2], words[1].toInt(), {f[0], u"2"_s, f[1], f[2]}, f[3],
                               46000.5, now);
                tx.commit();
            } else if (words[0].startsWith(u"Q#")) {
                sync(step + u"\r\n"_s);
            } else {
                // One download, a listing a line: search id address|floor|contact|price[|date].
                QString feed;
                for (const QString& listing : step.split(u'\n')) {
                    const QString search = listing.section(u' ', 0, 0);
                    const QStringList f =
                        (listing.section(u' ', 2) + u"|06.12.26 14:05"_s).split(u'|');
                    feed += u"R#%1#s\r\n"_s.arg(search) +
                            offerLine(listing.section(u' ', 1, 1), f[0], f[1], f[2], f[3], f[4]);
                    if (search == u"5")
                        feed += u"R#7#s\r\n"_s +
                                offerLine(u"x1"_s, u"Арбат 1"_s, u"1/5"_s, u"Инком"_s, u"50 000"_s);
                }
                sync(feed);
            }
        }
        // A listing counted as a re-post is one shown with earlier appearances.
        QSqlQuery historyRows(m_db->connection());
        QVERIFY(historyRows.exec(u"SELECT id, prev IS NOT NULL FROM FlatHistory"_s));
        FlatHistory shown(*m_db);
        while (historyRows.next()) {
            const QString id = historyRows.value(0).toString();
            QVERIFY2(shown.earlier(id, 1).empty() != historyRows.value(1).toBool(), qPrintable(id));
        }
        QStringList prices;
        for (const FlatHistory::Appearance& appearance : FlatHistory(*m_db).earlier(probe, 5))
            prices << appearance.price + (appearance.opened ? u"*"_s : QString());
        QStringList actual{prices.join(u',')};
        if (expected.count(u'/') > 1) {
            actual << value("SELECT group_concat(id, ',') FROM (SELECT id FROM Offers "
                            "WHERE unreaded=1 ORDER BY id)")
                          .toString()
                   << value("SELECT group_concat(id || ':' || updated || unreaded, ',') "
                            "FROM (SELECT * FROM Queries ORDER BY id)")
                          .toString()
                   << m_host.balloons.join(u',');
        } else {
            QCOMPARE(count("SELECT COUNT(*) FROM FlatHistory"),
                     count("SELECT COUNT(*) FROM Offers"));
            actual << QString();
        }
        QCOMPARE(actual.join(u'/'), expected);
        QVERIFY(m_host.requeries > 0);
        QFETCH(QString, mark);
        if (mark != u"-") {
            // As the grid shows the probe's row: its bullet, and the details panel's text.
            OffersModel grid(*m_db);
            grid.setQueryId(value(u"SELECT qid FROM Offers WHERE id='%1'"_s.arg(probe)).toInt());
            const int idColumn = columnOf(&grid, u"id");
            QModelIndex cell;
            for (int row = 0; row < grid.rowCount() && !cell.isValid(); ++row)
                if (grid.data(grid.index(row, idColumn)).toString() == probe)
                    cell = grid.index(row, idColumn);
            QVERIFY(cell.isValid());
            const int bullet = grid.data(cell, OffersModel::RepostRole).toInt();
            QCOMPARE(bullet == 2 ? u"◦"_s : bullet == 1 ? u"•"_s : QString(), mark);
            QVERIFY(grid.data(cell, OffersModel::EarlierRole)
                        .value<std::vector<FlatHistory::Appearance>>() ==
                    FlatHistory(*m_db).earlier(probe, 5));
        }
    }

    void stageTextsInOrder() {
        m_service->setDefaultAnswer(ok("V#1"));
        run();
        QCOMPARE(m_host.panel0,
                 (QStringList{QStringLiteral("Идет проверка доступности интернета..."),
                              QStringLiteral("Идет загрузка данных..."),
                              QStringLiteral("Идет обработка данных..."), QStringLiteral("...")}));
    }
};

QTEST_GUILESS_MAIN(TestSyncCycle)
#include "tst_synccycle.moc"
