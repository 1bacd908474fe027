#include "store/offersmodel.h"

#include "app/error.h"
#include "store/database.h"
#include "store/listingtools.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>

namespace domiva {

using namespace sqlutil;

namespace {

constexpr int qidColumn = 1;
constexpr int keyColumn = 15; // the row key after the fifteen columns of a page read

// Offer ids are compared as the engine's NOCASE does: ASCII letters folded, nothing else.
QString asciiFolded(const QString& text) {
    QString folded = text;
    for (QChar& c : folded) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return folded;
}

using EngineStatement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;
using EngineValue = std::unique_ptr<sqlite3_value, decltype(&sqlite3_value_free)>;

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

void bindValue(sqlite3_stmt* stmt, int position, const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        sqlite3_bind_null(stmt, position);
        break;
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        sqlite3_bind_int64(stmt, position, value.toLongLong());
        break;
    case QMetaType::Double:
        sqlite3_bind_double(stmt, position, value.toDouble());
        break;
    default: {
        const QString text = value.toString();
        sqlite3_bind_text16(stmt, position, text.utf16(),
                            static_cast<int>(text.size() * sizeof(char16_t)), SQLITE_TRANSIENT);
        break;
    }
    }
}

// The first column of every result row as 64-bit integers. A million keys come through the
// engine directly: Qt's per-value conversions would take ten times as long.
std::vector<qint64> readKeyColumn(const QSqlDatabase& db, const QString& text,
                                  const QVariantList& values) {
    sqlite3* engine = engineHandle(db);
    sqlite3_stmt* raw = nullptr;
    const QByteArray utf8 = text.toUtf8();
    if (sqlite3_prepare_v2(engine, utf8.constData(), static_cast<int>(utf8.size()), &raw,
                           nullptr) != SQLITE_OK)
        throw engineError(engine);
    // Finalized on every way out, so no read snapshot outlives the call.
    const EngineStatement stmt(raw, &sqlite3_finalize);
    for (int i = 0; i < values.size(); ++i)
        bindValue(stmt.get(), i + 1, values.at(i));
    std::vector<qint64> keys;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW)
        keys.push_back(sqlite3_column_int64(stmt.get(), 0));
    if (rc != SQLITE_DONE)
        throw engineError(engine);
    keys.shrink_to_fit();
    return keys;
}

} // namespace

// Where the filter stands: what it looks for and the last offer a slice looked at (copies of
// its stored values, so that the next slice compares exactly as the order does).
struct OffersModel::FilterScan {
    QByteArray needle;
    qint32 qid = 0;
    ScanSegment segment = ScanSegment::Dated;
    EngineValue lastDate{nullptr, &sqlite3_value_free};
    EngineValue lastId{nullptr, &sqlite3_value_free};
};

OffersModel::~OffersModel() = default;

OffersModel::OffersModel(Database& db, QObject* parent)
    : StoreTableModel(db, sql::offersColumns,
                      {Kind::Text, Kind::Integer, Kind::Flag, Kind::Text, Kind::Text, Kind::Text,
                       Kind::Text, Kind::Text, Kind::Text, Kind::Text, Kind::Text, Kind::Text,
                       Kind::Text, Kind::Text, Kind::DateTime},
                      parent) {
    m_scanTimer.setSingleShot(true);
    m_scanTimer.setInterval(0);
    connect(&m_scanTimer, &QTimer::timeout, this, &OffersModel::continueScan);
    reload();
}

void OffersModel::setQueryId(qint32 qid) {
    m_qid = qid;
    m_filter.clear();
    reload();
}

void OffersModel::setFilter(const QString& text) {
    if (!text.isEmpty())
        offerfilter::install(database());
    m_filter = text;
    reload();
}

bool OffersModel::filterScanning() const noexcept {
    return m_scan != nullptr;
}

void OffersModel::setFilterSlice(int rows, int ms) {
    m_sliceRows = std::max(rows, 0);
    m_sliceMs = std::max(ms, 1);
}

void OffersModel::setPageSize(int rows) {
    m_pageSize = std::max(rows, 1);
    dropPages();
}

void OffersModel::setPageLimit(int pages) {
    m_pageLimit = std::max(pages, 1);
    dropPages();
}

std::size_t OffersModel::bytesHeld() const {
    std::size_t bytes = m_keys.capacity() * sizeof(qint64) + m_pages.capacity() * sizeof(Page);
    for (const Page& held : m_pages) {
        bytes += held.rows.capacity() * sizeof(Row);
        for (const Row& row : held.rows) {
            bytes += static_cast<std::size_t>(row.capacity()) * sizeof(QVariant);
            for (const QVariant& value : row) {
                if (value.typeId() == QMetaType::QString)
                    bytes +=
                        static_cast<std::size_t>(value.toString().capacity()) * sizeof(char16_t);
            }
        }
    }
    return bytes;
}

int OffersModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_keys.size());
}

std::vector<qint64> OffersModel::readKeys() const {
    // A further condition goes between the two pieces, its values after the search's id.
    QString text = sql::selectOfferKeys;
    QVariantList values{m_qid};
    if (!m_filter.isEmpty()) {
        text += QLatin1String(" AND ") + offerfilter::condition();
        values.append(offerfilter::bindValue(m_filter));
    }
    text += sql::offerKeysOrder;
    return readKeyColumn(database().connection(), text, values);
}

std::vector<StoreTableModel::Row> OffersModel::loadRows() {
    m_loadedScan.reset();
    if (m_filter.isEmpty() || m_sliceRows == 0) {
        m_loadedKeys = readKeys();
        return {};
    }
    auto scan = std::make_unique<FilterScan>();
    scan->needle = offerfilter::folded(m_filter);
    scan->qid = m_qid;
    m_loadedKeys.clear();
    // The first slice ends as soon as it has a page of matches, to show them at once.
    if (!scanSlice(*scan, m_loadedKeys, static_cast<std::size_t>(m_pageSize)))
        m_loadedScan = std::move(scan);
    return {};
}

void OffersModel::adoptLoadedState() {
    m_keys = std::move(m_loadedKeys);
    m_loadedKeys = {};
    stopScan();
    m_scan = std::move(m_loadedScan);
    if (m_scan)
        m_scanTimer.start();
    dropPages();
}

void OffersModel::loadFailedReset() {
    m_keys = {};
    m_loadedKeys = {};
    m_loadedScan.reset();
    stopScan();
    dropPages();
}

void OffersModel::stopScan() {
    m_scanTimer.stop();
    m_scan.reset();
    ++m_scanGeneration;
}

