// The failures of a sync, one table of what goes wrong (Failure, each set up by failWith()) over
// both transports: what the status bar shows, what the log says, which requests the service saw,
// and that the cycle's closing steps run whatever happened. Then what a failing line, a refused
// commit and a listing before any search leave stored.

#include "support/servingthread.h"
#include "sync/synccyclefixture.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDriver>
#include <QTcpServer>
#include <QTcpSocket>

#include <openssl/tls1.h>
#include <sqlite3.h>

using namespace domiva;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using domiva::test::FakeService;

namespace {

// What goes wrong in a sync of the failures table.
enum class Failure {
    ServerDown,           // nothing listens on the service's port
    Status500,            // the service answers 500
    EmptyBody,            // an answer without a feed
    Stalled,              // the answer stops after 10 bytes
    OverLimit,            // an answer longer than the limit, in small pieces
    Crawling,             // 10 bytes every 50 ms: no stall, far too slow
    AnotherCa,            // over https: a certificate of another CA
    AnotherHostName,      // over https: a certificate of another host
    PlainHttpOnTlsPort,   // https to a plain-HTTP server
    NoCaFile,             // the CA file named does not exist
    OldTlsOnly,           // a server of TLS 1.1 at most
    UnknownScheme,        // ftp://
    TemporaryRedirect,    // a 307 to another host
    FoundRedirect,        // a 302 to another host
    ControlCharsInReason, // a lone CR, ESC and a C1 control in the reason phrase
    FeedFileUnwritable,   // a folder where the feed file goes
    NoDatabase,           // the cycle has no file to write to
};

} // namespace

Q_DECLARE_METATYPE(Failure)

class TestSyncCycleFailures : public test::SyncCycleFixture {
    Q_OBJECT

