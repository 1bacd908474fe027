#include "store/tablemodel.h"

#include "core/datetimevalue.h"
#include "core/error.h"

#include <QLocale>
#include <QSqlQuery>

#include <algorithm>
#include <limits>

namespace domiva {

namespace {

// The long time format without its time-zone token ("HH:mm:ss t" -> "HH:mm:ss"); quoted
// literal text is kept as it is.
QString longTimeFormat(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        else if (!quoted && c == QLatin1Char('t'))
            continue;
        result.append(c);
    }
    return result.trimmed();
}

QVariant toInteger(const QVariant& raw) {
    bool ok = false;
    const qlonglong value = raw.toLongLong(&ok);
    if (ok && value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max())
        return QVariant(static_cast<int>(value));
    return raw;
}

QVariant toDateTimeValue(const QVariant& raw) {
    if (raw.typeId() == QMetaType::QString)
        return QVariant(dateTimeValueFromText(raw.toString()));
    return QVariant(raw.toDouble());
}

} // namespace

int columnOf(const QAbstractItemModel* model, QStringView fieldName) {
    if (model == nullptr)
        return -1;
    const int columns = model->columnCount();
    for (int column = 0; column < columns; ++column) {
        const QString header =
            model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
        if (QStringView(header).compare(fieldName, Qt::CaseInsensitive) == 0)
            return column;
    }
    return -1;
}

QString dateTimeDisplayText(double value) {
    const DateTimeParts parts = fromDateTimeValue(value);
    if (!parts.date.isValid())
        return QString();
    const QLocale locale = QLocale::system();
    QString text = locale.toString(parts.date, QLocale::ShortFormat);
    if (parts.time != QTime(0, 0))
        text += QLatin1Char(' ') + locale.toString(parts.time, longTimeFormat(locale));
    return text;
}

StoreTableModel::StoreTableModel(Database& db, std::span<const QLatin1String> fields,
                                 std::vector<Kind> kinds, QObject* parent)
    : QAbstractTableModel(parent), m_db(db), m_fields(fields.begin(), fields.end()),
      m_kinds(std::move(kinds)) {
    Q_ASSERT(m_fields.size() == m_kinds.size());
}

int StoreTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int StoreTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_fields.size());
}

QVariant StoreTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.model() != this || index.column() >= columnCount())
        return QVariant();
    const Row* row = storedRow(index.row());
    if (row == nullptr)
        return QVariant();
    const QVariant value = row->value(index.column());
    switch (role) {
    case Qt::EditRole:
        return value;
    case Qt::DisplayRole:
        return displayValue(index.column(), value);
    default:
        return QVariant();
    }
}

QVariant StoreTableModel::displayValue(int column, const QVariant& value) const {
    if (value.isNull())
        return QString();
    switch (m_kinds[static_cast<std::size_t>(column)]) {
    case Kind::Flag:
        return QString();
    case Kind::DateTime:
        return dateTimeDisplayText(value.toDouble());
    case Kind::Integer:
    case Kind::Text:
        break;
    }
    return value.toString();
}

QVariant StoreTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < columnCount())
        return QString(m_fields[static_cast<std::size_t>(section)]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

Qt::ItemFlags StoreTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QVariant StoreTableModel::keyOfRow(int row) const {
    const Row* values = storedRow(row);
    return values != nullptr ? values->value(0) : QVariant();
}

const StoreTableModel::Row* StoreTableModel::storedRow(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return nullptr;
    return &m_rows[static_cast<std::size_t>(row)];
}

int StoreTableModel::rowOfKey(const QVariant& key) {
    return findLoadedRow(key);
}

QVariantMap StoreTableModel::rowValues(int row, int role) const {
    QVariantMap values;
    if (row < 0 || row >= rowCount())
        return values;
    for (int column = 0; column < columnCount(); ++column)
        values.insert(QString(m_fields[static_cast<std::size_t>(column)]),
                      data(index(row, column), role));
    return values;
}

void StoreTableModel::refresh() {
    if (m_bulkDepth > 0)
        return;
    reload();
}

void StoreTableModel::reload() {
    std::vector<Row> rows;
    try {
        // Taken first: whatever changes while the rows are read is new to the next look.
        m_readStamp = m_db.changeStamp();
        if (loadInBackground())
            return;
        rows = loadRows();
    } catch (const Error&) {
        m_readStamp.reset();
        beginResetModel();
        m_rows.clear();
        loadFailedReset();
        endResetModel();
        throw;
    }
    beginResetModel();
    m_rows = std::move(rows);
    adoptLoadedState();
    endResetModel();
}

bool StoreTableModel::refreshIfChanged() {
    if (m_bulkDepth > 0 || (m_readStamp && *m_readStamp == m_db.changeStamp()))
        return false;
    reload();
    return true;
}

void StoreTableModel::refreshRow(const QVariant& key) {
    if (m_bulkDepth > 0)
        return;
    refreshRowAt(findLoadedRow(key));
}

void StoreTableModel::refreshRowAt(int row) {
    if (m_bulkDepth > 0 || row < 0 || row >= static_cast<int>(m_rows.size()))
        return;
    std::optional<Row> fresh = loadRow(keyOfRow(row));
    if (!fresh) {
        beginRemoveRows(QModelIndex(), row, row);
        m_rows.erase(m_rows.begin() + row);
        endRemoveRows();
        return;
    }
    m_rows[static_cast<std::size_t>(row)] = std::move(*fresh);
    emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

void StoreTableModel::beginBulkUpdate() {
    ++m_bulkDepth;
}

bool StoreTableModel::endBulkUpdate() {
    if (m_bulkDepth == 0 || --m_bulkDepth > 0)
        return false;
    try {
        return refreshIfChanged();
    } catch (const Error& error) {
        emit loadFailed(error.message(), error.damagedFile());
        return true;
    }
}

bool StoreTableModel::sameKey(const QVariant& a, const QVariant& b) const {
    return a == b;
}

StoreTableModel::Row StoreTableModel::readRow(const QSqlQuery& query) const {
    Row row;
    row.reserve(static_cast<qsizetype>(m_kinds.size()));
    for (std::size_t column = 0; column < m_kinds.size(); ++column) {
        const QVariant raw = query.value(static_cast<int>(column));
        if (raw.isNull()) {
            row.append(QVariant());
            continue;
        }
        switch (m_kinds[column]) {
        case Kind::Integer:
            row.append(toInteger(raw));
            break;
        case Kind::Text:
            row.append(raw.toString());
            break;
        case Kind::Flag:
            row.append(QVariant(raw.toDouble() != 0));
            break;
        case Kind::DateTime:
            row.append(toDateTimeValue(raw));
            break;
        }
    }
    return row;
}

int StoreTableModel::findLoadedRow(const QVariant& key) const {
    if (key.isNull())
        return -1;
    for (std::size_t row = 0; row < m_rows.size(); ++row) {
        if (sameKey(m_rows[row].value(0), key))
            return static_cast<int>(row);
    }
    return -1;
}

} // namespace domiva
