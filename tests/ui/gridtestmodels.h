#pragma once

// Models shaped like the store's grid models: the header names the field, EditRole holds the
// stored value (QVariant() for NULL), DisplayRole the text.

#include <QStandardItemModel>
#include <QStringList>
#include <QVariantList>

#include <memory>

namespace domiva::test {

inline QStringList queryFields() {
    return {QStringLiteral("id"), QStringLiteral("qname"), QStringLiteral("updated"),
            QStringLiteral("unreaded")};
}

inline QStringList offerFields() {
    return {QStringLiteral("id"),         QStringLiteral("qid"),       QStringLiteral("unreaded"),
            QStringLiteral("min_obj"),    QStringLiteral("metro_obj"), QStringLiteral("room_obj"),
            QStringLiteral("kitch_obj"),  QStringLiteral("price_obj"), QStringLiteral("perc_obj"),
            QStringLiteral("flat_obj"),   QStringLiteral("info_obj"),  QStringLiteral("cont_obj"),
            QStringLiteral("owntxt_obj"), QStringLiteral("publ_obj"),  QStringLiteral("dt_obj")};
}

// A row is given as field/value pairs; fields left out are NULL.
using Row = QList<QPair<QString, QVariant>>;

// QStandardItemModel keeps one value for DisplayRole and EditRole; a field listed in
// `displayTexts` shows that text instead, the way the store shows dates.
class GridTestModel : public QStandardItemModel {
public:
    GridTestModel(const QStringList& fields, const QList<Row>& rows) {
        setColumnCount(int(fields.size()));
        setHorizontalHeaderLabels(fields);
        for (const Row& row : rows)
            appendRow(row);
    }

    void appendRow(const Row& row) {
        QList<QStandardItem*> items;
        for (int column = 0; column < columnCount(); ++column)
            items.append(new QStandardItem);
        for (const auto& [field, value] : row) {
            const int column = columnOf(field);
            Q_ASSERT(column >= 0);
            if (!value.isNull())
                items[column]->setData(value, Qt::EditRole);
        }
        QStandardItemModel::appendRow(items);
    }

    int columnOf(const QString& field) const {
        for (int column = 0; column < columnCount(); ++column) {
            if (headerData(column, Qt::Horizontal).toString() == field)
                return column;
        }
        return -1;
    }

    QModelIndex cell(int row, const QString& field) const { return index(row, columnOf(field)); }

    QVariant data(const QModelIndex& index, int role) const override {
        if (role == Qt::DisplayRole) {
            const auto text = displayTexts.constFind(
                {index.row(), headerData(index.column(), Qt::Horizontal).toString()});
            if (text != displayTexts.constEnd())
                return *text;
        }
        return QStandardItemModel::data(index, role);
    }

    QMap<QPair<int, QString>, QString> displayTexts;
};

} // namespace domiva::test