    // Sets up the failure; returns the service's answer. otherPort: the service a redirect
    // leads to; rawPort: the server whose status line holds control characters.
    HttpServer::Response failWith(Failure failure, quint16 otherPort, quint16 rawPort) {
        HttpServer::Response answer;
        // A feed that would be stored had it come through.
        const QByteArray feed = "R#1#x\r\n";
        switch (failure) {
        case Failure::ServerDown:
            m_serviceConfig.host = QStringLiteral("127.0.0.1:%1").arg(test::closedPort());
            break;
        case Failure::Status500:
            answer.status = 500;
            answer.body = "R#1#boom";
            break;
        case Failure::EmptyBody:
            break;
        case Failure::Crawling:
            answer.body = QByteArray(4000, 'x');
            answer.pieceBytes = 10;
            answer.pieceInterval = 50ms;
            m_cycle->setTransferLimits({2000ms, 1000ms, 1 << 20, 1000, 600ms});
            break;
        case Failure::Stalled:
            answer.body = QByteArray(4000, 'x');
            answer.stallAfter = 10;
            m_cycle->setTransferLimits({2000ms, 1000ms, 3999});
            break;
        case Failure::OverLimit:
            answer.body = QByteArray(4000, 'x');
            answer.pieceBytes = 100; // no single read is over the limit
            m_cycle->setTransferLimits({2000ms, 1000ms, 3999});
            break;
        case Failure::AnotherCa:
        case Failure::NoCaFile:
            useTlsService(test::testPki().server);
            m_serviceConfig.caFile = failure == Failure::AnotherCa
                                         ? test::testPki().otherCaFile
                                         : QStringLiteral("/nonexistent/ca.pem");
            answer.body = feed;
            break;
        case Failure::AnotherHostName:
            useTlsService(test::testPki().otherName);
            answer.body = feed;
            break;
        case Failure::OldTlsOnly: {
            HttpServer::Tls old = test::testPki().server;
            old.maxVersion = TLS1_1_VERSION;
            useTlsService(old);
            answer.body = feed;
            break;
        }
        case Failure::PlainHttpOnTlsPort:
        case Failure::UnknownScheme:
            m_serviceConfig.host =
                (failure == Failure::PlainHttpOnTlsPort ? "https://" : "ftp://") +
                m_service->hostAndPort();
            answer.body = feed;
            break;
        case Failure::TemporaryRedirect:
        case Failure::FoundRedirect:
            answer.status = failure == Failure::TemporaryRedirect ? 307 : 302;
            answer.headers.append(
                {"Location", QStringLiteral("http://localhost:%1/steal").arg(otherPort).toUtf8()});
            answer.body = feed;
            break;
        case Failure::ControlCharsInReason:
            m_serviceConfig.host = QStringLiteral("127.0.0.1:%1").arg(rawPort);
            break;
        case Failure::FeedFileUnwritable:
            QDir(m_dir->path()).mkdir(QStringLiteral("quInet.txt"));
            answer.body = feed;
            break;
        case Failure::NoDatabase:
            m_cycle->setDatabase(nullptr);
            answer.body = feed;
            break;
        }
        return answer;
    }

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    // A sync that fails: what the status bar shows, what the log says, and which requests the
    // service saw. Named by what goes wrong (Failure), each set up by failWith().
    void failures_data() {
        QTest::addColumn<bool>("systemTransport");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("panel0");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<int>("requests"); // that reached the service
        const QString dl = QStringLiteral("Не удалось загрузить данные...");
        const auto row = [](bool systemTransport, const char* name, Failure failure,
                            const QString& panel0, const QString& logged, int requests) {
            QTest::addRow("%s: %s", systemTransport ? "system" : "component", name)
                << systemTransport << failure << panel0 << logged << requests;
        };
        const QString empty = QStringLiteral("Пустое обновление!");
        row(true, "server down", Failure::ServerDown, dl, empty, 0);
        row(true, "status 500", Failure::Status500, dl, QStringLiteral("HTTP 500"), 1);
        row(true, "empty body", Failure::EmptyBody, dl, empty, 1);
        row(true, "stalled", Failure::Stalled, dl, empty, 1);
        row(false, "server down", Failure::ServerDown, dl, QString(), 0);
        row(false, "status 500", Failure::Status500, dl, QStringLiteral("HTTP 500"), 1);
        row(false, "empty body is no failure", Failure::EmptyBody, QStringLiteral("..."), QString(),
            1);
        row(false, "stalled", Failure::Stalled, dl, QString(), 1);
        for (const bool system : {true, false}) {
            row(system, "body over the limit", Failure::OverLimit, dl, u"limit of 3999 bytes"_s, 1);
            // The answer has nowhere to go; nothing is read.
            row(system, "feed file unwritable", Failure::FeedFileUnwritable, dl, QString(), 1);
            row(system, "no database", Failure::NoDatabase, dl,
                QStringLiteral("База данных не открыта"), 0);
        }
        // A byte now and then is no stall, but far below the rate a feed needs.
        row(true, "crawling", Failure::Crawling, dl, empty, 1);
        row(false, "crawling", Failure::Crawling, dl, u"below the limit of 1000 bytes/s"_s, 1);
        // Refused before anything is sent.
        const std::tuple<Failure, const char*, QString> refused[]{
            {Failure::AnotherCa, "another CA",
             u"SSL certificate problem: unable to get local issuer certificate"_s},
            {Failure::AnotherHostName, "another host name",
             u"no alternative certificate subject name matches target host name '127.0.0.1'"_s},
            {Failure::PlainHttpOnTlsPort, "plain HTTP on the TLS port", u"wrong version number"_s},
            {Failure::NoCaFile, "no CA file",
             u"error setting certificate file: /nonexistent/ca.pem"_s},
            {Failure::UnknownScheme, "unknown scheme", uR"(has the scheme "ftp")"_s},
            {Failure::OldTlsOnly, "TLS 1.1 only", u"SSL"_s}};
        for (const auto& [failure, name, logged] : refused) {
            row(true, name, failure, dl, logged, 0);
            row(false, name, failure, dl, logged, 0);
        }
        row(true, "307 to another host", Failure::TemporaryRedirect, dl,
            u"HTTP 307: redirect to localhost:"_s, 1);
        row(false, "307 to another host", Failure::TemporaryRedirect, dl,
            u"HTTP 307 Temporary Redirect: redirect to localhost:"_s, 1);
        row(true, "302 to another host", Failure::FoundRedirect, dl,
            u"HTTP 302: redirect to localhost:"_s, 1);
        row(false, "302 to another host", Failure::FoundRedirect, dl,
            u"HTTP 302 Found: redirect to localhost:"_s, 1);
        row(true, "control characters in the reason", Failure::ControlCharsInReason, dl,
            u"HTTP 500"_s, 0);
        row(false, "control characters in the reason", Failure::ControlCharsInReason, dl,
            QStringLiteral("HTTP 500 Oops\ufffd01.01.2026 10:00:00: Start\ufffd[2J\ufffd."), 0);
    }
    void failures() {
        QFETCH(bool, systemTransport);
        QFETCH(Failure, failure);
        QFETCH(QString, panel0);
        QFETCH(QString, logged);
        QFETCH(int, requests);
        m_settings.proxyFromIE = systemTransport;
        // Where a redirect would lead: a service that would hand out a feed of its own.
        FakeService other;
        other.setDefaultAnswer(ok("R#2#theirs\r\n"));
        // A status line no proper server sends: a lone CR, ESC and a C1 control.
        // Served from a thread of its own: the transfer turns no event loop of this one.
        test::ServingThread serving;
        auto* raw = serving.make<QTcpServer>();
        quint16 rawPort = 0;
        serving.run([&] {
            if (raw->listen(QHostAddress::LocalHost))
                rawPort = raw->serverPort();
            connect(raw, &QTcpServer::newConnection, raw, [raw] {
                QTcpSocket* client = raw->nextPendingConnection();
                connect(client, &QTcpSocket::readyRead, client, [client] {
                    client->readAll();
                    client->write("HTTP/1.1 500 Oops\r01.01.2026 10:00:00: Start\x1b[2J\x85.\r\n"
                                  "Content-Length: 0\r\nConnection: close\r\n\r\n");
                    client->disconnectFromHost();
                });
            });
        });
        QVERIFY(rawPort != 0);
        // Set up first: a service over TLS replaces the plain one.
        const HttpServer::Response answer = failWith(failure, other.port(), rawPort);
        m_service->setDefaultAnswer(answer);
        run();
        QCOMPARE(int(m_service->requestCount()), requests);
        QCOMPARE(other.requestCount(), 0);
        QCOMPARE(m_host.panel0.last(), panel0);
        const QStringList log = logLines();
        if (panel0 == QStringLiteral("...")) {
            QVERIFY(log.isEmpty());
        } else {
            QCOMPARE(log.size(), 1);
            if (!logged.isEmpty())
                QVERIFY2(log.last().contains(logged), qPrintable(log.last()));
        }
        QCOMPARE(count("SELECT COUNT(*) FROM Queries"), 0);
        // The closing steps run whatever happened.
        QVERIFY(m_cycle->step() == SyncCycle::Step::Idle);
        QCOMPARE(m_host.closings, 1);
        QVERIFY(m_host.panel1.startsWith(QStringLiteral("Последнее обновление: ")));
        // No feed file is left (the folder in its place stays).
        QVERIFY(!QFileInfo(m_cycle->feedFilePath()).isFile());
        QCOMPARE(m_host.suspended, m_host.resumed);
    }

