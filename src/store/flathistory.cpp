#include "store/flathistory.h"

#include "core/datetimevalue.h"
#include "core/error.h"
#include "store/database.h"
#include "store/sqlutil.h"
#include "store/statements.h"
#include "store/tablemodel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringEncoder>

#include <sqlite3.h>

#include <algorithm>
#include <string_view>

namespace domiva {

using namespace sqlutil;

namespace {

constexpr int digitsValue(std::string_view digits) {
    int value = 0;
    for (const char digit : digits)
        value = value * 10 + (digit - '0');
    return value;
}

// The rows of a flat a listing is placed among by date: those stored nearest before it (and,
// shown, after it), at most so many by each way to the flat, as the grids read them.
constexpr int flatWindowRows = digitsValue(DOMIVA_FLAT_WINDOW_ROWS);

} // namespace

// A statement of the engine's own, kept prepared: the history adds a few statements to every
// listing a sync stores, too many for Qt's per-value binding. Each use resets it, so no read
// snapshot outlives the operation.
class FlatHistory::Statement {
public:
    Statement(sqlite3* db, const char* text) : m_db(db) {
        if (sqlite3_prepare_v3(db, text, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr) !=
            SQLITE_OK)
            throw engineError(db);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Binds the values in order, from position 1.
    class Use {
    public:
        explicit Use(Statement& s) : m_s(s) {}
        ~Use() {
            sqlite3_reset(m_s.m_stmt);
            sqlite3_clear_bindings(m_s.m_stmt);
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        Use& bind(qint64 value) {
            sqlite3_bind_int64(m_s.m_stmt, ++m_position, value);
            return *this;
        }
        Use& bind(double value) {
            sqlite3_bind_double(m_s.m_stmt, ++m_position, value);
            return *this;
        }
        // Encoded into the statement's own buffer of the position, which keeps its room from
        // one use to the next, and bound in place: the engine neither copies nor converts it.
        Use& bind(QStringView text) {
            const int position = ++m_position;
            if (m_s.m_texts.size() < std::size_t(position))
                m_s.m_texts.resize(std::size_t(position));
            QByteArray& buffer = m_s.m_texts[std::size_t(position - 1)];
            const qsizetype room = m_s.m_utf8.requiredSpace(text.size());
            if (buffer.size() < room)
                buffer.resize(room);
            const char* const end = m_s.m_utf8.appendToBuffer(buffer.data(), text);
            sqlite3_bind_text(m_s.m_stmt, position, buffer.constData(),
                              int(end - buffer.constData()), SQLITE_STATIC);
            return *this;
        }
        Use& bindNull() {
            sqlite3_bind_null(m_s.m_stmt, ++m_position);
            return *this;
        }
        // Steps once: whether a row came.
        bool step() {
            const int rc = sqlite3_step(m_s.m_stmt);
            if (rc == SQLITE_ROW)
                return true;
            if (rc != SQLITE_DONE)
                throw engineError(m_s.m_db);
            return false;
        }
        qint64 integer(int column) const { return sqlite3_column_int64(m_s.m_stmt, column); }
        double real(int column) const { return sqlite3_column_double(m_s.m_stmt, column); }
        bool isNull(int column) const {
            return sqlite3_column_type(m_s.m_stmt, column) == SQLITE_NULL;
        }
        QString text(int column) const {
            const auto* data =
                reinterpret_cast<const char*>(sqlite3_column_text(m_s.m_stmt, column));
            return QString::fromUtf8(data, sqlite3_column_bytes(m_s.m_stmt, column));
        }
        int changes() const { return sqlite3_changes(m_s.m_db); }
        qint64 lastRowid() const { return sqlite3_last_insert_rowid(m_s.m_db); }

    private:
        Statement& m_s;
        int m_position = 0;
    };

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    QStringEncoder m_utf8{QStringEncoder::Utf8, QStringEncoder::Flag::Stateless};
    std::vector<QByteArray> m_texts; // by position, from 1
};

FlatHistory::FlatHistory(Database& db) : m_db(db) {
    m_db.setCacheFloorKiB(recordCacheKiB);
}

void FlatHistory::stageKeysFrom(qint64 rows) {
    Statement::Use last(statement(sql::lastHistoryRowid.data()));
    m_staging = last.step() && last.integer(0) >= rows;
}

FlatHistory::~FlatHistory() {
    try {
        m_db.setCacheFloorKiB(0);
    } catch (const Error&) {
        // The connection is failing; the next setting of its cache tries again.
    }
}

void FlatHistory::createTables(Database& db) {
    const QSqlDatabase connection = db.connection();
    for (const QLatin1String text :
         {sql::createFlatHistoryTable, sql::createFlatKeysTable, sql::createFlatKeysByHistoryIndex,
          sql::createFlatHistoryByKeyIndex, sql::createFlatKeysPendingTable,
          sql::createClientStateTable})
        run(connection, text);
}

FlatHistory::Statement& FlatHistory::statement(const char* text) {
    auto found = m_statements.find(text);
    if (found == m_statements.end())
        found =
            m_statements
                .emplace(text, std::make_unique<Statement>(engineHandle(m_db.connection()), text))
                .first;
    return *found->second;
}

FlatHistory::Arrival FlatHistory::record(QStringView id, qint32 qid,
                                         const flatkey::FlatFields& flat, QStringView price,
                                         double dt, qint64 now, bool opened, bool askOpened) {
    takeUpPending();
    if (!m_knowsAllKeys) {
        Statement::Use empty(statement(sql::historyIsEmpty.data()));
        m_knowsAllKeys = empty.step() && empty.integer(0) != 0;
    }
    flatkey::keys(flat, m_keys);
    std::optional<qint64> latest;
    for (const qint64 key : m_keys) {
        if (const std::optional<qint64> row = latestOfKey(key))
            latest = std::max(latest.value_or(*row), *row);
    }
    const bool seen = latest.has_value();
    const Placement place = seen ? placeAmongFlat(*latest, dt) : Placement{};
    std::optional<qint64> row;
    {
        Statement::Use insert(statement(sql::insertHistoryRow.data()));
        // Stored with the row unless the keys are staged: then every key goes to FlatKeys.
        insert.bind(id);
        if (!m_staging && !m_keys.empty())
            insert.bind(m_keys.front());
        else
            insert.bindNull();
        insert.bind(qint64(qid)).bind(price).bind(dt).bind(now).bind(qint64(opened ? 1 : 0));
        if (place.earlier)
            insert.bind(*place.earlier);
        else
            insert.bindNull();
        insert.step();
        if (insert.changes() == 1)
            row = insert.lastRowid();
    }
    if (!row) {
        // Seen before: never a re-post, whatever its flat.
        Statement::Use touch(statement(sql::touchHistoryRow.data()));
        touch.bind(qint64(qid)).bind(now).bind(id).step();
        return Arrival{true, false, false};
    }
    Arrival arrival;
    arrival.repost = seen;
    if (seen) {
        // The rows dated after it that had no earlier appearance now have one.
        for (const qint64 later : place.later) {
            Statement::Use link(statement(sql::linkHistoryRow.data()));
            link.bind(*row).bind(later).step();
        }
        // The rows still staged arrived in this sync, after the user last saw the listings:
        // none of them was opened, so only the stored keys are asked.
        if (askOpened) {
            for (const qint64 key : m_keys) {
                Statement::Use anyOpened(statement(sql::anyOpenedOfKey.data()));
                if (anyOpened.bind(key).step()) {
                    arrival.flatOpened = true;
                    break;
                }
            }
        }
    }
    if (*m_knowsAllKeys) {
        if (m_ownLatest.size() + qsizetype(m_keys.size()) > ownKeysLimit) {
            // The rows are all in the file: it answers from here on.
            m_knowsAllKeys = false;
            m_ownLatest = {};
        } else {
            for (const qint64 key : m_keys)
                m_ownLatest.insert(key, *row);
        }
    }
    if (!m_staging) {
        // Further phones after the first (a plain loop: Clang 14 cannot use libstdc++ 12's
        // views).
        for (std::size_t i = 1; i < m_keys.size(); ++i) {
            Statement::Use add(statement(sql::insertFlatKey.data()));
            add.bind(m_keys[i]).bind(*row).step();
        }
        return arrival;
    }
    for (const qint64 key : m_keys) {
        Statement::Use stage(statement(sql::insertPendingKey.data()));
        stage.bind(*row).bind(key).step();
        m_pending.emplace_back(key, *row);
        m_pendingRows[key].push_back(*row);
    }
    return arrival;
}

void FlatHistory::latestRowsOfFlat(int limit) {
    m_flatRows.clear();
    for (const qint64 key : m_keys) {
        Statement::Use stored(statement(sql::selectLatestRowsOfKey.data()));
        stored.bind(key).bind(qint64(limit));
        while (stored.step())
            m_flatRows.push_back({stored.integer(0)});
        if (const auto staged = m_pendingRows.find(key); staged != m_pendingRows.end()) {
            const std::vector<qint64>& rows = staged->second;
            for (std::size_t i = rows.size() - std::min(rows.size(), std::size_t(limit));
                 i < rows.size(); ++i)
                m_flatRows.push_back({rows[i]});
        }
    }
    std::sort(m_flatRows.begin(), m_flatRows.end(),
              [](const FlatRow& a, const FlatRow& b) { return a.row > b.row; });
    m_flatRows.erase(std::unique(m_flatRows.begin(), m_flatRows.end(),
                                 [](const FlatRow& a, const FlatRow& b) { return a.row == b.row; }),
                     m_flatRows.end());
    if (m_flatRows.size() > std::size_t(limit))
        m_flatRows.resize(std::size_t(limit));
    for (FlatRow& other : m_flatRows) {
        Statement::Use one(statement(sql::selectHistoryRowDate.data()));
        if (one.bind(other.row).step()) {
            other.dt = one.real(0);
            other.hasEarlier = one.integer(1) != 0;
        }
    }
}

FlatHistory::Placement FlatHistory::placeAmongFlat(qint64 latestRow, double dt) {
    // Listings mostly come in the order of their dates: then the flat's latest row is an
    // earlier appearance, and no row dated after this one can be without one (only the flat's
    // earliest row is).
    {
        Statement::Use latest(statement(sql::selectHistoryRowDate.data()));
        if (latest.bind(latestRow).step() && latest.real(0) <= dt)
            return {latestRow, {}};
    }
    // The listing's earlier appearances are the rows of its flat dated before it (of the same
    // date, those stored before it), not those stored before it: a download lists the newest
    // listings first, so the re-post comes before the listing it repeats, and a search added
    // later brings listings older than some the history holds. It is placed among the rows of
    // its flat stored last: a flat posted a thousand times (or a feed that makes every listing
    // one flat) costs no more than one posted a few times.
    latestRowsOfFlat(flatWindowRows);
    Placement place;
    std::optional<FlatRow> latest;
    for (const FlatRow& other : m_flatRows) {
        if (other.dt <= dt) {
            if (!latest || std::pair(other.dt, other.row) > std::pair(latest->dt, latest->row))
                latest = other;
        } else if (!other.hasEarlier) {
            place.later.push_back(other.row);
        }
    }
    if (latest)
        place.earlier = latest->row;
    return place;
}

std::optional<qint64> FlatHistory::latestOfKey(qint64 key) {
    if (*m_knowsAllKeys) {
        const auto own = m_ownLatest.constFind(key);
        return own == m_ownLatest.cend() ? std::nullopt : std::optional<qint64>(own.value());
    }
    std::optional<qint64> latest;
    {
        Statement::Use stored(statement(sql::selectLatestOfKey.data()));
        if (stored.bind(key).step() && !stored.isNull(0))
            latest = stored.integer(0);
    }
    if (const auto staged = m_pendingRows.find(key); staged != m_pendingRows.end())
        latest = std::max(latest.value_or(staged->second.back()), staged->second.back());
    return latest;
}

void FlatHistory::takeUpPending() {
    if (m_pendingTakenUp)
        return;
    m_pendingTakenUp = true;
    Statement::Use left(statement(sql::selectPendingKeys.data()));
    while (left.step()) {
        const qint64 key = left.integer(0);
        const qint64 hid = left.integer(1);
        m_pending.emplace_back(key, hid);
        m_pendingRows[key].push_back(hid);
    }
}

bool FlatHistory::storePendingKeys(int rows) {
    takeUpPending();
    // Nothing written when nothing is staged: the window reads its grids again after any write.
    if (m_pending.empty())
        return true;
    if (m_pendingStored == 0)
        std::sort(m_pending.begin(), m_pending.end());
    // In the order of the keys: the index is written from one end to the other, each of its
    // pages once, however many transactions it takes.
    const std::size_t end = std::min(m_pending.size(), m_pendingStored + std::size_t(rows));
    for (; m_pendingStored < end; ++m_pendingStored) {
        Statement::Use add(statement(sql::insertFlatKey.data()));
        add.bind(m_pending[m_pendingStored].first).bind(m_pending[m_pendingStored].second).step();
    }
    if (m_pendingStored < m_pending.size())
        return false;
    Statement::Use done(statement(sql::deletePendingKeys.data()));
    done.step();
    m_pending.clear();
    m_pendingRows.clear();
    m_pendingStored = 0;
    return true;
}

void FlatHistory::markArrivedRead(QStringView id) {
    Statement::Use mark(statement(sql::markArrivedRead.data()));
    mark.bind(id).step();
}

int FlatHistory::prune(qint64 now, const std::function<void()>& betweenSlices, int sliceRows) {
    {
        // Once a day is enough for a limit of half a year; a clock set back prunes at once.
        Statement::Use state(statement(sql::selectClientState.data()));
        if (state.bind(QStringView(u"historyPruned")).step() && !state.isNull(0) &&
            now >= state.integer(0) && now - state.integer(0) < pruneIntervalSeconds)
            return 0;
    }
    {
        Statement::Use store(statement(sql::storeClientState.data()));
        store.bind(QStringView(u"historyPruned")).bind(now).step();
    }
    // Rows this object recorded may go: the file answers for the keys again.
    m_knowsAllKeys.reset();
    m_ownLatest = {};
    const qint64 before = now - keepSeconds;
    // Only a row first stored before the limit can have been stored last before it. Rows go in
    // as the clock goes, so those are the rows before the first one stored since: a history
    // that is all recent costs a few lookups, not a read of a million rows on every day's first
    // sync. (A clock set back leaves a few rows for a later day.)
    qint64 last = 0;
    {
        Statement::Use rowids(statement(sql::lastHistoryRowid.data()));
        if (rowids.step())
            last = rowids.integer(0);
    }
    for (qint64 low = 0; low < last;) {
        // Invariant: every row before `low` was first stored before the limit; the row at `last`
        // (if any) was not.
        const qint64 middle = low + (last - low) / 2;
        Statement::Use row(statement(sql::historyRowFrom.data()));
        if (!row.bind(middle + 1).step() || row.integer(0) > last) {
            last = middle;
        } else if (!row.isNull(1) && row.integer(1) >= before) {
            last = row.integer(0) - 1;
        } else {
            low = row.integer(0);
        }
    }
    int forgotten = 0;
    std::vector<qint64> later;
    for (qint64 from = 0; from < last; from += sliceRows) {
        // A re-post whose earlier appearance is forgotten is counted as one only while another
        // is left.
        later.clear();
        {
            Statement::Use rows(statement(sql::selectLaterOfOldHistory.data()));
            rows.bind(before).bind(from).bind(from + sliceRows);
            while (rows.step())
                later.push_back(rows.integer(0));
        }
        {
            Statement::Use keys(statement(sql::deleteOldFlatKeys.data()));
            keys.bind(before).bind(from).bind(from + sliceRows).step();
        }
        {
            Statement::Use rows(statement(sql::deleteOldHistory.data()));
            rows.bind(before).bind(from).bind(from + sliceRows).step();
            forgotten += rows.changes();
        }
        std::sort(later.begin(), later.end());
        later.erase(std::unique(later.begin(), later.end()), later.end());
        for (const qint64 row : later) {
            Statement::Use relink(statement(sql::relinkHistoryRow.data()));
            relink.bind(row).step();
        }
        if (betweenSlices)
            betweenSlices();
    }
    return forgotten;
}

bool FlatHistory::filled() {
    Statement::Use state(statement(sql::selectClientState.data()));
    return state.bind(QStringView(u"historyFilled")).step() && state.integer(0) == 1;
}

bool FlatHistory::fillSome(qint64 now, int rows) {
    // The keys staged so far are stored every so many rows, and at the end.
    if (m_fillStoring) {
        if (!storePendingKeys(rows))
            return false;
        m_fillStoring = false;
        if (m_fillComplete)
            return true;
    }
    if (!m_fillAfter) {
        // Resumed where an earlier fill stopped; the rows before were remembered by it.
        Statement::Use state(statement(sql::selectClientState.data()));
        m_fillAfter = state.bind(QStringView(u"historyFillAfter")).step() ? state.integer(0) : 0;
    }
    int done = 0;
    {
        Statement::Use offers(statement(sql::selectOffersToRemember.data()));
        offers.bind(*m_fillAfter).bind(qint64(rows));
        while (offers.step()) {
            const QString id = offers.text(1);
            const QString address = offers.text(4);
            const QString rooms = offers.text(5);
            const QString price = offers.text(6);
            const QString floor = offers.text(7);
            const QString contact = offers.text(8);
            const double dt = offers.isNull(9) ? 0 : dateTimeValueFromText(offers.text(9));
            record(id, qint32(offers.integer(2)), {address, rooms, floor, contact}, price, dt, now,
                   offers.integer(3) == 0, false);
            m_fillAfter = offers.integer(0);
            ++done;
        }
    }
    const bool complete = done < rows;
    Statement::Use store(statement(sql::storeClientState.data()));
    if (complete)
        store.bind(QStringView(u"historyFilled")).bind(qint64(1));
    else
        store.bind(QStringView(u"historyFillAfter")).bind(*m_fillAfter);
    store.step();
    m_fillComplete = complete;
    m_fillStoring = complete || pendingKeys() >= fillPendingKeys;
    return false;
}

std::vector<FlatHistory::Appearance> FlatHistory::earlier(const QString& id, int limit) {
    std::vector<Appearance> result;
    Statement::Use rows(statement(sql::selectEarlierAppearances.data()));
    rows.bind(QStringView(id)).bind(qint64(limit));
    while (rows.step())
        result.push_back({rows.real(0), rows.text(1), rows.integer(2) != 0});
    return result;
}

std::vector<FlatHistory::Appearance> appearancesFromJson(const QString& json) {
    std::vector<FlatHistory::Appearance> result;
    const QJsonArray rows = QJsonDocument::fromJson(json.toUtf8()).array();
    for (const QJsonValue& row : rows) {
        const QJsonArray values = row.toArray();
        result.push_back(
            {values.at(0).toDouble(), values.at(1).toString(), values.at(2).toInteger() != 0});
    }
    return result;
}

RepostMarks repostMarks(QStringView price, const std::vector<FlatHistory::Appearance>& earlier) {
    RepostMarks marks;
    if (earlier.empty())
        return marks;
    marks.repost = true;
    const std::optional<int> order = flatkey::comparePrices(price, earlier.front().price);
    if (order && *order < 0)
        marks.trend = QStringLiteral("↓");
    else if (order && *order > 0)
        marks.trend = QStringLiteral("↑");
    marks.earlierText = earlierAppearancesText(earlier);
    return marks;
}

QString earlierAppearancesText(const std::vector<FlatHistory::Appearance>& earlier) {
    QStringList parts;
    for (const FlatHistory::Appearance& appearance : earlier) {
        QString part =
            dateTimeDisplayText(appearance.dt) + QStringLiteral(" — ") + appearance.price;
        if (appearance.opened)
            part += QStringLiteral(" (просмотрено)");
        parts.append(part);
    }
    return parts.join(QStringLiteral("; "));
}

} // namespace domiva
