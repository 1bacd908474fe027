// Filling the history from the listings a file held before it had one, and making the keys
// of its rows again when flatkey::keys changed.
#include "store/flathistory.h"

#include "core/datetimevalue.h"
#include "core/error.h"
#include "store/database.h"
#include "store/enginestatement.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <algorithm>

namespace domiva {

using namespace sqlutil;

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

} // namespace domiva
