#include "store/offerkeys.h"

#include "store/database.h"
#include "store/listingtools.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <sqlite3.h>

#include <limits>

namespace domiva {

using namespace sqlutil;

namespace {

using EngineStatement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;
using EngineValue = std::unique_ptr<sqlite3_value, decltype(&sqlite3_value_free)>;

// Finalized on every way out, so no read snapshot outlives the caller.
EngineStatement prepareEngine(sqlite3* engine, const QByteArray& text) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(engine, text.constData(), static_cast<int>(text.size()), &raw,
                           nullptr) != SQLITE_OK)
        throw engineError(engine);
    return EngineStatement(raw, &sqlite3_finalize);
}

// The filter's slices walk the search in the grid's order, keyed on it: the dated offers
// newest first, then those without a date (a NULL never compares below a key, so they are a
// segment of their own). The engine tests the listings itself and returns the matches, and
// the listing at which the slice is over (sliceCondition). Bound: the search, the position
// (dt_obj, id) after which the slice starts, the probe and the folded text.
enum class ScanSegment { Dated, Undated, End };

QByteArray scanStatement(ScanSegment segment, bool resumed) {
    const bool dated = segment == ScanSegment::Dated;
    QByteArray text = "SELECT rowid, dt_obj, id FROM Offers WHERE qid=?";
    text += dated ? " AND dt_obj IS NOT NULL" : " AND dt_obj IS NULL";
    if (resumed)
        text += dated ? " AND (dt_obj, id) < (?, ?)" : " AND id < ?";
    text += " AND " +
            QByteArray(offerfilter::sliceCondition().data(), offerfilter::sliceCondition().size());
    text += dated ? " ORDER BY dt_obj DESC, id DESC" : " ORDER BY id DESC";
    return text;
}

// Every key of the search (the filter's matches, when there is one) in one statement. A
// million keys come through the engine directly: Qt's per-value conversions would take ten
// times as long.
void readAllKeys(Database& db, qint32 qid, const QString& filter, std::vector<qint64>& keys) {
    QByteArray text = QString(sql::selectOfferKeys).toUtf8();
    if (!filter.isEmpty())
        text +=
            " AND " + QByteArray(offerfilter::condition().data(), offerfilter::condition().size());
    text += QByteArray(sql::offerKeysOrder.data(), sql::offerKeysOrder.size());
    sqlite3* engine = engineHandle(db.connection());
    const EngineStatement stmt = prepareEngine(engine, text);
    sqlite3_bind_int(stmt.get(), 1, qid);
    QByteArray bound;
    if (!filter.isEmpty()) {
        bound = offerfilter::folded(filter);
        sqlite3_bind_text(stmt.get(), 2, bound.constData(), static_cast<int>(bound.size()),
                          SQLITE_STATIC);
    }
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW)
        keys.push_back(sqlite3_column_int64(stmt.get(), 0));
    if (rc != SQLITE_DONE)
        throw engineError(engine);
}

} // namespace

// Where the filter stands: what it looks for and the last offer a slice looked at (copies of
// its stored values, so that the next slice compares exactly as the order does).
struct OfferKeyScan::Position {
    QByteArray needle;
    ScanSegment segment = ScanSegment::Dated;
    EngineValue lastDate{nullptr, &sqlite3_value_free};
    EngineValue lastId{nullptr, &sqlite3_value_free};
};

OfferKeyScan::OfferKeyScan(qint32 qid, const QString& filter, int sliceRows, int sliceMs,
                           std::size_t firstMatches)
    : m_qid(qid), m_filter(filter), m_sliceRows(std::max(sliceRows, 0)),
      m_sliceMs(std::max(sliceMs, 1)), m_firstMatches(firstMatches),
      m_position(std::make_unique<Position>()) {
    m_position->needle = offerfilter::folded(filter);
}

OfferKeyScan::~OfferKeyScan() = default;

bool OfferKeyScan::next(Database& db, std::vector<qint64>& found) {
    if (!m_filter.isEmpty())
        offerfilter::install(db);
    if (m_filter.isEmpty() || m_sliceRows == 0) {
        readAllKeys(db, m_qid, m_filter, found);
        m_position->segment = ScanSegment::End;
        return true;
    }
    const std::size_t enough =
        m_first ? found.size() + m_firstMatches : std::numeric_limits<std::size_t>::max();
    m_first = false;
    Position& scan = *m_position;
    sqlite3* engine = engineHandle(db.connection());
    offerfilter::SliceProbe probe;
    probe.rows = m_sliceRows;
    probe.budgetNs = std::int64_t(m_sliceMs) * 1'000'000;
    probe.clock.start();
    while (scan.segment != ScanSegment::End) {
        const bool dated = scan.segment == ScanSegment::Dated;
        const bool resumed = scan.lastId != nullptr;
        const EngineStatement stmt = prepareEngine(engine, scanStatement(scan.segment, resumed));
        int position = 1;
        sqlite3_bind_int(stmt.get(), position++, m_qid);
        if (resumed) {
            if (dated)
                sqlite3_bind_value(stmt.get(), position++, scan.lastDate.get());
            sqlite3_bind_value(stmt.get(), position++, scan.lastId.get());
        }
        offerfilter::bindProbe(stmt.get(), position++, probe);
        sqlite3_bind_text(stmt.get(), position, scan.needle.constData(),
                          static_cast<int>(scan.needle.size()), SQLITE_STATIC);
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
            if (probe.lastMatched)
                found.push_back(sqlite3_column_int64(stmt.get(), 0));
            // A page of matches ends the first slice early, to show them at once.
            if (!probe.over && found.size() < enough)
                continue;
            if (dated)
                scan.lastDate.reset(sqlite3_value_dup(sqlite3_column_value(stmt.get(), 1)));
            scan.lastId.reset(sqlite3_value_dup(sqlite3_column_value(stmt.get(), 2)));
            if ((dated && scan.lastDate == nullptr) || scan.lastId == nullptr)
                throw Error(QString::fromUtf8(sqlite3_errstr(SQLITE_NOMEM)));
            return false;
        }
        if (rc != SQLITE_DONE)
            throw engineError(engine);
        scan.segment = dated ? ScanSegment::Undated : ScanSegment::End;
        scan.lastDate.reset();
        scan.lastId.reset();
    }
    return true;
}

} // namespace domiva
