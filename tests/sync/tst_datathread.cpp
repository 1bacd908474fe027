// The boundary between the window's thread and the data thread: answers in the order the
// work gave them, on the asking thread; a forgotten request's answers dropped; reads answered
// while a sync waits for its transfer; the end of the program while a transfer runs.

#include "store/database.h"
#include "store/storetestsupport.h"
#include "support/fakeservice.h"
#include "support/netutil.h"
#include "sync/datathread.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>

using namespace domiva;
using namespace std::chrono_literals;
using domiva::test::FakeService;

class TestDataThread : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<test::ProxyEnvironment> m_proxyEnv;
    std::unique_ptr<FakeService> m_service;
    std::unique_ptr<DataThread> m_data;
    QStringList m_answers;
    bool m_holdNotice = false; // the new-version box stays open until the test closes it

    SyncRequest request() const {
        SyncRequest r;
        r.service = ServiceConfig{m_service->hostAndPort(), QStringLiteral("http://site.example/")};
        r.environment = EnvironmentReport{"0.0.1", "3.40.1.0", "6.4.2", "Linux Test"};
        r.workDir = m_dir->path() + QLatin1Char('/');
        r.logPath = r.workDir + QStringLiteral("domiva.log");
        r.dbPath = r.workDir + QStringLiteral("db");
        return r;
    }

    // A sync whose feed the service sends after this long.
    void syncAnsweredAfter(std::chrono::milliseconds delay) {
        FakeService::Answer answer;
        answer.body = "R#5#a\r\nD#1\r\n";
        answer.delay = delay;
        m_service->setDefaultAnswer(answer);
        m_data->sync(request());
    }

    // Waits for what another thread does, without letting the window's thread take any answer.
    static bool waitWithoutEvents(const std::function<bool()>& done) {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.hasExpired(10'000))
                return false;
            QThread::msleep(2);
        }
        return true;
    }

    // Every answer, named, with the thread it came on.
    void record(const QString& name) {
        m_answers << (QThread::currentThread() == thread() ? name : name + QStringLiteral("!"));
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_proxyEnv = std::make_unique<test::ProxyEnvironment>();
        m_service = std::make_unique<FakeService>();
        createDatabase(m_dir->path() + QStringLiteral("/db"));
        m_data = std::make_unique<DataThread>();
        m_answers.clear();
        DataThread* d = m_data.get();
        connect(d, &DataThread::statusText, this, [this](int panel, const QString& text) {
            record(panel == 0 ? text : QStringLiteral("time"));
        });
        connect(d, &DataThread::gridsSuspended, this,
                [this] { record(QStringLiteral("suspend")); });
        connect(d, &DataThread::gridsResumed, this, [this] { record(QStringLiteral("resume")); });
        connect(d, &DataThread::trayBalloon, this, [this](const QString& t) { record(t); });
        connect(d, &DataThread::offersChanged, this, [this] { record(QStringLiteral("requery")); });
        connect(d, &DataThread::versionNotice, this, [this, d](const QString&) {
            record(QStringLiteral("notice"));
            // Closed a while later: the sync waits for it.
            if (!m_holdNotice)
                QTimer::singleShot(100, d, &DataThread::versionNoticeClosed);
        });
        connect(d, &DataThread::syncDone, this, [this](const SyncOutcome& outcome) {
            record(QStringLiteral("done %1 busy %2").arg(outcome.newOffers).arg(m_data->busy()));
        });
        connect(d, &DataThread::searchMarkedRead, this,
                [this] { record(QStringLiteral("marked")); });
        connect(d, &DataThread::clearing, this, [this] { record(QStringLiteral("clearing")); });
        connect(d, &DataThread::databaseCleared, this, [this](const std::optional<Error>& failure) {
            record(failure ? QStringLiteral("clear failed") : QStringLiteral("cleared"));
        });
        connect(d, &DataThread::databaseRepaired, this,
                [this](const DamageRecovery&, const QString&, const std::optional<Error>& failure) {
                    record(failure ? QStringLiteral("repair failed") : QStringLiteral("repaired"));
                });
        connect(d, &DataThread::repairing, this, [this] { record(QStringLiteral("repairing")); });
        connect(d, &DataThread::diskFailing, this, [this] { record(QStringLiteral("disk")); });
        connect(d, &DataThread::readMarksCarried, this,
                [this](int carried) { record(QStringLiteral("carried %1").arg(carried)); });
    }
    void cleanup() {
        m_data.reset();
        m_service.reset();
        m_proxyEnv.reset();
        m_dir.reset();
    }

    void answersInOrder() {
        FakeService::Answer answer;
        answer.body = "R#5#a\r\nD#1\r\nW#9.9.9\r\nD#2\r\n";
        m_service->setDefaultAnswer(answer);
        m_data->sync(request());
        QVERIFY(m_data->busy());
        QTRY_VERIFY(!m_data->busy());
        QCOMPARE(
            m_answers,
            (QStringList{QStringLiteral("Идет проверка доступности интернета..."),
                         QStringLiteral("Идет загрузка данных..."),
                         QStringLiteral("Идет обработка данных..."), QStringLiteral("suspend"),
                         QStringLiteral("notice"), QStringLiteral("resume"), QStringLiteral("..."),
                         QStringLiteral("time"), QStringLiteral("2 новых объявлений"),
                         QStringLiteral("requery"), QStringLiteral("done 2 busy 0")}));
        // The next request is taken once the first has ended.
        m_data->markSearchRead(request().dbPath, 5);
        QSignalSpy marked(m_data.get(), &DataThread::searchMarkedRead);
        QVERIFY(marked.wait());
        QCOMPARE(marked[0][0].toInt(), 5);
        QVERIFY(!m_data->busy());
    }

    // Any request at any moment: what runs decides whether it runs now, waits, is taken by
    // what runs or is refused, and nothing is lost or answered twice.
    void orderOfRequests_data() {
        QTest::addColumn<QString>("state"); // what runs when the request comes
        QTest::addColumn<QString>("asked");
        QTest::addColumn<int>("decision");
        QTest::addColumn<QStringList>("answers"); // those of the requests, in order
        using D = DataThread::Decision;
        const QString done = QStringLiteral("done");
        const QStringList cleared{QStringLiteral("clearing"), QStringLiteral("cleared")};
        const auto row = [](const char* state, const char* request, D decision,
                            const QStringList& answers) {
            QTest::addRow("%s, %s", state, request)
                << QString::fromLatin1(state) << QString::fromLatin1(request) << int(decision)
                << answers;
        };
        row("idle", "sync", D::Run, {done});
        row("idle", "clear", D::Run, cleared);
        row("idle", "mark", D::Run, {QStringLiteral("marked")});
        row("idle", "repair", D::Run, {QStringLiteral("repaired")});
        for (const char* state : {"transferring", "applying", "waiting for the notice"}) {
            row(state, "sync", D::Merge, {done});
            row(state, "clear", D::Refuse, {done});
            row(state, "clear when free", D::Queue, QStringList{done} + cleared);
            row(state, "mark", D::Refuse, {done});
            row(state, "repair", D::Queue, {done, QStringLiteral("repaired")});
            row(state, "exit", D::Refuse, {done});
        }
        // Clearing, held up by another program's transaction (its start is not counted here).
        const QStringList clearedOnly{QStringLiteral("cleared")};
        row("clearing", "sync", D::Merge, clearedOnly);
        row("clearing", "clear", D::Merge, clearedOnly);
        row("clearing", "mark", D::Refuse, clearedOnly);
        row("clearing", "repair", D::Queue, clearedOnly + QStringList{QStringLiteral("repaired")});
        row("marking", "mark", D::Queue, {QStringLiteral("marked"), QStringLiteral("marked")});
        row("marking", "clear", D::Refuse, {QStringLiteral("marked")});
        row("marking", "clear when free", D::Queue,
            QStringList{QStringLiteral("marked")} + cleared);
        // Reads beside any of them, never refused nor lost: the answer of what ran alone.
        for (const char* state : {"idle", "transferring", "applying", "waiting for the notice",
                                  "clearing", "marking"}) {
            const QStringList ran = QByteArray(state) == "idle"       ? QStringList()
                                    : QByteArray(state) == "clearing" ? clearedOnly
                                    : QByteArray(state) == "marking"
                                        ? QStringList{QStringLiteral("marked")}
                                        : QStringList{done};
            row(state, "click mark", D::Run, ran);
            row(state, "export", D::Run, ran);
        }
    }
    void orderOfRequests() {
        QFETCH(QString, state);
        QFETCH(QString, asked);
        QFETCH(int, decision);
        QFETCH(QStringList, answers);
        const QString path = request().dbPath;
        m_holdNotice = true;
        std::optional<test::RawConnection> other;
        {
            auto db = openDatabase(path);
            db->insertQuery(5, QStringLiteral("a"));
            db->insertOffer(OfferRow{QStringLiteral("x1"), 5, {}, 45000});
        }
        if (state == QLatin1String("transferring")) {
            syncAnsweredAfter(800ms);
            QTRY_COMPARE(m_service->requestCount(), qsizetype(1));
        } else if (state == QLatin1String("waiting for the notice")) {
            FakeService::Answer answer;
            answer.body = "R#5#a\r\nW#9.9.9\r\nD#1\r\n";
            m_service->setDefaultAnswer(answer);
            m_data->sync(request());
            QTRY_VERIFY(m_answers.contains(QStringLiteral("notice")));
        } else if (state == QLatin1String("applying")) {
            // Another program's write holds the feed's first slice, once a first sync has
            // opened the file.
            FakeService::Answer answer;
            answer.body = "R#5#a\r\n";
            m_service->setDefaultAnswer(answer);
            m_data->sync(request());
            QTRY_VERIFY(!m_data->busy());
            other.emplace(path);
            other->exec(QStringLiteral("BEGIN IMMEDIATE"));
            answer.body = "R#5#a\r\nD#1\r\n";
            m_service->setDefaultAnswer(answer);
            m_data->sync(request());
            QTRY_VERIFY(m_answers.contains(QStringLiteral("suspend")));
        } else if (state != QLatin1String("idle")) {
            other.emplace(path);
            other->exec(QStringLiteral("BEGIN IMMEDIATE"));
            if (state == QLatin1String("clearing"))
                m_data->clearDatabase(path);
            else
                m_data->markSearchRead(path, 5);
            QTest::qWait(100);
        }
        m_answers.clear();
        using R = DataThread::Request;
        DataThread::Decision decided = DataThread::Decision::Run;
        int reads = 0; // answers of the reading thread
        const QString csv = m_dir->path() + QStringLiteral("/out.csv");
        if (asked == QLatin1String("sync"))
            decided = m_data->sync(request());
        else if (asked == QLatin1String("clear"))
            decided = m_data->clearDatabase(path);
        else if (asked == QLatin1String("clear when free"))
            decided = m_data->clearDatabase(path, R::ClearWhenFree);
        else if (asked == QLatin1String("mark"))
            decided = m_data->markSearchRead(path, 5);
        else if (asked == QLatin1String("repair")) {
            DamageRecovery recovery;
            recovery.notice();
            decided = m_data->repairDatabase(path, recovery);
        } else if (asked == QLatin1String("click mark")) {
            m_data->markOfferRead(path, QStringLiteral("x1"), 5, this,
                                  [&reads](const std::optional<Error>& failure) {
                                      QVERIFY(!failure);
                                      ++reads;
                                  });
        } else if (asked == QLatin1String("export")) {
            m_data->exportSearch(path, 5, csv, {QStringLiteral("id")}, 100,
                                 std::make_shared<std::atomic<bool>>(false), this,
                                 {[](qint64, qint64) {},
                                  [&reads](const std::optional<Error>& failure) {
                                      QVERIFY(!failure);
                                      ++reads;
                                  }});
        } else {
            decided = DataThread::Decision::Refuse;
            m_data->cancelAll();
        }
        QCOMPARE(int(decided), decision);
        // An export runs beside what runs, held up or not: it is written before that goes on
        // (a clear let go during the export would rightly fail it as changed under it).
        if (asked == QLatin1String("export"))
            QTRY_COMPARE(reads, 1);
        // What held the running request up goes.
        if (state == QLatin1String("waiting for the notice"))
            m_data->versionNoticeClosed();
        if (other)
            other->exec(QStringLiteral("ROLLBACK"));
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(!m_data->busy(), 10'000);
        const int asksRead =
            asked == QLatin1String("click mark") || asked == QLatin1String("export") ? 1 : 0;
        QTRY_COMPARE(reads, asksRead);
        QCOMPARE(QFileInfo::exists(csv), asked == QLatin1String("export"));
        // The end does not wait for the service.
        if (asked == QLatin1String("exit"))
            QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(100); // nothing more comes
        QStringList got;
        for (const QString& answer : std::as_const(m_answers)) {
            if (answer.startsWith(QLatin1String("done")))
                got << QStringLiteral("done");
            else if (QStringList{"marked", "clearing", "cleared", "repaired", "clear failed"}
                         .contains(answer))
                got << answer;
        }
        QCOMPARE(got, answers);
    }

    // What the data thread follows a request with by itself, before anything that waits: the
    // full download after a clear or a repair, and after that download the read marks the
    // damaged file held. Damage found again means a failing disk, then damage is the caller's.
    void followUps_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QStringList>("answers");
        const QString done = QStringLiteral("done");
        const QStringList repaired{QStringLiteral("repairing"), QStringLiteral("repaired"), done,
                                   QStringLiteral("carried 1")};
        QTest::newRow("clear") << QStringLiteral("clear")
                               << QStringList{QStringLiteral("clearing"), QStringLiteral("cleared"),
                                              done};
        QTest::newRow("damage") << QStringLiteral("damage") << repaired;
        QTest::newRow("damage during a sync, a clear waiting")
            << QStringLiteral("damage during a sync")
            << QStringList{done} + repaired +
                   QStringList{QStringLiteral("clearing"), QStringLiteral("cleared"), done};
        QTest::newRow("damage again")
            << QStringLiteral("damage again") << repaired + QStringList{QStringLiteral("disk")};
    }
    void followUps() {
        QFETCH(QString, what);
        QFETCH(QStringList, answers);
        const QString path = request().dbPath;
        {
            auto db = openDatabase(path);
            db->insertQuery(5, QStringLiteral("a"));
            db->insertOffer(OfferRow{QStringLiteral("1"), 5, {}, 45000});
            db->markOfferRead(QStringLiteral("1"), 5);
        }
        m_data->setSyncSource([this] { return request(); });
        FakeService::Answer answer;
        answer.body = "R#5#a\r\nD#1\r\n";
        m_service->setDefaultAnswer(answer);
        if (what == QLatin1String("clear")) {
            m_data->clearDatabase(path);
        } else if (what == QLatin1String("damage during a sync")) {
            syncAnsweredAfter(300ms);
            m_data->clearDatabase(path, DataThread::Request::ClearWhenFree);
            QVERIFY(m_data->damageFound(QStringLiteral("malformed")));
            // Taken by the repair's own download, or refused, while the repair waits.
            QCOMPARE(m_data->sync(request()), DataThread::Decision::Merge);
            QCOMPARE(m_data->wouldDecide(DataThread::Request::Clear), DataThread::Decision::Refuse);
        } else {
            QVERIFY(m_data->damageFound(QStringLiteral("malformed")));
            QVERIFY(m_data->busy());
            // Noticed twice before it is repaired: one repair.
            QVERIFY(m_data->damageFound(QStringLiteral("malformed")));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!m_data->busy(), 10'000);
        if (what == QLatin1String("damage again")) {
            QVERIFY(m_data->damageFound(QStringLiteral("malformed")));
            QTRY_VERIFY(m_answers.contains(QStringLiteral("disk")));
            QVERIFY(!m_data->damageFound(QStringLiteral("malformed")));
        }
        QTest::qWait(100); // nothing more comes
        QStringList got;
        for (const QString& answer : std::as_const(m_answers)) {
            if (answer.startsWith(QLatin1String("done")))
                got << QStringLiteral("done");
            else if (QStringList{"clearing", "cleared", "repairing", "repaired", "carried 1",
                                 "disk"}
                         .contains(answer))
                got << answer;
        }
        QCOMPARE(got, answers);
        QCOMPARE(damagedFiles(path).size(), what == QLatin1String("clear") ? 0 : 1);
    }

    // Marking a large search read goes in short transactions; a listing the user opens
    // meanwhile is marked between two of them, not after the whole search.
    void clickMarkGoesBetweenSlices() {
        const QString path = request().dbPath;
        {
            auto db = openDatabase(path);
            db->insertQuery(7, QStringLiteral("big"));
            db->insertQuery(8, QStringLiteral("other"));
            Transaction transaction(*db);
            for (int i = 0; i < 20'000; ++i)
                db->insertOffer(OfferRow{QStringLiteral("b%1").arg(i), 7, {}, 45000});
            db->insertOffer(OfferRow{QStringLiteral("y"), 8, {}, 45000});
            transaction.commit();
        }
        m_data->setWriteSliceRows(100);
        m_data->markSearchRead(path, 7);
        QTRY_VERIFY(m_answers.isEmpty() && m_data->busy());
        QTest::qWait(20);
        m_data->markOfferRead(path, QStringLiteral("y"), 8, this,
                              [this](const std::optional<Error>& failure) {
                                  record(failure ? failure->message() : QStringLiteral("clicked"));
                              });
        QTRY_VERIFY_WITH_TIMEOUT(m_answers.size() == 2, 20'000);
        QCOMPARE(m_answers, (QStringList{QStringLiteral("clicked"), QStringLiteral("marked")}));
        test::RawConnection raw(path);
        QCOMPARE(raw.value(QStringLiteral("SELECT SUM(unreaded) FROM Offers")),
                 QStringLiteral("0"));
    }

    // The data thread's transfers wait on their sockets themselves: the limits hold there too.
    void transferLimitsHold_data() {
        QTest::addColumn<bool>("crawling"); // else stalled after a few bytes
        QTest::newRow("stalled") << false;
        QTest::newRow("crawling") << true;
    }
    void transferLimitsHold() {
        QFETCH(bool, crawling);
        FakeService::Answer answer;
        answer.body = QByteArray(4000, 'x');
        if (crawling) {
            answer.pieceBytes = 10;
            answer.pieceInterval = 50ms;
        } else {
            answer.stallAfter = 10;
        }
        m_service->setDefaultAnswer(answer);
        m_data->setTransferLimits({2000ms, 400ms, 1 << 20, 1000, 600ms});
        QElapsedTimer clock;
        clock.start();
        m_data->sync(request());
        QTRY_VERIFY(!m_data->busy());
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(m_answers.contains(QStringLiteral("Не удалось загрузить данные...")));
        QCOMPARE(m_answers.last(), QStringLiteral("done 0 busy 0"));
    }

    void forgottenRequestAnswersNothing() {
        syncAnsweredAfter(300ms);
        QTRY_COMPARE(m_answers.size(), 2); // under way: the download has begun
        m_data->forget();
        QTRY_VERIFY(!m_data->busy());
        QCOMPARE(m_answers.size(), 2);
        // The work itself was done: only its answers went.
        QCOMPARE(m_service->requestCount(), qsizetype(1));
    }

    void readsGoBesideASync() {
        const QString path = request().dbPath;
        {
            auto db = openDatabase(path);
            db->insertQuery(7, QStringLiteral("b"));
            for (const char* id : {"x1", "x2", "x3"})
                db->insertOffer(OfferRow{QString::fromLatin1(id), 7, {}, 45000});
        }
        syncAnsweredAfter(10s);
        QTRY_COMPARE(m_service->requestCount(), qsizetype(1));
        // A scan given up after its keys were read, before they reached the window, answers
        // nothing. The reading thread works in the order asked: once the export asked after it
        // has written its file, the scan's keys are on their way, and the window has not
        // taken them yet.
        auto dropped = std::make_shared<OfferKeyScan>(7, QString(), 0, 8, 100);
        auto wanted = std::make_shared<OfferKeyScan>(7, QString(), 0, 8, 100);
        QStringList read;
        std::optional<OfferCounts> counts;
        m_data->readOfferKeys(path, dropped, this, [&](OfferKeyBatch) { read << "dropped"; });
        const QString csv = m_dir->filePath(QStringLiteral("x.csv"));
        const DataThread::ExportReply quiet{[](qint64, qint64) {},
                                            [](const std::optional<Error>&) {}};
        m_data->exportSearch(path, 7, csv, {QStringLiteral("id")}, 100,
                             std::make_shared<std::atomic<bool>>(false), this, quiet);
        QVERIFY(waitWithoutEvents([&] { return QFile::exists(csv); }));
        dropped->cancel();
        // Nor does a count whose receiver is gone; a count asked after it is answered.
        auto gone = std::make_unique<QObject>();
        m_data->countOffers(path, 7, gone.get(),
                            [&](std::optional<OfferCounts>) { read << "gone"; });
        QVERIFY(QFile::remove(csv));
        m_data->exportSearch(path, 7, csv, {QStringLiteral("id")}, 100,
                             std::make_shared<std::atomic<bool>>(false), this, quiet);
        QVERIFY(waitWithoutEvents([&] { return QFile::exists(csv); }));
        gone.reset();
        m_data->readOfferKeys(path, wanted, this, [&](OfferKeyBatch batch) {
            read << QString::number(batch.keys.size());
        });
        m_data->countOffers(path, 7, this, [&](std::optional<OfferCounts> c) { counts = c; });
        QTRY_VERIFY(counts);
        QCOMPARE(read, QStringList{QStringLiteral("3")});
        QCOMPARE(counts->total, qint64(3));
        QVERIFY(m_data->busy());
    }

    void repairedFileIsOpenedAgain() {
        const QString path = request().dbPath;
        {
            auto db = openDatabase(path);
            db->insertQuery(7, QStringLiteral("b"));
            db->insertOffer(OfferRow{QStringLiteral("x1"), 7, {}, 45000});
        }
        const auto keysOf = [&]() -> qsizetype {
            std::optional<OfferKeyBatch> answer;
            m_data->readOfferKeys(path, std::make_shared<OfferKeyScan>(7, QString(), 0, 8, 100),
                                  this, [&](OfferKeyBatch batch) { answer = std::move(batch); });
            if (!QTest::qWaitFor([&] { return answer.has_value(); }) || answer->failure)
                return -1;
            return qsizetype(answer->keys.size());
        };
        QCOMPARE(keysOf(), qsizetype(1));
        // Asked twice (a damage noticed twice over), repaired once, and never idle before the
        // answer the window waits for has come: a sync started then would overtake it.
        DamageRecovery recovery;
        QCOMPARE(recovery.notice(QStringLiteral("malformed")), DamageRecovery::Action::Recover);
        std::optional<DamageRecovery> after;
        QStringList kept;
        connect(m_data.get(), &DataThread::databaseRepaired, this,
                [&](const DamageRecovery& r, const QString& copy, const std::optional<Error>& f) {
                    after = r;
                    kept << (f ? f->message() : copy);
                });
        m_data->repairDatabase(path, recovery);
        m_data->repairDatabase(path, recovery);
        QTRY_VERIFY(!m_data->busy());
        QTest::qWait(50);
        QCOMPARE(kept.size(), 1);
        QVERIFY2(QFile::exists(kept[0]), qPrintable(kept[0]));
        QVERIFY(after && !after->due());
        // The same file, emptied, open to the reads again.
        QCOMPARE(keysOf(), qsizetype(0));
    }

    void endWhileTransferRuns() {
        syncAnsweredAfter(10s);
        QTRY_COMPARE(m_service->requestCount(), qsizetype(1));
        QElapsedTimer clock;
        clock.start();
        m_data.reset();
        // The transfer was abandoned, not waited out, and nothing more was answered.
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(100);
        QCOMPARE(m_answers.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestDataThread)
#include "tst_datathread.moc"
