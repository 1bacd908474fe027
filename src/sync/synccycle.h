#pragma once

#include "sync/httplimits.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <memory>

namespace domiva {

struct Settings;
struct EnvironmentReport;
struct ServiceConfig;
class RefreshTimer;
class Database;
class Transaction;
class FeedLineReader;
class FeedFileWriter;

// What the sync cycle needs of the window. The window implements it; tests implement it
// without one.
class SyncHost {
public:
    virtual ~SyncHost() = default;
    // Panel 0 carries stage and failure texts, panel 1 the time of the last sync.
    virtual void setStatusText(int panel, const QString& text) = 0;
    virtual void setWaitCursor(bool on) = 0;
    // Lets the window handle what is waiting (repaint, input, menu commands).
    virtual void processEvents() = 0;
    virtual void showTrayBalloon(const QString& text) = 0;
    // Modal: returns when the user has closed the box.
    virtual void showNewVersionMessage(const QString& text) = 0;
    // The grids stop following the tables while a feed is applied ...
    virtual void suspendGrids() = 0;
    // ... and afterwards show what the tables now hold, keeping the user's current rows.
    virtual void resumeGrids() = 0;
    // The offers grid runs its query again (new offers were stored).
    virtual void requeryOffers() = 0;
    // The cycle failed because the database file is damaged. Called once it has ended, with
    // no transaction open and the busy flag cleared, just before syncFinished.
    virtual void databaseDamaged(const QString& message) { Q_UNUSED(message); }
    // Called last, after the cycle has cleared its busy flag.
    virtual void syncFinished() {}
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
// work. It runs on the GUI thread and hands control to the event loop while it waits for the
// network and every few milliseconds while it applies a long feed, so the window never
// freezes; commands that arrive then obey the busy flag.
class SyncCycle {
public:
    // Listings of a removed search deleted at a time.
    static constexpr int removalChunkRows = 2000;

    SyncCycle(SyncHost& host, RefreshTimer& timer, SyncContext context);
    ~SyncCycle();
    SyncCycle(const SyncCycle&) = delete;
    SyncCycle& operator=(const SyncCycle&) = delete;

    // The database may change (cleared and reopened); the cycle uses whatever is set when it
    // runs, and nothing when none is.
    void setDatabase(Database* db) { m_db = db; }
    // Tests shorten these; the defaults give up after 30 s without a connection and 60 s
    // without a byte.
    void setTransferLimits(const TransferLimits& limits) { m_limits = limits; }
    // How long applying the feed may go on before the window gets a turn (and the records
    // applied so far are committed). At most 50 ms so the window stays responsive.
    void setSliceMilliseconds(int ms) { m_sliceMs = ms; }

    // Runs one cycle. A call while a cycle runs is ignored: there is never a nested cycle.
    void downloadAndParse(bool loadAll);
    bool syncBusy() const { return m_busy; }
    // The number of new offers the last cycle stored.
    int lastNewOfferCount() const { return m_newOffers; }

    // The request of a cycle, exposed for the tests.
    QString requestPath(bool loadAll) const;
    QString feedFilePath() const;

private:
    void download(const QString& url, const QByteArray& rd, bool systemTransport,
                  FeedFileWriter& feedFile);
    void applyLines(FeedLineReader& lines);
    void giveWindowATurn(std::unique_ptr<Transaction>& tx);
    // Commits and ends tx; its new listings count from then on.
    void commitGroup(std::unique_ptr<Transaction>& tx);

    SyncHost& m_host;
    RefreshTimer& m_timer;
    SyncContext m_ctx;
    Database* m_db = nullptr;
    TransferLimits m_limits;
    int m_sliceMs = 15;
    bool m_busy = false;
    int m_newOffers = 0;
    // New listings stored in the open transaction, not counted before it is committed.
    int m_uncommittedOffers = 0;
    QElapsedTimer m_slice;
};

} // namespace domiva