    void failingLineKeepsEarlierLines_data() {
        QTest::addColumn<QByteArray>("badLine");
        QTest::newRow("query with two fields") << QByteArray("R#9");
        QTest::newRow("query with end separator only") << QByteArray("R#9#");
        QTest::newRow("query id not a number") << QByteArray("R#x1#name");
        QTest::newRow("query id out of range") << QByteArray("Q#2147483648");
        // The listing is stored, then the engine refuses its history: none of the line stays.
        QTest::newRow("history of a listing refused") << QByteArray("D#9");
    }
    void failingLineKeepsEarlierLines() {
        QFETCH(QByteArray, badLine);
        if (badLine == "D#9")
            QVERIFY(QSqlQuery(m_db->connection())
                        .exec(u"CREATE TRIGGER refuse BEFORE INSERT ON FlatHistory "
                              "WHEN NEW.id='9' BEGIN SELECT RAISE(ABORT, 'refused'); END"_s));
        m_service->setDefaultAnswer(
            ok("R#5#a\r\nD#1\r\nD#2\r\n" + badLine + "\r\nR#6#b\r\nD#3\r\n"));
        run();
        QCOMPARE(m_host.panel0.last(), QStringLiteral("Не удалось распарсить данные"));
        QCOMPARE(count("SELECT COUNT(*) FROM Offers"), 2);
        QCOMPARE(count("SELECT COUNT(*) FROM Queries"), 1);
        QCOMPARE(m_host.balloons, QStringList{QStringLiteral("2 новых объявлений")});
        QCOMPARE(m_host.suspended, 1);
        QCOMPARE(m_host.resumed, 1);
        QCOMPARE(logLines().size(), 1);
        QVERIFY(m_cycle->step() == SyncCycle::Step::Idle);
        // However the cycle ended, the connection leaves the copying of its log to the
        // database's checkpointer.
        QCOMPARE(count("PRAGMA wal_autocheckpoint"), 0);
    }

    // The engine refuses the commit of a group and rolls it back, as on a full disk.
    void failedCommitReportsItsCause() {
        // The first sync of a file fills its history in groups of its own.
        m_service->setDefaultAnswer(ok("R#5#a\r\n"));
        run();
        sqlite3* engine =
            *static_cast<sqlite3* const*>(m_db->connection().driver()->handle().constData());
        int commits = 0;
        sqlite3_commit_hook(
            engine, [](void* n) { return ++*static_cast<int*>(n) == 3 ? 1 : 0; }, &commits);
        m_cycle->setSliceMilliseconds(0); // one group per record
        m_service->setDefaultAnswer(ok("R#5#a\r\nD#1\r\nD#2\r\nD#3\r\n"));
        run();
        sqlite3_commit_hook(engine, nullptr, nullptr);
        QVERIFY2(logLines().join('|').endsWith(": constraint failed"),
                 qPrintable(logLines().join('|')));
        QCOMPARE(count("SELECT COUNT(*) FROM Offers"), 1);
        QCOMPARE(m_host.balloons, QStringList{QStringLiteral("1 новых объявлений")});
    }

    void offerBeforeAnyQueryFails() {
        m_service->setDefaultAnswer(ok("D#1\r\nR#5#a\r\n"));
        run();
        QCOMPARE(m_host.panel0.last(), QStringLiteral("Не удалось распарсить данные"));
        QCOMPARE(count("SELECT COUNT(*) FROM Offers"), 0);
        // A listing already stored writes nothing: the feed goes on.
        QVERIFY(m_db->insertOffer(OfferRow{QStringLiteral("1"), 7, {}, 0}));
        run();
        QCOMPARE(m_host.panel0.last(), QStringLiteral("..."));
    }
};

QTEST_GUILESS_MAIN(TestSyncCycleFailures)
#include "tst_synccycle_failures.moc"
