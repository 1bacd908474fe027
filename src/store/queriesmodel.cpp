#include "store/queriesmodel.h"

#include "core/error.h"
#include "store/database.h"
#include "store/offercounts.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QSqlError>
#include <QSqlQuery>

namespace domiva {

using namespace sqlutil;

namespace {
constexpr int nameColumn = 1;
} // namespace

QueriesModel::QueriesModel(Database& db, QObject* parent)
    : StoreTableModel(db, sql::queriesColumns, {Kind::Integer, Kind::Text, Kind::Flag, Kind::Flag},
                      parent) {
    refresh();
}

QVariant QueriesModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::ToolTipRole || index.column() != nameColumn)
        return StoreTableModel::data(index, role);
    const QVariant id = keyOfRow(index.row());
    if (id.isNull())
        return {};
    const auto text = [](const OfferCounts& counts) {
        QString text =
            QStringLiteral("Непрочитанных: %1 из %2").arg(counts.unread).arg(counts.total);
        if (counts.unreadReposts > 0)
            text += QStringLiteral(", повторов: %1").arg(counts.unreadReposts);
        return text;
    };
    const qint32 qid = id.toInt();
    try {
        if (!m_countReader)
            return text(offerCounts(database(), qid));
        const Database::ChangeStamp stamp = database().changeStamp();
        if (m_counted && m_counted->qid == qid && m_counted->stamp == stamp)
            return m_counted->counts ? QVariant(text(*m_counted->counts)) : QVariant();
        m_counted = Counted{qid, stamp, ++m_asked, std::nullopt};
        auto* self = const_cast<QueriesModel*>(this);
        m_countReader(qid, self, [self, asked = m_asked](const std::optional<OfferCounts>& counts) {
            self->countsArrived(asked, counts);
        });
    } catch (const Error&) {
        // No tooltip is better than a box popping up under the mouse.
    }
    return {};
}

void QueriesModel::countsArrived(quint64 asked, const std::optional<OfferCounts>& counts) {
    if (!m_counted || m_counted->asked != asked || m_counted->counts)
        return;
    const qint32 qid = m_counted->qid;
    if (!counts) {
        m_counted.reset();
        return;
    }
    m_counted->counts = counts;
    const int row = rowOfKey(QVariant(qid));
    if (row >= 0)
        emit dataChanged(index(row, nameColumn), index(row, nameColumn), {Qt::ToolTipRole});
}

std::vector<StoreTableModel::Row> QueriesModel::loadRows() {
    QSqlQuery query = prepare(database().connection(), sql::selectQueries);
    exec(query);
    std::vector<Row> rows;
    while (query.next())
        rows.push_back(readRow(query));
    const QSqlError error = query.lastError();
    query.finish();
    if (error.isValid())
        throw engineError(error);
    return rows;
}

std::optional<StoreTableModel::Row> QueriesModel::loadRow(const QVariant& key) {
    QSqlQuery query = prepare(database().connection(), sql::selectQueryRow);
    query.addBindValue(key);
    exec(query);
    std::optional<Row> row;
    if (query.next())
        row = readRow(query);
    query.finish();
    return row;
}

bool QueriesModel::sameKey(const QVariant& a, const QVariant& b) const {
    bool aOk = false;
    bool bOk = false;
    const qlonglong aValue = a.toLongLong(&aOk);
    const qlonglong bValue = b.toLongLong(&bOk);
    return aOk && bOk ? aValue == bValue : a == b;
}

} // namespace domiva
