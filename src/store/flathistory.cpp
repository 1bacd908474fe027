#include "store/flathistory.h"

#include "core/datetimevalue.h"
#include "core/error.h"
#include "store/database.h"
#include "store/sqlutil.h"
#include "store/statements.h"
#include "store/tablemodel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlQuery>

#include <algorithm>
#include <limits>
#include <string_view>

namespace domiva {

using namespace sqlutil;
using namespace Qt::StringLiterals;

FlatHistory::FlatHistory(Database& db) : m_db(db), m_statements(engineHandle(db.connection())) {
    m_db.setCacheFloorKiB(recordCacheKiB);
}

void FlatHistory::stageKeysFrom(qint64 rows) {
    EngineStatement::Use last(m_statements(sql::lastHistoryRowid));
    m_staging = last.step() && last.integer(0) >= rows;
}

FlatHistory::~FlatHistory() {
    try {
        m_db.setCacheFloorKiB(0);
    } catch (const Error&) {
        // The connection is failing; the next setting of its cache tries again.
    }
}

namespace {

QStringList columnNames(const QSqlDatabase& connection, QLatin1String text) {
    QSqlQuery query = prepare(connection, text);
    exec(query);
    QStringList names;
    while (query.next())
        names << query.value(0).toString();
    return names;
}

} // namespace

void FlatHistory::bringUpToDate(Database& db) {
    const QSqlDatabase connection = db.connection();
    QSqlQuery shapeQuery = prepare(connection, sql::selectShape);
    // A file of today's shape is opened without taking the write lock.
    if (scalar(shapeQuery) >= currentShape)
        return;
    Transaction transaction(db);
    // Read again inside the transaction: another connection may have brought the file up to
    // date meanwhile.
    if (scalar(shapeQuery) >= currentShape)
        return;
    const QStringList historyColumns = columnNames(connection, sql::historyColumns);
    // The keys of an earlier shape are set aside and copied into today's FlatKeys, which
    // orders them by date; its indexes come with it.
    const bool keysAside = !historyColumns.isEmpty() &&
                           !columnNames(connection, sql::flatKeysColumns).contains(u"dt"_s);
    if (keysAside) {
        run(connection, sql::dropFlatKeysByHistoryIndex);
        run(connection, sql::renameFlatKeysAside);
    }
    for (const QLatin1String text :
         {sql::createFlatHistoryTable, sql::createFlatKeysTable, sql::createFlatKeysByHistoryIndex,
          sql::createFlatKeysOpenedIndex, sql::createFlatKeysPendingTable,
          sql::createClientStateTable})
        run(connection, text);
    if (keysAside) {
        run(connection, sql::copyKeysSetAside);
        run(connection, sql::dropKeysSetAside);
    }
    if (historyColumns.contains(u"key"_s)) {
        run(connection, sql::copyKeysOfHistoryRows);
        run(connection, sql::dropFlatHistoryByKeyIndex);
        run(connection, sql::dropHistoryKeyColumn);
    }
    run(connection, sql::dropFlatHistoryBySeenIndex);
    QSqlQuery keys = prepare(connection, sql::storeClientState);
    keys.addBindValue(u"keysVersion"_s);
    // An earlier shape linked a row to an earlier appearance by the order the rows were stored,
    // or among the rows stored nearest it: the links are made again with the keys. A new
    // history's keys are today's.
    keys.addBindValue(historyColumns.isEmpty() ? keysVersion : 0);
    exec(keys);
    keys.finish();
    run(connection, QString(sql::storeShape).arg(currentShape));
    transaction.commit();
}

qint64 FlatHistory::clientState(QStringView name, qint64 otherwise) {
    EngineStatement::Use state(m_statements(sql::selectClientState));
    return state.bind(name).step() && !state.isNull(0) ? state.integer(0) : otherwise;
}

void FlatHistory::storeClientState(QStringView name, qint64 value) {
    EngineStatement::Use store(m_statements(sql::storeClientState));
    store.bind(name).bind(value).step();
}

FlatHistory::Line::Line(FlatHistory& history) : m_history(history) {
    EngineStatement::Use(m_history.m_statements(sql::beginLine)).step();
}

FlatHistory::Line::~Line() {
    if (!m_open)
        return;
    try {
        EngineStatement::Use(m_history.m_statements(sql::undoLine)).step();
        EngineStatement::Use(m_history.m_statements(sql::endLine)).step();
    } catch (const Error&) {
        // The transaction around it is rolled back whole then.
    }
}

void FlatHistory::Line::commit() {
    EngineStatement::Use(m_history.m_statements(sql::endLine)).step();
    m_open = false;
}

void FlatHistory::neighboursOfKey(qint64 key, double dt, std::optional<FlatRow>& before,
                                  std::optional<FlatRow>& after) {
    {
        EngineStatement::Use stored(m_statements(sql::flatRowBefore));
        if (stored.bind(key).bind(dt).step()) {
            const FlatRow found{stored.real(1), stored.integer(0)};
            before = std::max(before.value_or(found), found);
        }
    }
    {
        EngineStatement::Use stored(m_statements(sql::flatRowAfter));
        if (stored.bind(key).bind(dt).step())
            after = FlatRow{stored.real(1), stored.integer(0)};
    }
    const auto staged = m_pendingRows.find(key);
    if (staged == m_pendingRows.end())
        return;
    // The first staged row dated after dt; the one before it is dated up to dt.
    const std::set<FlatRow>& rows = staged->second;
    const auto next = rows.upper_bound({dt, std::numeric_limits<qint64>::max()});
    if (next != rows.end())
        after = std::min(after.value_or(*next), *next);
    if (next != rows.begin())
        before = std::max(before.value_or(*std::prev(next)), *std::prev(next));
}

FlatHistory::Arrival FlatHistory::record(QStringView id, qint32 qid,
                                         const flatkey::FlatFields& flat, QStringView price,
                                         double dt, qint64 now, bool opened, bool askOpened) {
    takeUpPending();
    flatkey::keys(flat, m_keys);
    // The listing is stored last: of its flat's rows of the same date, all came before it.
    std::optional<FlatRow> before;
    m_after.clear();
    for (const qint64 key : m_keys) {
        std::optional<FlatRow> after;
        neighboursOfKey(key, dt, before, after);
        if (after)
            m_after.push_back(*after);
    }
    std::optional<qint64> row;
    {
        EngineStatement::Use insert(m_statements(sql::insertHistoryRow));
        insert.bind(id)
            .bind(qint64(qid))
            .bind(price)
            .bind(dt)
            .bind(now)
            .bind(qint64(opened ? 1 : 0));
        if (before)
            insert.bind(before->second);
        else
            insert.bindNull();
        insert.step();
        if (insert.changes() == 1)
            row = insert.lastRowid();
    }
    if (!row) {
        // Seen before: never a re-post, whatever its flat.
        EngineStatement::Use touch(m_statements(sql::touchHistoryRow));
        touch.bind(qint64(qid)).bind(now).bind(id).step();
        return Arrival{true, false, false};
    }
    Arrival arrival;
    arrival.repost = before || !m_after.empty();
    // The first row after it by a key has it for its latest earlier appearance unless it has a
    // later one by another key; rows further on have a later one by that key.
    const FlatRow self{dt, *row};
    for (const FlatRow& later : m_after) {
        std::optional<FlatRow> prev;
        {
            EngineStatement::Use held(m_statements(sql::selectPrevOfRow));
            if (held.bind(later.second).step())
                prev = FlatRow{held.real(1), held.integer(0)};
        }
        if (!prev || *prev < self) {
            EngineStatement::Use link(m_statements(sql::linkHistoryRow));
            link.bind(*row).bind(later.second).step();
        }
    }
    // The rows still staged arrived in this sync, after the user last saw the listings: none of
    // them was opened, so only the stored keys are asked.
    if (arrival.repost && askOpened) {
        for (const qint64 key : m_keys) {
            EngineStatement::Use anyOpened(m_statements(sql::anyOpenedOfKey));
            if (anyOpened.bind(key).step()) {
                arrival.flatOpened = true;
                break;
            }
        }
    }
    if (!m_staging) {
        // A plain loop: Clang 14 cannot use libstdc++ 12's views.
        for (const qint64 key : m_keys) {
            EngineStatement::Use add(m_statements(sql::insertFlatKey));
            add.bind(key).bind(dt).bind(*row).bind(qint64(opened ? 1 : 0)).step();
        }
        return arrival;
    }
    for (const qint64 key : m_keys) {
        EngineStatement::Use stage(m_statements(sql::insertPendingKey));
        stage.bind(*row).bind(key).step();
        m_pending.emplace_back(key, *row);
        m_pendingRows[key].insert(self);
    }
    return arrival;
}

void FlatHistory::takeUpPending() {
    if (m_pendingTakenUp)
        return;
    m_pendingTakenUp = true;
    EngineStatement::Use left(m_statements(sql::selectPendingKeys));
    while (left.step()) {
        const qint64 key = left.integer(0);
        const qint64 hid = left.integer(2);
        m_pending.emplace_back(key, hid);
        m_pendingRows[key].insert({left.real(1), hid});
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
        EngineStatement::Use add(m_statements(sql::storeStagedKey));
        add.bind(m_pending[m_pendingStored].first).bind(m_pending[m_pendingStored].second).step();
    }
    if (m_pendingStored < m_pending.size())
        return false;
    EngineStatement::Use done(m_statements(sql::deletePendingKeys));
    done.step();
    m_pending.clear();
    m_pendingRows.clear();
    m_pendingStored = 0;
    return true;
}

void FlatHistory::markArrivedRead(QStringView id) {
    EngineStatement::Use mark(m_statements(sql::markOfferRead));
    mark.bind(id).step();
}

int FlatHistory::prune(qint64 now, const std::function<void()>& betweenSlices, int sliceRows) {
    {
        // Once a day is enough for a limit of half a year; a clock set back prunes at once.
        const qint64 pruned = clientState(u"historyPruned", -1);
        if (pruned >= 0 && now >= pruned && now - pruned < pruneIntervalSeconds)
            return 0;
    }
    storeClientState(u"historyPruned", now);
    const qint64 before = now - keepSeconds;
    // Only a row first stored before the limit can have been stored last before it. Rows go in
    // as the clock goes, so those are the rows before the first one stored since: a history
    // that is all recent costs a few lookups, not a read of a million rows on every day's first
    // sync. (A clock set back leaves a few rows for a later day.)
    qint64 last = 0;
    {
        EngineStatement::Use rowids(m_statements(sql::lastHistoryRowid));
        if (rowids.step())
            last = rowids.integer(0);
    }
    for (qint64 low = 0; low < last;) {
        // Invariant: every row before `low` was first stored before the limit; the row at `last`
        // (if any) was not.
        const qint64 middle = low + (last - low) / 2;
        EngineStatement::Use row(m_statements(sql::historyRowFrom));
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
        {
            EngineStatement::Use stored(m_statements(sql::refreshStoredHistory));
            stored.bind(before).bind(from).bind(from + sliceRows).bind(now).step();
        }
        // A re-post whose earlier appearance is forgotten gets the next one left, or none.
        later.clear();
        {
            EngineStatement::Use rows(m_statements(sql::selectLaterOfOldHistory));
            rows.bind(before).bind(from).bind(from + sliceRows);
            while (rows.step())
                later.push_back(rows.integer(0));
        }
        {
            EngineStatement::Use keys(m_statements(sql::deleteOldFlatKeys));
            keys.bind(before).bind(from).bind(from + sliceRows).step();
        }
        {
            EngineStatement::Use rows(m_statements(sql::deleteOldHistory));
            rows.bind(before).bind(from).bind(from + sliceRows).step();
            forgotten += rows.changes();
        }
        std::sort(later.begin(), later.end());
        later.erase(std::unique(later.begin(), later.end()), later.end());
        for (const qint64 row : later) {
            EngineStatement::Use relink(m_statements(sql::relinkHistoryRow));
            relink.bind(row).step();
        }
        if (betweenSlices)
            betweenSlices();
    }
    return forgotten;
}

bool FlatHistory::filled() {
    return clientState(u"historyFilled", 0) == 1;
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
        m_fillAfter = clientState(u"historyFillAfter", 0);
    }
    int done = 0;
    {
        EngineStatement::Use offers(m_statements(sql::selectOffersToRemember));
        offers.bind(*m_fillAfter).bind(qint64(rows));
        while (offers.step()) {
            const QString id = offers.text(1);
            const QString address = offers.text(4);
            const QString rooms = offers.text(5);
            const QString price = offers.text(6);
            const QString floor = offers.text(7);
            const QString contact = offers.text(8);
            // As the grid reads it: another program may have stored the date as a number.
            const double dt = offers.isNull(9)   ? 0
                              : offers.isText(9) ? dateTimeValueFromText(offers.text(9))
                                                 : offers.real(9);
            record(id, qint32(offers.integer(2)), {address, rooms, floor, contact}, price, dt, now,
                   offers.integer(3) == 0, false);
            m_fillAfter = offers.integer(0);
            ++done;
        }
    }
    const bool complete = done < rows;
    if (complete)
        storeClientState(u"historyFilled", 1);
    else
        storeClientState(u"historyFillAfter", *m_fillAfter);
    m_fillComplete = complete;
    m_fillStoring = complete || pendingKeys() >= fillPendingKeys;
    return false;
}

