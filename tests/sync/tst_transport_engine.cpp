// The transfer engine: event-loop driving, aborting, and ending the loop it waits in.
#include "support/fakeservice.h"
#include "sync/httptransfer.h"
#include "sync/postform.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>
#include <thread>

using namespace domiva;
using namespace std::chrono_literals;
using test::FakeService;

namespace {

FakeService::Answer slowAnswer(std::chrono::milliseconds delay) {
    FakeService::Answer a;
    a.body = "late";
    a.delay = delay;
    return a;
}

void setUp(CurlTransfer& transfer, const QString& url) {
    const QByteArray target = url.toUtf8();
    curl_easy_setopt(transfer.handle(), CURLOPT_URL, target.constData());
}

} // namespace

class TestTransportEngine : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();

    void runDeliversStatusReasonAndBody();
    void refusedOptionThrows();
    void startThenFinishedSignal();
    void abortEndsRunningTransfer();
    void destroyedWhileRunning();
    void startOnlyOnce();
    void runTurnsNoEventLoop();
    void cancelledDuringRun_data();
    void cancelledDuringRun();

private:
    std::unique_ptr<FakeService> m_service;
};

void TestTransportEngine::initTestCase() {
    qunsetenv("http_proxy");
    qunsetenv("no_proxy");
    qunsetenv("all_proxy");
    m_service = std::make_unique<FakeService>();
}

void TestTransportEngine::runDeliversStatusReasonAndBody() {
    FakeService::Answer gone;
    gone.status = 410;
    gone.body = QByteArray("no\0more", 7);
    m_service->queueAnswer(gone);
    CurlTransfer transfer;
    setUp(transfer, m_service->url("/x"));

    transfer.run();

    QVERIFY(transfer.isFinished());
    QVERIFY(transfer.succeeded());
    QCOMPARE(transfer.status(), 410L);
    QCOMPARE(transfer.reasonPhrase(), QByteArray("Gone"));
    QCOMPARE(transfer.body(), QByteArray("no\0more", 7));
    QVERIFY(transfer.errorText().isEmpty());
}

// An option libcurl refuses (here a protocol unknown to it, as an older libcurl refuses the
// option itself) is an error naming it, before anything is sent.
void TestTransportEngine::refusedOptionThrows() {
    CurlTransfer transfer;
    try {
        transfer.setOption(CURLOPT_PROTOCOLS_STR, "http,nosuch");
        QFAIL("the option was taken");
    } catch (const Error& e) {
        QVERIFY(e.message().contains(QStringLiteral("CURLOPT_PROTOCOLS_STR")));
    }
}

void TestTransportEngine::startThenFinishedSignal() {
    m_service->queueAnswer(slowAnswer(100ms));
    CurlTransfer transfer;
    setUp(transfer, m_service->url("/x"));
    QSignalSpy finished(&transfer, &CurlTransfer::finished);

    transfer.start();
    QVERIFY(transfer.isRunning());
    QVERIFY(finished.wait(5000));

    QCOMPARE(finished.size(), 1);
    QCOMPARE(transfer.body(), QByteArray("late"));
}

void TestTransportEngine::abortEndsRunningTransfer() {
    m_service->queueAnswer(slowAnswer(10s));
    CurlTransfer transfer;
    setUp(transfer, m_service->url("/x"));
    QSignalSpy finished(&transfer, &CurlTransfer::finished);
    QTimer::singleShot(100, &transfer, [&transfer] { transfer.abort("stopped by the test"); });

    QElapsedTimer clock;
    clock.start();
    transfer.start();

    QVERIFY(finished.wait(5000));
    QVERIFY(clock.elapsed() < 5000);
    QCOMPARE(finished.size(), 1);
    QVERIFY(!transfer.succeeded());
    QCOMPARE(transfer.errorText(), QStringLiteral("stopped by the test"));
    transfer.abort("again");
    QCOMPARE(finished.size(), 1);
    QCOMPARE(transfer.errorText(), QStringLiteral("stopped by the test"));
}

void TestTransportEngine::destroyedWhileRunning() {
    m_service->queueAnswer(slowAnswer(10s));
    const qsizetype before = m_service->requestCount();
    auto transfer = std::make_unique<CurlTransfer>();
    setUp(*transfer, m_service->url("/x"));
    transfer->start();
    QTRY_VERIFY_WITH_TIMEOUT(m_service->requestCount() > before, 5000);

    transfer.reset();
    // Whatever libcurl left behind must not fire into the destroyed object.
    QTest::qWait(200);
}

void TestTransportEngine::startOnlyOnce() {
    m_service->queueAnswer(FakeService::Answer{});
    const qsizetype before = m_service->requestCount();
    CurlTransfer transfer;
    setUp(transfer, m_service->url("/x"));
    transfer.run();
    QVERIFY(transfer.succeeded());
    transfer.start();
    transfer.run();
    QVERIFY(transfer.isFinished());
    QCOMPARE(m_service->requestCount(), before + 1);
}

void TestTransportEngine::runTurnsNoEventLoop() {
    // Whatever else the thread has to do waits for the request: nothing runs inside it.
    m_service->queueAnswer(slowAnswer(100ms));
    CurlTransfer transfer;
    setUp(transfer, m_service->url("/x"));
    bool ranInside = false;
    QTimer::singleShot(0, this, [&] { ranInside = !transfer.isFinished(); });

    transfer.run();

    QVERIFY(transfer.succeeded());
    QCOMPARE(transfer.body(), QByteArray("late"));
    QTest::qWait(10);
    QVERIFY(!ranInside);
}

void TestTransportEngine::cancelledDuringRun_data() {
    QTest::addColumn<bool>("postForm"); // through the system transport, else the transfer
    QTest::newRow("transfer") << false;
    QTest::newRow("system transport") << true;
}
void TestTransportEngine::cancelledDuringRun() {
    // The end of the program, from another thread: the transfer ends there and then, whatever
    // the server does, and the next exchange works as ever.
    QFETCH(bool, postForm);
    m_service->queueAnswer(slowAnswer(10s));
    std::atomic<bool> cancel{false};
    CurlTransfer::cancelOnThreadWhen(&cancel);
    std::thread canceller([&cancel] {
        std::this_thread::sleep_for(200ms);
        cancel = true;
    });
    QElapsedTimer clock;
    clock.start();
    QString failure;
    if (postForm) {
        const PostFormResult result =
            domiva::postForm(m_service->url("/db/x/get1.txt"), "agent", "pass=&rd=");
        QVERIFY(result.body.isEmpty());
        failure = result.transportError;
    } else {
        CurlTransfer transfer;
        setUp(transfer, m_service->url("/x"));
        transfer.run();
        QVERIFY(!transfer.succeeded());
        failure = transfer.errorText();
    }
    canceller.join();
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(failure.contains(QStringLiteral("cancelled")), qPrintable(failure));
    CurlTransfer::cancelOnThreadWhen(nullptr);
    m_service->queueAnswer(FakeService::Answer{200, "text/plain", "fine", {}, {}, {}});
    QCOMPARE(domiva::postForm(m_service->url("/db/x/get1.txt"), "agent", "pass=&rd=").body,
             QByteArray("fine"));
}

QTEST_GUILESS_MAIN(TestTransportEngine)
#include "tst_transport_engine.moc"
