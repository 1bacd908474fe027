#pragma once

#include <QLatin1String>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringView>

#include <array>
#include <atomic>
#include <map>
#include <memory>

struct sqlite3;

namespace domiva {

namespace sqlutil {
struct LockWait;
class EngineStatement;
} // namespace sqlutil

class BackgroundCheckpointer;

// Creates the listing database at dbPath with its two empty tables. The file is built under a
// temporary name beside dbPath and only renamed to dbPath once both tables exist, so a failed
// creation leaves nothing behind. Journals left beside a missing dbPath are removed first. An
// existing dbPath is never replaced: when another start made it meanwhile, that file stays and
// creation succeeds. Throws domiva::Error with the engine's message (or the file system's,
// when the final rename fails).
void createDatabase(const QString& dbPath);

// One listing as the feed delivers it, ready to be stored.
struct OfferRow {
    QString id;
    qint32 qid = 0;
    // min_obj, metro_obj, room_obj, kitch_obj, price_obj, perc_obj, flat_obj, info_obj,
    // cont_obj, owntxt_obj, publ_obj: the eleven listing texts in table order.
    std::array<QString, 11> texts;
    double dt_obj = 0; // date-time value, see core/datetimevalue.h
};

// Owns a named Qt SQL connection and removes it again when destroyed.
class SqlConnection {
public:
    explicit SqlConnection(QString name) : m_name(std::move(name)) {}
    ~SqlConnection();
    SqlConnection(const SqlConnection&) = delete;
    SqlConnection& operator=(const SqlConnection&) = delete;
    const QString& name() const noexcept { return m_name; }

private:
    QString m_name;
};

// An open listing database and every operation the program performs on it. Each operation
// runs its statements with bound values and finishes (resets) them before it returns, so no
// read snapshot survives into the next turn of the event loop (in WAL mode a stale snapshot
// would make our next write fail once another connection has written). The statements of the
// per-record operations stay prepared between calls. All failures throw domiva::Error with
// the engine's message.
class Database {
public:
    // Opens an existing file read-write (a missing file is an error, never created), checks
    // that both tables are there, switches it to WAL and adds the indexes the program relies on
    // when they are missing.
    explicit Database(const QString& dbPath);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    QSqlDatabase connection() const;
    const QString& path() const noexcept { return m_path; }
    // From now on this connection only reads: every change through it fails. Closing it still
    // copies the log into the file and removes it, when it is the last one open.
    void refuseWrites();
    // The program ends: closing leaves the log beside the file for the next start instead of
    // copying it in, which after a long sync takes seconds the end must not wait for.
    void leaveLogAtClose() { m_leaveLog = true; }

    // Searches.
    QList<qint32> queryIds(); // in the order the engine returns them
    // A new search arrives with both flags set; a known one is renamed, its flags untouched.
    void storeQuery(qint32 id, const QString& name);
    // A new listing arrived for the search: updated and unreaded set, when the search exists.
    void markQueryUnread(qint32 id);
    // Deletes the search, then its listings.
    void removeQuery(qint32 id);
    // Deletes up to limit listings of the search, leaving the search; returns how many went.
    int removeOffersOfQuery(qint32 id, int limit);

    // Listings. Ids are compared regardless of ASCII letter case.
    bool offerExists(const QString& id);
    // Stores a new unread listing. Returns false, changing nothing, when a listing with this
    // id is already stored (under whatever search).
    bool insertOffer(const OfferRow& offer);
    // The same from views of the texts, which need not outlive the call.
    bool insertOffer(QStringView id, qint32 qid, const std::array<QStringView, 11>& texts,
                     double dt_obj);
    // Whether a listing of the search is still unread; costs the same at any number of them.
    bool hasUnreadOffers(qint32 qid);
    // The user opened a listing: the listing is read, its search no longer "updated", and the
    // search loses its unread mark when none of its listings is left unread. Returns whether
    // any listing of the search is still unread.
    bool markOfferRead(const QString& offerId, qint32 qid);
    // How long a statement waits for another connection's lock before it fails as busy.
    void setBusyTimeout(int milliseconds);
    // Once *stop is set, a statement no longer waits for another connection's lock: it fails
    // as busy at once (the program ends). nullptr: always waits the whole time-out.
    void setStopFlag(const std::atomic<bool>* stop);
    // How many KiB of the file's pages the connection keeps in memory.
    static constexpr int defaultCacheKiB = 2000; // the engine's own default
    void setCacheKiB(int kib);
    // Until set back to 0, the cache is never made smaller than this, whatever setCacheKiB asks
    // for (which is still remembered, and applied once the floor goes).
    void setCacheFloorKiB(int kib);

