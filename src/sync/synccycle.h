#pragma once

#include "core/error.h"
#include "store/flathistory.h"
#include "store/writeslice.h"
#include "sync/httplimits.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace domiva {

struct Settings;
struct EnvironmentReport;
struct ServiceConfig;
class Database;
class Transaction;
class FlatHistory;
class CurlTransfer;

// What the sync cycle needs of whoever drives it: on the data thread, DataSyncHost
// (sync/datasynchost.h) passes every call on to the window as one of DataThread's answers;
// tests implement it without a window.
class SyncHost {
public:
    virtual ~SyncHost() = default;
    // Panel 0 carries stage and failure texts, panel 1 the time of the last sync.
    virtual void setStatusText(int panel, const QString& text) = 0;
    // A group of records was committed: other connections see it from now on. No transaction
    // of the cycle is open during the call: the host may let another writer in first.
    virtual void sliceCommitted() {}
    virtual void showTrayBalloon(const QString& text) = 0;
    // The box may stay open: the cycle waits (Step::WaitingForNotice) until its driver says
    // the user closed it (noticeClosed()).
    virtual void showNewVersionMessage(const QString& text) = 0;
    // The grids stop following the tables while a feed is applied ...
    virtual void suspendGrids() = 0;
    // ... and afterwards show what the tables now hold, keeping the user's current rows.
    virtual void resumeGrids() = 0;
    // The offers grid runs its query again (new offers were stored).
    virtual void requeryOffers() = 0;
    // The cycle failed because the database file is damaged. Called last, once it has ended:
    // no transaction is open and the cycle is Idle again.
    virtual void databaseDamaged(const QString& message) { Q_UNUSED(message); }
};

// Everything a cycle reads, owned by the caller for the life of the process.
struct SyncContext {
    const Settings* settings = nullptr;
    const EnvironmentReport* environment = nullptr;
    const ServiceConfig* service = nullptr;
    QString workDir; // ends with "/"
    QString logPath;
};

// Status-bar texts of the stages.
inline constexpr auto kStageChecking = u"Идет проверка доступности интернета...";
inline constexpr auto kStageDownloading = u"Идет загрузка данных...";
inline constexpr auto kStageParsing = u"Идет обработка данных...";
inline constexpr auto kStageDone = u"...";
inline constexpr auto kDownloadFailed = u"Не удалось загрузить данные...";
inline constexpr auto kParseFailed = u"Не удалось распарсить данные";
inline constexpr auto kEmptyUpdate = u"Пустое обновление!";
inline constexpr auto kFeedFileName = u"quInet.txt";

// One download of the update feed and its application to the database: the client's main
// work. A cycle is a sequence of steps, each short, so that the thread that drives it (the data
// thread, see DataThread) turns its own event loop in between and never waits inside one:
//
//   begin()          the checks and the stored ids; the request set up   -> Transferring
//   transferEnded()  the transfer has finished: the feed file is read    -> Applying
//   applySlice()     the feed applied for a few milliseconds, committed  -> Applying, or
//                    a new version announced                           -> WaitingForNotice
//   noticeClosed()   the user closed that box                          -> Applying
//   cancel()         any step: the cycle ends as failed at once
//
// A cycle that ends (done, failed or cancelled) does its closing steps (status, log, balloon,
// host calls) and is Idle again.
class SyncCycle {
public:
    // Listings of a removed search deleted at a time.
    static constexpr int removalChunkRows = 2000;
    // How long one transaction of the sync lasts, its commit included (store/writeslice.h). A
    // listing the user opens meanwhile waits for the lock at most this long; each commit writes
    // again every page of the random-keyed indexes it touched, so shorter slices make a long
    // sync slower (with a history of a million listings, 15 ms took a fifth longer).
    static constexpr int defaultSliceMs = WriteSlice::defaultBudgetMs;

    enum class Step {
        Idle,             // no cycle
        Transferring,     // the transfer returned by begin() runs; transferEnded() is next
        Applying,         // applySlice() is next
        WaitingForNotice, // noticeClosed() is next
    };

    SyncCycle(SyncHost& host, SyncContext context);
    ~SyncCycle();
    SyncCycle(const SyncCycle&) = delete;
    SyncCycle& operator=(const SyncCycle&) = delete;

