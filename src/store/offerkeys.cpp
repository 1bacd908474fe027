#include "store/offerkeys.h"

#include "store/database.h"
#include "store/enginestatement.h"
#include "store/offerfilter.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <sqlite3.h>

#include <limits>

namespace domiva {

using namespace sqlutil;

namespace {

using EngineValue = std::unique_ptr<sqlite3_value, decltype(&sqlite3_value_free)>;

// Where a slice of the filter starts (sql::scanDated ...).
enum class ScanSegment { Dated, Undated, End };

QLatin1String scanStatement(ScanSegment segment, bool resumed) {
    if (segment == ScanSegment::Dated)
        return resumed ? sql::scanDatedAfter : sql::scanDated;
    return resumed ? sql::scanUndatedAfter : sql::scanUndated;
}

// Every key of the search (the filter's matches, when there is one) in one statement. A
// million keys come through the engine directly: Qt's per-value conversions would take ten
// times as long. Finalized on every way out, so no read snapshot outlives the call.
void readAllKeys(Database& db, qint32 qid, const QString& filter, std::vector<qint64>& keys) {
    EngineStatement stmt(engineHandle(db.connection()),
                         filter.isEmpty() ? sql::selectOfferKeys : sql::selectFilteredOfferKeys);
    stmt.bindInt(1, qid);
    QByteArray bound;
    if (!filter.isEmpty()) {
        bound = offerfilter::folded(filter);
        stmt.bindUtf8(2, bound);
    }
    while (stmt.step())
        keys.push_back(stmt.integer(0));
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
        EngineStatement stmt(engine, scanStatement(scan.segment, resumed));
        int position = 1;
        stmt.bindInt(position++, m_qid);
        if (resumed) {
            if (dated)
                stmt.bindValue(position++, scan.lastDate.get());
            stmt.bindValue(position++, scan.lastId.get());
        }
        offerfilter::bindProbe(stmt, position++, probe);
        stmt.bindUtf8(position, scan.needle);
        while (stmt.step()) {
            if (probe.lastMatched)
                found.push_back(stmt.integer(0));
            // A page of matches ends the first slice early, to show them at once.
            if (!probe.over && found.size() < enough)
                continue;
            if (dated)
                scan.lastDate.reset(sqlite3_value_dup(stmt.value(1)));
            scan.lastId.reset(sqlite3_value_dup(stmt.value(2)));
            if ((dated && scan.lastDate == nullptr) || scan.lastId == nullptr)
                throw Error(QString::fromUtf8(sqlite3_errstr(SQLITE_NOMEM)));
            return false;
        }
        scan.segment = dated ? ScanSegment::Undated : ScanSegment::End;
        scan.lastDate.reset();
        scan.lastId.reset();
    }
    return true;
}

} // namespace domiva
