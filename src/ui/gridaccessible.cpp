#include "ui/gridaccessible.h"

#include "ui/datagrid.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHash>
#include <QItemSelectionModel>
#include <QPersistentModelIndex>
#include <QPointer>

namespace domiva {

namespace {

// One cell of a grid, or the title of one of its columns (the header row a reader is given).
class GridCell : public QAccessibleInterface, public QAccessibleTableCellInterface {
public:
    GridCell(DataGrid* grid, const QModelIndex& index) : m_grid(grid), m_index(index) {}
    GridCell(DataGrid* grid, int headerColumn) : m_grid(grid), m_headerColumn(headerColumn) {}

    bool isHeader() const { return m_headerColumn >= 0; }
    QModelIndex index() const { return m_index; }

    // Where the cell is among the grid's children now; -1 once it is gone.
    int childIndex() const {
        if (m_grid.isNull())
            return -1;
        if (isHeader())
            return int(m_grid->visibleColumns().indexOf(m_headerColumn));
        return gridChildIndex(m_grid, m_index);
    }

    // Whether the words (or the description) a reader was last given are no longer right;
    // they are taken as given now. A text never read needs no announcement.
    bool nameChanged() { return changed(m_name, words(QAccessible::Name)); }
    bool descriptionChanged() { return changed(m_description, words(QAccessible::Description)); }

    bool isValid() const override { return childIndex() >= 0; }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override {
        return m_grid.isNull() ? nullptr : m_grid->window()->windowHandle();
    }
    QAccessibleInterface* parent() const override {
        return m_grid.isNull() ? nullptr : QAccessible::queryAccessibleInterface(m_grid.data());
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }

    QString text(QAccessible::Text t) const override {
        const QString result = words(t);
        if (t == QAccessible::Name)
            m_name = Given{true, result};
        else if (t == QAccessible::Description)
            m_description = Given{true, result};
        return result;
    }
    void setText(QAccessible::Text, const QString&) override {}

    QRect rect() const override {
        if (!isValid())
            return {};
        QRect area;
        if (isHeader()) {
            // Not drawn: a line of no height along the top of the column.
            area = QRect(m_grid->columnViewportPosition(m_headerColumn), 0,
                         m_grid->columnWidth(m_headerColumn), 0);
        } else {
            area = m_grid->visualRect(m_index);
        }
        return area.translated(m_grid->viewport()->mapToGlobal(QPoint(0, 0)));
    }

    QAccessible::Role role() const override {
        return isHeader() ? QAccessible::ColumnHeader : QAccessible::Cell;
    }

    QAccessible::State state() const override {
        QAccessible::State st;
        if (!isValid()) {
            st.invalid = true;
            return st;
        }
        st.readOnly = true;
        if (isHeader())
            return st;
        st.selectable = true;
        st.focusable = true;
        st.selected = isSelected();
        st.focused = m_grid->hasFocus() && m_grid->currentIndex() == m_index;
        if (!m_grid->viewport()->rect().intersects(m_grid->visualRect(m_index)))
            st.offscreen = true;
        return st;
    }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TableCellInterface && !isHeader())
            return static_cast<QAccessibleTableCellInterface*>(this);
        return nullptr;
    }

    bool isSelected() const override {
        const QItemSelectionModel* selection = m_grid.isNull() ? nullptr : m_grid->selectionModel();
        return selection != nullptr && m_index.isValid() && selection->isSelected(m_index);
    }
    QList<QAccessibleInterface*> columnHeaderCells() const override {
        QAccessibleInterface* table = parent();
        const int column = columnIndex();
        if (table == nullptr || column < 0)
            return {};
        if (QAccessibleInterface* header = table->child(column))
            return {header};
        return {};
    }
    QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
    int columnIndex() const override {
        return m_grid.isNull() ? -1 : int(m_grid->visibleColumns().indexOf(m_index.column()));
    }
    int rowIndex() const override { return m_index.isValid() ? m_index.row() : -1; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface* table() const override { return parent(); }

private:
    // The texts as they are now, not taken as given.
    QString words(QAccessible::Text t) const {
        if (!isValid())
            return {};
        if (t == QAccessible::Name)
            return isHeader() ? m_grid->columnTitle(m_headerColumn) : m_grid->cellText(m_index);
        if (t == QAccessible::Description && !isHeader())
            return m_grid->cellDescription(m_index);
        return {};
    }

    struct Given {
        bool read = false;
        QString text;
    };

    static bool changed(Given& given, const QString& now) {
        if (!given.read || given.text == now)
            return false;
        given.text = now;
        return true;
    }

    QPointer<DataGrid> m_grid;
    QPersistentModelIndex m_index;
    int m_headerColumn = -1; // the model column of a title
    // Asking for the texts keeps them here, so a change can be told later.
    mutable Given m_name;
    mutable Given m_description;
};

// The grid itself: a table of the shown columns, titles first.
class GridTable : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit GridTable(DataGrid* grid) : QAccessibleWidget(grid, QAccessible::Table) {}
    ~GridTable() override { dropAll(); }

