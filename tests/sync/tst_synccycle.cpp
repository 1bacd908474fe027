#include "core/datetimevalue.h"
#include "env/environment.h"
#include "settings/settings.h"
#include "store/database.h"
#include "store/earlierappearances.h"
#include "store/flathistory.h"
#include "store/offersmodel.h"
#include "store/tablemodel.h"
#include "support/fakeservice.h"
#include "support/httphelpers.h"
#include "support/netutil.h"
#include "support/servingthread.h"
#include "support/syncsteps.h"
#include "support/testpki.h"
#include "sync/synccycle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QStringEncoder>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/tls1.h>
#include <sqlite3.h>

#include <functional>

using namespace domiva;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;
using domiva::test::cp1251;
using domiva::test::FakeService;

namespace {

// A listing line of the feed with the fields that tell its flat, and its price.
QString offerLine(const QString& id, const QString& address, const QString& floor,
                  const QString& contact, const QString& price,
                  const QString& date = QStringLiteral("06.12.26 14:05")) {
    return QStringLiteral("D#%1#5 мин#%2#2#8#%3#50%#%4#м/т#%5#текст#агент#%6\r\n")
        .arg(id, address, price, floor, contact, date);
}

HttpServer::Response ok(const QByteArray& body) {
    HttpServer::Response r;
    r.body = body;
    return r;
}

struct Host : SyncHost {
    QStringList panel0;
    QString panel1;
    QStringList balloons;
    QStringList versionMessages;
    int slices = 0;
    int suspended = 0;
    int resumed = 0;
    int requeries = 0;
    int closings = 0; // the time of the last sync shown: a cycle's closing steps ran
    std::function<void()> onSlice;

    void setStatusText(int panel, const QString& text) override {
        if (panel == 0) {
            panel0 << text;
        } else {
            panel1 = text;
            ++closings;
        }
    }
    void sliceCommitted() override {
        ++slices;
        if (onSlice)
            onSlice();
    }
    void showTrayBalloon(const QString& text) override { balloons << text; }
    void showNewVersionMessage(const QString& text) override { versionMessages << text; }
    void suspendGrids() override { ++suspended; }
    void resumeGrids() override { ++resumed; }
    void requeryOffers() override { ++requeries; }
};

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

class TestSyncCycle : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeService> m_service;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<test::ProxyEnvironment> m_proxyEnv;
    Settings m_settings;
    EnvironmentReport m_env{"0.0.1", "3.40.1.0", "6.4.2", "Linux Test"};
    ServiceConfig m_serviceConfig;
    Host m_host;
    std::unique_ptr<SyncCycle> m_cycle;

    QString workDir() const { return m_dir->path() + QLatin1Char('/'); }
    QString logPath() const { return workDir() + QStringLiteral("domiva.log"); }

    QStringList logLines() const {
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    }

    int count(const QString& sql) {
        QSqlQuery q(m_db->connection());
        if (!q.exec(sql) || !q.next())
            return -1;
        return q.value(0).toInt();
    }

    QVariant value(const QString& sql) {
        QSqlQuery q(m_db->connection());
        if (!q.exec(sql) || !q.next())
            return {};
        return q.value(0);
    }

    void run(bool loadAll = false) { test::runSyncSteps(*m_cycle, loadAll); }

    // The service over TLS with this certificate, checked against the test CA.
    void useTlsService(const HttpServer::Tls& certificate) {
        m_service = std::make_unique<FakeService>(0, certificate);
        m_serviceConfig.host = QStringLiteral("https://") + m_service->hostAndPort();
        m_serviceConfig.caFile = test::testPki().caFile;
    }

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
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_proxyEnv = std::make_unique<test::ProxyEnvironment>();
        m_service = std::make_unique<FakeService>();
        createDatabase(workDir() + QStringLiteral("db"));
        m_db = openDatabase(workDir() + QStringLiteral("db"));
        m_settings = Settings{};
        m_serviceConfig =
            ServiceConfig{m_service->hostAndPort(), QStringLiteral("http://site.example/")};
        m_host = Host{};
        m_cycle = std::make_unique<SyncCycle>(
            m_host, SyncContext{&m_settings, &m_env, &m_serviceConfig, workDir(), logPath()});
        m_cycle->setDatabase(m_db.get());
        TransferLimits limits;
        limits.connectTimeout = std::chrono::milliseconds(2000);
        limits.stallTime = std::chrono::seconds(1);
        m_cycle->setTransferLimits(limits);
    }

    void cleanup() {
        m_cycle.reset();
        m_db.reset();
        m_service.reset();
        m_proxyEnv.reset();
        m_dir.reset();
    }

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
