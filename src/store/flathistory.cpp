#include "store/flathistory.h"

#include "core/datetimevalue.h"
#include "core/error.h"
#include "store/database.h"
#include "store/earlierappearances.h"
#include "store/sqlutil.h"
#include "store/statements.h"
#include "store/tablemodel.h"

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

} // namespace domiva
