#include "store/offersmodel.h"

#include "core/error.h"
#include "store/database.h"
#include "store/earlierappearances.h"
#include "store/flathistory.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <memory>
#include <optional>
#include <unordered_map>

namespace domiva {

using namespace sqlutil;

namespace {

constexpr int qidColumn = 1;
constexpr int keyColumn = 15; // the row key after the fifteen columns of a page read
constexpr int latestEarlierColumn = 16;
constexpr int openedElsewhereColumn = 17;
constexpr int priceColumn = 7;
// Where a row keeps the history's marks, after its fifteen columns.
constexpr int repostValue = 15;
constexpr int trendValue = 16;
constexpr int earlierValue = 17; // not kept: read when asked for (earlier)

// Offer ids are compared as the engine's NOCASE does: ASCII letters folded, nothing else.
QString asciiFolded(const QString& text) {
    QString folded = text;
    for (QChar& c : folded) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return folded;
}

} // namespace

OffersModel::~OffersModel() {
    // A reader stops at its next slice.
    if (m_scan)
        m_scan->cancel();
}

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
    showNothing();
    reload();
}

void OffersModel::setFilter(const QString& text) {
    m_filter = text;
    showNothing();
    reload();
}

void OffersModel::showNothing() {
    if (!m_reader)
        return;
    stopScan();
    beginResetModel();
    m_keys = {};
    dropPages();
    endResetModel();
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

std::shared_ptr<OfferKeyScan> OffersModel::newScan() const {
    return std::make_shared<OfferKeyScan>(m_qid, m_filter, m_sliceRows, m_sliceMs,
                                          static_cast<std::size_t>(m_pageSize));
}

std::vector<StoreTableModel::Row> OffersModel::loadRows() {
    m_loadedScan.reset();
    m_loadedKeys.clear();
    auto scan = newScan();
    if (!scan->next(database(), m_loadedKeys))
        m_loadedScan = std::move(scan);
    m_loadedKeys.shrink_to_fit();
    return {};
}

bool OffersModel::loadInBackground() {
    if (!m_reader)
        return false;
    stopScan();
    auto scan = newScan();
    m_scan = scan;
    m_replaceKeys = true;
    m_reader(scan, this,
             [this, scan](OfferKeyBatch batch) { keysArrived(scan, std::move(batch)); });
    return true;
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
    if (m_scan)
        m_scan->cancel();
    m_scan.reset();
    m_replaceKeys = false;
    ++m_scanGeneration;
}

void OffersModel::continueScan() {
    if (!m_scan)
        return;
    OfferKeyBatch batch;
    try {
        batch.finished = m_scan->next(database(), batch.keys);
    } catch (const Error& error) {
        batch.failure = error;
        batch.finished = true;
    }
    const std::shared_ptr<OfferKeyScan> scan = m_scan;
    keysArrived(scan, std::move(batch));
    if (m_scan && !m_reader)
        m_scanTimer.start();
}

void OffersModel::keysArrived(const std::shared_ptr<OfferKeyScan>& scan, OfferKeyBatch batch) {
    if (scan != m_scan)
        return;
    const bool replace = std::exchange(m_replaceKeys, false);
    if (batch.finished) {
        m_scan.reset();
        m_scanTimer.stop();
    }
    const std::uint64_t generation = ++m_scanGeneration;
    if (batch.failure) {
        // Read again at the next refresh, even when nothing has changed. Keys that could not be
        // read at all leave nothing shown; matches already shown stay.
        forgetReadStamp();
        if (replace) {
            beginResetModel();
            m_keys = {};
            dropPages();
            endResetModel();
        }
        emit loadFailed(batch.failure->message(), batch.failure->damagedFile());
    } else if (replace && !m_keys.empty()) {
        // The same search read anew: its rows give way to the new ones in one step.
        beginResetModel();
        m_keys = std::move(batch.keys);
        dropPages();
        endResetModel();
    } else {
        appendKeys(batch.keys);
    }
    // A view may have started another read while it was told of the new rows.
    if (generation != m_scanGeneration || !batch.finished)
        return;
    emit keysComplete();
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
            result.rows[position->second] = readOfferRow(query);
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
        row = readOfferRow(query);
    query.finish();
    return row;
}

StoreTableModel::Row OffersModel::readOfferRow(const QSqlQuery& query) const {
    Row row = readRow(query);
    const QVariant latest = query.value(latestEarlierColumn);
    row.append(query.value(openedElsewhereColumn).toBool() ? 2 : latest.isNull() ? 0 : 1);
    row.append(static_cast<int>(
        latest.isNull() ? PriceTrend::None
                        : priceTrend(query.value(priceColumn).toString(), latest.toString())));
    return row;
}

std::vector<FlatHistory::Appearance> OffersModel::earlier(const QString& id) const {
    // One listing's, when the details panel or a copy shows it: a few rows by key and date. A
    // page of the grid reads only the latest one's price: the dates of five, formatted by the
    // locale for every row, took a page of a flat posted many times twice as long.
    try {
        QSqlQuery query = prepare(database().connection(), sql::selectEarlierAppearances);
        query.addBindValue(id);
        exec(query);
        const QString json = query.next() ? query.value(0).toString() : QString();
        query.finish();
        return appearancesFromJson(json);
    } catch (const Error&) {
        // Shown without them; the grids report a failing file when they read it next.
        return {};
    }
}

QVariant OffersModel::data(const QModelIndex& index, int role) const {
    int value = -1;
    switch (role) {
    case RepostRole:
        value = repostValue;
        break;
    case PriceTrendRole:
        value = trendValue;
        break;
    case EarlierRole:
        value = earlierValue;
        break;
    default:
        return StoreTableModel::data(index, role);
    }
    if (!index.isValid() || index.model() != this)
        return {};
    const Row* row = storedRow(index.row());
    if (row == nullptr)
        return {};
    if (value == earlierValue)
        return QVariant::fromValue(row->value(repostValue).toInt() != 0
                                       ? earlier(row->value(0).toString())
                                       : std::vector<FlatHistory::Appearance>());
    return row->value(value);
}

bool OffersModel::sameKey(const QVariant& a, const QVariant& b) const {
    return asciiFolded(a.toString()) == asciiFolded(b.toString());
}

} // namespace domiva