bool FlatHistory::keyedNow() {
    return clientState(u"keysVersion", 1) >= keysVersion;
}

bool FlatHistory::rekeySome(int rows) {
    // First the keys of the rows whose listings are stored, then every row's link; each goes
    // on after the last row done, noted in the file, should the program end between slices.
    const qint64 rekeyed = clientState(u"rekeyAfter", 0);
    if (rekeyed >= 0) {
        qint64 after = rekeyed;
        int done = 0;
        {
            EngineStatement::Use listings(m_statements(sql::selectRowsToRekey));
            listings.bind(rekeyed).bind(qint64(rows));
            while (listings.step()) {
                ++done;
                after = listings.integer(0);
                const QString address = listings.text(3);
                const QString roomsText = listings.text(4);
                const QString floor = listings.text(5);
                const QString contact = listings.text(6);
                flatkey::keys({address, roomsText, floor, contact}, m_keys);
                std::sort(m_keys.begin(), m_keys.end());
                m_keys.erase(std::unique(m_keys.begin(), m_keys.end()), m_keys.end());
                m_rowKeys.clear();
                {
                    EngineStatement::Use stored(m_statements(sql::selectKeysOfRow));
                    stored.bind(after);
                    while (stored.step())
                        m_rowKeys.push_back(stored.integer(0));
                }
                std::sort(m_rowKeys.begin(), m_rowKeys.end());
                if (m_rowKeys == m_keys)
                    continue;
                {
                    EngineStatement::Use drop(m_statements(sql::deleteKeysOfRow));
                    drop.bind(after).step();
                }
                for (const qint64 key : m_keys) {
                    EngineStatement::Use add(m_statements(sql::insertFlatKey));
                    add.bind(key).bind(listings.real(1)).bind(after).bind(listings.integer(2));
                    add.step();
                }
            }
        }
        storeClientState(u"rekeyAfter", done < rows ? -1 : after);
        return false;
    }
    const qint64 relinked = clientState(u"relinkAfter", 0);
    qint64 after = relinked;
    int done = 0;
    {
        EngineStatement::Use rowids(m_statements(sql::selectRowidsAfter));
        rowids.bind(relinked).bind(qint64(rows));
        while (rowids.step()) {
            ++done;
            after = rowids.integer(0);
            EngineStatement::Use relink(m_statements(sql::relinkHistoryRow));
            relink.bind(after).step();
        }
    }
    if (done == rows) {
        storeClientState(u"relinkAfter", after);
        return false;
    }
    storeClientState(u"keysVersion", keysVersion);
    storeClientState(u"rekeyAfter", 0);
    storeClientState(u"relinkAfter", 0);
    return true;
}

std::vector<FlatHistory::Appearance> FlatHistory::earlier(const QString& id, int limit) {
    std::vector<Appearance> result;
    {
        EngineStatement::Use rows(m_statements(sql::selectEarlierAppearances));
        if (rows.bind(QStringView(id)).step())
            result = appearancesFromJson(rows.text(0));
    }
    if (result.size() > std::size_t(std::max(limit, 0)))
        result.resize(std::size_t(std::max(limit, 0)));
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
    marks.trend = priceTrend(price, earlier.front().price);
    marks.earlierText = earlierAppearancesText(earlier);
    return marks;
}

QString priceTrend(QStringView price, QStringView latestEarlier) {
    const std::optional<int> order = flatkey::comparePrices(price, latestEarlier);
    if (order && *order < 0)
        return QStringLiteral("↓");
    if (order && *order > 0)
        return QStringLiteral("↑");
    return QString();
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
