// The boundary between the window's thread and the data thread: answers in the order the
// work gave them, on the asking thread; any request at any moment run, queued, taken by what runs
// or refused; what follows a clear or a repair by itself; the transfer limits on the data thread;
// a forgotten request's answers dropped; a repaired file opened again; the end of the program in
// every state. Reads and read marks beside long work are in tst_datathread_reads.cpp.

#include "core/eventlog.h"
#include "store/csvexport.h"
#include "store/storetestsupport.h"
#include "sync/datathreadfixture.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <cstring>
#include <thread>

#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

using namespace domiva;
using namespace std::chrono_literals;
using domiva::test::FakeService;

namespace {

// A name server that never answers, for one name: its lookup is held until the test lets it go,
// or for 10 s at most.
constexpr char hungHost[] = "hung-lookup.test";
std::atomic<bool> g_lookupReleased{false};

} // namespace

// Stands in for the C library's lookup in this program, libcurl's resolver thread included.
extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** result) {
    using Lookup = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
    static const auto real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node != nullptr && std::strcmp(node, hungHost) == 0) {
        for (int i = 0; i < 10'000 && !g_lookupReleased; ++i)
            ::usleep(1000);
        return EAI_AGAIN;
    }
    return real(node, service, hints, result);
}

class TestDataThread : public test::DataThreadFixture {
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

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
        const QString marked = QStringLiteral("marked");
        const QString carried = QStringLiteral("carried");
        const QString repaired = QStringLiteral("repaired");
        row("marking", "mark", D::Queue, {marked, marked});
        row("marking", "clear", D::Refuse, {marked});
        row("marking", "clear when free", D::Queue, QStringList{marked} + cleared);
        // Marking read is no sync: a sync asked meanwhile runs after it.
        row("marking", "sync", D::Queue, {marked, done});
        row("marking", "carry", D::Queue, {marked, carried});
        row("marking", "repair", D::Queue, {marked, repaired});
        row("marking", "exit", D::Refuse, {marked});
        // Carrying the read marks of a damaged file, held up by another program's transaction.
        row("carrying marks", "sync", D::Queue, {carried, done});
        row("carrying marks", "mark", D::Queue, {carried, marked});
        row("carrying marks", "clear", D::Refuse, {carried});
        row("carrying marks", "clear when free", D::Queue, QStringList{carried} + cleared);
        row("carrying marks", "carry", D::Merge, {carried});
        row("carrying marks", "repair", D::Queue, {carried, repaired});
        // Stopped by the end: never reported as carried.
        row("carrying marks", "exit", D::Refuse, {QStringLiteral("carried part-way")});
        // Damage found while a search is being marked read: the repair waits for it, ahead of
        // everything; its full download follows it.
        const QStringList repairedAfter{marked, repaired, done};
        row("repair waiting", "sync", D::Merge, repairedAfter);
        row("repair waiting", "mark", D::Refuse, repairedAfter);
        row("repair waiting", "clear", D::Refuse, repairedAfter);
        row("repair waiting", "clear when free", D::Queue,
            repairedAfter + cleared + QStringList{done});
        row("repair waiting", "carry", D::Queue, repairedAfter + QStringList{carried});
        row("repair waiting", "repair", D::Merge, repairedAfter);
        row("repair waiting", "exit", D::Refuse, {marked});
        // Reads beside any of them, never refused nor lost: the answer of what ran alone.
        for (const char* state : {"idle", "transferring", "applying", "waiting for the notice",
                                  "clearing", "marking", "carrying marks", "repair waiting"}) {
            const QByteArray name(state);
            const QStringList ran = name == "idle"             ? QStringList()
                                    : name == "clearing"       ? clearedOnly
                                    : name == "marking"        ? QStringList{marked}
                                    : name == "carrying marks" ? QStringList{carried}
                                    : name == "repair waiting" ? repairedAfter
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
            db->storeQuery(5, QStringLiteral("a"));
            db->insertOffer(OfferRow{QStringLiteral("x1"), 5, {}, 45000});
        }
        // The read marks of a damaged file are those of this one, as it is now.
        const QString damaged = m_dir->path() + QStringLiteral("/damaged");
        QVERIFY(QFile::copy(path, damaged));
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
            else if (state == QLatin1String("carrying marks"))
                m_data->carryReadMarks(path, damaged);
            else
                m_data->markSearchRead(path, 5);
            QTest::qWait(100);
            if (state == QLatin1String("repair waiting")) {
                // Its download brings nothing new: no read marks are carried after it.
                FakeService::Answer answer;
                answer.body = "R#5#a\r\n";
                m_service->setDefaultAnswer(answer);
                m_data->setSyncSource([this] { return request(); });
                QVERIFY(m_data->damageFound(QStringLiteral("malformed")));
                QTest::qWait(50);
            }
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
        else if (asked == QLatin1String("carry"))
            decided = m_data->carryReadMarks(path, damaged);
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
            else if (answer.startsWith(QLatin1String("carried")))
                got << (answer.endsWith(QLatin1String("part-way"))
                            ? QStringLiteral("carried part-way")
                            : QStringLiteral("carried"));
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
        // The repair's download fails: the read marks wait for one that brings the listings
        // back, and the end comes first. The log says they were not carried.
        QTest::newRow("damage, its download failing, then the end")
            << QStringLiteral("damage, the end")
            << QStringList{QStringLiteral("repairing"), QStringLiteral("repaired"), done};
        // A sync taken by a clear or a repair stands for their own download: when that never
        // comes, the sync runs as asked.
        QTest::newRow("a sync taken by a clear that fails")
            << QStringLiteral("clear fails")
            << QStringList{QStringLiteral("clearing"), QStringLiteral("clear failed"), done};
        QTest::newRow("a sync taken by a repair that fails")
            << QStringLiteral("repair fails")
            << QStringList{QStringLiteral("repairing"), QStringLiteral("repair failed"), done};
        // Nothing runs while the window takes an answer, and a box it opens there may let the
        // timer ask for a sync: that sync does not go before the clear that waits.
        QTest::newRow("a sync asked as marking read answers, a clear waiting")
            << QStringLiteral("sync from an answer")
            << QStringList{QStringLiteral("clearing"), QStringLiteral("cleared"), done};
    }
    void followUps() {
        QFETCH(QString, what);
        QFETCH(QStringList, answers);
        const QString path = request().dbPath;
        {
            auto db = openDatabase(path);
            db->storeQuery(5, QStringLiteral("a"));
            db->insertOffer(OfferRow{QStringLiteral("1"), 5, {}, 45000});
            db->markOfferRead(QStringLiteral("1"), 5);
        }
        m_data->setSyncSource([this] { return request(); });
        FakeService::Answer answer;
        answer.body = "R#5#a\r\nD#1\r\n";
        m_service->setDefaultAnswer(answer);
        if (what == QLatin1String("clear")) {
            m_data->clearDatabase(path);
        } else if (what == QLatin1String("clear fails")) {
            m_data->clearDatabase(m_dir->path() + QStringLiteral("/missing"));
            QCOMPARE(m_data->sync(request()), DataThread::Decision::Merge);
        } else if (what == QLatin1String("repair fails")) {
            // Nothing noticed: the rebuild refuses.
            m_data->repairDatabase(path, DamageRecovery());
            QCOMPARE(m_data->sync(request()), DataThread::Decision::Merge);
        } else if (what == QLatin1String("sync from an answer")) {
            test::RawConnection other(path);
            other.exec(QStringLiteral("BEGIN IMMEDIATE"));
            m_data->markSearchRead(path, 5);
            QCOMPARE(m_data->clearDatabase(path, DataThread::Request::ClearWhenFree),
                     DataThread::Decision::Queue);
            std::optional<DataThread::Decision> asked;
            const QMetaObject::Connection answered =
                connect(m_data.get(), &DataThread::searchMarkedRead, this,
                        [&] { asked = m_data->sync(request()); });
            QTest::qWait(50);
            other.exec(QStringLiteral("ROLLBACK"));
            QTRY_VERIFY(asked);
            disconnect(answered);
            // Taken by the clear's own download.
            QCOMPARE(*asked, DataThread::Decision::Merge);
        } else if (what == QLatin1String("damage, the end")) {
            FakeService::Answer failing;
            failing.status = 500;
            m_service->setDefaultAnswer(failing);
            QVERIFY(m_data->damageFound(QStringLiteral("malformed")));
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
        if (what == QLatin1String("damage, the end")) {
            m_data->cancelAll();
            QFile log(request().logPath);
            QVERIFY(log.open(QIODevice::ReadOnly));
            QVERIFY(QString::fromUtf8(log.readAll()).contains(QStringLiteral("not carried")));
        }
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
            else if (QStringList{"clearing", "cleared", "clear failed", "repairing", "repaired",
                                 "repair failed", "carried 1", "disk"}
                         .contains(answer))
                got << answer;
        }
        QCOMPARE(got, answers);
        const bool repairs = what.startsWith(QLatin1String("damage"));
        QCOMPARE(damagedFiles(path).size(), repairs ? 1 : 0);
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

    void repairedFileIsOpenedAgain() {
        const QString path = request().dbPath;
        {
            auto db = openDatabase(path);
            db->storeQuery(7, QStringLiteral("b"));
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

    // The end of the program in every state: gone within its bound, whatever the server, the
    // name server or another program does; what was committed stays, nothing is left half
    // written, and a listing the user opened just before is marked, or kept beside the file for
    // the next start, which marks it, and the log says so.
    void theEndInEveryState_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("writerLetsGoMs"); // after the end began; -1: holds on
        QTest::addColumn<bool>("markStored");    // before the end
        QTest::addColumn<QString>("offerId");    // of the listing the user opened
        const QString x1 = QStringLiteral("x1");
        QTest::newRow("a transfer runs") << QStringLiteral("transfer") << 0 << true << x1;
        QTest::newRow("a name lookup hangs") << QStringLiteral("lookup") << 0 << true << x1;
        QTest::newRow("a sync waits for another writer")
            << QStringLiteral("sync") << 300 << true << x1;
        QTest::newRow("a clear waits for another writer")
            << QStringLiteral("clear") << 300 << true << x1;
        QTest::newRow("a repair waits for another writer, the mark for the repair")
            << QStringLiteral("repair") << 300 << true << x1;
        QTest::newRow("marking read waits for another writer")
            << QStringLiteral("mark") << 300 << true << x1;
        QTest::newRow("another writer holds on past the end")
            << QStringLiteral("mark") << -1 << false << x1;
        QTest::newRow("another writer holds on past the end, an id of any characters")
            << QStringLiteral("mark") << -1 << false << QStringLiteral("x\t1\n%2 ю");
    }
    void theEndInEveryState() {
        QFETCH(QString, state);
        QFETCH(int, writerLetsGoMs);
        QFETCH(bool, markStored);
        QFETCH(QString, offerId);
        const QString path = request().dbPath;
        {
            auto db = openDatabase(path);
            db->storeQuery(5, QStringLiteral("a"));
            db->insertOffer(OfferRow{offerId, 5, {}, 45000});
            db->insertOffer(OfferRow{QStringLiteral("x2"), 5, {}, 45000});
        }
        // Where the log is.
        m_data->setSyncSource([this] { return request(); });
        std::optional<test::RawConnection> other;
        const auto holdLock = [&] {
            other.emplace(path);
            other->exec(QStringLiteral("BEGIN IMMEDIATE"));
        };
        g_lookupReleased = false;
        const auto releaseLookup = qScopeGuard([] { g_lookupReleased = true; });
        if (state == QLatin1String("transfer")) {
            syncAnsweredAfter(10s);
            QTRY_COMPARE(m_service->requestCount(), qsizetype(1));
        } else if (state == QLatin1String("lookup")) {
            SyncRequest hung = request();
            hung.service.host = QString::fromLatin1(hungHost) + QStringLiteral(":80");
            m_data->sync(hung);
            QTRY_VERIFY(m_answers.contains(QStringLiteral("Идет загрузка данных...")));
            QTest::qWait(200);
        } else if (state == QLatin1String("sync")) {
            holdLock();
            FakeService::Answer answer;
            answer.body = "R#5#a\r\nD#1\r\n";
            m_service->setDefaultAnswer(answer);
            m_data->sync(request());
            QTRY_VERIFY(m_answers.contains(QStringLiteral("suspend")));
        } else if (state == QLatin1String("clear")) {
            holdLock();
            m_data->clearDatabase(path);
            QTRY_VERIFY(m_answers.contains(QStringLiteral("clearing")));
        } else if (state == QLatin1String("repair")) {
            holdLock();
            DamageRecovery recovery;
            recovery.notice(QStringLiteral("malformed"));
            m_data->repairDatabase(path, recovery);
            QTRY_VERIFY(m_answers.contains(QStringLiteral("repairing")));
        } else {
            holdLock();
            m_data->markSearchRead(path, 5);
        }
        QTest::qWait(100);
        m_data->markOfferRead(path, offerId, 5, this, [](const std::optional<Error>&) {});
        QTest::qWait(50);
        std::thread writer;
        if (other && writerLetsGoMs >= 0) {
            writer = std::thread([&other, writerLetsGoMs] {
                std::this_thread::sleep_for(std::chrono::milliseconds(writerLetsGoMs));
                other->exec(QStringLiteral("ROLLBACK"));
            });
        }
        QElapsedTimer clock;
        clock.start();
        m_data.reset();
        const qint64 took = clock.elapsed();
        if (writer.joinable())
            writer.join();
        other.reset();
        QVERIFY2(took < 2000, qPrintable(QString::number(took)));
        test::RawConnection raw(path);
        // Committed data kept, nothing half written: the clear and the repair stopped before
        // they changed anything, and no copy of a damaged file is left.
        QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("2"));
        QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM Queries")), QStringLiteral("1"));
        QCOMPARE(damagedFiles(path).size(), 0);
        const auto unread = [&raw] {
            return raw.value(QStringLiteral("SELECT unreaded FROM Offers WHERE qid = 5 AND id <> "
                                            "'x2'"));
        };
        QCOMPARE(unread(), markStored ? QStringLiteral("0") : QStringLiteral("1"));
        QFile log(request().logPath);
        const QString logged =
            log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
        QCOMPARE(
            logged.contains(
                QStringLiteral("Read mark of listing %1 not stored").arg(printableText(offerId))),
            !markStored);
        QCOMPARE(logged.contains(QStringLiteral("kept for the next start")), !markStored);
        // Kept for the user alone, and stored at the next start.
        const QString kept = ReadingThread::keptMarksPath(path);
        QCOMPARE(QFile::exists(kept), !markStored);
        if (!markStored)
            QCOMPARE(QFile::permissions(kept), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ReadUser | QFileDevice::WriteUser);
        DataThread next;
        next.storeKeptMarks(path);
        QTRY_COMPARE(unread(), QStringLiteral("0"));
        QVERIFY(!QFile::exists(kept));
    }
};

QTEST_GUILESS_MAIN(TestDataThread)
#include "tst_datathread.moc"
