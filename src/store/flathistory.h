#pragma once

#include "store/enginestatement.h"
#include "store/flatkey.h"

#include <QString>
#include <QStringView>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

namespace domiva {

class Database;

// The client's memory of the listings it has stored (tables FlatHistory and FlatKeys beside
// Queries and Offers): one row per listing id with its search, price and date, when it was
// first and last stored and whether the user opened it, and the keys of its flat. It is the
// client's own knowledge, not the service's data: deleting listings (a removed search, a
// cleared file) leaves it, so listings loaded again are not taken for re-posts of themselves.
// Rows not stored for keepSeconds go once their listings are gone; a row whose listing is
// still stored counts as stored whenever the history is pruned.
//
// Where a flat's keys live (the invariants every statement relies on):
// - every key of a history row is a FlatKeys row (key, the row's date, the row, whether it was
//   opened), except while a sync stages them (FlatKeysPending, and this object's memory) until
//   it ends; nothing else holds a key;
// - two rows are of one flat when they share a key; a row's earlier appearances are the rows
//   sharing one of its keys dated before it (of the same date, stored before it), and prev is
//   the latest of them (null when there is none). Each is found by key and date in FlatKeys'
//   order, a few rows a key, however many rows the flat has;
// - the keys were made by flatkey::keys of keysVersion: a file whose keys are older has them
//   made again (rekeySome) before the history records anything.
//
// All of it runs on the connection of a Database, inside whatever transaction is open there;
// the statements stay prepared for the life of the object, which must not outlive db. Failures
// throw domiva::Error. The object remembers the keys it staged: a transaction that rolls back
// what it recorded ends the object's use.
//
// One class, its jobs in files of their own: recording and staging keys (flathistory.cpp),
// bringing the tables up to date (historyshape.cpp), the first fill and keying again
// (historyfill.cpp), forgetting (historyprune.cpp); earlierappearances.h decodes what earlier()
// returns.
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
    // History rows keyed again (rekeySome) between two looks at the clock.
    static constexpr int rekeyChunkRows = 200;
    static constexpr int fillCacheKiB = 64 * 1024;
    // While an object records, the connection keeps at least so much of the file's pages in
    // memory: the index of the flats' keys is read and written at random places, and with the
    // engine's default a sync into a long history spends its time reading those pages again
    // and writing them out before their transaction ends. The keys of a sync into a long
    // history are staged, so the pages read at random are few: 8 MiB took a sync of 100,000
    // listings into a million-row history as long as 32 MiB did, and its memory rose 18 MB
    // instead of 43 (bench/sync_bench).
    static constexpr int recordCacheKiB = 8 * 1024;

    explicit FlatHistory(Database& db);
    ~FlatHistory();
    FlatHistory(const FlatHistory&) = delete;
    FlatHistory& operator=(const FlatHistory&) = delete;

    // The shape of the client's own tables this build writes (PRAGMA user_version): 1 and 2
    // were those of earlier builds (2: the flat's first key in FlatHistory.key; 1: no such
    // column), 0 a file that never had them or did not note its shape.
    static constexpr int currentShape = 3;
    // The way flatkey::keys makes keys: raised whenever it gives other keys for a listing, so
    // that files keyed before are keyed again.
    static constexpr int keysVersion = 2;
    // Makes the client's tables where they are missing and brings those of an earlier shape up
    // to date, in one transaction; Queries and Offers stay as they are.
    static void bringUpToDate(Database& db);

    // Whether the keys are of keysVersion.
    bool keyedNow();
    // Makes the keys of up to `rows` more history rows whose listings are still stored again
    // from their listings' fields, then links each row of the history to its latest earlier
    // appearance again; returns whether all is done (and notes keysVersion in the file).
    bool rekeySome(int rows);

    // A line of a feed: the listing and what the history records of it are applied together
    // or not at all. Undone unless committed.
    class Line {
    public:
        explicit Line(FlatHistory& history);
        ~Line();
        Line(const Line&) = delete;
        Line& operator=(const Line&) = delete;
        void commit();

    private:
        FlatHistory& m_history;
        bool m_open = true;
    };

    // What the history knew of a listing when it was stored.
    struct Arrival {
        bool known = false;      // the id was seen before: never a re-post
        bool repost = false;     // a new id of a flat seen before
        bool flatOpened = false; // a re-post of a flat the user opened under another id
    };
    // A listing was stored at `now` (seconds since the epoch): a new id is remembered with the
    // keys of its flat, a known one is stored again. Whether a re-post's flat was opened (an
    // opened row by one of its keys) is only looked up when askOpened is set.
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
        friend bool operator==(const Appearance&, const Appearance&) = default;
    };
    // The earlier appearances of a listing, newest first, at most `limit` (up to sql::earlierRows),
    // as the grid shows them.
    std::vector<Appearance> earlier(const QString& id, int limit);

private:
    void takeUpPending();
    // A row of the flat by one key: its date and rowid, the order of FlatKeys.
    using FlatRow = std::pair<double, qint64>;
    // The rows of key `key` next to a listing dated dt that is stored now: the latest dated up
    // to it and the first dated after it, stored or staged.
    void neighboursOfKey(qint64 key, double dt, std::optional<FlatRow>& before,
                         std::optional<FlatRow>& after);
    std::size_t pendingKeys() const { return m_pending.size() - m_pendingStored; }
    qint64 clientState(QStringView name, qint64 otherwise);
    void storeClientState(QStringView name, qint64 value);

    Database& m_db;
    sqlutil::EngineStatements m_statements;
    std::optional<qint64> m_fillAfter; // the last Offers rowid remembered by the fill
    bool m_fillStoring = false;        // the fill stores its staged keys before it goes on
    bool m_fillComplete = false;
    std::vector<qint64> m_keys;    // the keys of the listing being recorded
    std::vector<FlatRow> m_after;  // the rows of its flat that may now have it for their prev
    std::vector<qint64> m_rowKeys; // rekeySome's stored keys of a row
    bool m_staging = false;
    bool m_pendingTakenUp = false;
    std::vector<std::pair<qint64, qint64>> m_pending; // staged (key, history rowid)
    std::size_t m_pendingStored = 0;                  // of m_pending, sorted once begun
    // The staged rows of each key, by date.
    std::unordered_map<qint64, std::set<FlatRow>> m_pendingRows;
};

} // namespace domiva
