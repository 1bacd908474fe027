#pragma once

#include <QLatin1String>

#include <array>

// Every statement this program sends to the listing database, in one place. Values always
// travel as bound parameters ("?"), never inside the text.
namespace domiva::sql {

// The two table definitions. Offers is written piece by piece, one column declaration per
// line; each piece carries its own leading and trailing blank, so neighbouring pieces meet
// with two blanks. Offer ids that differ only in letter case are one offer (COLLATE NOCASE),
// and the comment column is declared "MEMO TEXT" so that it keeps text affinity: a comment
// "007" must stay "007", not become the number 7.
// clang-format off
inline constexpr QLatin1String createQueriesTable{
    "Create Table Queries ([id] Int PRIMARY KEY, [qname] Text(255), [updated] Bit, [unreaded] Bit )"};

inline constexpr QLatin1String createOffersTable{
    "Create Table Offers ("
    " [id] Text(128) PRIMARY KEY COLLATE NOCASE, "
    " [qid] Int, "
    " [unreaded] Bit, "
    " [min_obj] Text(32), "
    " [metro_obj] Text(255), "
    " [room_obj] Text(32), "
    " [kitch_obj] Text(32), "
    " [price_obj] Text(64), "
    " [perc_obj] Text(32), "
    " [flat_obj] Text(6), "
    " [info_obj] Text(32), "
    " [cont_obj] Text(128), "
    " [owntxt_obj] MEMO TEXT, "
    " [publ_obj] Text(128), "
    " [dt_obj] Datetime "
    "  )"};
// clang-format on

// Column names in table order.
inline constexpr std::array<QLatin1String, 4> queriesColumns{
    QLatin1String("id"), QLatin1String("qname"), QLatin1String("updated"),
    QLatin1String("unreaded")};

inline constexpr std::array<QLatin1String, 15> offersColumns{
    QLatin1String("id"),         QLatin1String("qid"),       QLatin1String("unreaded"),
    QLatin1String("min_obj"),    QLatin1String("metro_obj"), QLatin1String("room_obj"),
    QLatin1String("kitch_obj"),  QLatin1String("price_obj"), QLatin1String("perc_obj"),
    QLatin1String("flat_obj"),   QLatin1String("info_obj"),  QLatin1String("cont_obj"),
    QLatin1String("owntxt_obj"), QLatin1String("publ_obj"),  QLatin1String("dt_obj")};

// The indexes that keep the everyday reads independent of the size of the table: the offers
// of one search newest first (with the id as tie-breaker, so the grid's order needs no sort),
// and whether one search still has unread offers. Lookups by id use the primary keys.
inline constexpr QLatin1String createOffersByQueryIndex{
    "CREATE INDEX IF NOT EXISTS OffersByQuery ON Offers (qid, dt_obj, id)"};
inline constexpr QLatin1String createOffersUnreadIndex{
    "CREATE INDEX IF NOT EXISTS OffersUnreadByQuery ON Offers (qid, unreaded)"};

// Connection set-up.
inline constexpr QLatin1String pragmaJournalWal{"PRAGMA journal_mode=WAL"};
inline constexpr QLatin1String pragmaSynchronousNormal{"PRAGMA synchronous=NORMAL"};
// Deleted rows are still wiped from the pages a deletion writes anyway, but freed pages are not
// written out zeroed: removing a big search would otherwise write all of it once more.
inline constexpr QLatin1String pragmaSecureDeleteFast{"PRAGMA secure_delete=FAST"};
// The log is copied into the file each time the commits have added this many pages to it;
// small copies keep each one short.
inline constexpr int checkpointPages = 256;
// A writer that never pauses keeps the log from starting again: every copy is overtaken by the
// next commit, and the first fill of a million listings' history grew it to 1.6 GB beside a
// file of 400 MB. Past this many pages (256 MiB of 4 KiB) a long write lets the copy finish
// between two of its transactions (Database::letLogCatchUp). Much less costs the fill time:
// at 64 MiB it took a third longer.
inline constexpr int longLogPages = 65536;
// The log restarts from its beginning after a complete copy; it is then cut back to what one
// copying interval fills (256 pages of 4 KiB), so that a burst held back by another program's
// reader does not leave a log of hundreds of megabytes on the disk until the client exits.
inline constexpr QLatin1String pragmaJournalSizeLimit{"PRAGMA journal_size_limit=1048576"};
inline constexpr QLatin1String pragmaJournalSizeUnlimited{"PRAGMA journal_size_limit=-1"};
// A connection that only reads: the engine refuses any change through it.
inline constexpr QLatin1String pragmaQueryOnly{"PRAGMA query_only=1"};
// Only when the database's own checkpointer has no connection: the copying then runs inside
// the commit that crosses the threshold.
inline constexpr QLatin1String pragmaAutoCheckpoint{"PRAGMA wal_autocheckpoint=256"};
inline constexpr QLatin1String checkQueriesTable{
    "SELECT id, qname, updated, unreaded FROM Queries LIMIT 0"};
inline constexpr QLatin1String checkOffersTable{
    "SELECT id, qid, unreaded, min_obj, metro_obj, room_obj, kitch_obj, price_obj, perc_obj, "
    "flat_obj, info_obj, cont_obj, owntxt_obj, publ_obj, dt_obj FROM Offers LIMIT 0"};
inline constexpr QLatin1String countTables{"SELECT COUNT(*) FROM sqlite_master "
                                           "WHERE type='table' AND name IN ('Queries', 'Offers')"};

// Transactions. The outermost one takes the write lock at once, so a read inside it can never
// leave it holding an outdated snapshot; nested ones are savepoints.
inline constexpr QLatin1String beginImmediate{"BEGIN IMMEDIATE"};
inline constexpr QLatin1String commit{"COMMIT"};
inline constexpr QLatin1String rollback{"ROLLBACK"};
// "%1" is the nesting level of the savepoint.
inline constexpr QLatin1String savepoint{"SAVEPOINT domiva_%1"};
inline constexpr QLatin1String releaseSavepoint{"RELEASE domiva_%1"};
inline constexpr QLatin1String rollbackToSavepoint{"ROLLBACK TO domiva_%1"};

// Queries.
inline constexpr QLatin1String selectQueryIds{"SELECT id FROM Queries"};
inline constexpr QLatin1String selectQueryById{"SELECT id FROM Queries WHERE id=?"};
inline constexpr QLatin1String renameQuery{"UPDATE Queries SET qname=? WHERE id=?"};
inline constexpr QLatin1String insertQuery{
    "INSERT INTO Queries (id, qname, updated, unreaded) VALUES (?, ?, 1, 1)"};
// A new search arrives unread; a known one is only renamed, its flags kept. A name that
// stays the same changes no row, so the grids need not read it again.
inline constexpr QLatin1String storeQuery{
    "INSERT INTO Queries (id, qname, updated, unreaded) VALUES (?, ?, 1, 1) "
    "ON CONFLICT(id) DO UPDATE SET qname=excluded.qname WHERE qname IS NOT excluded.qname"};
inline constexpr QLatin1String markQueryUnread{
    "UPDATE Queries SET updated=1, unreaded=1 WHERE id=?"};
inline constexpr QLatin1String deleteQuery{"DELETE FROM Queries WHERE id=?"};
inline constexpr QLatin1String deleteOffersOfQuery{"DELETE FROM Offers WHERE qid=?"};
// Some of them: a big search goes a few thousand listings at a time.
inline constexpr QLatin1String deleteSomeOffersOfQuery{
    "DELETE FROM Offers WHERE rowid IN (SELECT rowid FROM Offers WHERE qid=? LIMIT ?)"};
inline constexpr QLatin1String clearQueryUpdated{"UPDATE Queries SET updated=0 WHERE id=?"};
inline constexpr QLatin1String clearQueryUnread{"UPDATE Queries SET unreaded=0 WHERE id=?"};

// Offers.
inline constexpr QLatin1String selectOfferById{"SELECT id FROM Offers WHERE id=?"};
inline constexpr QLatin1String insertOffer{
    "INSERT OR IGNORE INTO Offers (id, qid, unreaded, min_obj, metro_obj, room_obj, kitch_obj, "
    "price_obj, perc_obj, flat_obj, info_obj, cont_obj, owntxt_obj, publ_obj, dt_obj) "
    "VALUES (?, ?, 1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"};
inline constexpr QLatin1String markOfferRead{"UPDATE Offers SET unreaded=0 WHERE id=?"};
// Whether the search has an unread offer left (a row or none): the index answers it at the
// first one found, however many there are.
inline constexpr QLatin1String anyUnreadOffer{
    "SELECT 1 FROM Offers WHERE qid=? AND unreaded=TRUE LIMIT 1"};
// The number of rows of the file changed since the connection last looked, by any other
// connection.
inline constexpr QLatin1String pragmaDataVersion{"PRAGMA data_version"};

// Clearing the database: listings first, then the searches, in one transaction.
inline constexpr QLatin1String deleteAllOffers{"DELETE FROM Offers"};
inline constexpr QLatin1String deleteAllQueries{"DELETE FROM Queries"};

// The rowids of the rows of the flat of history row h (picked by the condition `which`) stored
// nearest before it (cmp "<", order "DESC") or after it (">", "ASC"): those sharing one of its
// keys (its main key or a further one), through the main key of theirs or a further one, at
// most DOMIVA_FLAT_WINDOW_ROWS by each way. A flat posted a thousand times is placed by date
// among its neighbours, not by reading and sorting all its rows.
#define DOMIVA_FLAT_WINDOW_ROWS "10"
#define DOMIVA_FLAT_ORDER(by, order) " ORDER BY " by " " order " LIMIT " DOMIVA_FLAT_WINDOW_ROWS
// clang-format off
#define DOMIVA_FLAT_NEAR(which, cmp, order)                                                        \
    "SELECT r FROM (SELECT x.rowid AS r FROM FlatHistory h JOIN FlatHistory x ON x.key=h.key "     \
    "AND x.rowid" cmp "h.rowid WHERE " which DOMIVA_FLAT_ORDER("x.rowid", order) ") UNION ALL "    \
    "SELECT r FROM (SELECT x.rowid AS r FROM FlatHistory h JOIN FlatKeys f ON f.hid=h.rowid "      \
    "JOIN FlatHistory x ON x.key=f.key AND x.rowid" cmp "h.rowid WHERE " which                     \
    DOMIVA_FLAT_ORDER("x.rowid", order) ") UNION ALL "                                             \
    "SELECT r FROM (SELECT y.hid AS r FROM FlatHistory h JOIN FlatKeys y ON y.key=h.key "          \
    "AND y.hid" cmp "h.rowid WHERE " which DOMIVA_FLAT_ORDER("y.hid", order) ") UNION ALL "        \
    "SELECT r FROM (SELECT y.hid AS r FROM FlatHistory h JOIN FlatKeys f ON f.hid=h.rowid "        \
    "JOIN FlatKeys y ON y.key=f.key AND y.hid" cmp "h.rowid WHERE " which                          \
    DOMIVA_FLAT_ORDER("y.hid", order) ")"
#define DOMIVA_FLAT_WINDOW(which)                                                                  \
    DOMIVA_FLAT_NEAR(which, "<", "DESC") " UNION ALL " DOMIVA_FLAT_NEAR(which, ">", "ASC")
// The columns `columns` of the rows e of the flat of history row o (picked by `whichO`, and as
// h by `whichH`) that came before it, newest first, at most `limit`: among its window, those
// dated before it or, at the same date, stored before it.
#define DOMIVA_EARLIER_ROWS(columns, whichO, whichH, limit)                                        \
    "SELECT " columns " FROM FlatHistory o, FlatHistory e WHERE " whichO                           \
    " AND e.rowid IN (" DOMIVA_FLAT_WINDOW(whichH) ") "                                            \
    "AND (e.dt<o.dt OR (e.dt=o.dt AND e.rowid<o.rowid)) "                                          \
    "ORDER BY e.dt DESC, e.rowid DESC LIMIT " limit
// clang-format on

// The earlier appearances of the listing of the Offers row a statement reads, as a column: a
// JSON array of [dt, price, opened] (store/flathistory.h), newest first, at most five; "[]" for
// a flat seen for the first time or a listing the history does not hold.
#define DOMIVA_EARLIER_APPEARANCES                                                                 \
    "(SELECT json_group_array(json_array(e.dt, e.price, e.opened)) FROM (" DOMIVA_EARLIER_ROWS(    \
        "e.dt, e.price, e.opened", "o.id=Offers.id", "h.id=Offers.id", "5") ") e)"
// Whether the user opened the flat of the Offers row a statement reads under another id, of any
// date (1 or 0): the flat was seen before, even where that listing is the newer one.
#define DOMIVA_FLAT_OPENED_ELSEWHERE                                                               \
    "EXISTS (SELECT 1 FROM FlatHistory e WHERE e.opened=1 AND e.rowid IN (" DOMIVA_FLAT_WINDOW(    \
        "h.id=Offers.id") "))"

// The grids' reads. Queries is small and read whole, in the order its rows were stored.
inline constexpr QLatin1String selectQueries{
    "SELECT id, qname, updated, unreaded FROM Queries ORDER BY rowid"};
inline constexpr QLatin1String selectQueryRow{
    "SELECT id, qname, updated, unreaded FROM Queries WHERE id=?"};

// The offers of one search in the grid's order, newest first (dt_obj descending, rows
// without a date last, the id descending between equal dates): their row keys, read whole in
// one statement. The key list is built from these pieces: the condition, any further
// conditions the grid applies (each beginning with " AND "), the order.
inline constexpr QLatin1String selectOfferKeys{"SELECT rowid FROM Offers WHERE qid=?"};
inline constexpr QLatin1String offerKeysOrder{" ORDER BY dt_obj DESC, id DESC"};
// The rows of a page, by their keys, given as one JSON array of numbers; the row key comes
// last. The rows come back in whatever order the engine finds them.
// After the row key, the listing's earlier appearances (DOMIVA_EARLIER_APPEARANCES) and whether
// its flat was opened under another id (DOMIVA_FLAT_OPENED_ELSEWHERE).
#define DOMIVA_OFFER_COLUMNS                                                                       \
    "SELECT id, qid, unreaded, min_obj, metro_obj, room_obj, kitch_obj, price_obj, perc_obj, "     \
    "flat_obj, info_obj, cont_obj, owntxt_obj, publ_obj, dt_obj"
inline constexpr QLatin1String selectOffersByKeys{
    DOMIVA_OFFER_COLUMNS ", rowid, " DOMIVA_EARLIER_APPEARANCES ", " DOMIVA_FLAT_OPENED_ELSEWHERE
                         " FROM Offers WHERE rowid IN (SELECT value FROM json_each(?))"};
inline constexpr QLatin1String selectOfferRow{
    DOMIVA_OFFER_COLUMNS ", rowid, " DOMIVA_EARLIER_APPEARANCES ", " DOMIVA_FLAT_OPENED_ELSEWHERE
                         " FROM Offers WHERE id=?"};
#undef DOMIVA_OFFER_COLUMNS
inline constexpr QLatin1String selectOfferKeyById{"SELECT rowid, qid FROM Offers WHERE id=?"};

// Carrying the read marks from a damaged file that was set aside, attached read-only under
// this name: listings read there are read here too, and a search whose listings are all read
// again loses both flags.
inline constexpr QLatin1String attachDamaged{"ATTACH DATABASE ? AS damaged"};
inline constexpr QLatin1String detachDamaged{"DETACH DATABASE damaged"};
// A slice of the listings by rowid, each looked up in the damaged file by its id.
inline constexpr QLatin1String carryOfferReadMarks{
    "UPDATE Offers SET unreaded=0 WHERE rowid > ?1 AND rowid <= ?2 AND unreaded=TRUE "
    "AND EXISTS (SELECT 1 FROM damaged.Offers AS d WHERE d.id=Offers.id AND d.unreaded=FALSE)"};
inline constexpr QLatin1String lastOfferRowid{"SELECT IFNULL(MAX(rowid), 0) FROM Offers"};
inline constexpr QLatin1String clearFlagsOfReadQueries{
    "UPDATE Queries SET updated=0, unreaded=0 WHERE unreaded=TRUE "
    "AND EXISTS (SELECT 1 FROM Offers WHERE qid=Queries.id) "
    "AND NOT EXISTS (SELECT 1 FROM Offers WHERE qid=Queries.id AND unreaded=TRUE)"};

// The client's memory of the listings it has stored, beside the two tables of the service's
// data, which stay as they are: one row per listing id, kept when its listing is deleted (a
// removed search, a cleared file) until it has not been stored for half a year. The row's
// rowid is the order in which the client first stored the ids; key is the main key of its flat
// (store/flatkey.h; null for a flat without one, and for a row whose keys were staged: those
// are all in FlatKeys), and prev is the rowid of an id of the same flat dated before it, the
// latest the client found when the two met (null while none is known): it counts the row as a
// re-post.
// clang-format off
inline constexpr QLatin1String createFlatHistoryTable{
    "CREATE TABLE IF NOT EXISTS FlatHistory ("
    "id TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, key INT, qid INT, price TEXT, dt REAL, "
    "first_seen INT, last_seen INT, opened INT NOT NULL DEFAULT 0, prev INT)"};
// The keys of a flat by the rowid of its history row: every key of a row whose keys were
// staged (below), and the further keys (second phones) of the others, whose main key is in
// FlatHistory.key.
inline constexpr QLatin1String createFlatKeysTable{
    "CREATE TABLE IF NOT EXISTS FlatKeys (key INT NOT NULL, hid INT NOT NULL, "
    "PRIMARY KEY (key, hid)) WITHOUT ROWID"};
// The keys of the rows a sync stores, kept in the order the rows arrive until the sync ends and
// puts them into FlatKeys in the order of the keys. Added at random places, a sync's keys
// rewrote most pages of a million-row index at every commit: 500 MB written for 100,000
// listings. Rows left here by a sync that did not end are taken up by the next.
inline constexpr QLatin1String createFlatKeysPendingTable{
    "CREATE TABLE IF NOT EXISTS FlatKeysPending (hid INT NOT NULL, key INT NOT NULL, "
    "PRIMARY KEY (hid, key)) WITHOUT ROWID"};
inline constexpr QLatin1String insertPendingKey{
    "INSERT OR IGNORE INTO FlatKeysPending (hid, key) VALUES (?, ?)"};
inline constexpr QLatin1String selectPendingKeys{"SELECT key, hid FROM FlatKeysPending"};
inline constexpr QLatin1String deletePendingKeys{"DELETE FROM FlatKeysPending"};
// clang-format on
inline constexpr QLatin1String createFlatHistoryByKeyIndex{
    "CREATE INDEX IF NOT EXISTS FlatHistoryByKey ON FlatHistory (key)"};
inline constexpr QLatin1String createFlatKeysByHistoryIndex{
    "CREATE INDEX IF NOT EXISTS FlatKeysByHistory ON FlatKeys (hid)"};
// A few named values of the client's own, such as whether the history has been filled from
// the listings a file held before it had one.
inline constexpr QLatin1String createClientStateTable{
    "CREATE TABLE IF NOT EXISTS ClientState (name TEXT PRIMARY KEY, value)"};
inline constexpr QLatin1String selectClientState{"SELECT value FROM ClientState WHERE name=?"};
inline constexpr QLatin1String storeClientState{
    "INSERT INTO ClientState (name, value) VALUES (?, ?) "
    "ON CONFLICT(name) DO UPDATE SET value=excluded.value"};

// A listing the history already knows is only stored again.
inline constexpr QLatin1String touchHistoryRow{
    "UPDATE FlatHistory SET qid=?, last_seen=? WHERE id=?"};
// The latest id stored with one key of a flat (one row, null when there is none), and whether
// the user opened any of them.
#define DOMIVA_LATEST_OF_KEY(key)                                                                  \
    "SELECT MAX(latest) FROM (SELECT MAX(rowid) AS latest FROM FlatHistory WHERE key=" key         \
    " UNION ALL SELECT MAX(hid) FROM FlatKeys WHERE key=" key ")"
inline constexpr QLatin1String selectLatestOfKey{DOMIVA_LATEST_OF_KEY("?1")};
inline constexpr QLatin1String anyOpenedOfKey{
    "SELECT 1 FROM FlatHistory WHERE key=?1 AND opened=1 UNION ALL "
    "SELECT 1 FROM FlatKeys JOIN FlatHistory ON FlatHistory.rowid=FlatKeys.hid "
    "WHERE FlatKeys.key=?1 AND FlatHistory.opened=1 LIMIT 1"};
// A new id is remembered, a known one left as it is (no change): id, key (null: its keys are in
// FlatKeys), qid, price, dt, the time it was stored, opened, and prev as the caller found it.
inline constexpr QLatin1String insertHistoryRow{
    "INSERT OR IGNORE INTO FlatHistory (id, key, qid, price, dt, first_seen, last_seen, opened, "
    "prev) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?6, ?7, ?8)"};
#undef DOMIVA_LATEST_OF_KEY
// The rows of one key of a flat stored last, the latest first, at most ?2 by each way it has
// the key.
inline constexpr QLatin1String selectLatestRowsOfKey{
    "SELECT r FROM (SELECT rowid AS r FROM FlatHistory WHERE key=?1 ORDER BY rowid DESC LIMIT ?2) "
    "UNION ALL SELECT r FROM (SELECT hid AS r FROM FlatKeys WHERE key=?1 ORDER BY hid DESC "
    "LIMIT ?2)"};
inline constexpr QLatin1String selectHistoryRowDate{
    "SELECT dt, prev IS NOT NULL FROM FlatHistory WHERE rowid=?"};
// Row ?1 is an earlier appearance of row ?2.
inline constexpr QLatin1String linkHistoryRow{
    "UPDATE FlatHistory SET prev=?1 WHERE rowid=?2 AND prev IS NULL"};
inline constexpr QLatin1String insertFlatKey{
    "INSERT OR IGNORE INTO FlatKeys (key, hid) VALUES (?, ?)"};
inline constexpr QLatin1String markHistoryOpened{
    "UPDATE FlatHistory SET opened=1 WHERE id=? AND opened=0"};
// A re-post of a flat the user opened that is to arrive read.
inline constexpr QLatin1String markArrivedRead{"UPDATE Offers SET unreaded=0 WHERE id=?"};
// Forgetting what was not stored for long, unless its listing is still there: the further keys
// first, by the rows they belong to. These read the rows first stored before the limit, which
// no index of its own keeps small enough to be worth its room: they run at most once a day.
// A slice of the history by rowid (?2 < rowid <= ?3) at a time.
inline constexpr QLatin1String deleteOldFlatKeys{
    "DELETE FROM FlatKeys WHERE hid IN (SELECT rowid FROM FlatHistory WHERE rowid > ?2 "
    "AND rowid <= ?3 AND last_seen < ?1 "
    "AND NOT EXISTS (SELECT 1 FROM Offers WHERE Offers.id=FlatHistory.id))"};
inline constexpr QLatin1String deleteOldHistory{
    "DELETE FROM FlatHistory WHERE rowid > ?2 AND rowid <= ?3 AND last_seen < ?1 "
    "AND NOT EXISTS (SELECT 1 FROM Offers WHERE Offers.id=FlatHistory.id)"};
// Before those go: the rows of their flats that have one of them for their earlier appearance
// (prev), among the rows stored nearest them.
inline constexpr QLatin1String selectLaterOfOldHistory{
    "SELECT x.rowid FROM FlatHistory d, FlatHistory x WHERE d.rowid > ?2 AND d.rowid <= ?3 "
    "AND d.last_seen < ?1 AND NOT EXISTS (SELECT 1 FROM Offers WHERE Offers.id=d.id) "
    "AND x.rowid IN (" DOMIVA_FLAT_WINDOW("h.rowid=d.rowid") ") AND x.prev=d.rowid"};
// Afterwards each of them gets the latest earlier appearance left (null when none is).
inline constexpr QLatin1String relinkHistoryRow{"UPDATE FlatHistory SET prev=(" DOMIVA_EARLIER_ROWS(
    "e.rowid", "o.rowid=?1", "h.rowid=?1", "1") ") WHERE rowid=?1"};
// Whether the history holds nothing yet: a history that starts empty knows every key it gets.
inline constexpr QLatin1String historyIsEmpty{
    "SELECT NOT EXISTS (SELECT 1 FROM FlatHistory) AND NOT EXISTS (SELECT 1 FROM FlatKeys)"};
inline constexpr QLatin1String lastHistoryRowid{"SELECT IFNULL(MAX(rowid), 0) FROM FlatHistory"};
// The first row from a rowid on, with when it was first stored: rows are stored in the order
// of the clock, so the rows old enough to forget are found by halving, not by reading them all.
inline constexpr QLatin1String historyRowFrom{
    "SELECT rowid, first_seen FROM FlatHistory WHERE rowid >= ? ORDER BY rowid LIMIT 1"};
// Filling the history from the listings stored before it existed, in the order they were
// stored, a chunk at a time after the last rowid done.
inline constexpr QLatin1String selectOffersToRemember{
    "SELECT rowid, id, qid, unreaded, metro_obj, room_obj, price_obj, flat_obj, cont_obj, dt_obj "
    "FROM Offers WHERE rowid > ? ORDER BY rowid LIMIT ?"};
// The unread listings of a search that are re-posts of a flat seen before.
inline constexpr QLatin1String countUnreadReposts{
    "SELECT COUNT(*) FROM Offers JOIN FlatHistory ON FlatHistory.id=Offers.id "
    "WHERE Offers.qid=? AND Offers.unreaded=TRUE AND FlatHistory.prev IS NOT NULL"};
// The earlier ids of a listing's flat, newest first: date, price, opened.
inline constexpr QLatin1String selectEarlierAppearances{
    DOMIVA_EARLIER_ROWS("e.dt, e.price, e.opened", "o.id=?1", "h.id=?1", "?2")};

} // namespace domiva::sql
