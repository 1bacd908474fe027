#pragma once

#include "core/error.h"
#include "env/environment.h"
#include "settings/settings.h"
#include "store/offercounts.h"
#include "store/offerkeys.h"
#include "store/recovery.h"
#include "sync/httplimits.h"
#include "sync/readingthread.h"
#include "sync/requestorder.h"
#include "sync/synccycle.h"

#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace domiva {

// What a sync needs, copied when it is asked for: the window may save new settings or replace
// its file while the sync runs.
struct SyncRequest {
    bool loadAll = false;
    // Whether the window has the file open: without it the sync fails as a download would.
    bool databaseOpen = true;
    Settings settings;
    ServiceConfig service;
    EnvironmentReport environment;
    QString workDir; // ends with "/"
    QString logPath;
    QString dbPath;
};

// How a sync ended, for the window's closing steps.
struct SyncOutcome {
    int newOffers = 0;
    QString damage;        // the file is damaged, and why; empty otherwise
    QString unloggedError; // a failure that could not be written to the log
};

// The boundary between the window's thread and the data thread: every request the window can
// make and every answer it gets back. The data thread does the work that takes long (the sync
// with its transfer, marking a whole search read, clearing the file) on connections of its
// own; the window keeps its reading connection and never waits.
//
// Requests may come at any moment and return at once; the data thread keeps their order
// itself, by one table (decide(), sync/requestorder.h): each request asked for runs now, waits for
// what runs and what waits before it, is taken by the request that runs (asked twice, done once),
// or is refused. The window shows what the answer means; it needs busy() for no decision of its
// own. Requests run one at a time; answers arrive on the window's thread as signals, in the order
// the data thread gave them. forget() drops every answer of what runs and every request that
// waits (the window went away); cancelAll() ends what runs at its next step (the program ends).
//
// Reads that take long (the keys of a listings grid, a search's counts, a CSV export) run on a
// reading thread beside it (sync/readingthread.h), with a connection of its own: a sync under way
// never delays them, and in WAL mode they never wait for its writes. The read mark of one listing
// goes there too: it must not wait for a whole sync either, and every long write lets it in between
// two of its transactions. They are never refused, and each answers the object that asked, on the
// window's thread, unless that object is gone or no longer wants the answer, or the answer was
// read from the file before a clear or a repair began (fileGeneration()).
class DataThread : public QObject {
    Q_OBJECT

public:
    explicit DataThread(QObject* parent = nullptr);
    // finish(): no answer follows.
    ~DataThread() override;
    DataThread(const DataThread&) = delete;
    DataThread& operator=(const DataThread&) = delete;

    // --- The order of requests (sync/requestorder.h) ------------------------------------------
    using Request = requestorder::Request;
    using State = requestorder::State;
    using Decision = requestorder::Decision;
    static constexpr int requestCount = requestorder::requestCount;
    static constexpr int stateCount = requestorder::stateCount;
    // The table: what becomes of `asked` in `state`.
    static Decision decide(State state, Request asked) {
        return requestorder::decide(state, asked);
    }
    // The row the data thread is at: what runs; nothing running, the request next in line,
    // which runs at the next turn; a repair that waits ahead of everything but what runs.
    State state() const;
    // What would become of `asked` now: decide(state(), asked).
    Decision wouldDecide(Request asked) const;

    // --- Requests ---------------------------------------------------------------------------
    // Each returns what became of it (see decide()).
    // Downloads the feed and applies it: statusText, gridsSuspended/Resumed, trayBalloon,
    // offersChanged and versionNotice as the cycle goes, syncDone at its end.
    Decision sync(SyncRequest request);
    // Every listing of the search read, the search no longer marked: searchMarkedRead.
    Decision markSearchRead(const QString& dbPath, qint32 qid);
    // Every listing and search deleted (the file keeps its size and the history, see
    // clearDatabaseFile()): clearing just before it starts (the window lets go of what it
    // shows), databaseCleared once done.
    Decision clearDatabase(const QString& dbPath, Request kind = Request::Clear);
    // After the download that follows a repair: the read marks the damaged file still holds,
    // carried over to the new one (store/recovery.h): readMarksCarried.
    Decision carryReadMarks(const QString& dbPath, const QString& damagedPath);
    // A damaged file: repairing just before it starts (the window lets go of the file), the
    // data threads let go of it, recovery.rebuild() sets its bytes aside and empties it, and
    // the file is theirs again: databaseRepaired with the recovery as it is afterwards, where
    // the damaged copy went, and the failure if there was one.
    Decision repairDatabase(const QString& dbPath, DamageRecovery recovery);

