#pragma once

#include "store/database.h"

#include <QAbstractTableModel>
#include <QLatin1String>
#include <QList>
#include <QStringView>
#include <QVariant>
#include <QVariantMap>

#include <optional>
#include <span>
#include <vector>

class QSqlQuery;

namespace domiva {

// The column of model whose horizontal header names fieldName (letter case ignored), or -1.
int columnOf(const QAbstractItemModel* model, QStringView fieldName);

// A date-time value as the grids and the details panel show it: the short date of the system
// locale, a blank and its long time without the time-zone token; the time is left out when it
// is exactly midnight.
QString dateTimeDisplayText(double value);

// Read-only table of one database table, in its column order. The horizontal header of a
// column is its field name; Qt::EditRole gives the stored value (QVariant() for NULL, bool
// for the flags, QString for texts, the date-time value as double for dates) and
// Qt::DisplayRole the text shown (empty for flags).
//
// The model holds copies of the rows (or, for a large table, of the rows shown lately), read by
// short statements that are finished at once. refresh() reads them again (a model reset); a
// view restores its current row afterwards through keyOfRow() before and rowOfKey() after.
// Between beginBulkUpdate() and endBulkUpdate() refreshes are held back, and the outermost
// endBulkUpdate() refreshes once, when the database changed since the rows were read.
class StoreTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum class Kind { Integer, Text, Flag, DateTime };
    using Row = QList<QVariant>; // stored values, as data(EditRole) returns them

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The key (the id column) of a row; QVariant() outside the rows.
    QVariant keyOfRow(int row) const;
    // The row holding key, or -1. A model that reads its rows on demand may look the key up.
    virtual int rowOfKey(const QVariant& key);
    // Field name -> value of a row, in the given role; empty outside the rows.
    QVariantMap rowValues(int row, int role = Qt::DisplayRole) const;

    // Reads the rows again, or after the bulk update when one is under way. Throws
    // domiva::Error; the model is then empty.
    void refresh();
    // refresh(), only when the database changed since the rows were read. Returns whether it
    // read them. Throws domiva::Error.
    bool refreshIfChanged();
    // Reads one row again after it changed in the database (dataChanged), or drops it when it
    // is gone (rowsRemoved). Unknown keys are ignored. Throws domiva::Error.
    void refreshRow(const QVariant& key);
    // The same for the row at this position, when its key is already known to be there.
    virtual void refreshRowAt(int row);

    void beginBulkUpdate();
    // Never throws: a failed refresh empties the model and emits loadFailed. Returns whether
    // the rows were read again.
    bool endBulkUpdate();
    bool isBulkUpdating() const noexcept { return m_bulkDepth > 0; }

signals:
    // Reading rows failed where no caller could be told by an exception (a view reading rows,
    // endBulkUpdate, rowOfKey). damagedFile: the engine found the file damaged.
    void loadFailed(const QString& message, bool damagedFile);

protected:
    StoreTableModel(Database& db, std::span<const QLatin1String> fields, std::vector<Kind> kinds,
                    QObject* parent);

    // The rows a refresh shows (a model that reads its rows on demand: none, preparing what
    // it needs to read them).
    virtual std::vector<Row> loadRows() = 0;
    // Starts reading the rows away from the model's thread instead, when the model does so;
    // they are shown when they arrive. Returns false when the rows are to be read here.
    virtual bool loadInBackground() { return false; }
    // Called inside the model reset that shows the rows loadRows returned: a model that reads
    // on demand takes over what loadRows prepared.
    virtual void adoptLoadedState() {}
    // Called inside the model reset that empties the model after loadRows failed.
    virtual void loadFailedReset() {}
    // The current stored row with this key, if there is one that belongs to the model.
    virtual std::optional<Row> loadRow(const QVariant& key) = 0;
    // Whether two keys name the same row.
    virtual bool sameKey(const QVariant& a, const QVariant& b) const;

    // The stored values of a row; null outside the rows (or when they cannot be read).
    virtual const Row* storedRow(int row) const;
    // The row with this key among the rows held in memory, or -1.
    virtual int findLoadedRow(const QVariant& key) const;

    // refresh() without regard to a bulk update.
    void reload();
    // The next refreshIfChanged() reads again, whether or not the database changed.
    void forgetReadStamp() noexcept { m_readStamp.reset(); }
    // One result row, converted by column kinds.
    Row readRow(const QSqlQuery& query) const;

    Database& database() const noexcept { return m_db; }

private:
    QVariant displayValue(int column, const QVariant& value) const;

    Database& m_db;
    std::vector<QLatin1String> m_fields;
    std::vector<Kind> m_kinds;
    std::vector<Row> m_rows;
    int m_bulkDepth = 0;
    // The database's change stamp when the rows were last read; none after a failed read.
    std::optional<Database::ChangeStamp> m_readStamp;
};

// RAII form of beginBulkUpdate()/endBulkUpdate().
class BulkUpdate {
public:
    explicit BulkUpdate(StoreTableModel& model) : m_model(model) { m_model.beginBulkUpdate(); }
    ~BulkUpdate() { m_model.endBulkUpdate(); }
    BulkUpdate(const BulkUpdate&) = delete;
    BulkUpdate& operator=(const BulkUpdate&) = delete;

private:
    StoreTableModel& m_model;
};

} // namespace domiva
