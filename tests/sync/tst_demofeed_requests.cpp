// How the demo service reads a request and answers it: the fields of the feed and of the form,
// the stored ids, the path, the statuses of requests it refuses (and that a refused request sends
// and remembers nothing), its log line, and requests from several threads at once.

#include "sync/demofeedfixture.h"

#include <QAtomicInt>
#include <QSet>
#include <QTest>

#include <thread>
#include <vector>

using namespace domiva;
using namespace domiva::test;

class TestDemoFeedRequests : public DemoFeedFixture {
    Q_OBJECT

private slots:
    void init() { setUp(); }

    void feedField_data() {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << QStringLiteral("м. Сокол") << QStringLiteral("м. Сокол");
        QTest::newRow("hash") << QStringLiteral("кв.#5") << QStringLiteral("кв. 5");
        QTest::newRow("CR LF") << QStringLiteral("a\r\nb") << QStringLiteral("a  b");
        QTest::newRow("lone LF and CR") << QStringLiteral("\na\r") << QStringLiteral(" a ");
        QTest::newRow("only hashes") << QStringLiteral("##") << QStringLiteral("  ");
        QTest::newRow("empty") << QString() << QString();
    }

    void feedField() {
        QFETCH(QString, value);
        QFETCH(QString, expected);
        QCOMPARE(demoFeedField(value), expected);
    }

