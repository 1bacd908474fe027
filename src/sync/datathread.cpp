#include "sync/datathread.h"

#include "core/eventlog.h"
#include "store/csvexport.h"
#include "store/database.h"
#include "store/readmarks.h"
#include "store/recovery.h"
#include "sync/httptransfer.h"
#include "sync/refreshtimer.h"
#include "sync/synccycle.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <deque>
#include <memory>
#include <utility>

namespace domiva {

namespace {

// The file's identity: a file set aside and replaced under the same name is another file.
std::optional<ino_t> fileIdOf(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return info.st_ino;
}

template <typename Work> std::optional<Error> failureOf(Work&& work) {
    try {
        work();
    } catch (const Error& error) {
        return error;
    } catch (const std::exception& error) {
        return Error(QString::fromLocal8Bit(error.what()));
    }
    return std::nullopt;
}

// The data thread's own connection, kept from one request to the next so that its
// checkpointer copies the log once the writes stop. Used on the data thread only.
struct DataConnection {
    std::unique_ptr<Database> db;
    QString path;
    std::optional<ino_t> fileId;
    // Which opening this is, unique in the program: work that spans several turns holds on to
    // the connection only as long as this stays the same.
    quint64 opening = 0;
    // Set when the program ends: a wait for another program's lock gives up then.
    const std::atomic<bool>* stop = nullptr;
    // The file let go of, about to be repaired: not opened again until admitted (repaired
    // where it is), since should it be set aside instead, closing a connection to it after it
    // moved would remove the log of the file now under its name.
    std::optional<ino_t> released;

    Database& open(const QString& dbPath) {
        static std::atomic<quint64> openings{0};
        const std::optional<ino_t> id = fileIdOf(dbPath);
        if (id && id == released)
            throw Error(QStringLiteral("База данных не открыта"));
        if (!db || path != dbPath || !id || id != fileId) {
            db.reset();
            opening = ++openings;
            db = openDatabase(dbPath);
            db->setStopFlag(stop);
            path = dbPath;
            fileId = id;
        }
        return *db;
    }

    void release(const QString& dbPath) {
        const std::atomic<bool>* const stopFlag = stop;
        *this = DataConnection{};
        stop = stopFlag;
        released = fileIdOf(dbPath);
    }

    // Whether the file is let go of for a repair: what must not be lost waits for it.
    bool isReleased(const QString& dbPath) const {
        return released && fileIdOf(dbPath) == released;
    }
};

thread_local std::unique_ptr<DataConnection> t_connection;

// What became of the read marks of a damaged file, when they were not all carried over.
void logCarry(const QString& logPath, const QString& damagedPath, const QString& what) {
    if (logPath.isEmpty())
        return;
    failureOf([&] {
        writeLog(logPath, QStringLiteral("Read marks of %1 %2").arg(damagedPath, what), false);
    });
}

// A listing the user opened, its read mark not stored yet. On the reading thread only.
struct PendingMark {
    QString dbPath;
    QString offerId;
    qint32 qid = 0;
    QPointer<QObject> receiver; // read on the window's thread only
    std::function<void(const std::optional<Error>&)> done;
};
thread_local std::deque<PendingMark> t_marks;
thread_local bool t_marksRetrying = false;

} // namespace

// The sync's view of the window, from the data thread: every call becomes an answer.
class DataSyncHost final : public SyncHost {
public:
    DataSyncHost(DataThread& owner, quint64 generation)
        : m_owner(owner), m_generation(generation) {}

    void setStatusText(int panel, const QString& text) override {
        send([o = &m_owner, panel, text] { emit o->statusText(panel, text); });
    }
    // The window shows its own wait cursor for as long as it counts as busy.
    void setWaitCursor(bool) override {}
    void showTrayBalloon(const QString& text) override {
        send([o = &m_owner, text] { emit o->trayBalloon(text); });
    }
    void showNewVersionMessage(const QString& text) override {
        send([o = &m_owner, text] { emit o->versionNotice(text); });
    }
    void suspendGrids() override {
        send([o = &m_owner] { emit o->gridsSuspended(); });
    }
    void resumeGrids() override {
        send([o = &m_owner] { emit o->gridsResumed(); });
    }
    void requeryOffers() override {
        send([o = &m_owner] { emit o->offersChanged(); });
    }
    void databaseDamaged(const QString& message) override { damage = message; }
    // Between two slices of the sync (the history's first fill included): the read marks the
    // user asked for meanwhile are stored before the next slice takes the lock.
    void sliceCommitted() override { m_owner.letMarksIn(); }