    // --- What follows what ------------------------------------------------------------------
    // Where the syncs that the data thread starts itself come from: the window's settings and
    // paths as they are at that moment (called on the window's thread). Without a source, no
    // request is followed by anything.
    void setSyncSource(std::function<SyncRequest()> source) { m_syncSource = std::move(source); }
    // A statement found the file damaged (message: the engine's words). The first damage of a
    // run is repaired: ahead of every request that waits, and never from inside the call that
    // found it (a grid's read), once what runs has ended; then the full download, and after it
    // the read marks the damaged file held (readMarksCarried). Meanwhile the data thread counts
    // as busy, a sync asked for is taken by the repair's, and the user's changes are refused.
    // Damage of the repaired file means the disk fails: diskFailing, and nothing repaired any
    // more. Returns false when damage is no longer dealt with here (reported once before): the
    // caller reports it as any failure. A sync's own damage comes here by itself.
    bool damageFound(const QString& message);
    // Reads, in the order asked. The keys of a listings grid, a slice per turn of the reading
    // thread, so that other reads go in between; a cancelled scan stops at its next slice.
    void readOfferKeys(const QString& dbPath, std::shared_ptr<OfferKeyScan> scan, QObject* receiver,
                       std::function<void(OfferKeyBatch)> deliver);
    // The same, as the listings model asks for it.
    OfferKeyReader offerKeyReader(const QString& dbPath);
    // A search's counts; nullopt when they could not be read.
    void countOffers(const QString& dbPath, qint32 qid, QObject* receiver,
                     std::function<void(std::optional<OfferCounts>)> counted);

    // The user opened a listing: its read mark stored (Database::markOfferRead), then done with
    // the failure if there was one. Never refused, and never given up for a lock: it is tried
    // again until the lock goes, with other reads in between; asked for while a repair has the
    // file, it is stored once the file is back. At the end (finish()) the marks still waiting
    // are stored within a second, or kept beside the file for the next start and logged.
    void markOfferRead(const QString& dbPath, const QString& offerId, qint32 qid, QObject* receiver,
                       std::function<void(const std::optional<Error>&)> done);
    // The read marks of dbPath that the last end could not store (kept beside the file), stored
    // now as if the user had just asked for them.
    void storeKeptMarks(const QString& dbPath) { m_reads.storeKeptMarks(dbPath); }
    // Writes a search's listings to a CSV file (store/csvexport.h), a chunk of chunkRows per
    // turn of the reading thread: progress(written, total) after each chunk, then done, with
    // the failure if there was one. Once cancelled is set, the export stops at its next chunk,
    // leaves no file and answers done without a failure. A file cleared or replaced under the
    // export (repaired) fails it. `earlier` words the last column on the reading thread, so it
    // must touch nothing but its argument.
    using ExportReply = domiva::ExportReply;
    void exportSearch(const QString& dbPath, qint32 qid, const QString& path,
                      const QStringList& header, int chunkRows,
                      std::shared_ptr<std::atomic<bool>> cancelled, QObject* receiver,
                      ExportReply reply, EarlierWording earlier = {});

    // The new-version box was closed: the sync that showed it goes on.
    void versionNoticeClosed();
    // Answers of the running request are no longer wanted, nor the requests that wait (the
    // window went away).
    void forget();
    // The program ends: what runs ends at its next step (a transfer within a poll of its loop,
    // a hung name lookup left to itself, a sync at its next commit, a clear or a repair before
    // it changes anything, the wait for a notice or for another program's lock at once), as
    // failed; nothing waiting runs (a carry of read marks that never ran is logged), and
    // nothing asked for from now on.
    void cancelAll();

    // cancelAll(), then waits for both threads to end (at once, but for a write between two of
    // its steps), storing the read marks still waiting (or keeping them): nothing of theirs happens
    // afterwards, and nothing asked for later runs.
    void finish();

