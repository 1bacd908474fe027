// The system transport: the exact exchange of postForm, its failures and its proxy.
#include "support/fakeproxy.h"
#include "support/fakeservice.h"
#include "support/httphelpers.h"
#include "support/netutil.h"
#include "support/testpki.h"
#include "support/tunnelproxy.h"
#include "sync/formencoding.h"
#include "sync/postform.h"

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
using test::FakeService;
using test::headerNames;

namespace {

const QString agent = QStringLiteral("DomivaDesktop#0.0.1 MDAC#(6.4.2) JET#(3.40.1.0) OS# Debian "
                                     "GNU/Linux 12 (bookworm) #WININET");

TransferLimits shortLimits() {
    TransferLimits limits;
    limits.connectTimeout = 300ms;
    limits.stallTime = 1s;
    return limits;
}

} // namespace

class TestTransportPostForm : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void exactRequest_data();
    void exactRequest();
    void emptyFormTextSendsNoBody();
    void answerBodyKeptWhole_data();
    void answerBodyKeptWhole();
    void emptyAnswerIsEmptyResult();
    void errorStatusFails_data();
    void errorStatusFails();
    void redirectIsRefused();
    void serverDownFails();
    void stalledServerFails_data();
    void stalledServerFails();
    void slowAnswerWithinStallLimitSucceeds();
    void connectTimeoutFails();
    void httpProxyIsUsed();
    void httpsProxyIsUsed();
    void hostWithoutPortMeansPort80_data();
    void hostWithoutPortMeansPort80();
    void noProxyIsHonoured();
    void noEventLoopTurnsDuringTransfer();

private:
    std::unique_ptr<test::ProxyEnvironment> m_env;
    std::unique_ptr<FakeService> m_service;
};

void TestTransportPostForm::init() {
    m_env = std::make_unique<test::ProxyEnvironment>();
    m_service = std::make_unique<FakeService>();
}

void TestTransportPostForm::cleanup() {
    m_service.reset();
    m_env.reset();
}

void TestTransportPostForm::exactRequest_data() {
    QTest::addColumn<QByteArray>("formText");
    QTest::newRow("empty rd") << QByteArray("pass=kvax&rd=");
    QTest::newRow("two ids") << QByteArray("pass=kvax&rd=,3,17");
    // The caller encodes the password; postForm sends what it is given.
    QTest::newRow("encoded password with & blanks and cyrillic")
        << QByteArray("pass=" + formEncode(cp1251(QStringLiteral("па & с"))) + "&rd=,3");
    QTest::newRow("sent as passed, not encoded") << QByteArray("pass=a b&c&rd=,3");
    // Long bodies must not wait for a "100 Continue" the server may never send.
    QTest::newRow("long") << QByteArray("pass=kvax&rd=" + QByteArray(",12345").repeated(400));
    QTest::newRow("very long") << QByteArray("pass=kvax&rd=" + QByteArray(",1").repeated(600'000));
}

void TestTransportPostForm::exactRequest() {
    QFETCH(QByteArray, formText);
    m_service->queueAnswer(answer(200, "R|3|Дом\r\n"));

    const PostFormResult result = postForm(m_service->url("/db/demo/get20.txt"), agent, formText);

    QVERIFY2(result.transportError.isEmpty(), qPrintable(result.transportError));
    QVERIFY2(result.httpFailure.isEmpty(), qPrintable(result.httpFailure));
    QCOMPARE(result.body, QByteArray("R|3|Дом\r\n"));
    QCOMPARE(m_service->requestCount(), 1);
    const HttpServer::Request request = m_service->lastRequest();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.version, QByteArray("HTTP/1.1"));
    QCOMPARE(request.target, QByteArray("/db/demo/get20.txt"));
    QCOMPARE(request.header("Host"), m_service->hostAndPort().toUtf8());
    QCOMPARE(request.header("Accept"), QByteArray("text/*"));
    QCOMPARE(request.headerCount("Content-Type"), 1);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(request.header("User-Agent"), agent.toUtf8());
    QCOMPARE(request.header("Content-Length"), QByteArray::number(formText.size()));
    QCOMPARE(request.body, formText);
    const QList<QByteArray> expected = {"accept", "content-length", "content-type", "host",
                                        "user-agent"};
    QCOMPARE(headerNames(request), expected);
}

void TestTransportPostForm::emptyFormTextSendsNoBody() {
    m_service->queueAnswer(answer(200, "ok"));

    const PostFormResult result = postForm(m_service->url("/db/demo/getall5.txt"), agent, {});

    QCOMPARE(result.body, QByteArray("ok"));
    const HttpServer::Request request = m_service->lastRequest();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/db/demo/getall5.txt"));
    QCOMPARE(request.header("Content-Length"), QByteArray("0"));
    QCOMPARE(request.headerCount("Content-Type"), 1);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QVERIFY(request.body.isEmpty());
}

void TestTransportPostForm::answerBodyKeptWhole_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("zero bytes inside") << QByteArray("R|1|a\0b\r\nD|x\0\0y\r\n", 18);
    QTest::newRow("exactly 1024 bytes") << QByteArray(1024, 'x');
    QTest::newRow("1024 bytes ending in a zero byte")
        << QByteArray(1023, 'x') + QByteArray(1, '\0');
    QTest::newRow("1025 bytes") << QByteArray(1025, 'y');
    QByteArray everyByte;
    for (int i = 0; i < 256; ++i) {
        everyByte.append(static_cast<char>(i));
    }
    QTest::newRow("every byte value") << everyByte.repeated(5);
    QTest::newRow("large") << QByteArray("0123456789abcdef").repeated(20000);
}