    QString damage;

private:
    void send(std::function<void()> answer) { m_owner.answer(m_generation, std::move(answer)); }

    DataThread& m_owner;
    quint64 m_generation;
};

// The sync that runs, on the data thread: its cycle goes a step per turn of the thread's event
// loop, the transfer driven by that loop too, so nothing on the thread ever waits inside a step.
struct DataThread::SyncJob {
    SyncJob(DataThread& owner, quint64 generation, SyncRequest request)
        : generation(generation), request(std::move(request)), host(owner, generation),
          cycle(host, nullptr,
                SyncContext{&this->request.settings, &this->request.environment,
                            &this->request.service, this->request.workDir, this->request.logPath}) {
    }

    quint64 generation;
    SyncRequest request;
    DataSyncHost host;
    SyncCycle cycle;
};

namespace {

// Taken down before the thread's connection when the thread ends: the sync writes through it.
thread_local std::unique_ptr<DataThread::SyncJob> t_sync;

// Starts a thread with a connection slot of its own; returns the object its work is posted to.
QObject* startWithConnection(QThread& thread, const QString& name, const std::atomic<bool>* stop) {
    thread.setObjectName(name);
    auto* context = new QObject;
    context->moveToThread(&thread);
    // Set up and taken down on the thread itself: a connection belongs to its thread.
    QObject::connect(
        &thread, &QThread::started, context,
        [stop] {
            t_connection = std::make_unique<DataConnection>();
            t_connection->stop = stop;
            // On a busy machine the window's thread goes first: it has a frame to draw, the
            // data can wait a little. Linux gives each thread its own nice value.
            errno = 0;
            const int nice = ::getpriority(PRIO_PROCESS, 0);
            if (errno == 0)
                ::setpriority(PRIO_PROCESS, 0, std::min(nice + 5, 19));
        },
        Qt::DirectConnection);
    QObject::connect(
        &thread, &QThread::finished, context,
        [context] {
            t_sync.reset();
            t_marks.clear();
            if (t_connection && t_connection->db)
                t_connection->db->leaveLogAtClose();
            t_connection.reset();
            delete context;
        },
        Qt::DirectConnection);
    thread.start();
    return context;
}

} // namespace

DataThread::DataThread(QObject* parent) : QObject(parent) {
    m_context = startWithConnection(m_thread, QStringLiteral("data"), &m_stop);
    // A transfer of a sync ends within a poll once everything is cancelled.
    QMetaObject::invokeMethod(
        m_context, [this] { CurlTransfer::cancelOnThreadWhen(&m_stop); }, Qt::QueuedConnection);
    m_readContext = startWithConnection(m_readThread, QStringLiteral("data-read"), &m_stop);
}

DataThread::~DataThread() {
    finish();
}

void DataThread::finish() {
    forget();
    cancelAll();
    // The sync that runs ends here, as failed, with its log line; at most a slice of a write
    // is waited for. The data thread may be letting go of the reading thread's connection: it
    // ends first.
    if (m_context != nullptr && m_thread.isRunning())
        QMetaObject::invokeMethod(
            m_context, [this] { cancelSync(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    // The user's read marks are not dropped at the end: those still waiting (for another
    // program's lock, or asked for during a repair) are stored now, or logged.
    if (m_readContext != nullptr && m_readThread.isRunning())
        QMetaObject::invokeMethod(
            m_readContext, [this, log = logPath()] { storeMarksLeft(log); },
            Qt::BlockingQueuedConnection);
    m_readThread.quit();
    m_readThread.wait();
    // Deleted with their threads; reads asked for from now on go nowhere.
    m_context = nullptr;
    m_readContext = nullptr;
}

namespace {

using Decision = DataThread::Decision;
constexpr Decision run = Decision::Run, queue = Decision::Queue, merge = Decision::Merge,
                   refuse = Decision::Refuse;

// One row of the table: what becomes of each request in one state, by name.
struct Row {
    DataThread::State state;
    Decision sync, markSearchRead, clear, clearWhenFree, carryReadMarks, repair;

    constexpr Decision operator[](DataThread::Request asked) const {
        using R = DataThread::Request;
        switch (asked) {
        case R::Sync:
            return sync;
        case R::MarkSearchRead:
            return markSearchRead;
        case R::Clear:
            return clear;
        case R::ClearWhenFree:
            return clearWhenFree;
        case R::CarryReadMarks:
            return carryReadMarks;
        case R::Repair:
            return repair;
        }
        return refuse;
    }
};

using S = DataThread::State;
// Every rule of the order of requests. A sync is merged only into work whose own download
// stands for it (a sync, a clear, a repair); the user's changes wait for a sync to end only
// where they cannot act on a file about to go.
// clang-format off
constexpr std::array<Row, DataThread::stateCount> requestTable{{
    //  state              sync    markRead clear   whenFree carry   repair
    {S::Idle,              run,    run,     run,    run,     run,    run},
    // Another sync would only repeat it; the user's changes wait for the next turn.
    {S::Sync,              merge,  refuse,  refuse, queue,   queue,  queue},
    // Marking a search read is no sync: one asked for runs after it.
    {S::MarkSearchRead,    queue,  queue,   refuse, queue,   queue,  queue},
    // Clearing: its own full download follows.
    {S::Clear,             merge,  refuse,  merge,  merge,   queue,  queue},
    // The account's clear, asked for while something ran, now running.
    {S::ClearWhenFree,     merge,  refuse,  merge,  merge,   queue,  queue},
    // Carrying read marks after a repair's download: no sync either.
    {S::CarryReadMarks,    queue,  queue,   refuse, queue,   merge,  queue},
    // Repairing a damaged file: a full download follows it.
    {S::Repair,            merge,  refuse,  refuse, queue,   queue,  merge},
    // A repair waits ahead of everything: a command now would act on the file about to go.
    {S::RepairWaiting,     merge,  refuse,  refuse, queue,   queue,  merge},
    // The program ends.
    {S::Ending,            refuse, refuse,  refuse, refuse,  refuse, refuse},
}};
// clang-format on

constexpr bool tableInOrder() {
    for (int i = 0; i < DataThread::stateCount; ++i) {
        if (static_cast<int>(requestTable[std::size_t(i)].state) != i)
            return false;
    }
    return true;
}
static_assert(tableInOrder(), "one row per state, in the order of DataThread::State");
static_assert(static_cast<int>(DataThread::State::Ending) + 1 == DataThread::stateCount);
static_assert(static_cast<int>(DataThread::Request::Repair) + 1 == DataThread::requestCount);
// A state for each request that runs, named as it is.
static_assert(static_cast<int>(S::Sync) == static_cast<int>(DataThread::Request::Sync) + 1 &&
              static_cast<int>(S::Repair) == static_cast<int>(DataThread::Request::Repair) + 1);

DataThread::State runningState(DataThread::Request request) {
    return static_cast<DataThread::State>(static_cast<int>(request) + 1);
}

} // namespace

DataThread::Decision DataThread::decide(State state, Request asked) {
    return requestTable[static_cast<std::size_t>(state)][asked];
}

DataThread::State DataThread::state() const {
    if (m_stop)
        return State::Ending;
    if (m_running && *m_running == Request::Repair)
        return State::Repair;
    for (const Waiting& waiting : m_waiting) {
        if (waiting.kind == Request::Repair)
            return State::RepairWaiting;
    }
    if (m_running)
        return runningState(*m_running);
    // Nothing runs between an answer and the next turn: the request next in line runs then,
    // and one asked for meanwhile (from a box the answer opened) does not go before it.
    if (!m_waiting.empty())
        return runningState(m_waiting.front().kind);
    return State::Idle;
}

DataThread::Decision DataThread::wouldDecide(Request asked) const {
    const Decision decision = decide(state(), asked);
    // Work that waits already is not queued twice, where it takes a request of its own kind.
    if (decision == Decision::Queue && decide(runningState(asked), asked) == Decision::Merge) {
        for (const Waiting& waiting : m_waiting) {
            if (waiting.kind == asked)
                return Decision::Merge;
        }
    }
    return decision;
}

DataThread::Decision DataThread::start(Request kind, std::function<void(quint64)> work,
                                       std::function<void()> dropped) {
    const State now = state();
    const Decision decision = wouldDecide(kind);
    if (decision == Decision::Run) {
        run({kind, std::move(work), std::move(dropped)});
    } else if (decision == Decision::Queue) {
        m_waiting.push_back({kind, std::move(work), std::move(dropped)});
    } else if (kind == Request::Sync && decide(now, kind) == Decision::Merge &&
               now != State::Sync) {
        // Taken by a clear's or a repair's own download: kept in case that never comes.
        m_syncTaken = std::move(work);
    }
    return decision;
}

void DataThread::follow(Waiting next) {
    if (m_stop)
        return;
    m_waiting.push_front(std::move(next));
    // Called as what ran answers, when nothing runs: it starts before the answer goes on.
    pump();
}

void DataThread::pump() {
    if (m_running || m_waiting.empty())
        return;
    Waiting next = std::move(m_waiting.front());
    m_waiting.pop_front();
    run(std::move(next));
}

void DataThread::run(Waiting request) {
    m_running = request.kind;
    if (request.kind == Request::Clear || request.kind == Request::ClearWhenFree)
        emit clearing();
    if (request.kind == Request::Repair)
        emit repairing();
    if (request.kind == Request::Sync)
        emit syncStarted();
    if (request.kind == Request::Clear || request.kind == Request::ClearWhenFree ||
        request.kind == Request::Repair)
        ++m_fileGeneration;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        m_context, [work = std::move(request.work), generation] { work(generation); },
        Qt::QueuedConnection);
}

void DataThread::dropWaiting() {
    std::deque<Waiting> dropped;
    dropped.swap(m_waiting);
    m_syncTaken = nullptr;
    for (Waiting& waiting : dropped) {
        if (waiting.dropped)
            waiting.dropped();
    }
}

void DataThread::forget() {
    ++m_generation;
    dropWaiting();
}

void DataThread::cancelAll() {
    const bool stopping = !m_stop.exchange(true);
    dropWaiting();
    // The read marks of a repaired file, still waiting for a download that brings its listings
    // back: given up.
    if (const QString source = m_recovery.takeReadMarksSource(); stopping && !source.isEmpty())
        logCarry(logPath(), source, QStringLiteral("not carried: the program ended first"));
    // A transfer sees the flag within a poll and a write at its next slice; a sync waiting for
    // the user's answer sees nothing: it is ended from its thread's event loop.
    if (m_context != nullptr)
        QMetaObject::invokeMethod(
            m_context, [this] { cancelSync(); }, Qt::QueuedConnection);
}

void DataThread::answer(quint64 generation, std::function<void()> answer, bool last) {
    QMetaObject::invokeMethod(
        this,
        [this, generation, answer = std::move(answer), last] {
            if (last)
                m_running.reset();
            if (generation == m_generation)
                answer();
            // The next in line, unless the answer has started something of its own. Until
            // then state() counts that one as running.
            if (last)
                pump();
        },
        Qt::QueuedConnection);
}

QString DataThread::logPath() const {
    return m_syncSource ? m_syncSource().logPath : QString();
}

void DataThread::versionNoticeClosed() {
    if (m_context == nullptr)
        return;
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            if (!t_sync || t_sync->cycle.step() != SyncCycle::Step::WaitingForNotice)
                return;
            t_sync->cycle.noticeClosed();
            stepSync();
        },
        Qt::QueuedConnection);
}

DataThread::Decision DataThread::sync(SyncRequest request) {
    return start(Request::Sync, syncWork(std::move(request)));
}

std::function<void(quint64)> DataThread::syncWork(SyncRequest request) {
    return [this, request = std::move(request), limits = m_limits,
            sliceMs = m_sliceMs](quint64 generation) {
        t_sync = std::make_unique<SyncJob>(*this, generation, request);
        SyncCycle& cycle = t_sync->cycle;
        cycle.setTransferLimits(limits);
        cycle.setSliceMilliseconds(sliceMs);
        cycle.setStopFlag(&m_stop);
        if (request.databaseOpen) {
            // A file that cannot be opened fails the sync where it reads the file first.
            if (const auto opening =
                    failureOf([&] { cycle.setDatabase(&t_connection->open(request.dbPath)); }))
                cycle.setDatabaseFailure(*opening);
        }
        if (CurlTransfer* transfer = cycle.begin(request.loadAll)) {
            // The next step once the exchange has ended, from the event loop: the transfer
            // must not go while it emits.
            connect(transfer, &CurlTransfer::finished, m_context, [this] {
                QMetaObject::invokeMethod(
                    m_context, [this] { stepSync(); }, Qt::QueuedConnection);
            });
            transfer->start();
            return;
        }
        stepSync();
    };
}

// On the data thread: the running sync's next step, then the one after it from the event
// loop, until it waits (for its transfer or the user's answer) or has ended.
void DataThread::stepSync() {
    if (!t_sync)
        return;
    SyncCycle& cycle = t_sync->cycle;
    if (cycle.step() == SyncCycle::Step::Transferring)
        cycle.transferEnded();
    else if (cycle.step() == SyncCycle::Step::Applying)
        cycle.applySlice();
    if (cycle.step() == SyncCycle::Step::Applying) {
        QMetaObject::invokeMethod(
            m_context, [this] { stepSync(); }, Qt::QueuedConnection);
        return;
    }
    if (cycle.step() != SyncCycle::Step::Idle)
        return;
    SyncOutcome outcome;
    outcome.newOffers = cycle.lastNewOfferCount();
    outcome.damage = t_sync->host.damage;
    outcome.unloggedError = cycle.lastUnloggedError();
    const quint64 generation = t_sync->generation;
    t_sync.reset();
    answer(
        generation,
        [this, outcome] {
            if (!outcome.damage.isEmpty()) {
                damageFound(outcome.damage);
            } else if (outcome.newOffers > 0 && m_syncSource && !m_stop) {
                // The download after a repair brought the listings back: those read before
                // are read again, before anything that waits.
                if (const QString source = m_recovery.takeReadMarksSource(); !source.isEmpty())
                    follow(carryWork(m_syncSource().dbPath, source));
            }
            emit syncDone(outcome);
        },
        true);
}

// On the data thread: the running sync ends now, as failed, whatever step it is at.
void DataThread::cancelSync() {
    if (!t_sync)
        return;
    t_sync->cycle.cancel(QStringLiteral("Обновление прервано: программа завершается"));
    stepSync();
}

DataThread::Decision DataThread::markSearchRead(const QString& dbPath, qint32 qid) {
    return start(Request::MarkSearchRead, [this, dbPath, qid](quint64 generation) {
        const std::optional<Error> failure = failureOf([&] {
            markQueryRead(t_connection->open(dbPath), qid, m_writeSliceRows,
                          [this] { betweenWriteSlices(); });
        });
        answer(
            generation, [this, qid, failure] { emit searchMarkedRead(qid, failure); }, true);
    });
}

DataThread::Decision DataThread::clearDatabase(const QString& dbPath, Request kind) {
    return start(kind, [this, dbPath](quint64 generation) {
        const std::optional<Error> failure = failureOf([&] { clearDatabaseFile(dbPath, &m_stop); });
        ++m_fileGeneration;
        answer(
            generation,
            [this, failure] {
                followWithFullSync(!failure);
                emit databaseCleared(failure);
            },
            true);
    });
}

DataThread::Decision DataThread::repairDatabase(const QString& dbPath, DamageRecovery recovery) {
    return start(Request::Repair, repairWork(dbPath, std::move(recovery)));
}

std::function<void(quint64)> DataThread::repairWork(const QString& dbPath,
                                                    DamageRecovery recovery) {
    return [this, dbPath, recovery](quint64 generation) mutable {
        t_connection->release(dbPath);
        QMetaObject::invokeMethod(
            m_readContext, [dbPath] { t_connection->release(dbPath); },
            Qt::BlockingQueuedConnection);
        // The copy of the damaged bytes takes as long as the file is large: here, not on the
        // window's thread. The file is the same one afterwards, emptied: open to both again.
        QString kept;
        const std::optional<Error> failure = failureOf(
            [&] { kept = recovery.rebuild(dbPath, QDateTime::currentDateTime(), &m_stop); });
        ++m_fileGeneration;
        t_connection->released.reset();
        // The read marks asked for meanwhile go to the file again.
        QMetaObject::invokeMethod(
            m_readContext,
            [this] {
                t_connection->released.reset();
                storeMarks();
            },
            Qt::BlockingQueuedConnection);
        answer(
            generation,
            [this, recovery, kept, failure] {
                m_recovery = recovery;
                // The download first: whatever the window shows of the repair holds nothing up.
                followWithFullSync(!failure);
                emit databaseRepaired(recovery, kept, failure);
            },
            true);
    };
}

void DataThread::followWithFullSync(bool done) {
    std::function<void(quint64)> taken = std::exchange(m_syncTaken, nullptr);
    if (!done) {
        // The sync the clear or the repair took still runs, as asked.
        if (taken)
            follow({Request::Sync, std::move(taken), {}});
        return;
    }
    if (!m_syncSource)
        return;
    SyncRequest request = m_syncSource();
    request.loadAll = true;
    // Just cleared or made anew by the data thread: there is a file, whatever the window has
    // open by now.
    request.databaseOpen = true;
    // The download goes before what waits.
    follow({Request::Sync, syncWork(std::move(request)), {}});
}

bool DataThread::damageFound(const QString& message) {
    switch (m_recovery.notice(message)) {
    case DamageRecovery::Action::None:
        return true;
    case DamageRecovery::Action::GivenUp:
        return false;
    case DamageRecovery::Action::ReportDiskFailure:
        // Never from inside the call that found it: it may be a grid's paint.
        QMetaObject::invokeMethod(
            this, [this, message] { emit diskFailing(message); }, Qt::QueuedConnection);
        return true;
    case DamageRecovery::Action::Recover:
        break;
    }
    if (!m_syncSource || m_stop)
        return true;
    const QString dbPath = m_syncSource().dbPath;
    // Ahead of what waits, and run from the event loop: the window lets go of the file when
    // it starts, which must not happen inside the read that found the damage. Meanwhile
    // state() is RepairWaiting: nothing asked for goes before it.
    m_waiting.push_front({Request::Repair, repairWork(dbPath, m_recovery), {}});
    QMetaObject::invokeMethod(this, &DataThread::pump, Qt::QueuedConnection);
    return true;
}

DataThread::Decision DataThread::carryReadMarks(const QString& dbPath, const QString& damagedPath) {
    Waiting carry = carryWork(dbPath, damagedPath);
    return start(Request::CarryReadMarks, std::move(carry.work), std::move(carry.dropped));
}

DataThread::Waiting DataThread::carryWork(const QString& dbPath, const QString& damagedPath) {
    const auto logged = [log = logPath(), damagedPath](const QString& what) {
        logCarry(log, damagedPath, what);
    };
    auto work = [this, dbPath, damagedPath, logged](quint64 generation) {
        answer(generation, [this] { emit gridsSuspended(); });
        CarriedReadMarks carried;
        if (const std::optional<Error> opening = failureOf([&] {
                carried =
                    domiva::carryReadMarks(t_connection->open(dbPath), damagedPath,
                                           m_writeSliceRows, [this] { betweenWriteSlices(); });
            }))
            carried.failure = opening;
        // Not tried again: what was committed stays, and the damaged file is kept for the user.
        if (carried.failure)
            logged(QStringLiteral("carried for %1 listings only, given up: %2")
                       .arg(carried.carried)
                       .arg(carried.failure->message()));
        answer(
            generation,
            [this, carried] { emit readMarksCarried(carried.carried, carried.failure); }, true);
    };
    return {Request::CarryReadMarks, std::move(work),
            [logged] { logged(QStringLiteral("not carried: the carry did not run")); }};
}

// From the data thread, between two short transactions of a long write: a listing the user
// opened meanwhile is marked first (its thread looks at the lock every millisecond or two).
void DataThread::letMarksIn() {
    QElapsedTimer waited;
    waited.start();
    while (m_marksWaiting.load() > 0 && !m_stop && !waited.hasExpired(1000))
        QThread::msleep(1);
}

// The same, and the end of the program stops the write here.
void DataThread::betweenWriteSlices() {
    letMarksIn();
    if (m_stop)
        throw Error(QStringLiteral("Cancelled: the program ends"));
}

void DataThread::read(std::function<void()> work) {
    if (m_readContext != nullptr)
        QMetaObject::invokeMethod(m_readContext, std::move(work), Qt::QueuedConnection);
}

void DataThread::deliver(QPointer<QObject> receiver, std::function<void()> answer,
                         std::optional<quint64> readOn) {
    QMetaObject::invokeMethod(
        this,
        [this, receiver = std::move(receiver), answer = std::move(answer), readOn] {
            // Read from the file before a clear or a repair: what the window shows now is not
            // what it was read from.
            if (readOn && *readOn != m_fileGeneration.load())
                return;
            if (receiver)
                answer();
        },
        Qt::QueuedConnection);
}

// One listings grid's keys being read: a slice a turn of the reading thread.
struct DataThread::KeyRead {
    DataThread* owner;
    QString dbPath;
    std::shared_ptr<OfferKeyScan> scan;
    QPointer<QObject> receiver; // read on the window's thread only
    std::function<void(OfferKeyBatch)> deliver;

