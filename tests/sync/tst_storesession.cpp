// The store session's refresh timer: stopped while a sync runs, and started again by its end,
// whatever came of it, at the refresh time of the settings; a refresh time of 0 means no
// automatic sync.

#include "store/database.h"
#include "support/fakeservice.h"
#include "support/netutil.h"
#include "sync/storesession.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace domiva;
using domiva::test::FakeService;

namespace {

// How the sync the timer waits for ends.
enum class Ending {
    Stored,         // the feed stored
    DownloadFailed, // the service cannot be reached
    ParseFailed,    // the feed holds a listing before any search
};

} // namespace

class TestStoreSession : public QObject {
    Q_OBJECT

private slots:
    void timerFollowsTheSync_data() {
        QTest::addColumn<int>("ending");
        QTest::addColumn<int>("refreshTime"); // seconds, as the settings keep it
        QTest::addColumn<bool>("running");    // whether a tick can come
        QTest::newRow("stored, every 42 s") << int(Ending::Stored) << 42 << true;
        QTest::newRow("download failed, every 42 s") << int(Ending::DownloadFailed) << 42 << true;
        QTest::newRow("parse failed, every 42 s") << int(Ending::ParseFailed) << 42 << true;
        QTest::newRow("stored, refresh time 0") << int(Ending::Stored) << 0 << false;
        QTest::newRow("download failed, refresh time 0")
            << int(Ending::DownloadFailed) << 0 << false;
    }
    void timerFollowsTheSync() {
        QFETCH(int, ending);
        QFETCH(int, refreshTime);
        QFETCH(bool, running);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        test::ProxyEnvironment proxyEnv;
        FakeService service;
        FakeService::Answer answer;
        answer.body =
            Ending(ending) == Ending::ParseFailed ? "D#1\r\nR#5#a\r\n" : "R#5#a\r\nD#1\r\n";
        service.setDefaultAnswer(answer);

        SyncRequest context;
        context.settings.refreshTime = refreshTime;
        context.service = ServiceConfig{Ending(ending) == Ending::DownloadFailed
                                            ? QStringLiteral("127.0.0.1:%1").arg(test::closedPort())
                                            : service.hostAndPort(),
                                        QStringLiteral("http://site.example/")};
        context.environment = EnvironmentReport{"0.0.1", "3.40.1.0", "6.4.2", "Linux Test"};
        context.workDir = dir.path() + QLatin1Char('/');
        context.logPath = context.workDir + QStringLiteral("domiva.log");
        context.dbPath = context.workDir + QStringLiteral("db");
        createDatabase(context.dbPath);

        StoreSession session;
        session.configure(context);
        session.openDatabase();
        session.startRefreshing();
        QVERIFY(session.refreshTimer().isRunning());
        QSignalSpy done(&session, &StoreSession::syncDone);
        session.sync(false);
        // No tick while the sync runs.
        QVERIFY(!session.refreshTimer().isEnabled());
        QVERIFY(!session.refreshTimer().isRunning());
        QVERIFY(done.wait(10'000));
        const bool stored = Ending(ending) == Ending::Stored;
        QCOMPARE(done[0][0].value<SyncOutcome>().newOffers, stored ? 1 : 0);
        QCOMPARE(QFile::exists(context.logPath), !stored);
        QVERIFY(session.refreshTimer().isEnabled());
        QCOMPARE(session.refreshTimer().interval(), qint64(refreshTime) * 1000);
        QCOMPARE(session.refreshTimer().isRunning(), running);
    }
};

QTEST_GUILESS_MAIN(TestStoreSession)
#include "tst_storesession.moc"
