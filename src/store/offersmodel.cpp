#include "store/offersmodel.h"

#include "app/error.h"
#include "store/database.h"
#include "store/listingtools.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QSqlError>
#include <QSqlQuery>

namespace domiva {

using namespace sqlutil;

namespace {

constexpr int idColumn = 0;
constexpr int qidColumn = 1;
constexpr int dateColumn = 14;

// Offer ids are compared as the engine's NOCASE does: ASCII letters folded, nothing else.
QString asciiFolded(const QString& text) {
    QString folded = text;
    for (QChar& c : folded) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return folded;
}

int storageClassRank(const QVariant& value) {
    if (value.isNull())
        return 0;
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return 1;
    case QMetaType::QString:
        return 2;
    default:
        return 3;
    }
}

template <typename T> int threeWay(const T& a, const T& b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Orders two stored values as the engine does: NULL, then numbers, then texts, then the rest.
int compareStored(const QVariant& a, const QVariant& b) {
    const int rankA = storageClassRank(a);
    const int rankB = storageClassRank(b);
    if (rankA != rankB)
        return threeWay(rankA, rankB);
    switch (rankA) {
    case 0:
        return 0;
    case 1:
        return threeWay(a.toDouble(), b.toDouble());
    case 2:
        return threeWay(a.toString(), b.toString());
    default:
        return threeWay(a.toByteArray(), b.toByteArray());
    }
}

// The sort key (dt_obj, id) in ascending order; the model shows it descending.
int compareSortKeys(const QVariant& dateA, const QString& idA, const QVariant& dateB,
                    const QString& idB) {
    const int byDate = compareStored(dateA, dateB);
    return byDate != 0 ? byDate : threeWay(asciiFolded(idA), asciiFolded(idB));
}

} // namespace

OffersModel::OffersModel(Database& db, QObject* parent)
    : StoreTableModel(db, sql::offersColumns,
                      {Kind::Text, Kind::Integer, Kind::Flag, Kind::Text, Kind::Text, Kind::Text,
                       Kind::Text, Kind::Text, Kind::Text, Kind::Text, Kind::Text, Kind::Text,
                       Kind::Text, Kind::Text, Kind::DateTime},
                      parent) {
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

void OffersModel::setPageSize(int rows) {
    m_pageSize = std::max(rows, 1);
}

bool OffersModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && m_cursor.phase != PageCursor::Phase::End;
}

void OffersModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent))
        return;
    try {
        fetchPage();
    } catch (const Error& error) {
        m_cursor.phase = PageCursor::Phase::End;
        emit loadFailed(error.message());
    }
}

void OffersModel::fetchPage() {
    PageCursor cursor = m_cursor;
    std::vector<Row> page = readPage(cursor, m_pageSize);
    m_cursor = cursor;
    appendRows(std::move(page));
}

int OffersModel::rowOfKey(const QVariant& key) {
    int row = findLoadedRow(key);
    if (row >= 0 || key.isNull() || !canFetchMore(QModelIndex()))
        return row;
    const QString id = key.toString();
    try {
        QSqlQuery query = prepare(database().connection(), sql::selectOfferSortKey);
        query.addBindValue(id);
        exec(query);
        const bool found = query.next();
        const QVariant date = found ? query.value(0) : QVariant();
        const QVariant qid = found ? query.value(1) : QVariant();
        query.finish();
        if (!found || qid.isNull() || qid.toLongLong() != m_qid)
            return -1;
        // Pages come in descending order: read on while the offer still sorts below the
        // last row read.
        while (canFetchMore(QModelIndex()) &&
               (!m_cursor.anyRead ||
                compareSortKeys(date, id, m_cursor.lastDate, m_cursor.lastId) < 0)) {
            const int before = rowCount();
            fetchPage();
            row = findLoadedRow(key, before);
            if (row >= 0)
                return row;
        }
    } catch (const Error& error) {
        m_cursor.phase = PageCursor::Phase::End;
        emit loadFailed(error.message());
    }
    return -1;
}

std::vector<StoreTableModel::Row> OffersModel::loadRows() {
    PageCursor cursor;
    std::vector<Row> rows = readPage(cursor, m_pageSize);
    m_loadedCursor = cursor;
    return rows;
}

void OffersModel::adoptLoadedState() {
    m_cursor = m_loadedCursor;
}

void OffersModel::loadFailedReset() {
    m_cursor = PageCursor{};
    m_cursor.phase = PageCursor::Phase::End;
}

std::vector<StoreTableModel::Row> OffersModel::readPage(PageCursor& cursor, int limit) const {
    using Phase = PageCursor::Phase;
    const QSqlDatabase db = database().connection();
    const auto statement = [this, &db](QLatin1String text) {
        return m_filter.isEmpty() ? prepare(db, text)
                                  : prepare(db, offerfilter::withCondition(QString(text)));
    };
    std::vector<Row> rows;
    while (static_cast<int>(rows.size()) < limit && cursor.phase != Phase::End) {
        const int wanted = limit - static_cast<int>(rows.size());
        QSqlQuery query;
        switch (cursor.phase) {
        case Phase::DatedFirst:
            query = statement(sql::selectOffersFirstPage);
            query.addBindValue(m_qid);
            break;
        case Phase::DatedNext:
            query = statement(sql::selectOffersNextPage);
            query.addBindValue(m_qid);
            query.addBindValue(cursor.lastDate);
            query.addBindValue(cursor.lastId);
            break;
        case Phase::UndatedFirst:
            query = statement(sql::selectUndatedOffersFirstPage);
            query.addBindValue(m_qid);
            break;
        case Phase::UndatedNext:
            query = statement(sql::selectUndatedOffersNextPage);
            query.addBindValue(m_qid);
            query.addBindValue(cursor.lastId);
            break;
        case Phase::End:
            break;
        }
        if (!m_filter.isEmpty())
            query.addBindValue(offerfilter::bindValue(m_filter));
        query.addBindValue(wanted);
        exec(query);
        int got = 0;
        while (query.next()) {
            rows.push_back(readRow(query));
            cursor.lastDate = query.value(dateColumn);
            cursor.lastId = query.value(idColumn).toString();
            cursor.anyRead = true;
            ++got;
        }
        const QSqlError error = query.lastError();
        query.finish();
        if (error.isValid())
            throw Error(engineMessage(error));

        const bool dated = cursor.phase == Phase::DatedFirst || cursor.phase == Phase::DatedNext;
        if (got < wanted)
            cursor.phase = dated ? Phase::UndatedFirst : Phase::End;
        else
            cursor.phase = dated ? Phase::DatedNext : Phase::UndatedNext;
    }
    return rows;
}

std::optional<StoreTableModel::Row> OffersModel::loadRow(const QVariant& key) {
    QSqlQuery query = prepare(database().connection(), sql::selectOfferRow);
    query.addBindValue(key.toString());
    exec(query);
    std::optional<Row> row;
    if (query.next() && query.value(qidColumn).toLongLong() == m_qid &&
        !query.value(qidColumn).isNull())
        row = readRow(query);
    query.finish();
    return row;
}

bool OffersModel::sameKey(const QVariant& a, const QVariant& b) const {
    return asciiFolded(a.toString()) == asciiFolded(b.toString());
}

} // namespace domiva