    static void slice(std::shared_ptr<KeyRead> read) {
        if (read->scan->cancelled())
            return;
        const quint64 readOn = read->owner->m_fileGeneration.load();
        OfferKeyBatch batch;
        try {
            batch.finished = read->scan->next(t_connection->open(read->dbPath), batch.keys);
        } catch (const Error& error) {
            batch.failure = error;
            batch.finished = true;
        }
        const bool finished = batch.finished;
        read->owner->deliver(
            read->receiver,
            [read, batch = std::move(batch)]() mutable {
                if (!read->scan->cancelled())
                    read->deliver(std::move(batch));
            },
            readOn);
        if (!finished)
            read->owner->read([read] { slice(read); });
    }
};

void DataThread::readOfferKeys(const QString& dbPath, std::shared_ptr<OfferKeyScan> scan,
                               QObject* receiver, std::function<void(OfferKeyBatch)> deliver) {
    auto keyRead = std::make_shared<KeyRead>(
        KeyRead{this, dbPath, std::move(scan), QPointer<QObject>(receiver), std::move(deliver)});
    read([keyRead] { KeyRead::slice(keyRead); });
}

OfferKeyReader DataThread::offerKeyReader(const QString& dbPath) {
    return [this, dbPath](std::shared_ptr<OfferKeyScan> scan, QObject* receiver,
                          std::function<void(OfferKeyBatch)> deliver) {
        readOfferKeys(dbPath, std::move(scan), receiver, std::move(deliver));
    };
}

void DataThread::countOffers(const QString& dbPath, qint32 qid, QObject* receiver,
                             std::function<void(std::optional<OfferCounts>)> counted) {
    read([this, dbPath, qid, receiver = QPointer<QObject>(receiver),
          counted = std::move(counted)]() mutable {
        const quint64 readOn = m_fileGeneration.load();
        std::optional<OfferCounts> counts;
        failureOf([&] { counts = offerCounts(t_connection->open(dbPath), qid); });
        deliver(
            receiver, [counted = std::move(counted), counts] { counted(counts); }, readOn);
    });
}

void DataThread::markOfferRead(const QString& dbPath, const QString& offerId, qint32 qid,
                               QObject* receiver,
                               std::function<void(const std::optional<Error>&)> done) {
    ++m_marksWaiting;
    read([this, mark = PendingMark{dbPath, offerId, qid, QPointer<QObject>(receiver),
                                   std::move(done)}]() mutable {
        t_marks.push_back(std::move(mark));
        storeMarks();
    });
}

// On the reading thread. The user's mark is never given up for a lock: another program's
// transaction ends some time, and the data thread lets marks in between two slices of its own.
// A mark that finds the lock taken is tried again a little later, and the reads asked for
// meanwhile go in between; so is one asked for while a repair has the file. Once the program
// ends the marks left wait for storeMarksLeft().
void DataThread::storeMarks() {
    // Long enough for a slice of a long write to commit (WriteSlice::defaultBudgetMs), short
    // enough for the reads that wait behind it.
    constexpr int lockWaitMs = 50;
    constexpr int retryMs = 5;
    constexpr int usualWaitMs = 5000;
    while (!t_marks.empty()) {
        PendingMark& mark = t_marks.front();
        if (t_connection->isReleased(mark.dbPath))
            return; // the repair stores them once the file is back
        const std::optional<Error> failure = failureOf([&] {
            Database& db = t_connection->open(mark.dbPath);
            db.setBusyTimeout(lockWaitMs);
            const auto restore = qScopeGuard([&db] { db.setBusyTimeout(usualWaitMs); });
            db.markOfferRead(mark.offerId, mark.qid);
        });
        if (failure && failure->busy()) {
            if (!m_stop && !t_marksRetrying) {
                t_marksRetrying = true;
                QTimer::singleShot(retryMs, m_readContext, [this] {
                    t_marksRetrying = false;
                    storeMarks();
                });
            }
            return;
        }
        --m_marksWaiting;
        deliver(mark.receiver, [done = std::move(mark.done), failure] { done(failure); });
        t_marks.pop_front();
    }
}

void DataThread::storeMarksLeft(const QString& logPath) {
    // Within the program's bound for its end, whatever another program holds.
    constexpr qint64 boundMs = 1000;
    QElapsedTimer clock;
    clock.start();
    for (const PendingMark& mark : t_marks) {
        const std::optional<Error> failure = failureOf([&] {
            if (t_connection->isReleased(mark.dbPath))
                throw Error(QStringLiteral("База данных не открыта"));
            Database& db = t_connection->open(mark.dbPath);
            db.setStopFlag(nullptr);
            db.setBusyTimeout(int(std::max<qint64>(boundMs - clock.elapsed(), 0)));
            db.markOfferRead(mark.offerId, mark.qid);
        });
        if (failure && !logPath.isEmpty()) {
            failureOf([&] {
                writeLog(logPath,
                         QStringLiteral("Read mark of listing %1 not stored: %2")
                             .arg(mark.offerId, failure->message()),
                         false);
            });
        }
        --m_marksWaiting;
    }
    t_marks.clear();
}

// A CSV export under way: a chunk a turn of the reading thread, so that other reads go in
// between. The file is made, written and dropped on the reading thread only.
struct DataThread::ExportJob {
    DataThread* owner;
    QString dbPath;
    qint32 qid;
    QString path;
    QStringList header;
    int chunkRows;
    std::shared_ptr<std::atomic<bool>> cancelled;
    QPointer<QObject> receiver; // read on the window's thread only
    // Shared with the answers, which must not hold the file.
    std::shared_ptr<ExportReply> reply;
    std::unique_ptr<OfferCsvExport> csv;
    quint64 opening = 0;
    quint64 readOn = 0; // the file's generation when the export began

