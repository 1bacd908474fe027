#pragma once

#include "store/tablemodel.h"

namespace domiva {

// The whole Queries table (id, qname, updated, unreaded) in the order its rows were stored.
// The table is small: a refresh reads it in one statement.
class QueriesModel : public StoreTableModel {
    Q_OBJECT
public:
    // Reads the table; throws domiva::Error.
    explicit QueriesModel(Database& db, QObject* parent = nullptr);

    // Qt::ToolTipRole of the name: "Непрочитанных: N из M", counted when asked for.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

protected:
    std::vector<Row> loadRows() override;
    std::optional<Row> loadRow(const QVariant& key) override;
    bool sameKey(const QVariant& a, const QVariant& b) const override;
};

} // namespace domiva