void TestTransportPostForm::answerBodyKeptWhole() {
    QFETCH(QByteArray, body);
    m_service->queueAnswer(answer(200, body));
    TransferLimits limits; // a body of exactly the limit is kept
    limits.maxBodyBytes = body.size();
    const PostFormResult result =
        postForm(m_service->url("/db/x/get1.txt"), agent, "pass=&rd=", limits);
    QCOMPARE(result.body.size(), body.size());
    QCOMPARE(result.body, body);
}

void TestTransportPostForm::emptyAnswerIsEmptyResult() {
    // Nothing named the failure: the caller reports its own text for an empty result.
    m_service->queueAnswer(answer(200, {}));
    const PostFormResult result = postForm(m_service->url("/db/x/get1.txt"), agent, "pass=&rd=");
    QVERIFY(result.body.isEmpty());
    QVERIFY(result.httpFailure.isEmpty());
    QVERIFY(result.transportError.isEmpty());
}

void TestTransportPostForm::errorStatusFails_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("failure");
    QTest::newRow("400") << 400 << "HTTP 400";
    QTest::newRow("403") << 403 << "HTTP 403";
    QTest::newRow("404") << 404 << "HTTP 404";
    QTest::newRow("500") << 500 << "HTTP 500";
    QTest::newRow("503") << 503 << "HTTP 503";
}

void TestTransportPostForm::errorStatusFails() {
    QFETCH(int, status);
    QFETCH(QString, failure);
    m_service->queueAnswer(answer(status, "<html><body>error page</body></html>"));
    const PostFormResult result = postForm(m_service->url("/db/x/get1.txt"), agent, "pass=&rd=");
    QVERIFY(result.body.isEmpty());
    QCOMPARE(result.httpFailure, failure);
}

void TestTransportPostForm::redirectIsRefused() {
    FakeService::Answer moved = answer(302, "moved");
    moved.headers.append(HttpServer::Header{"Location", "/db/demo/moved.txt"});
    m_service->queueAnswer(moved);

    const PostFormResult result =
        postForm(m_service->url("/db/demo/get5.txt"), agent, "pass=a&rd=");

    QVERIFY(result.body.isEmpty());
    QCOMPARE(result.httpFailure, "HTTP 302: redirect to " + m_service->hostAndPort() + " refused");
    QCOMPARE(m_service->requestCount(), 1);
}

void TestTransportPostForm::serverDownFails() {
    const quint16 port = test::closedPort();
    QElapsedTimer clock;
    clock.start();
    const PostFormResult result =
        postForm(QStringLiteral("http://127.0.0.1:%1/db/x/get1.txt").arg(port), agent, "pass=&rd=");
    QVERIFY(result.body.isEmpty());
    QVERIFY(result.httpFailure.isEmpty());
    QVERIFY(!result.transportError.isEmpty());
    QVERIFY(clock.elapsed() < 5000);
}

void TestTransportPostForm::stalledServerFails_data() {
    QTest::addColumn<bool>("partBodySent");
    QTest::newRow("stalls after part of the body") << true;
    QTest::newRow("never answers") << false;
}

void TestTransportPostForm::stalledServerFails() {
    QFETCH(bool, partBodySent);
    FakeService::Answer stalled = answer(200, QByteArray(4096, 'z'));
    if (partBodySent) {
        stalled.stallAfter = 100;
    } else {
        stalled.delay = 30s;
    }
    m_service->queueAnswer(stalled);

    QElapsedTimer clock;
    clock.start();
    const PostFormResult result =
        postForm(m_service->url("/db/x/get1.txt"), agent, "pass=&rd=", shortLimits());

    QVERIFY(result.body.isEmpty());
    QVERIFY2(result.transportError.contains("too slow"), qPrintable(result.transportError));
    QVERIFY(clock.elapsed() >= 900);
    QVERIFY(clock.elapsed() < 5000);
}

void TestTransportPostForm::slowAnswerWithinStallLimitSucceeds() {
    FakeService::Answer slow = answer(200, "slow but there");
    slow.delay = 600ms;
    m_service->queueAnswer(slow);
    const PostFormResult result =
        postForm(m_service->url("/db/x/get1.txt"), agent, "pass=&rd=", shortLimits());
    QCOMPARE(result.body, QByteArray("slow but there"));
}

