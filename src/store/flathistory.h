#pragma once

#include "store/flatkey.h"

#include <QHash>
#include <QString>
#include <QStringView>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace domiva {

class Database;

// The client's memory of the listings it has stored (tables FlatHistory and FlatKeys beside
// Queries and Offers): one row per listing id with its flat's keys, its search, price and
// date, when it was first and last stored and whether the user opened it. It is the client's
// own knowledge, not the service's data: deleting listings (a removed search, a cleared file)
// leaves it, so listings loaded again are not taken for re-posts of themselves. Rows not
// stored for keepSeconds go once their listings are gone.
//
// A listing is a re-post when it arrives under an id the history has not seen and its flat
// matches an earlier id in the history, in any search; its earlier appearances are the ids of
// its flat dated before it (of the same date, stored before it).
//
// All of it runs on the connection of a Database, inside whatever transaction is open there;
// the statements stay prepared for the life of the object, which must not outlive db. Failures
// throw domiva::Error. The object remembers what it recorded (staged keys, the keys of a history
// that began empty): a transaction that rolls back what it recorded ends the object's use.
class FlatHistory {
public:
    static constexpr qint64 keepSeconds = 180LL * 24 * 60 * 60;
    static constexpr qint64 pruneIntervalSeconds = 24 * 60 * 60;
    // How the first fill goes (fillSome): chunks of so many listings (about a millisecond each),
    // with so much of the file's pages kept in memory.
    static constexpr int fillChunkRows = 50;
    // Keys the fill stages before it stores them (storePendingKeys), bounding its memory.
    static constexpr std::size_t fillPendingKeys = 250'000;
    // Staged keys stored at a time between two looks at the clock.
    static constexpr int storeChunkKeys = 1000;
    static constexpr int fillCacheKiB = 64 * 1024;
    // While an object records, the connection keeps at least so much of the file's pages in
    // memory: the index of the flats' keys is read and written at random places, and with the
    // engine's default a sync into a long history spends its time reading those pages again
    // and writing them out before their transaction ends.
    static constexpr int recordCacheKiB = 32 * 1024;

    explicit FlatHistory(Database& db);
    ~FlatHistory();
    FlatHistory(const FlatHistory&) = delete;
    FlatHistory& operator=(const FlatHistory&) = delete;

    // Makes the client's tables and their indexes where they are missing.
    static void createTables(Database& db);

    // What the history knew of a listing when it was stored.
    struct Arrival {
        bool known = false;      // the id was seen before: never a re-post
        bool repost = false;     // a new id of a flat seen before
        bool flatOpened = false; // a re-post of a flat the user opened under another id
    };
    // A listing was stored at `now` (seconds since the epoch): a new id is remembered with the
    // keys of its flat, a known one is stored again. Whether a re-post's flat was opened is
    // only looked up when askOpened is set: a flat posted many times has many rows to look at.
    Arrival record(QStringView id, qint32 qid, const flatkey::FlatFields& flat, QStringView price,
                   double dt, qint64 now, bool opened = false, bool askOpened = true);

    // When the history holds at least `rows` rows now, the keys of the rows record() adds from
    // here on are staged (held beside the rows, in the order they came) until
    // storePendingKeys() puts them where earlier() and the grids find them; record() finds
    // them at once. Added at random places, the keys of a long sync rewrote most pages of a
    // million-row index at every commit; a short history is cheaper to write directly. Keys a
    // sync left staged are taken up by the next object that records or stores.
    static constexpr qint64 stageFromRows = 200'000;
    void stageKeysFrom(qint64 rows);
    // Stores up to `rows` of the staged keys; returns whether none is left.
    bool storePendingKeys(int rows);
    // An object that began to record into an empty history (a new file, the first fill) finds
    // the latest row of each key in memory instead of the file, up to so many keys (about
    // 25 MB); the first fill of a million listings spent a fifth of its time on looking up keys
    // it had written itself, mostly to find nothing.
    static constexpr qsizetype ownKeysLimit = 1'000'000;