    // Changes whenever a row of the file changes, through this connection or another one: a
    // reader that kept the stamp of its last read knows whether reading again could show
    // anything new.
    struct ChangeStamp {
        qint64 own = -1;
        qint64 others = -1;
        friend bool operator==(const ChangeStamp&, const ChangeStamp&) = default;
    };
    ChangeStamp changeStamp();

    // Commits never wait for the copying of the write-ahead log into the file: a thread of the
    // database copies the log each time the commits have added sql::checkpointPages pages to
    // it.
    // Whether the log has grown past sql::longLogPages since it last started again.
    bool logIsLong() const noexcept;
    // Between two transactions of a long write: the copy of the log is asked for and waited
    // for, so that the next transaction starts the log again from its beginning instead of
    // growing it to several times the file. Readers go on meanwhile; another program holding
    // an old snapshot may keep it from starting again, and the next call tries again. From
    // the first call on, the log keeps its room when it starts again (the checkpointer cuts
    // it once the writes stop).
    void letLogCatchUp();

private:
    friend class Transaction;
    // The prepared statement of a catalogue text, prepared on first use.
    QSqlQuery& statement(QLatin1String text);

    // The engine's WAL hook: called after every commit with the log's length in pages.
    static int logGrew(void* database, sqlite3*, const char*, int pages);

    // The connection's busy handler: destroyed after the connection is closed.
    std::unique_ptr<sqlutil::LockWait> m_lockWait;
    SqlConnection m_connection;
    QString m_path;
    bool m_leaveLog = false;
    std::unique_ptr<BackgroundCheckpointer> m_checkpointer;
    int m_logPagesAtRequest = 0;
    int m_logPages = 0;
    bool m_logKeptWhole = false; // the log's size limit lifted for a long write
    int m_transactionDepth = 0;
    int m_cacheKiB = defaultCacheKiB; // as last asked for
    int m_cacheFloorKiB = 0;
    // Destroyed before m_connection, which must outlive every statement on it.
    std::map<const char*, QSqlQuery> m_statements;
    // Storing a listing is the one statement a long feed runs a hundred thousand times; it goes
    // to the engine directly, without Qt's per-value binding, which cost more than the insert.
    std::unique_ptr<sqlutil::EngineStatement> m_insertOffer;
};

// Deletes every listing and then every search of the file, in one transaction, through a
// connection of its own, so that it may run on any thread while the program's connection stays
// open (and idle). The file keeps its size: the pages freed are reused by the download that
// follows, and the history kept beside the listings is never copied, so the clear costs the
// same whatever the history holds. The log is cut back once nobody reads it. Once *stop is
// set, a wait for another program's lock ends at once, as busy. Throws domiva::Error; nothing
// is deleted then.
void clearDatabaseFile(const QString& dbPath, const std::atomic<bool>* stop = nullptr);

std::unique_ptr<Database> openDatabase(const QString& dbPath);

// A transaction on a Database: commit() makes the changes permanent, destruction without
// commit() rolls them back. Transactions nest: an inner one is a savepoint of the outer.
class Transaction {
public:
    explicit Transaction(Database& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit();

private:
    Database& m_db;
    int m_level = 0;
    bool m_open = false;
};

} // namespace domiva
