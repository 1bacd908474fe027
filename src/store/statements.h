#pragma once

#include <QLatin1String>

#include <array>
#include <cstddef>
#include <iterator>

// Every statement this program sends to the listing database, in one place. Values always
// travel as bound parameters ("?"), never inside the text.
namespace domiva::sql {

// Statements made of fragments: each fragment is a plain character array, the statement one
// array joined from them when the program is compiled.
namespace fragments {
// How long a part is, without its terminating zero.
template <typename Part> constexpr std::size_t partSize = 0;
template <std::size_t N> constexpr std::size_t partSize<char[N]> = N - 1;
template <std::size_t N> constexpr std::size_t partSize<std::array<char, N>> = N - 1;
template <typename... Parts> constexpr auto join(const Parts&... parts) {
    std::array<char, (partSize<Parts> + ...) + 1> text{};
    std::size_t at = 0;
    const auto add = [&](const char* part, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            text[at++] = part[i];
    };
    (add(std::data(parts), partSize<Parts>), ...);
    return text;
}
// The joined text as the catalogue's other statements are given.
template <std::size_t N> constexpr QLatin1String latin1(const std::array<char, N>& text) {
    return QLatin1String(text.data(), qsizetype(N - 1));
}
// A number as the text of a statement has it, for the few places a value cannot be bound (a
// LIMIT inside a subquery the engine plans once).
template <unsigned Value> constexpr auto digits() {
    constexpr std::size_t count = [] {
        std::size_t n = 1;
        for (unsigned v = Value; v >= 10; v /= 10)
            ++n;
        return n;
    }();
    std::array<char, count + 1> text{};
    unsigned v = Value;
    for (std::size_t i = count; i > 0; --i, v /= 10)
        text[i - 1] = char('0' + v % 10);
    return text;
}
// The names of a list of columns ("a, b, c"), pointing into the list itself; Count must be the
// number of names (the compiler refuses a list of another length).
template <std::size_t Count, std::size_t N>
constexpr std::array<QLatin1String, Count> names(const std::array<char, N>& list) {
    std::array<QLatin1String, Count> result{};
    std::size_t at = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < N - 1; ++i) {
        if (list[i] != ',')
            continue;
        result[at++] = QLatin1String(list.data() + start, qsizetype(i - start));
        start = i + 2; // after ", "
    }
    result.at(at++) = QLatin1String(list.data() + start, qsizetype(N - 1 - start));
    if (at != Count)
        throw "the list holds another number of names";
    return result;
}
// Whether a table's declaration declares the names in this order, each as "[name]".
template <std::size_t Count>
constexpr bool declaresInOrder(QLatin1String declaration,
                               const std::array<QLatin1String, Count>& columns) {
    qsizetype from = 0;
    for (const QLatin1String column : columns) {
        bool found = false;
        const char* const text = declaration.data();
        for (qsizetype i = from; i + column.size() + 2 <= declaration.size() && !found; ++i) {
            if (text[i] != '[' || text[i + column.size() + 1] != ']')
                continue;
            bool same = true;
            for (qsizetype k = 0; k < column.size() && same; ++k)
                same = text[i + 1 + k] == column.data()[k];
            if (same) {
                found = true;
                from = i + column.size() + 2;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

} // namespace fragments

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

// Column names in table order, each list spelled here once: every statement that names all
// columns is joined from it, and the declarations above are checked against it.
namespace fragments {
inline constexpr auto queryColumnList = join("id, qname, updated, unreaded");
// The listing's eleven texts (OfferRow::texts, store/database.h).
inline constexpr char offerTexts[] = "min_obj, metro_obj, room_obj, kitch_obj, price_obj, "
                                     "perc_obj, flat_obj, info_obj, cont_obj, owntxt_obj, publ_obj";
inline constexpr auto offerColumnList = join("id, qid, unreaded, ", offerTexts, ", dt_obj");
} // namespace fragments
inline constexpr auto queriesColumns = fragments::names<4>(fragments::queryColumnList);
inline constexpr auto offersColumns = fragments::names<15>(fragments::offerColumnList);
static_assert(fragments::declaresInOrder(createQueriesTable, queriesColumns));
static_assert(fragments::declaresInOrder(createOffersTable, offersColumns));

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
// Clearing the file hands the freed pages to the free list without zeroing them at all.
inline constexpr QLatin1String pragmaSecureDeleteOff{"PRAGMA secure_delete=OFF"};
// "%1" is the number of KiB of the file's pages the connection keeps in memory.
inline constexpr QLatin1String pragmaCacheKiB{"PRAGMA cache_size=-%1"};
// The page size of a file (a repair builds the empty file with the damaged one's); "%1" is the
// size to give a file not written yet.
inline constexpr QLatin1String pragmaPageSize{"PRAGMA page_size"};
inline constexpr QLatin1String setPageSize{"PRAGMA page_size=%1"};
// The checkpointer's first statement: only once it has read the file does its connection know
// that the file keeps a log.
inline constexpr QLatin1String readSchemaVersion{"PRAGMA schema_version"};
// A connection that only reads: the engine refuses any change through it.
inline constexpr QLatin1String pragmaQueryOnly{"PRAGMA query_only=1"};
// Only when the database's own checkpointer has no connection: the copying then runs inside
// the commit that crosses the threshold.
inline constexpr QLatin1String pragmaAutoCheckpoint{"PRAGMA wal_autocheckpoint=256"};
inline constexpr auto checkQueriesTableText =
    fragments::join("SELECT ", fragments::queryColumnList, " FROM Queries LIMIT 0");
inline constexpr QLatin1String checkQueriesTable = fragments::latin1(checkQueriesTableText);
inline constexpr auto checkOffersTableText =
    fragments::join("SELECT ", fragments::offerColumnList, " FROM Offers LIMIT 0");
inline constexpr QLatin1String checkOffersTable = fragments::latin1(checkOffersTableText);
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
// A new search arrives unread; a known one is only renamed, its flags kept. A name that
// stays the same changes no row, so the grids need not read it again.
inline constexpr auto storeQueryText = fragments::join(
    "INSERT INTO Queries (", fragments::queryColumnList, ") VALUES (?, ?, 1, 1) ",
    "ON CONFLICT(id) DO UPDATE SET qname=excluded.qname WHERE qname IS NOT excluded.qname");
inline constexpr QLatin1String storeQuery = fragments::latin1(storeQueryText);
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
inline constexpr auto insertOfferText =
    fragments::join("INSERT OR IGNORE INTO Offers (", fragments::offerColumnList,
                    ") VALUES (?, ?, 1, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
inline constexpr QLatin1String insertOffer = fragments::latin1(insertOfferText);
// The user opened the listing, or it arrives read (a re-post of a flat the user opened).
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

// How many earlier appearances of a listing are read at most (FlatHistory::earlier).
inline constexpr unsigned earlierRows = 5;

namespace fragments {
// The listing's earlier appearances (store/flathistory.h), the listing's id between the two
// parts: the earlierRows latest rows dated before it (of the same date, stored before it) among
// those sharing a key with it. Each of its keys k gives its own latest before it, read from
// FlatKeys' key-and-date order, so however many rows the flat has, a listing reads at most
// earlierRows a key: the JSON array is how the engine lets a subquery with its own limit run
// once per key. As a JSON array of [dt, price, opened], newest first; "[]" when there are none
// or the history does not hold the listing.
inline constexpr auto earlierOfId =
    join("(SELECT json_group_array(json_array(dt, price, opened)) FROM ("
         "SELECT e.dt, e.price, e.opened FROM FlatHistory o CROSS JOIN FlatKeys k CROSS JOIN "
         "json_each((SELECT json_group_array(x.hid) FROM (SELECT x.hid FROM FlatKeys x "
         "WHERE x.key=k.key AND (x.dt, x.hid) < (k.dt, k.hid) ORDER BY x.dt DESC, x.hid DESC "
         "LIMIT ",
         digits<earlierRows>(), ") x)) j CROSS JOIN FlatHistory e WHERE o.id=");
inline constexpr auto earlierOfIdEnd =
    join(" AND k.hid=o.rowid AND e.rowid=j.value ORDER BY e.dt DESC, e.rowid DESC LIMIT ",
         digits<earlierRows>(), "))");
// The same for the Offers row a statement reads, as a column of it.
inline constexpr auto earlierAppearances = join(earlierOfId, "Offers.id", earlierOfIdEnd);
// The price of the latest of them (null when there is none), which is all a grid row shows of
// them: one row a key.
inline constexpr char latestEarlierPrice[] =
    "(SELECT e.price FROM FlatHistory o CROSS JOIN FlatKeys k CROSS JOIN FlatHistory e "
    "WHERE o.id=Offers.id AND k.hid=o.rowid AND e.rowid=(SELECT x.hid FROM FlatKeys x "
    "WHERE x.key=k.key AND (x.dt, x.hid) < (k.dt, k.hid) ORDER BY x.dt DESC, x.hid DESC "
    "LIMIT 1) ORDER BY e.dt DESC, e.rowid DESC LIMIT 1)";
// Whether the user opened another listing of the flat of the Offers row a statement reads, of
// any date (1 or 0): FlatKeys' opened rows by key answer it.
inline constexpr char flatOpenedElsewhere[] =
    "EXISTS (SELECT 1 FROM FlatHistory o CROSS JOIN FlatKeys k CROSS JOIN FlatKeys x "
    "INDEXED BY FlatKeysOpened WHERE o.id=Offers.id AND k.hid=o.rowid AND x.key=k.key "
    "AND x.opened=1 AND x.hid<>o.rowid)";
// The latest row of the flat of history row ?1 dated before it: one per key, the latest of
// those.
inline constexpr char latestEarlierOfRow[] =
    "(SELECT e.rowid FROM FlatHistory e WHERE e.rowid IN (SELECT (SELECT x.hid FROM FlatKeys x "
    "WHERE x.key=k.key AND (x.dt, x.hid) < (k.dt, k.hid) ORDER BY x.dt DESC, x.hid DESC LIMIT 1) "
    "FROM FlatKeys k WHERE k.hid=?1) ORDER BY e.dt DESC, e.rowid DESC LIMIT 1)";
// The grids' columns of a listing.
inline constexpr auto offerColumns = join("SELECT ", offerColumnList);
} // namespace fragments

// The grids' reads. Queries is small and read whole, in the order its rows were stored.
inline constexpr auto selectQueriesText =
    fragments::join("SELECT ", fragments::queryColumnList, " FROM Queries ORDER BY rowid");
inline constexpr QLatin1String selectQueries = fragments::latin1(selectQueriesText);
inline constexpr auto selectQueryRowText =
    fragments::join("SELECT ", fragments::queryColumnList, " FROM Queries WHERE id=?");
inline constexpr QLatin1String selectQueryRow = fragments::latin1(selectQueryRowText);

// The offers of one search in the grid's order, newest first (dt_obj descending, rows
// without a date last, the id descending between equal dates): their row keys, read whole in
// one statement. The key list is built from these pieces: the condition, any further
// conditions the grid applies (each beginning with " AND "), the order.
namespace fragments {
inline constexpr char offerKeysOfQuery[] = "SELECT rowid FROM Offers WHERE qid=?";
inline constexpr char offerKeysOrder[] = " ORDER BY dt_obj DESC, id DESC";
} // namespace fragments
inline constexpr auto offerKeysOrderText = fragments::join(fragments::offerKeysOrder);
inline constexpr QLatin1String offerKeysOrder = fragments::latin1(offerKeysOrderText);
inline constexpr auto selectOfferKeysText =
    fragments::join(fragments::offerKeysOfQuery, fragments::offerKeysOrder);
inline constexpr QLatin1String selectOfferKeys = fragments::latin1(selectOfferKeysText);

// The quick filter (store/offerfilter.h): two SQL functions of the program's own over the
// fields a listing is searched in. The filter's condition takes the folded text; the slice's
// takes the slice's probe, then the folded text.
namespace fragments {
inline constexpr char filterFunction[] = "domiva_contains";
inline constexpr char sliceFunction[] = "domiva_slice";
inline constexpr char filteredFields[] =
    "min_obj, metro_obj, price_obj, perc_obj, flat_obj, cont_obj, owntxt_obj, publ_obj";
inline constexpr auto filterCondition = join(filterFunction, "(?, ", filteredFields, ")");
inline constexpr auto sliceCondition = join(sliceFunction, "(?, ?, ", filteredFields, ")");
} // namespace fragments
inline constexpr QLatin1String filterCondition = fragments::latin1(fragments::filterCondition);
// The filter's matches among the keys, in the same order.
inline constexpr auto selectFilteredOfferKeysText = fragments::join(
    fragments::offerKeysOfQuery, " AND ", fragments::filterCondition, fragments::offerKeysOrder);
inline constexpr QLatin1String selectFilteredOfferKeys =
    fragments::latin1(selectFilteredOfferKeysText);
// A slice of the filter walks the search in the grid's order, keyed on it: the dated listings
// newest first, then those without a date (a NULL never compares below a key, so they are a
// segment of their own), from the start of the segment or after the last listing looked at
// ((dt_obj, id), or id). The engine tests the listings itself and returns the matches, and the
// listing at which the slice is over. Bound: the search, the position, the probe, the text.
namespace fragments {
inline constexpr char scanColumns[] = "SELECT rowid, dt_obj, id FROM Offers WHERE qid=?";
inline constexpr char datedOrder[] = " ORDER BY dt_obj DESC, id DESC";
inline constexpr char undatedOrder[] = " ORDER BY id DESC";
} // namespace fragments
inline constexpr auto scanDatedText =
    fragments::join(fragments::scanColumns, " AND dt_obj IS NOT NULL AND ",
                    fragments::sliceCondition, fragments::datedOrder);
inline constexpr auto scanDatedAfterText = fragments::join(
    fragments::scanColumns, " AND dt_obj IS NOT NULL AND (dt_obj, id) < (?, ?) AND ",
    fragments::sliceCondition, fragments::datedOrder);
inline constexpr auto scanUndatedText =
    fragments::join(fragments::scanColumns, " AND dt_obj IS NULL AND ", fragments::sliceCondition,
                    fragments::undatedOrder);
inline constexpr auto scanUndatedAfterText =
    fragments::join(fragments::scanColumns, " AND dt_obj IS NULL AND id < ? AND ",
                    fragments::sliceCondition, fragments::undatedOrder);
inline constexpr QLatin1String scanDated = fragments::latin1(scanDatedText);
inline constexpr QLatin1String scanDatedAfter = fragments::latin1(scanDatedAfterText);
inline constexpr QLatin1String scanUndated = fragments::latin1(scanUndatedText);
inline constexpr QLatin1String scanUndatedAfter = fragments::latin1(scanUndatedAfterText);
// The rows of a page, by their keys, given as one JSON array of numbers; the row key comes
// last. The rows come back in whatever order the engine finds them.
// After the row key, the price of the listing's latest earlier appearance and whether its
// flat was opened under another id (fragments::latestEarlierPrice,
// fragments::flatOpenedElsewhere); the details panel reads the appearances themselves when it
// shows the listing (selectEarlierAppearances).
inline constexpr auto selectOffersByKeysText = fragments::join(
    fragments::offerColumns, ", rowid, ", fragments::latestEarlierPrice, ", ",
    fragments::flatOpenedElsewhere, " FROM Offers WHERE rowid IN (SELECT value FROM json_each(?))");
inline constexpr QLatin1String selectOffersByKeys = fragments::latin1(selectOffersByKeysText);
inline constexpr auto selectOfferRowText =
    fragments::join(fragments::offerColumns, ", rowid, ", fragments::latestEarlierPrice, ", ",
                    fragments::flatOpenedElsewhere, " FROM Offers WHERE id=?");
inline constexpr QLatin1String selectOfferRow = fragments::latin1(selectOfferRowText);
inline constexpr QLatin1String selectOfferKeyById{"SELECT rowid, qid FROM Offers WHERE id=?"};

// A search's tooltip: how many listings it has and how many are unread, both from the
// (qid, unreaded) index; and how many listings it has, for an export's progress.
inline constexpr QLatin1String countOffersAndUnread{
    "SELECT COUNT(*), COUNT(CASE WHEN unreaded=TRUE THEN 1 END) FROM Offers WHERE qid=?"};
inline constexpr QLatin1String countOffersOfQuery{"SELECT COUNT(*) FROM Offers WHERE qid=?"};
// Marking a whole search read: up to ?2 of its unread listings at a time, then its flags.
inline constexpr QLatin1String markSomeOffersOfQueryRead{
    "UPDATE Offers SET unreaded=0 WHERE rowid IN "
    "(SELECT rowid FROM Offers WHERE qid=?1 AND (unreaded>0 OR unreaded<0) LIMIT ?2)"};
inline constexpr QLatin1String clearQueryFlags{
    "UPDATE Queries SET updated=0, unreaded=0 WHERE id=?"};

// The CSV export reads in the grid's order, keyed on it, as a filter's slice does (scanDated
// ...): the listing's texts, its date, its id and its earlier appearances, at most ? rows from
// the start of a segment or after the last listing written.
namespace fragments {
inline constexpr auto exportColumns =
    join("SELECT ", offerTexts, ", dt_obj, id, ", earlierAppearances, " FROM Offers WHERE qid=?");
} // namespace fragments
inline constexpr int exportDateColumn = 11;
inline constexpr int exportIdColumn = 12;
inline constexpr int exportEarlierColumn = 13;
inline constexpr auto exportDatedText = fragments::join(
    fragments::exportColumns, " AND dt_obj IS NOT NULL", fragments::datedOrder, " LIMIT ?");
inline constexpr auto exportDatedAfterText =
    fragments::join(fragments::exportColumns, " AND dt_obj IS NOT NULL AND (dt_obj, id) < (?, ?)",
                    fragments::datedOrder, " LIMIT ?");
inline constexpr auto exportUndatedText = fragments::join(
    fragments::exportColumns, " AND dt_obj IS NULL", fragments::undatedOrder, " LIMIT ?");
inline constexpr auto exportUndatedAfterText =
    fragments::join(fragments::exportColumns, " AND dt_obj IS NULL AND id < ?",
                    fragments::undatedOrder, " LIMIT ?");
inline constexpr QLatin1String exportDated = fragments::latin1(exportDatedText);
inline constexpr QLatin1String exportDatedAfter = fragments::latin1(exportDatedAfterText);
inline constexpr QLatin1String exportUndated = fragments::latin1(exportUndatedText);
inline constexpr QLatin1String exportUndatedAfter = fragments::latin1(exportUndatedAfterText);

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
// rowid is the order in which the client first stored the ids; prev is the rowid of the latest
// row of its flat dated before it (null when there is none): it counts the row as a re-post.
// clang-format off
inline constexpr QLatin1String createFlatHistoryTable{
    "CREATE TABLE IF NOT EXISTS FlatHistory ("
    "id TEXT NOT NULL PRIMARY KEY COLLATE NOCASE, qid INT, price TEXT, dt REAL, "
    "first_seen INT, last_seen INT, opened INT NOT NULL DEFAULT 0, prev INT)"};
// Where the keys of a flat live (store/flatkey.h): every key of every history row is a row
// here, with the history row's date and whether it was opened, in the order of the keys and
// then the dates, except the keys a sync stages (FlatKeysPending) until it ends. Rows share a
// flat when they share a key here; what a listing's flat holds before or after it is read
// from this order, a few rows a key, however many rows the flat has.
inline constexpr QLatin1String createFlatKeysTable{
    "CREATE TABLE IF NOT EXISTS FlatKeys (key INT NOT NULL, dt REAL NOT NULL, hid INT NOT NULL, "
    "opened INT NOT NULL DEFAULT 0, PRIMARY KEY (key, dt, hid)) WITHOUT ROWID"};
// The keys of the rows a sync stores, kept in the order the rows arrive until the sync ends and
// puts them into FlatKeys in the order of the keys. Added at random places, a sync's keys
// rewrote most pages of a million-row index at every commit: 500 MB written for 100,000
// listings. Rows left here by a sync that did not end are taken up by the next.
inline constexpr QLatin1String createFlatKeysPendingTable{
    "CREATE TABLE IF NOT EXISTS FlatKeysPending (hid INT NOT NULL, key INT NOT NULL, "
    "PRIMARY KEY (hid, key)) WITHOUT ROWID"};
// clang-format on
// The keys of a history row, for opening it and forgetting it.
inline constexpr QLatin1String createFlatKeysByHistoryIndex{
    "CREATE INDEX IF NOT EXISTS FlatKeysByHistory ON FlatKeys (hid)"};
// The opened rows of a key: whether the user opened the flat under another id.
inline constexpr QLatin1String createFlatKeysOpenedIndex{
    "CREATE INDEX IF NOT EXISTS FlatKeysOpened ON FlatKeys (key) WHERE opened=1"};
// A few named values of the client's own, such as whether the history has been filled from
// the listings a file held before it had one.
inline constexpr QLatin1String createClientStateTable{
    "CREATE TABLE IF NOT EXISTS ClientState (name TEXT PRIMARY KEY, value)"};
inline constexpr QLatin1String selectClientState{"SELECT value FROM ClientState WHERE name=?"};
inline constexpr QLatin1String storeClientState{
    "INSERT INTO ClientState (name, value) VALUES (?, ?) "
    "ON CONFLICT(name) DO UPDATE SET value=excluded.value"};

// The shape of the client's own tables the file holds (0 for a file of a build that did not
// note it), and the names it is told from.
inline constexpr QLatin1String selectShape{"PRAGMA user_version"};
// "%1" is the shape, a number.
inline constexpr QLatin1String storeShape{"PRAGMA user_version=%1"};
inline constexpr QLatin1String historyColumns{"SELECT name FROM pragma_table_info('FlatHistory')"};
inline constexpr QLatin1String flatKeysColumns{"SELECT name FROM pragma_table_info('FlatKeys')"};
// Bringing an earlier shape up to date: its keys move into a FlatKeys of today's shape, with
// the dates and opened marks of their rows; the main key a row once held itself goes with its
// column and index.
inline constexpr QLatin1String renameFlatKeysAside{"ALTER TABLE FlatKeys RENAME TO FlatKeysBefore"};
inline constexpr QLatin1String dropFlatKeysByHistoryIndex{"DROP INDEX IF EXISTS FlatKeysByHistory"};
inline constexpr QLatin1String copyKeysSetAside{
    "INSERT OR IGNORE INTO FlatKeys (key, dt, hid, opened) SELECT b.key, IFNULL(h.dt, 0), "
    "b.hid, h.opened FROM FlatKeysBefore b JOIN FlatHistory h ON h.rowid=b.hid"};
inline constexpr QLatin1String dropKeysSetAside{"DROP TABLE FlatKeysBefore"};
inline constexpr QLatin1String copyKeysOfHistoryRows{
    "INSERT OR IGNORE INTO FlatKeys (key, dt, hid, opened) SELECT key, IFNULL(dt, 0), rowid, "
    "opened FROM FlatHistory WHERE key IS NOT NULL"};
inline constexpr QLatin1String dropFlatHistoryByKeyIndex{"DROP INDEX IF EXISTS FlatHistoryByKey"};
inline constexpr QLatin1String dropFlatHistoryBySeenIndex{"DROP INDEX IF EXISTS FlatHistoryBySeen"};
inline constexpr QLatin1String dropHistoryKeyColumn{"ALTER TABLE FlatHistory DROP COLUMN key"};

// A line of a feed (a listing and its history), nested in whatever transaction is open.
inline constexpr QLatin1String beginLine{"SAVEPOINT domiva_line"};
inline constexpr QLatin1String endLine{"RELEASE domiva_line"};
inline constexpr QLatin1String undoLine{"ROLLBACK TO domiva_line"};

// A listing the history already knows is only stored again.
inline constexpr QLatin1String touchHistoryRow{
    "UPDATE FlatHistory SET qid=?, last_seen=? WHERE id=?"};
// A new id is remembered, a known one left as it is (no change): id, qid, price, dt, the time it
// was stored, opened, and prev as the caller found it.
inline constexpr QLatin1String insertHistoryRow{
    "INSERT OR IGNORE INTO FlatHistory (id, qid, price, dt, first_seen, last_seen, opened, "
    "prev) VALUES (?1, ?2, ?3, ?4, ?5, ?5, ?6, ?7)"};
inline constexpr QLatin1String insertFlatKey{
    "INSERT OR IGNORE INTO FlatKeys (key, dt, hid, opened) VALUES (?, ?, ?, ?)"};
// A staged key stored: key ?1 of history row ?2, with the row's date and opened mark as they
// are now.
inline constexpr QLatin1String storeStagedKey{
    "INSERT OR IGNORE INTO FlatKeys (key, dt, hid, opened) SELECT ?1, IFNULL(dt, 0), rowid, "
    "opened FROM FlatHistory WHERE rowid=?2"};
inline constexpr QLatin1String insertPendingKey{
    "INSERT OR IGNORE INTO FlatKeysPending (hid, key) VALUES (?, ?)"};
inline constexpr QLatin1String selectPendingKeys{
    "SELECT p.key, IFNULL(h.dt, 0), p.hid FROM FlatKeysPending p JOIN FlatHistory h "
    "ON h.rowid=p.hid"};
inline constexpr QLatin1String deletePendingKeys{"DELETE FROM FlatKeysPending"};
// The stored row of key ?1 dated last up to ?2 (of the same date, stored last) and the one
// dated first after it: a new listing dated ?2 goes between them.
inline constexpr QLatin1String flatRowBefore{
    "SELECT hid, dt FROM FlatKeys WHERE key=?1 AND dt<=?2 ORDER BY dt DESC, hid DESC LIMIT 1"};
inline constexpr QLatin1String flatRowAfter{
    "SELECT hid, dt FROM FlatKeys WHERE key=?1 AND dt>?2 ORDER BY dt, hid LIMIT 1"};
// The earlier appearance a row holds now, with its date (none: no row).
inline constexpr QLatin1String selectPrevOfRow{
    "SELECT p.rowid, p.dt FROM FlatHistory h JOIN FlatHistory p ON p.rowid=h.prev "
    "WHERE h.rowid=?"};
// Row ?1 is the latest earlier appearance of row ?2.
inline constexpr QLatin1String linkHistoryRow{"UPDATE FlatHistory SET prev=?1 WHERE rowid=?2"};
// Whether the user opened a row of key ?1 (a row or none).
inline constexpr QLatin1String anyOpenedOfKey{
    "SELECT 1 FROM FlatKeys INDEXED BY FlatKeysOpened WHERE key=?1 AND opened=1 LIMIT 1"};
inline constexpr QLatin1String markHistoryOpened{
    "UPDATE FlatHistory SET opened=1 WHERE id=? AND opened=0"};
inline constexpr QLatin1String markKeysOpened{
    "UPDATE FlatKeys SET opened=1 WHERE hid=(SELECT rowid FROM FlatHistory WHERE id=?) "
    "AND opened=0"};
// Forgetting what was not stored for long, unless its listing is still there. These read the
// rows first stored before the limit ?1, a slice of the history by rowid (?2 < rowid <= ?3) at a
// time, which no index of its own keeps small enough to be worth its room: they run at most
// once a day. A row whose listing is still stored counts as stored at ?4 (now): a listing kept
// for years is not forgotten the day it is deleted.
inline constexpr QLatin1String refreshStoredHistory{
    "UPDATE FlatHistory SET last_seen=?4 WHERE rowid > ?2 AND rowid <= ?3 AND last_seen < ?1 "
    "AND EXISTS (SELECT 1 FROM Offers WHERE Offers.id=FlatHistory.id)"};
inline constexpr QLatin1String deleteOldFlatKeys{
    "DELETE FROM FlatKeys WHERE hid IN (SELECT rowid FROM FlatHistory WHERE rowid > ?2 "
    "AND rowid <= ?3 AND last_seen < ?1)"};
inline constexpr QLatin1String deleteOldHistory{
    "DELETE FROM FlatHistory WHERE rowid > ?2 AND rowid <= ?3 AND last_seen < ?1"};
// Before those go: the rows that have one of them for their earlier appearance. Such a row is
// the next one after it by one of its keys (any row between would be later).
inline constexpr QLatin1String selectLaterOfOldHistory{
    "SELECT h.rowid FROM FlatHistory d CROSS JOIN FlatKeys k CROSS JOIN FlatHistory h "
    "WHERE d.rowid > ?2 AND d.rowid <= ?3 AND d.last_seen < ?1 AND k.hid=d.rowid "
    "AND h.rowid=(SELECT x.hid FROM FlatKeys x WHERE x.key=k.key AND (x.dt, x.hid) > (k.dt, k.hid) "
    "ORDER BY x.dt, x.hid LIMIT 1) AND h.prev=d.rowid"};
// Afterwards each of them gets the latest earlier appearance left (null when none is); so does
// every row once its keys were made again.
inline constexpr auto relinkHistoryRowText = fragments::join(
    "UPDATE FlatHistory SET prev=", fragments::latestEarlierOfRow, " WHERE rowid=?1");
inline constexpr QLatin1String relinkHistoryRow = fragments::latin1(relinkHistoryRowText);
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
// Making the keys again (when flatkey::keys changed): the history rows after rowid ?1 whose
// listing is still stored, with the fields of their flat, at most ?2; and the keys a row holds.
inline constexpr QLatin1String selectRowsToRekey{
    "SELECT h.rowid, IFNULL(h.dt, 0), h.opened, o.metro_obj, o.room_obj, o.flat_obj, o.cont_obj "
    "FROM FlatHistory h JOIN Offers o ON o.id=h.id WHERE h.rowid > ?1 ORDER BY h.rowid LIMIT ?2"};
inline constexpr QLatin1String selectKeysOfRow{"SELECT key FROM FlatKeys WHERE hid=?"};
inline constexpr QLatin1String deleteKeysOfRow{"DELETE FROM FlatKeys WHERE hid=?"};
inline constexpr QLatin1String selectRowidsAfter{
    "SELECT rowid FROM FlatHistory WHERE rowid > ?1 ORDER BY rowid LIMIT ?2"};
// The unread listings of a search that are re-posts of a flat seen before.
inline constexpr QLatin1String countUnreadReposts{
    "SELECT COUNT(*) FROM Offers JOIN FlatHistory ON FlatHistory.id=Offers.id "
    "WHERE Offers.qid=? AND Offers.unreaded=TRUE AND FlatHistory.prev IS NOT NULL"};
// The earlier appearances of a listing by its id, as the grid reads them.
inline constexpr auto selectEarlierAppearancesText =
    fragments::join("SELECT ", fragments::earlierOfId, "?1", fragments::earlierOfIdEnd);
inline constexpr QLatin1String selectEarlierAppearances =
    fragments::latin1(selectEarlierAppearancesText);

} // namespace domiva::sql