    // Whether a request runs or waits. A forgotten request still counts until it has ended.
    bool busy() const { return m_running.has_value() || !m_waiting.empty(); }
    // Moves at the start and the end of every clear and repair: an answer read before it
    // never reaches the window.
    quint64 fileGeneration() const { return m_reads.fileGeneration(); }
    // Tests shorten these; see SyncCycle::setTransferLimits() and setSliceMilliseconds().
    void setTransferLimits(const TransferLimits& limits) { m_limits = limits; }
    void setSliceMilliseconds(int ms) { m_sliceMs = ms; }
    // Listings marked read in one transaction of a long write.
    void setWriteSliceRows(int rows) { m_writeSliceRows = rows; }

signals:
    // --- Answers ----------------------------------------------------------------------------
    // A sync starts: asked for by the window, or one the data thread follows a clear or a
    // repair with.
    void syncStarted();
    void statusText(int panel, const QString& text);
    void gridsSuspended();
    void gridsResumed();
    void trayBalloon(const QString& text);
    void offersChanged();
    // The sync waits until versionNoticeClosed().
    void versionNotice(const QString& text);
    // busy() is false again when these come.
    void syncDone(const domiva::SyncOutcome& outcome);
    void searchMarkedRead(qint32 qid, const std::optional<domiva::Error>& failure);
    void clearing();
    void databaseCleared(const std::optional<domiva::Error>& failure);
    void repairing();
    void databaseRepaired(const domiva::DamageRecovery& recovery, const QString& kept,
                          const std::optional<domiva::Error>& failure);
    // The repaired file is damaged too: the disk seems to fail (message: the engine's words).
    void diskFailing(const QString& message);
    // The read marks of the damaged file carried over: `carried` listings marked, all of them
    // unless failure says why the carry stopped part-way or could not run (it is logged too,
    // and not tried again).
    void readMarksCarried(int carried, const std::optional<domiva::Error>& failure);

private:
    struct Waiting {
        Request kind;
        std::function<void(quint64)> work;
        // Called on the window's thread when the request is dropped without running (the
        // window went away, the program ends).
        std::function<void()> dropped;
    };
    // Runs, queues or drops work as decide() says.
    Decision start(Request kind, std::function<void(quint64)> work,
                   std::function<void()> dropped = {});
    // Work that follows what has just answered: first in line, ahead of what waits.
    void follow(Waiting next);
    // Drops every request that waits, telling those that want to know.
    void dropWaiting();
    void run(Waiting request);
    // Runs the first request that waits, if nothing runs.
    void pump();
    // After a clear or a repair that was done: the full download, from the sync source,
    // before anything that waits; after one that failed, the sync it took, if any.
    void followWithFullSync(bool done);
    std::function<void(quint64)> syncWork(SyncRequest request);
    std::function<void(quint64)> repairWork(const QString& dbPath, DamageRecovery recovery);
    Waiting carryWork(const QString& dbPath, const QString& damagedPath);
    // From the data thread: runs answer on the window's thread if its request is still the
    // current one; `last` marks the answer that ends the request.
    void answer(quint64 generation, std::function<void()> answer, bool last = false);
    // On the data thread: the running sync's next step, and its end.
    void stepSync();
    void cancelSync();
    // From the data thread, between two transactions of a long write: read marks that wait
    // for the lock are stored first, and the end of the program stops the write here.
    void betweenWriteSlices();
    QString logPath() const;

    // First: the threads see it until they have ended.
    std::atomic<bool> m_stop{false};
    QThread m_thread;
    QObject* m_context = nullptr; // lives on m_thread; deleted with it
    // The reads beside the data thread, with the file's generation and the read marks waiting.
    ReadingThread m_reads{&m_stop};
    quint64 m_generation = 0;
    std::optional<Request> m_running;
    std::deque<Waiting> m_waiting;
    TransferLimits m_limits;
    int m_sliceMs = SyncCycle::defaultSliceMs;
    int m_writeSliceRows = sliceRowsByTime;
    // A sync taken by a clear or a repair, whose own download stands for it: run if that
    // fails.
    std::function<void(quint64)> m_syncTaken;
    std::function<SyncRequest()> m_syncSource;
    DamageRecovery m_recovery;
};

} // namespace domiva