    // The database may change (cleared and reopened); the cycle uses whatever is set when it
    // runs, and nothing when none is.
    void setDatabase(Database* db) { m_db = db; }
    // The file could not be opened for the cycle: it fails with this where it would read it.
    void setDatabaseFailure(const Error& failure) { m_dbFailure = failure; }
    // Tests shorten these; the defaults give up after 30 s without a connection and 60 s
    // without a byte.
    void setTransferLimits(const TransferLimits& limits) { m_limits = limits; }
    // How long a transaction of the cycle may last, its commit included.
    void setSliceMilliseconds(int ms) { m_slice.setBudgetMs(ms); }
    // Rows of the history looked at in one slice of its daily prune.
    void setHistorySliceRows(int rows) { m_historySliceRows = rows; }
    // The history's size from which a sync stages the keys of its listings (FlatHistory).
    void setStageKeysFrom(qint64 rows) { m_stageKeysFrom = rows; }
    // Once the flag is set, the cycle ends at the next commit of a group, as failed.
    void setStopFlag(const std::atomic<bool>* stop) { m_stop = stop; }
    // The time the listing history (store/flathistory.h) is kept by, in seconds since the
    // epoch; the system's clock unless tests set another.
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

    // --- The steps (see above) -------------------------------------------------------------
    // Starts a cycle (ignored unless Idle). Returns the transfer to drive, owned by the cycle:
    // run() it, or start() it and wait for its finished(); nullptr when the cycle has ended
    // before the exchange.
    CurlTransfer* begin(bool loadAll);
    void transferEnded();
    void applySlice();
    void noticeClosed();
    // Ends the cycle now as failed with reason (logged), whatever its step; the transfer is
    // aborted and what was committed stays.
    void cancel(const QString& reason);
    Step step() const { return m_step; }

    // The number of new offers the last cycle stored, not counting re-posts that arrived read.
    int lastNewOfferCount() const { return m_newOffers; }
    // The failure the last cycle could not write to the log; empty when none.
    const QString& lastUnloggedError() const { return m_unloggedError; }

    // The request of a cycle, exposed for the tests.
    QString requestPath(bool loadAll) const;
    QString feedFilePath() const;

private:
    struct Run;
    // Runs a step; a failure ends the cycle.
    template <typename Work> void guarded(Work&& work);
    void failed(const QString& message, const QString& damage = {});
    // The closing steps; the cycle is Idle afterwards.
    void end(const QString& damage = {});
    // Forgets what the history kept too long and fills it from the listings stored before it
    // existed; false while there is more of it for the next slice.
    bool prepareHistory();
    void applyRecord(const QString& line);
    // Opens the slice's transaction unless one is open.
    void beginSlice();
    // Commits the group; the next slice opens the next one. No transaction is open between
    // two steps: the thread that drives the cycle may turn its event loop for long, and a
    // click's read mark must never wait for that.
    void endSlice();
    // Commits the group and opens the next one, inside a step.
    void nextSlice();
    // Stores the history's staged keys, a slice at a time: whether all are stored.
    bool storePendingKeys();
    // Commits and ends the open group; its new listings count from then on.
    void commitGroup();
    // The listings applied before a failure stay: their group is committed if it can be.
    void keepApplied();
    void logSkipped();

    SyncHost& m_host;
    SyncContext m_ctx;
    Database* m_db = nullptr;
    std::optional<Error> m_dbFailure;
    TransferLimits m_limits;
    int m_historySliceRows = 5000;
    qint64 m_stageKeysFrom = FlatHistory::stageFromRows;
    Step m_step = Step::Idle;
    std::unique_ptr<Run> m_run;
    int m_newOffers = 0;
    // New listings stored in the open transaction, not counted before it is committed.
    int m_uncommittedOffers = 0;
    int m_quietOffers = 0;
    int m_uncommittedQuiet = 0;
    QString m_unloggedError;
    std::function<qint64()> m_clock;
    WriteSlice m_slice{defaultSliceMs};
    const std::atomic<bool>* m_stop = nullptr;
};

} // namespace domiva
