// The component transport: the exact HTTP/1.0 form request, the proxy of the settings and
// nothing else, and the errors it raises.
#include "core/error.h"
#include "support/fakeproxy.h"
#include "support/fakeservice.h"
#include "support/httphelpers.h"
#include "support/netutil.h"
#include "support/testpki.h"
#include "support/tunnelproxy.h"
#include "sync/formclient.h"

#include <QElapsedTimer>
#include <QStringEncoder>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

using namespace domiva;
using namespace std::chrono_literals;
using test::answer;
using test::cp1251;
using test::FakeProxy;
using test::FakeService;
using test::headerNames;

namespace {

const QString agent = QStringLiteral("DomivaDesktop#0.0.1 MDAC#(6.4.2) JET#(3.40.1.0) OS# Debian "
                                     "GNU/Linux 12 (bookworm) #INDY");

QList<FormField> fields(const QByteArray& pass, const QByteArray& rd) {
    return {{"pass", pass}, {"rd", rd}};
}

// What post() raised, or an empty text when it raised nothing.
QString errorOf(const FormClient& client, const QString& url) {
    try {
        client.post(url, fields("kvax", {}));
    } catch (const Error& e) {
        return e.message();
    }
    return {};
}

} // namespace

class TestTransportFormClient : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void exactRequest_data();
    void exactRequest();
    void answerBodyKeptWhole_data();
    void answerBodyKeptWhole();
    void emptyAnswerIsSuccess();
    void errorStatusRaises_data();
    void errorStatusRaises();
    void redirectIsNotFollowed();
    void serverDownRaises();
    void stalledServerRaises();
    void proxyCredentialsOnlyAfterChallenge();
    void proxyTunnelsTlsAfterChallenge();
    void proxyNotAskingGetsNoCredentials();
    void proxyChallengeWithoutLoginRaises();
    void emptyProxyGoesDirectDespiteEnvironment();
    void explicitProxyDespiteNoProxy();
    void explicitProxyNotEnvironmentProxy();
    void invalidProxyPortRaises();
    void noEventLoopTurnsDuringTransfer();
    void clientStaysDuringTransfer();

private:
    FormClient directClient() const;

    std::unique_ptr<test::ProxyEnvironment> m_env;
    std::unique_ptr<FakeService> m_service;
};

void TestTransportFormClient::init() {
    m_env = std::make_unique<test::ProxyEnvironment>();
    m_service = std::make_unique<FakeService>();
}

void TestTransportFormClient::cleanup() {
    m_service.reset();
    m_env.reset();
}

FormClient TestTransportFormClient::directClient() const {
    FormClient client;
    client.setUserAgent(agent);
    return client;
}

void TestTransportFormClient::exactRequest_data() {
    QTest::addColumn<QByteArray>("pass");
    QTest::addColumn<QByteArray>("rd");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty rd") << QByteArray("kvax") << QByteArray() << QByteArray("pass=kvax&rd=&");
    QTest::newRow("two ids") << QByteArray("kvax") << QByteArray(",3,17")
                             << QByteArray("pass=kvax&rd=%2C3%2C17&");
    QTest::newRow("password with & blanks and cyrillic")
        << cp1251(QStringLiteral("Мой пароль&2")) << QByteArray(",5")
        << QByteArray("pass=%CC%EE%E9+%EF%E0%F0%EE%EB%FC%262&rd=%2C5&");
}

void TestTransportFormClient::exactRequest() {
    QFETCH(QByteArray, pass);
    QFETCH(QByteArray, rd);
    QFETCH(QByteArray, body);
    m_service->queueAnswer(answer(200, "feed"));

    const QByteArray result =
        directClient().post(m_service->url("/db/demo/get20.txt"), fields(pass, rd));

    QCOMPARE(result, QByteArray("feed"));
    QCOMPARE(m_service->requestCount(), 1);
    const HttpServer::Request request = m_service->lastRequest();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.version, QByteArray("HTTP/1.0"));
    QCOMPARE(request.target, QByteArray("/db/demo/get20.txt"));
    QCOMPARE(request.header("Host"), m_service->hostAndPort().toUtf8());
    QCOMPARE(request.headerCount("Content-Type"), 1);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(request.header("Accept"), QByteArray("text/html, */*"));
    QCOMPARE(request.header("User-Agent"), agent.toUtf8());
    QCOMPARE(request.header("Content-Length"), QByteArray::number(body.size()));
    QCOMPARE(request.body, body);
    const QList<QByteArray> expected = {"accept", "content-length", "content-type", "host",
                                        "user-agent"};
    QCOMPARE(headerNames(request), expected);
}

void TestTransportFormClient::answerBodyKeptWhole_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("zero bytes inside") << QByteArray("R|1|a\0b\r\nD|x\0\0y\r\n", 18);
    QTest::newRow("exactly 1024 bytes") << QByteArray(1024, 'x');
    QTest::newRow("cp1251 text") << cp1251(QStringLiteral("R|3|Квартира у метро\r\n"));
}