    DataGrid* grid() const { return static_cast<DataGrid*>(widget()); }

    void* interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TableInterface)
            return static_cast<QAccessibleTableInterface*>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    int childCount() const override {
        const int columns = columnCount();
        return columns == 0 ? 0 : (rowCount() + 1) * columns;
    }

    QAccessibleInterface* child(int index) const override {
        if (index < 0 || index >= childCount())
            return nullptr;
        if (const auto known = m_children.constFind(index); known != m_children.constEnd())
            return QAccessible::accessibleInterface(*known);
        const QList<int> shown = grid()->visibleColumns();
        const int columns = int(shown.size());
        GridCell* cell = nullptr;
        if (index < columns) {
            cell = new GridCell(grid(), shown[index]);
        } else {
            const QModelIndex cellIndex =
                grid()->model()->index(index / columns - 1, shown[index % columns], rootIndex());
            cell = new GridCell(grid(), cellIndex);
        }
        m_children.insert(index, QAccessible::registerAccessibleInterface(cell));
        return cell;
    }

    int indexOfChild(const QAccessibleInterface* child) const override {
        const auto* cell = dynamic_cast<const GridCell*>(child);
        return cell != nullptr && cell->parent() == this ? cell->childIndex() : -1;
    }

    QAccessibleInterface* childAt(int x, int y) const override {
        const QPoint pos = grid()->viewport()->mapFromGlobal(QPoint(x, y));
        const int index = gridChildIndex(grid(), grid()->indexAt(pos));
        return index < 0 ? nullptr : child(index);
    }

    QAccessibleInterface* focusChild() const override {
        if (!grid()->hasFocus())
            return nullptr;
        const int index = gridChildIndex(grid(), grid()->currentIndex());
        return index < 0 ? nullptr : child(index);
    }

    // QAccessibleTableInterface
    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override {
        const int columns = columnCount();
        if (row < 0 || row >= rowCount() || column < 0 || column >= columns)
            return nullptr;
        return child((row + 1) * columns + column);
    }
    int selectedCellCount() const override { return int(selectedCells().size()); }
    QList<QAccessibleInterface*> selectedCells() const override {
        QList<QAccessibleInterface*> cells;
        if (grid()->selectionModel() == nullptr)
            return cells;
        const QModelIndexList selected = grid()->selectionModel()->selectedIndexes();
        for (const QModelIndex& index : selected) {
            const int position = gridChildIndex(grid(), index);
            if (position >= 0)
                cells.append(child(position));
        }
        return cells;
    }
    QString columnDescription(int column) const override {
        const QList<int> shown = grid()->visibleColumns();
        return column >= 0 && column < shown.size() ? grid()->columnTitle(shown[column])
                                                    : QString();
    }
    QString rowDescription(int) const override { return {}; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return int(selectedRows().size()); }
    int columnCount() const override {
        return grid()->model() == nullptr ? 0 : int(grid()->visibleColumns().size());
    }
    int rowCount() const override {
        return grid()->model() == nullptr ? 0 : grid()->model()->rowCount(rootIndex());
    }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override {
        QList<int> rows;
        for (int row = 0; row < rowCount(); ++row) {
            if (isRowSelected(row))
                rows.append(row);
        }
        return rows;
    }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override {
        const int column = grid()->firstVisibleColumn();
        const QItemSelectionModel* selection = grid()->selectionModel();
        return selection != nullptr && column >= 0 &&
               selection->isSelected(grid()->model()->index(row, column, rootIndex()));
    }
    bool selectRow(int row) override {
        if (row < 0 || row >= rowCount())
            return false;
        grid()->placeCursor(row);
        return true;
    }
    bool selectColumn(int) override { return false; }
    // The grid always has its row selected.
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }

    void modelChange(QAccessibleTableModelChangeEvent* event) override {
        if (event->modelChangeType() == QAccessibleTableModelChangeEvent::ModelReset)
            dropAll();
        else
            relocate();
    }

    // Cells a reader holds are kept where their rows and columns went.
    void relocate() {
        QHash<int, QAccessible::Id> placed;
        for (auto it = m_children.constBegin(); it != m_children.constEnd(); ++it) {
            const auto* cell = static_cast<GridCell*>(QAccessible::accessibleInterface(it.value()));
            const int now = cell != nullptr ? cell->childIndex() : -1;
            if (now < 0 || placed.contains(now))
                QAccessible::deleteAccessibleInterface(it.value());
            else
                placed.insert(now, it.value());
        }
        m_children = placed;
    }

    void cellsChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight) {
        // Collected first: sending an event may have the reader ask for more cells.
        QList<QPair<int, GridCell*>> touched;
        for (auto it = m_children.constBegin(); it != m_children.constEnd(); ++it) {
            auto* cell = static_cast<GridCell*>(QAccessible::accessibleInterface(it.value()));
            if (cell == nullptr || cell->isHeader())
                continue;
            const QModelIndex index = cell->index();
            if (index.isValid() && index.row() >= topLeft.row() &&
                index.row() <= bottomRight.row() && index.column() >= topLeft.column() &&
                index.column() <= bottomRight.column())
                touched.append({cell->childIndex(), cell});
        }
        for (const auto& [position, cell] : std::as_const(touched)) {
            const bool name = cell->nameChanged();
            const bool description = cell->descriptionChanged();
            if (name)
                announce(position, QAccessible::NameChanged);
            if (description)
                announce(position, QAccessible::DescriptionChanged);
        }
    }