void TestTransportPostForm::connectTimeoutFails() {
    test::UnansweredListener silent;
    QElapsedTimer clock;
    clock.start();
    const PostFormResult result =
        postForm(QStringLiteral("http://127.0.0.1:%1/db/x/get1.txt").arg(silent.port()), agent,
                 "pass=&rd=", shortLimits());
    QVERIFY(result.body.isEmpty());
    QVERIFY2(result.transportError.contains("timeout", Qt::CaseInsensitive) ||
                 result.transportError.contains("timed out", Qt::CaseInsensitive),
             qPrintable(result.transportError));
    QVERIFY(clock.elapsed() >= 250);
    QVERIFY(clock.elapsed() < 5000);
}

void TestTransportPostForm::httpProxyIsUsed() {
    test::FakeProxy proxy;
    proxy.setRequireAuth(false);
    m_env->setHttpProxy(proxy.url());
    m_service->queueAnswer(answer(200, "through the proxy"));

    const PostFormResult result =
        postForm(m_service->url("/db/demo/get20.txt"), agent, "pass=kvax&rd=,3");

    QCOMPARE(result.body, QByteArray("through the proxy"));
    QCOMPARE(proxy.requestCount(), 1);
    const HttpServer::Request seen = proxy.requests().first();
    QCOMPARE(seen.method, QByteArray("POST"));
    QCOMPARE(seen.target, m_service->url("/db/demo/get20.txt").toUtf8());
    QCOMPARE(seen.version, QByteArray("HTTP/1.1"));
    QCOMPARE(seen.header("User-Agent"), agent.toUtf8());
    QCOMPARE(seen.body, QByteArray("pass=kvax&rd=,3"));
    QCOMPARE(m_service->requestCount(), 1);
    QCOMPARE(m_service->lastRequest().body, QByteArray("pass=kvax&rd=,3"));
}

void TestTransportPostForm::httpsProxyIsUsed() {
    test::TunnelProxy proxy;
    qputenv("https_proxy", "http://127.0.0.1:" + QByteArray::number(proxy.port()));
    FakeService service(0, test::testPki().server);
    service.queueAnswer(answer(200, "through the tunnel"));

    const PostFormResult result = postForm(service.url("/db/demo/get20.txt"), agent,
                                           "pass=kvax&rd=", {}, nullptr, test::testPki().caFile);

    QCOMPARE(result.body, QByteArray("through the tunnel"));
    QCOMPARE(proxy.requests().size(), 1);
    QCOMPARE(proxy.requests().first().method, QByteArray("CONNECT"));
}

void TestTransportPostForm::hostWithoutPortMeansPort80_data() {
    QTest::addColumn<QByteArray>("host"); // all but the first also occur inside "http://"
    for (const char* host : {"service.invalid", "h", "t", "tp", "http"})
        QTest::newRow(host) << QByteArray(host);
}

void TestTransportPostForm::hostWithoutPortMeansPort80() {
    QFETCH(QByteArray, host);
    test::FakeProxy proxy;
    proxy.setRequireAuth(false);
    HttpServer::Response own;
    own.body = "answered by the proxy";
    proxy.setOwnAnswer(own);
    m_env->setHttpProxy(proxy.url());

    const QByteArray url = "http://" + host + "/db/demo/get20.txt";
    const PostFormResult result = postForm(QString::fromLatin1(url), agent, "pass=&rd=");

    QCOMPARE(result.body, QByteArray("answered by the proxy"));
    QCOMPARE(proxy.requestCount(), 1);
    QCOMPARE(proxy.requests().first().target, url);
    QCOMPARE(proxy.requests().first().header("Host"), host);
}

void TestTransportPostForm::noProxyIsHonoured() {
    test::FakeProxy proxy;
    proxy.setRequireAuth(false);
    m_env->setHttpProxy(proxy.url());
    m_env->setNoProxy(QStringLiteral("127.0.0.1"));
    m_service->queueAnswer(answer(200, "direct"));

    const PostFormResult result = postForm(m_service->url("/db/x/get1.txt"), agent, "pass=&rd=");

    QCOMPARE(result.body, QByteArray("direct"));
    QCOMPARE(proxy.requestCount(), 0);
    QCOMPARE(m_service->requestCount(), 1);
}

void TestTransportPostForm::noEventLoopTurnsDuringTransfer() {
    FakeService::Answer slow = answer(200, "slow");
    slow.delay = 600ms;
    m_service->queueAnswer(slow);
    int ticks = 0;
    QTimer ticker;
    ticker.setInterval(10);
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start();

    const PostFormResult result = postForm(m_service->url("/db/x/get1.txt"), agent, "pass=&rd=");

    ticker.stop();
    QCOMPARE(result.body, QByteArray("slow"));
    // The request runs on the data thread as one step: nothing else of the thread runs inside.
    QCOMPARE(ticks, 0);
}

QTEST_GUILESS_MAIN(TestTransportPostForm)
#include "tst_transport_postform.moc"
