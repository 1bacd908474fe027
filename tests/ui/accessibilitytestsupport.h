#pragma once

// The grids as a screen reader's bridge reads them through QAccessible, and what they announce,
// with no reader or accessibility bus running.

#include "ui/gridaccessible.h"

#include <QAccessible>
#include <QPointer>
#include <QStringList>

namespace domiva::test {

inline QAccessibleInterface* accessibleOf(QObject* object) {
    return QAccessible::queryAccessibleInterface(object);
}

// The column titles, left to right.
inline QStringList spokenHeaders(QObject* grid) {
    QStringList titles;
    QAccessibleTableInterface* table = accessibleOf(grid)->tableInterface();
    for (int column = 0; column < table->columnCount(); ++column)
        titles.append(table->columnDescription(column));
    return titles;
}

// A cell's text by its row and its place among the shown columns.
inline QString spokenCell(QObject* grid, int row, int column,
                          QAccessible::Text text = QAccessible::Name) {
    QAccessibleInterface* cell = accessibleOf(grid)->tableInterface()->cellAt(row, column);
    return cell != nullptr ? cell->text(text) : QStringLiteral("<no cell>");
}

// The grids' announcements while an instance lives: the cell each names, where it stands.
struct GridAnnouncements {
    struct Heard {
        QAccessible::Event type = QAccessible::Focus;
        QPointer<QObject> grid;
        int row = -1;
        int column = -1;
        QString name;
    };
    QList<Heard> all;

    GridAnnouncements() {
        setGridAnnouncementHandler([this](QAccessibleEvent* event) {
            QAccessibleInterface* cell = event->accessibleInterface();
            QAccessibleTableCellInterface* place = cell->tableCellInterface();
            all.append({event->type(), event->object(), place->rowIndex(), place->columnIndex(),
                        cell->text(QAccessible::Name)});
        });
    }
    ~GridAnnouncements() { setGridAnnouncementHandler({}); }
    Q_DISABLE_COPY_MOVE(GridAnnouncements)

    QList<Heard> of(QAccessible::Event type, const QObject* grid = nullptr) const {
        QList<Heard> result;
        for (const Heard& heard : all) {
            if (heard.type == type && (grid == nullptr || heard.grid == grid))
                result.append(heard);
        }
        return result;
    }
};

} // namespace domiva::test
