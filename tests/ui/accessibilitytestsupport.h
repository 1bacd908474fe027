#pragma once

// What a screen reader finds in the grids, read through QAccessible as a reader's bridge reads
// it, and what the grids announce, without a reader or an accessibility bus.

#include "ui/datagrid.h"
#include "ui/gridaccessible.h"

#include <QAccessible>
#include <QPointer>
#include <QStringList>

namespace domiva::test {

inline QAccessibleInterface* accessibleOf(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}

inline QAccessibleTableInterface* accessibleTable(QObject* grid) {
    QAccessibleInterface* iface = accessibleOf(grid);
    return iface != nullptr ? iface->tableInterface() : nullptr;
}

// The column titles a reader is given, left to right.
inline QStringList spokenHeaders(QObject* grid) {
    QStringList titles;
    QAccessibleTableInterface* table = accessibleTable(grid);
    for (int column = 0; table != nullptr && column < table->columnCount(); ++column)
        titles.append(table->columnDescription(column));
    return titles;
}

// The words of a cell by row and by its place among the shown columns.
inline QString spokenCell(QObject* grid, int row, int column,
                          QAccessible::Text text = QAccessible::Name) {
    QAccessibleTableInterface* table = accessibleTable(grid);
    QAccessibleInterface* cell = table != nullptr ? table->cellAt(row, column) : nullptr;
    return cell != nullptr ? cell->text(text) : QStringLiteral("<no cell>");
}

// The grids' announcements while an instance lives.
class GridAnnouncements {
public:
    struct Heard {
        QAccessible::Event type = QAccessible::Focus;
        QPointer<QObject> grid;
        int row = -1;
        int column = -1; // among the shown columns
        QString name;
    };

    GridAnnouncements() {
        setGridAnnouncementHandler([this](QAccessibleEvent* event) {
            Heard heard;
            heard.type = event->type();
            heard.grid = event->object();
            if (QAccessibleInterface* cell = event->accessibleInterface()) {
                heard.name = cell->text(QAccessible::Name);
                if (QAccessibleTableCellInterface* place = cell->tableCellInterface()) {
                    heard.row = place->rowIndex();
                    heard.column = place->columnIndex();
                }
            }
            all.append(heard);
        });
    }
    ~GridAnnouncements() { setGridAnnouncementHandler({}); }
    GridAnnouncements(const GridAnnouncements&) = delete;
    GridAnnouncements& operator=(const GridAnnouncements&) = delete;

    QList<Heard> of(QAccessible::Event type, const QObject* grid = nullptr) const {
        QList<Heard> result;
        for (const Heard& heard : all) {
            if (heard.type == type && (grid == nullptr || heard.grid == grid))
                result.append(heard);
        }
        return result;
    }

    QList<Heard> all;
};

} // namespace domiva::test