    static void step(std::shared_ptr<ExportJob> job) {
        bool finished = true;
        qint64 written = 0;
        qint64 total = 0;
        std::optional<Error> failure;
        if (!*job->cancelled) {
            failure = failureOf([&] {
                Database& db = t_connection->open(job->dbPath);
                if (!job->csv) {
                    job->readOn = job->owner->m_fileGeneration.load();
                    job->csv =
                        std::make_unique<OfferCsvExport>(db, job->qid, job->path, job->header);
                    job->opening = t_connection->opening;
                } else if (t_connection->opening != job->opening ||
                           job->owner->m_fileGeneration.load() != job->readOn) {
                    // The file was cleared, or set aside and replaced: its listings are gone from
                    // here.
                    throw Error(OfferCsvExport::searchChangedMessage());
                }
                finished = !job->csv->writeChunk(job->chunkRows);
                if (finished)
                    job->csv->commit();
                written = job->csv->written();
                total = job->csv->total();
            });
        }
        if (failure || *job->cancelled)
            finished = true;
        if (finished)
            job->csv.reset(); // a file not committed is removed
        job->owner->deliver(job->receiver, [reply = job->reply, finished, written, total, failure] {
            if (finished)
                reply->done(failure);
            else
                reply->progress(written, total);
        });
        if (!finished)
            job->owner->read([job] { step(job); });
    }
};

void DataThread::exportSearch(const QString& dbPath, qint32 qid, const QString& path,
                              const QStringList& header, int chunkRows,
                              std::shared_ptr<std::atomic<bool>> cancelled, QObject* receiver,
                              ExportReply reply) {
    auto job = std::make_shared<ExportJob>(ExportJob{
        this, dbPath, qid, path, header, chunkRows, std::move(cancelled),
        QPointer<QObject>(receiver), std::make_shared<ExportReply>(std::move(reply)), nullptr, 0});
    read([job] { ExportJob::step(job); });
}

} // namespace domiva
