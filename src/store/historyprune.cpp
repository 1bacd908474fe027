// Forgetting the listings not stored for half a year.
#include "store/flathistory.h"

#include "core/error.h"
#include "store/database.h"
#include "store/enginestatement.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <algorithm>
#include <vector>

namespace domiva {

using namespace sqlutil;

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

} // namespace domiva