void TestTransportFormClient::answerBodyKeptWhole() {
    QFETCH(QByteArray, body);
    m_service->queueAnswer(answer(200, body));
    const QByteArray result =
        directClient().post(m_service->url("/db/x/get1.txt"), fields("a", {}));
    QCOMPARE(result, body);
}

void TestTransportFormClient::emptyAnswerIsSuccess() {
    m_service->queueAnswer(answer(200, {}));
    QByteArray result = "not touched";
    try {
        result = directClient().post(m_service->url("/db/x/get1.txt"), fields("a", {}));
    } catch (const Error& e) {
        QFAIL(qPrintable(e.message()));
    }
    QVERIFY(result.isEmpty());
}

void TestTransportFormClient::errorStatusRaises_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("500") << 500 << "HTTP 500 Internal Server Error";
    QTest::newRow("404") << 404 << "HTTP 404 Not Found";
    QTest::newRow("403") << 403 << "HTTP 403 Forbidden";
    QTest::newRow("400") << 400 << "HTTP 400 Bad Request";
}

void TestTransportFormClient::errorStatusRaises() {
    QFETCH(int, status);
    QFETCH(QString, message);
    m_service->queueAnswer(answer(status, "error page"));
    QCOMPARE(errorOf(directClient(), m_service->url("/db/x/get1.txt")), message);
}

void TestTransportFormClient::redirectIsNotFollowed() {
    FakeService::Answer moved = answer(302, "moved");
    moved.headers.append(HttpServer::Header{"Location", "/db/demo/moved.txt"});
    m_service->queueAnswer(moved);
    m_service->queueAnswer(answer(200, "feed"));

    QCOMPARE(errorOf(directClient(), m_service->url("/db/x/get1.txt")),
             "HTTP 302 Found: redirect to " + m_service->hostAndPort() + " refused");
    QCOMPARE(m_service->requestCount(), 1);
}

void TestTransportFormClient::serverDownRaises() {
    const QString message =
        errorOf(directClient(),
                QStringLiteral("http://127.0.0.1:%1/db/x/get1.txt").arg(test::closedPort()));
    QVERIFY2(message.contains("connect", Qt::CaseInsensitive), qPrintable(message));
}

void TestTransportFormClient::stalledServerRaises() {
    FakeService::Answer stalled = answer(200, QByteArray(4096, 'z'));
    stalled.stallAfter = 10;
    m_service->queueAnswer(stalled);
    FormClient client = directClient();
    TransferLimits limits;
    limits.stallTime = 1s;
    client.setLimits(limits);

    QElapsedTimer clock;
    clock.start();
    const QString message = errorOf(client, m_service->url("/db/x/get1.txt"));
    QVERIFY2(message.contains("too slow"), qPrintable(message));
    QVERIFY(clock.elapsed() >= 900);
    QVERIFY(clock.elapsed() < 5000);
}

void TestTransportFormClient::proxyCredentialsOnlyAfterChallenge() {
    FakeProxy proxy;
    const QByteArray credentials =
        "Basic " + ("user:" + cp1251(QStringLiteral("пароль"))).toBase64();
    proxy.setExpectedAuthorization(credentials);
    m_service->queueAnswer(answer(200, "feed through the proxy"));
    FormClient client = directClient();
    client.setProxyServer("127.0.0.1");
    client.setProxyPort(proxy.port());
    client.setProxyLogin("user");
    client.setProxyPassword(QStringLiteral("пароль"));

    const QByteArray result = client.post(m_service->url("/db/demo/get20.txt"), fields("kvax", {}));

    QCOMPARE(result, QByteArray("feed through the proxy"));
    const QList<HttpServer::Request> seen = proxy.requests();
    QCOMPARE(seen.size(), 2);
    QVERIFY(!seen[0].hasHeader("Proxy-Authorization"));
    QCOMPARE(seen[1].header("Proxy-Authorization"), credentials);
    for (const HttpServer::Request& request : seen) {
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, m_service->url("/db/demo/get20.txt").toUtf8());
        QCOMPARE(request.version, QByteArray("HTTP/1.0"));
        QCOMPARE(request.body, QByteArray("pass=kvax&rd=&"));
        QCOMPARE(request.header("User-Agent"), agent.toUtf8());
    }
    QCOMPARE(m_service->requestCount(), 1);
    QVERIFY(!m_service->lastRequest().hasHeader("Proxy-Authorization"));
}

void TestTransportFormClient::proxyTunnelsTlsAfterChallenge() {
    const QByteArray credentials = "Basic " + QByteArray("user:secret").toBase64();
    test::TunnelProxy proxy(credentials);
    FakeService service(0, test::testPki().server);
    service.queueAnswer(answer(200, "feed through the tunnel"));
    FormClient client = directClient();
    client.setProxyServer("127.0.0.1");
    client.setProxyPort(proxy.port());
    client.setProxyLogin("user");
    client.setProxyPassword("secret");
    client.setCaFile(test::testPki().caFile);

    QCOMPARE(client.post(service.url("/db/demo/get20.txt"), fields("kvax", {})),
             QByteArray("feed through the tunnel"));
    // The proxy read two CONNECT requests and nothing of the form; the service the form alone.
    const QList<HttpServer::Request> seen = proxy.requests();
    QCOMPARE(seen.size(), 2);
    QVERIFY(!seen[0].hasHeader("Proxy-Authorization"));
    QCOMPARE(seen[1].header("Proxy-Authorization"), credentials);
    for (const HttpServer::Request& request : seen)
        QCOMPARE(request.method + ' ' + request.target,
                 "CONNECT " + service.hostAndPort().toUtf8());
    QCOMPARE(service.requestCount(), 1);
    QCOMPARE(service.lastRequest().body, QByteArray("pass=kvax&rd=&"));
    QVERIFY(!service.lastRequest().hasHeader("Proxy-Authorization"));
}