    // The listing arrived read (a re-post of a flat the user opened, when such are counted
    // read): its Offers row is marked so.
    void markArrivedRead(QStringView id);

    // Forgets the ids not stored since keepSeconds before now whose listings are gone, at most
    // once per pruneIntervalSeconds (it reads the rows first stored before that limit, sliceRows
    // rows at a time, with betweenSlices after each: the caller may commit there); returns how
    // many went.
    int prune(qint64 now, const std::function<void()>& betweenSlices = {}, int sliceRows = 5000);

    // Whether the listings the file held before the history existed are in it.
    bool filled();
    // Remembers up to `rows` more of those listings, as if they arrived in the order they were
    // stored, at `now`, or stores up to `rows` of their staged keys; returns whether all are in,
    // keys included (and notes that in the file). Listings the user has read count as opened.
    bool fillSome(qint64 now, int rows);

    // One earlier appearance of a listing's flat.
    struct Appearance {
        double dt = 0; // the listing's date-time value
        QString price;
        bool opened = false;
    };
    // The ids of the listing's flat dated before it, newest first, at most `limit`.
    std::vector<Appearance> earlier(const QString& id, int limit);

private:
    class Statement;
    Statement& statement(const char* text);
    void takeUpPending();
    // The latest row of one key, before the listing being recorded.
    std::optional<qint64> latestOfKey(qint64 key);
    // Where a new listing of a flat seen before goes among the rows of its flat: its earlier
    // appearance (FlatHistory.prev) and the rows dated after it that have none yet.
    struct Placement {
        std::optional<qint64> earlier;
        std::vector<qint64> later;
    };
    // latestRow: the flat's row stored last; dt: the listing's date.
    Placement placeAmongFlat(qint64 latestRow, double dt);
    // The rows of the listing's flat stored last, the latest first, at most `limit`, with their
    // dates (m_flatRows).
    void latestRowsOfFlat(int limit);
    std::size_t pendingKeys() const { return m_pending.size() - m_pendingStored; }

    Database& m_db;
    std::map<const char*, std::unique_ptr<Statement>> m_statements;
    std::optional<qint64> m_fillAfter; // the last Offers rowid remembered by the fill
    bool m_fillStoring = false;        // the fill stores its staged keys before it goes on
    bool m_fillComplete = false;
    std::vector<qint64> m_keys; // the keys of the listing being recorded
    bool m_staging = false;
    bool m_pendingTakenUp = false;
    std::vector<std::pair<qint64, qint64>> m_pending; // staged (key, history rowid)
    std::size_t m_pendingStored = 0;                  // of m_pending, sorted once begun
    // The staged rows of each key, in the order they were stored.
    std::unordered_map<qint64, std::vector<qint64>> m_pendingRows;
    // Whether every row of the history came from this object since prune() last ran, as long
    // as m_ownLatest holds the latest of each of their keys; unknown until the next record().
    std::optional<bool> m_knowsAllKeys;
    QHash<qint64, qint64> m_ownLatest;
    struct FlatRow {
        qint64 row = 0;
        double dt = 0;
        bool hasEarlier = false; // its prev is set
    };
    std::vector<FlatRow> m_flatRows; // latestRowsOfFlat()'s, kept for their room
};

// The earlier appearances from the JSON array a statement reads them as
// (DOMIVA_EARLIER_APPEARANCES in store/statements.h); none from anything else.
std::vector<FlatHistory::Appearance> appearancesFromJson(const QString& json);

// What the grid shows of a listing's history, worked out once when its row is read.
struct RepostMarks {
    bool repost = false; // earlier appearances there are
    QString trend;       // "↓" or "↑": the price against the latest earlier one
    QString earlierText; // earlierAppearancesText
};
RepostMarks repostMarks(QStringView price, const std::vector<FlatHistory::Appearance>& earlier);

// The earlier appearances as the details panel shows them ("Ранее: ..."): each as
// "<date> — <price>", "(просмотрено)" after those the user opened, newest first; empty for a
// flat seen for the first time.
QString earlierAppearancesText(const std::vector<FlatHistory::Appearance>& earlier);

} // namespace domiva