    void formFields_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("present");
        QTest::addColumn<QString>("value");
        QTest::newRow("plain") << QByteArray("pass=kvax&rd=,3,17") << "pass" << true << "kvax";
        QTest::newRow("plain rd") << QByteArray("pass=kvax&rd=,3,17") << "rd" << true << ",3,17";
        QTest::newRow("encoded rd, trailing &")
            << QByteArray("pass=kvax&rd=%2C3%2C17&") << "rd" << true << ",3,17";
        QTest::newRow("empty rd") << QByteArray("pass=kvax&rd=") << "rd" << true << "";
        QTest::newRow("plus is a blank") << QByteArray("pass=a+b") << "pass" << true << "a b";
        QTest::newRow("encoded plus") << QByteArray("pass=a%2Bb") << "pass" << true << "a+b";
        QTest::newRow("encoded ampersand")
            << QByteArray("pass=a%26b&rd=") << "pass" << true << "a&b";
        QTest::newRow("cp1251 letters")
            << QByteArray("pass=%EF%E0%F0%EE%EB%FC") << "pass" << true << "пароль";
        QTest::newRow("equals sign in value") << QByteArray("pass=a=b") << "pass" << true << "a=b";
        QTest::newRow("later field wins") << QByteArray("pass=a&pass=b") << "pass" << true << "b";
        QTest::newRow("name without value") << QByteArray("rd&pass") << "pass" << true << "";
        QTest::newRow("missing") << QByteArray("rd=,1") << "pass" << false << "";
        QTest::newRow("empty body") << QByteArray() << "pass" << false << "";
    }

    void formFields() {
        QFETCH(QByteArray, body);
        QFETCH(QString, name);
        QFETCH(bool, present);
        QFETCH(QString, value);
        const QHash<QString, QString> fields = demoFormFields(body);
        QCOMPARE(fields.contains(name), present);
        QCOMPARE(fields.value(name), value);
    }

    void storedIds_data() {
        QTest::addColumn<QString>("rd");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("empty") << "" << QList<int>{};
        QTest::newRow("two") << ",3,17" << QList<int>{3, 17};
        QTest::newRow("without leading comma") << "3,,17," << QList<int>{3, 17};
        QTest::newRow("negative") << ",-4" << QList<int>{-4};
        QTest::newRow("not a number") << ",abc,5,1x" << QList<int>{5};
        QTest::newRow("out of range")
            << ",99999999999,2147483647" << QList<int>{std::numeric_limits<int>::max()};
    }

    void storedIds() {
        QFETCH(QString, rd);
        QFETCH(QList<int>, expected);
        const QSet<qint32> ids = demoStoredIds(rd);
        QCOMPARE(ids, QSet<qint32>(expected.begin(), expected.end()));
    }

    void parsePath_data() {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("login");
        QTest::addColumn<bool>("all");
        QTest::addColumn<int>("count");
        const int most = std::numeric_limits<int>::max();
        QTest::newRow("incremental")
            << QByteArray("/db/demo/get20.txt") << true << "demo" << false << 20;
        QTest::newRow("all") << QByteArray("/db/demo/getall20.txt") << true << "demo" << true << 20;
        QTest::newRow("zero") << QByteArray("/db/demo/get0.txt") << true << "demo" << false << 0;
        QTest::newRow("negative") << QByteArray("/db/demo/get-5.txt") << true << "demo" << false
                                  << 0;
        QTest::newRow("huge") << QByteArray("/db/demo/getall99999999999999999999.txt") << true
                              << "demo" << true << most;
        QTest::newRow("query string")
            << QByteArray("/db/demo/get7.txt?x=1") << true << "demo" << false << 7;
        QTest::newRow("encoded login")
            << QByteArray("/db/%64emo/get5.txt") << true << "demo" << false << 5;
        QTest::newRow("cp1251 login")
            << QByteArray("/db/%E8%E2%E0%ED/get5.txt") << true << "иван" << false << 5;
        const char* const invalid[] = {"/db/demo/get.txt",
                                       "/db/demo/getall.txt",
                                       "/db/demo/get20.txt/x",
                                       "/db//get20.txt",
                                       "/db/a/b/get20.txt",
                                       "/DB/demo/get20.txt",
                                       "/db/demo/get20.TXT",
                                       "db/demo/get20.txt",
                                       "/db/demo/getALL20.txt",
                                       "/db/demo/get2x.txt",
                                       "/",
                                       ""};
        for (const char* target : invalid)
            QTest::newRow(target[0] ? target : "empty")
                << QByteArray(target) << false << "" << false << 0;
    }

    void parsePath() {
        QFETCH(QByteArray, target);
        QFETCH(bool, valid);
        QFETCH(QString, login);
        QFETCH(bool, all);
        QFETCH(int, count);
        const std::optional<DemoPath> path = demoParsePath(target);
        QCOMPARE(path.has_value(), valid);
        if (!valid)
            return;
        QCOMPARE(path->login, login);
        QCOMPARE(path->all, all);
        QCOMPARE(path->count, count);
    }

    void statuses_data() {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        const QByteArray path = "/db/demo/get20.txt";
        QTest::newRow("right password")
            << QByteArray("POST") << path << QByteArray("pass=kvax&rd=") << 200;
        QTest::newRow("encoded password")
            << QByteArray("POST") << path << QByteArray("pass=kv%61x&rd=%2C11%2C12&") << 200;
        QTest::newRow("encoded login") << QByteArray("POST") << QByteArray("/db/d%65mo/get20.txt")
                                       << QByteArray("pass=kvax&rd=") << 200;
        QTest::newRow("wrong password")
            << QByteArray("POST") << path << QByteArray("pass=kvaz&rd=") << 403;
        QTest::newRow("password in capitals")
            << QByteArray("POST") << path << QByteArray("pass=KVAX&rd=") << 403;
        QTest::newRow("password with more")
            << QByteArray("POST") << path << QByteArray("pass=kvax+&rd=") << 403;
        QTest::newRow("empty password")
            << QByteArray("POST") << path << QByteArray("pass=&rd=") << 403;
        QTest::newRow("no password field")
            << QByteArray("POST") << path << QByteArray("rd=,11") << 403;
        QTest::newRow("unknown login") << QByteArray("POST") << QByteArray("/db/guest/get20.txt")
                                       << QByteArray("pass=kvax&rd=") << 403;
        QTest::newRow("login in capitals") << QByteArray("POST") << QByteArray("/db/Demo/get20.txt")
                                           << QByteArray("pass=kvax&rd=") << 403;
        QTest::newRow("GET") << QByteArray("GET") << path << QByteArray() << 405;
        QTest::newRow("HEAD") << QByteArray("HEAD") << path << QByteArray() << 405;
        QTest::newRow("PUT with password")
            << QByteArray("PUT") << path << QByteArray("pass=kvax&rd=") << 405;
        QTest::newRow("other path") << QByteArray("POST") << QByteArray("/db/demo/list.txt")
                                    << QByteArray("pass=kvax&rd=") << 404;
        QTest::newRow("GET other path")
            << QByteArray("GET") << QByteArray("/favicon.ico") << QByteArray() << 404;
    }

    void statuses() {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        auto service = makeService();
        const DemoReply reply = service->handle(DemoRequest{method, target, agent, body});
        QCOMPARE(reply.status, status);
        if (status == 200) {
            QVERIFY(reply.body.startsWith("W#0.0.1\r\nR#"));
            QVERIFY(reply.records > 1);
            return;
        }
        // A short text, never a feed.
        QVERIFY(reply.contentType.startsWith("text/plain"));
        QVERIFY(!reply.body.isEmpty());
        QVERIFY(reply.body.size() < 100);
        QVERIFY(!reply.body.contains('#'));
        QCOMPARE(reply.records, 0);
        const bool allowSent =
            reply.headers.contains(qMakePair(QByteArray("Allow"), QByteArray("POST")));
        QCOMPARE(allowSent, status == 405);
    }

    void refusedRequestSendsNothingAndRemembersNothing() {
        auto service = makeService();
        const QList<qint32> all = searchIds(*service, allIndexes(*service));
        const DemoReply refused =
            service->handle(post("/db/demo/get20.txt", "pass=wrong&rd=" + syncBody(all).mid(13)));
        QCOMPARE(refused.status, 403);
        // Nothing was sent yet, so the searches the client claims come with their listings.
        const DemoReply reply = service->handle(post("/db/demo/get20.txt", syncBody(all)));
        QCOMPARE(reply.status, 200);
        ParsedFeed feed;
        const QString problem = parseFeed(reply.body, feed);
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(feed.sections.size(), all.size());
        for (const Section& section : std::as_const(feed.sections))
            QCOMPARE(section.offers.size(), 20);
    }

    void logLine() {
        DemoReply reply;
        reply.status = 403;
        reply.records = 0;
        QCOMPARE(
            demoLogLine(m_now, DemoRequest{"POST", "/db/demo/get20.txt", "UA %1 x", {}}, reply),
            QStringLiteral("2024-03-15 12:00:30 POST /db/demo/get20.txt \"UA %1 x\" 403 0"));
        reply.status = 200;
        reply.records = 17;
        QCOMPARE(demoLogLine(m_now, DemoRequest{"GET", "/x", agent, {}}, reply),
                 QStringLiteral("2024-03-15 12:00:30 GET /x \"") + QString::fromLatin1(agent) +
                     QStringLiteral("\" 200 17"));
    }

    void concurrentRequests() {
        auto service = makeService();
        const QList<qint32> every = searchIds(*service, allIndexes(*service));
        QAtomicInt failures = 0;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (int n = 0; n < 12; ++n) {
                    const QByteArray body = (n + t) % 2 ? syncBody(every) : syncBody({});
                    const DemoReply reply = service->handle(post("/db/demo/get20.txt", body));
                    ParsedFeed feed;
                    if (reply.status != 200 || !parseFeed(reply.body, feed).isEmpty())
                        failures.fetchAndAddRelaxed(1);
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        QCOMPARE(failures.loadRelaxed(), 0);
    }
};

QTEST_GUILESS_MAIN(TestDemoFeedRequests)
#include "tst_demofeed_requests.moc"