void TestTransportFormClient::proxyNotAskingGetsNoCredentials() {
    FakeProxy proxy;
    proxy.setRequireAuth(false);
    FormClient client = directClient();
    client.setProxyServer("127.0.0.1");
    client.setProxyPort(proxy.port());
    client.setProxyLogin("user");
    client.setProxyPassword("secret");

    client.post(m_service->url("/db/demo/get20.txt"), fields("kvax", {}));

    QCOMPARE(proxy.requestCount(), 1);
    QVERIFY(!proxy.requests().first().hasHeader("Proxy-Authorization"));
}

void TestTransportFormClient::proxyChallengeWithoutLoginRaises() {
    FakeProxy proxy;
    FormClient client = directClient();
    client.setProxyServer("127.0.0.1");
    client.setProxyPort(proxy.port());

    QCOMPARE(errorOf(client, m_service->url("/db/demo/get20.txt")),
             QStringLiteral("HTTP 407 Proxy Authentication Required"));
    QCOMPARE(proxy.requestCount(), 1);
    QCOMPARE(m_service->requestCount(), 0);
}

void TestTransportFormClient::emptyProxyGoesDirectDespiteEnvironment() {
    FakeProxy proxy;
    proxy.setRequireAuth(false);
    m_env->setHttpProxy(proxy.url());
    m_service->queueAnswer(answer(200, "direct"));

    QCOMPARE(directClient().post(m_service->url("/db/x/get1.txt"), fields("a", {})),
             QByteArray("direct"));
    QCOMPARE(proxy.requestCount(), 0);
    QCOMPARE(m_service->requestCount(), 1);
}

void TestTransportFormClient::explicitProxyDespiteNoProxy() {
    FakeProxy proxy;
    proxy.setRequireAuth(false);
    m_env->setNoProxy("*");
    FormClient client = directClient();
    client.setProxyServer("127.0.0.1");
    client.setProxyPort(proxy.port());

    client.post(m_service->url("/db/x/get1.txt"), fields("a", {}));

    QCOMPARE(proxy.requestCount(), 1);
}

void TestTransportFormClient::explicitProxyNotEnvironmentProxy() {
    FakeProxy ours;
    ours.setRequireAuth(false);
    FakeProxy environments;
    environments.setRequireAuth(false);
    m_env->setHttpProxy(environments.url());
    FormClient client = directClient();
    client.setProxyServer("127.0.0.1");
    client.setProxyPort(ours.port());

    client.post(m_service->url("/db/x/get1.txt"), fields("a", {}));

    QCOMPARE(ours.requestCount(), 1);
    QCOMPARE(environments.requestCount(), 0);
}

void TestTransportFormClient::invalidProxyPortRaises() {
    FormClient client = directClient();
    client.setProxyServer("127.0.0.1");
    client.setProxyPort(0);
    QCOMPARE(errorOf(client, m_service->url("/db/x/get1.txt")),
             QStringLiteral("Invalid proxy port 0"));
    QCOMPARE(m_service->requestCount(), 0);
}

void TestTransportFormClient::noEventLoopTurnsDuringTransfer() {
    FakeService::Answer slow = answer(200, "slow");
    slow.delay = 600ms;
    m_service->queueAnswer(slow);
    int ticks = 0;
    QTimer ticker;
    ticker.setInterval(10);
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start();

    const QByteArray result =
        directClient().post(m_service->url("/db/x/get1.txt"), fields("a", {}));

    ticker.stop();
    QCOMPARE(result, QByteArray("slow"));
    // The request runs on the data thread as one step: nothing else of the thread runs inside.
    QCOMPARE(ticks, 0);
}

void TestTransportFormClient::clientStaysDuringTransfer() {
    // Whatever would let the client go waits until the request has ended: nothing of the
    // thread runs inside it.
    FakeService::Answer slow = answer(200, "still arrives");
    slow.delay = 300ms;
    m_service->queueAnswer(slow);
    auto client = std::make_unique<FormClient>(directClient());
    client->setProxyLogin("gone");
    QTimer::singleShot(50, this, [&client] { client.reset(); });

    const QByteArray result = client->post(m_service->url("/db/x/get1.txt"), fields("a", {}));

    QVERIFY(client);
    QCOMPARE(result, QByteArray("still arrives"));
    QTRY_VERIFY(!client);
}

QTEST_GUILESS_MAIN(TestTransportFormClient)
#include "tst_transport_formclient.moc"