private:
    QModelIndex rootIndex() const { return grid()->rootIndex(); }

    void announce(int position, QAccessible::Event type) {
        QAccessibleEvent event(grid(), type);
        event.setChild(position);
        announceGrid(&event);
    }

    void dropAll() {
        for (const QAccessible::Id id : std::as_const(m_children))
            QAccessible::deleteAccessibleInterface(id);
        m_children.clear();
    }

    // The cells handed out, by their place among the children; the accessibility cache owns
    // them.
    mutable QHash<int, QAccessible::Id> m_children;
};

QAccessibleInterface* gridFactory(const QString& className, QObject* object) {
    if (className == QLatin1String(DataGrid::staticMetaObject.className())) {
        if (auto* grid = qobject_cast<DataGrid*>(object))
            return new GridTable(grid);
    }
    return nullptr;
}

std::function<void(QAccessibleEvent*)>& announcementHandler() {
    static std::function<void(QAccessibleEvent*)> handler;
    return handler;
}

GridTable* tableOf(DataGrid* grid) {
    if (!gridAnnouncementsWanted())
        return nullptr;
    return dynamic_cast<GridTable*>(QAccessible::queryAccessibleInterface(grid));
}

} // namespace

void installGridAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(gridFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

void setGridAnnouncementHandler(std::function<void(QAccessibleEvent*)> handler) {
    announcementHandler() = std::move(handler);
}

bool gridAnnouncementsWanted() {
    return announcementHandler() || QAccessible::isActive();
}

void announceGrid(QAccessibleEvent* event) {
    if (const auto& handler = announcementHandler())
        handler(event);
    else
        QAccessible::updateAccessibility(event);
}

int gridChildIndex(const DataGrid* grid, const QModelIndex& index) {
    if (grid == nullptr || !index.isValid() || index.model() != grid->model() ||
        index.parent() != grid->rootIndex())
        return -1;
    const QList<int> shown = grid->visibleColumns();
    const int position = int(shown.indexOf(index.column()));
    if (position < 0)
        return -1;
    return (index.row() + 1) * int(shown.size()) + position;
}

void gridLayoutChanged(DataGrid* grid) {
    if (GridTable* table = tableOf(grid))
        table->relocate();
}

void gridCellsChanged(DataGrid* grid, const QModelIndex& topLeft, const QModelIndex& bottomRight) {
    if (GridTable* table = tableOf(grid))
        table->cellsChanged(topLeft, bottomRight);
}

} // namespace domiva