bool OffersModel::scanSlice(FilterScan& scan, std::vector<qint64>& found,
                            std::size_t enoughMatches) const {
    sqlite3* engine = engineHandle(database().connection());
    offerfilter::SliceProbe probe;
    probe.rows = m_sliceRows;
    probe.budgetNs = std::int64_t(m_sliceMs) * 1'000'000;
    probe.clock.start();
    while (scan.segment != ScanSegment::End) {
        const bool dated = scan.segment == ScanSegment::Dated;
        const bool resumed = scan.lastId != nullptr;
        // Finalized on every way out: no read snapshot outlives the slice.
        const EngineStatement stmt = prepareEngine(engine, scanStatement(scan.segment, resumed));
        int position = 1;
        sqlite3_bind_int(stmt.get(), position++, scan.qid);
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
            if (!probe.over && found.size() < enoughMatches)
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

void OffersModel::continueScan() {
    if (!m_scan)
        return;
    std::vector<qint64> found;
    bool finished = false;
    std::optional<Error> failure;
    try {
        finished = scanSlice(*m_scan, found, std::numeric_limits<std::size_t>::max());
    } catch (const Error& error) {
        failure = error;
    }
    const std::uint64_t generation = m_scanGeneration;
    appendKeys(found);
    // A view may have started another filter while it was told of the new rows.
    if (generation != m_scanGeneration)
        return;
    if (finished || failure) {
        stopScan();
        if (failure)
            emit loadFailed(failure->message(), failure->damagedFile());
        emit filterScanFinished();
        return;
    }
    m_scanTimer.start();
}

void OffersModel::appendKeys(const std::vector<qint64>& found) {
    if (found.empty())
        return;
    const int first = rowCount();
    // The page at the old end may hold fewer rows than a page: it is read again when asked for.
    if (first % m_pageSize != 0) {
        const int partial = first / m_pageSize;
        std::erase_if(m_pages, [partial](const Page& held) { return held.index == partial; });
    }
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(found.size()) - 1);
    m_keys.insert(m_keys.end(), found.begin(), found.end());
    endInsertRows();
}

void OffersModel::dropPages() {
    m_pages.clear();
    m_readFailed = false;
}

const StoreTableModel::Row* OffersModel::storedRow(int row) const {
    if (row < 0 || row >= rowCount())
        return nullptr;
    const Page* held = page(row / m_pageSize);
    if (held == nullptr)
        return nullptr;
    return &held->rows[static_cast<std::size_t>(row % m_pageSize)];
}

const OffersModel::Page* OffersModel::page(int index) const {
    for (Page& held : m_pages) {
        if (held.index == index) {
            held.lastUse = ++m_useClock;
            return &held;
        }
    }
    if (m_readFailed)
        return nullptr;
    Page fresh;
    try {
        fresh = readPage(index);
    } catch (const Error& error) {
        // Views read rows while they paint: they are told once, by the signal, and see blank
        // rows until the next refresh, which reads again even when nothing has changed (the
        // read may have failed on another program's lock alone).
        m_readFailed = true;
        const_cast<OffersModel*>(this)->forgetReadStamp();
        emit const_cast<OffersModel*>(this)->loadFailed(error.message(), error.damagedFile());
        return nullptr;
    }
    fresh.lastUse = ++m_useClock;
    if (static_cast<int>(m_pages.size()) < m_pageLimit) {
        m_pages.push_back(std::move(fresh));
        return &m_pages.back();
    }
    const auto oldest =
        std::min_element(m_pages.begin(), m_pages.end(),
                         [](const Page& a, const Page& b) { return a.lastUse < b.lastUse; });
    *oldest = std::move(fresh);
    return &*oldest;
}

OffersModel::Page OffersModel::readPage(int index) const {
    const std::size_t first =
        static_cast<std::size_t>(index) * static_cast<std::size_t>(m_pageSize);
    const std::size_t end = std::min(first + static_cast<std::size_t>(m_pageSize), m_keys.size());
    Page result;
    result.index = index;
    result.rows.resize(end - first);

    QByteArray list = "[";
    std::unordered_map<qint64, std::size_t> positions;
    positions.reserve(end - first);
    for (std::size_t i = first; i < end; ++i) {
        if (i > first)
            list += ',';
        list += QByteArray::number(m_keys[i]);
        positions.emplace(m_keys[i], i - first);
    }
    list += ']';

    QSqlQuery query = prepare(database().connection(), sql::selectOffersByKeys);
    query.addBindValue(QString::fromLatin1(list));
    exec(query);
    while (query.next()) {
        const auto position = positions.find(query.value(keyColumn).toLongLong());
        // A row key freed by a deletion may already hold a listing of another search: that
        // one is not shown here (nor marked read by a click on its row).
        const QVariant qid = query.value(qidColumn);
        if (position != positions.end() && !qid.isNull() && qid.toLongLong() == m_qid)
            result.rows[position->second] = readRow(query);
    }
    const QSqlError error = query.lastError();
    query.finish();
    if (error.isValid())
        throw engineError(error);
    // An offer deleted since the keys were read stays a blank row until the next refresh.
    return result;
}

int OffersModel::rowOfKey(const QVariant& key) {
    if (key.isNull())
        return -1;
    try {
        QSqlQuery query = prepare(database().connection(), sql::selectOfferKeyById);
        query.addBindValue(key.toString());
        exec(query);
        const bool found = query.next();
        const qint64 rowKey = found ? query.value(0).toLongLong() : 0;
        const QVariant qid = found ? query.value(1) : QVariant();
        query.finish();
        if (!found || qid.isNull() || qid.toLongLong() != m_qid)
            return -1;
        const auto at = std::find(m_keys.begin(), m_keys.end(), rowKey);
        return at == m_keys.end() ? -1 : static_cast<int>(at - m_keys.begin());
    } catch (const Error& error) {
        emit loadFailed(error.message(), error.damagedFile());
    }
    return -1;
}

int OffersModel::findLoadedRow(const QVariant& key) const {
    if (key.isNull())
        return -1;
    for (const Page& held : m_pages) {
        for (std::size_t i = 0; i < held.rows.size(); ++i) {
            if (sameKey(held.rows[i].value(0), key))
                return held.index * m_pageSize + static_cast<int>(i);
        }
    }
    return -1;
}

void OffersModel::refreshRowAt(int row) {
    if (isBulkUpdating() || row < 0 || row >= rowCount())
        return;
    const int pageIndex = row / m_pageSize;
    const auto held = std::find_if(m_pages.begin(), m_pages.end(),
                                   [pageIndex](const Page& p) { return p.index == pageIndex; });
    if (held == m_pages.end())
        return;
    Row& copy = held->rows[static_cast<std::size_t>(row % m_pageSize)];
    const QVariant key = copy.value(0);
    std::optional<Row> fresh = key.isNull() ? std::nullopt : loadRow(key);
    if (!fresh) {
        // The positions after it move up by one: every page held is out of step.
        beginRemoveRows(QModelIndex(), row, row);
        m_keys.erase(m_keys.begin() + row);
        dropPages();
        endRemoveRows();
        return;
    }
    copy = std::move(*fresh);
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

std::optional<StoreTableModel::Row> OffersModel::loadRow(const QVariant& key) {
    QSqlQuery query = prepare(database().connection(), sql::selectOfferRow);
    query.addBindValue(key.toString());
    exec(query);
    std::optional<Row> row;
    if (query.next() && !query.value(qidColumn).isNull() &&
        query.value(qidColumn).toLongLong() == m_qid)
        row = readRow(query);
    query.finish();
    return row;
}

bool OffersModel::sameKey(const QVariant& a, const QVariant& b) const {
    return asciiFolded(a.toString()) == asciiFolded(b.toString());
}

} // namespace domiva
