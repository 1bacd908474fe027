#include "sync/datathread.h"

#include "core/eventlog.h"
#include "store/csvexport.h"
#include "store/database.h"
#include "store/readmarks.h"
#include "store/recovery.h"
#include "sync/dataconnection.h"
#include "sync/datasynchost.h"
#include "sync/httptransfer.h"
#include "sync/synccycle.h"

#include <deque>
#include <memory>
#include <utility>

namespace domiva {

namespace {

using requestorder::runningState;

// What became of the read marks of a damaged file, when they were not all carried over.
void logCarry(const QString& logPath, const QString& damagedPath, const QString& what) {
    if (logPath.isEmpty())
        return;
    failureOf([&] {
        writeLog(logPath, QStringLiteral("Read marks of %1 %2").arg(damagedPath, what), false);
    });
}

// The sync that runs, on the data thread only. Taken down before the thread's connection when
// the thread ends: the sync writes through it.
thread_local std::unique_ptr<SyncJob> t_sync;

} // namespace

DataThread::DataThread(QObject* parent) : QObject(parent) {
    m_context =
        startWithConnection(m_thread, QStringLiteral("data"), &m_stop, [] { t_sync.reset(); });
    // A transfer of a sync ends within a poll once everything is cancelled.
    QMetaObject::invokeMethod(
        m_context, [this] { CurlTransfer::cancelOnThreadWhen(&m_stop); }, Qt::QueuedConnection);
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
    // Deleted with its thread.
    m_context = nullptr;
    // The user's read marks still waiting are stored now, or logged.
    m_reads.finish(logPath());
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
        m_reads.fileChanged();
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
        t_sync = std::make_unique<SyncJob>(generation, request,
                                           DataSyncHost(
                                               *this,
                                               [this, generation](std::function<void()> sent) {
                                                   answer(generation, std::move(sent));
                                               },
                                               [this] { m_reads.letMarksIn(); }));
        SyncCycle& cycle = t_sync->cycle;
        cycle.setTransferLimits(limits);
        cycle.setSliceMilliseconds(sliceMs);
        cycle.setStopFlag(&m_stop);
        if (request.databaseOpen) {
            // A file that cannot be opened fails the sync where it reads the file first.
            if (const auto opening =
                    failureOf([&] { cycle.setDatabase(&threadConnection().open(request.dbPath)); }))
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
    const SyncOutcome outcome = t_sync->outcome();
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
            markQueryRead(threadConnection().open(dbPath), qid, m_writeSliceRows,
                          [this] { betweenWriteSlices(); });
        });
        answer(
            generation, [this, qid, failure] { emit searchMarkedRead(qid, failure); }, true);
    });
}

DataThread::Decision DataThread::clearDatabase(const QString& dbPath, Request kind) {
    return start(kind, [this, dbPath](quint64 generation) {
        const std::optional<Error> failure = failureOf([&] { clearDatabaseFile(dbPath, &m_stop); });
        m_reads.fileChanged();
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
        threadConnection().release(dbPath);
        m_reads.release(dbPath);
        // The copy of the damaged bytes takes as long as the file is large: here, not on the
        // window's thread. The file is the same one afterwards, emptied: open to both again.
        QString kept;
        const std::optional<Error> failure = failureOf(
            [&] { kept = recovery.rebuild(dbPath, QDateTime::currentDateTime(), &m_stop); });
        m_reads.fileChanged();
        threadConnection().released.reset();
        // The read marks asked for meanwhile go to the file again.
        m_reads.admit();
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
                    domiva::carryReadMarks(threadConnection().open(dbPath), damagedPath,
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

void DataThread::betweenWriteSlices() {
    m_reads.letMarksIn();
    if (m_stop)
        throw Error(QStringLiteral("Cancelled: the program ends"));
}

void DataThread::readOfferKeys(const QString& dbPath, std::shared_ptr<OfferKeyScan> scan,
                               QObject* receiver, std::function<void(OfferKeyBatch)> deliver) {
    m_reads.readOfferKeys(dbPath, std::move(scan), receiver, std::move(deliver));
}

OfferKeyReader DataThread::offerKeyReader(const QString& dbPath) {
    return [this, dbPath](std::shared_ptr<OfferKeyScan> scan, QObject* receiver,
                          std::function<void(OfferKeyBatch)> deliver) {
        readOfferKeys(dbPath, std::move(scan), receiver, std::move(deliver));
    };
}

void DataThread::countOffers(const QString& dbPath, qint32 qid, QObject* receiver,
                             std::function<void(std::optional<OfferCounts>)> counted) {
    m_reads.countOffers(dbPath, qid, receiver, std::move(counted));
}

void DataThread::markOfferRead(const QString& dbPath, const QString& offerId, qint32 qid,
                               QObject* receiver,
                               std::function<void(const std::optional<Error>&)> done) {
    m_reads.markOfferRead(dbPath, offerId, qid, receiver, std::move(done));
}

void DataThread::exportSearch(const QString& dbPath, qint32 qid, const QString& path,
                              const QStringList& header, int chunkRows,
                              std::shared_ptr<std::atomic<bool>> cancelled, QObject* receiver,
                              ExportReply reply, EarlierWording earlier) {
    m_reads.exportSearch(dbPath, qid, path, header, chunkRows, std::move(cancelled), receiver,
                         std::move(reply), std::move(earlier));
}

} // namespace domiva
