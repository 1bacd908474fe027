#include "ui/datagrid.h"

#include "ui/gridaccessible.h"
#include "ui/griddelegates.h"

#include <QAbstractItemModel>
#include <QAccessible>
#include <QCursor>
#include <QFontMetrics>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QToolTip>

#include <algorithm>

namespace domiva {

int fieldColumn(const QAbstractItemModel* model, const QString& field) {
    if (model == nullptr)
        return -1;
    const int count = model->columnCount();
    for (int column = 0; column < count; ++column) {
        if (model->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString() == field)
            return column;
    }
    return -1;
}

DataGrid::DataGrid(QWidget* parent) : QTableView(parent) {
    installGridAccessibility();
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSortingEnabled(false);
    setShowGrid(false);
    setWordWrap(false);
    setTabKeyNavigation(true);
    setCornerButtonEnabled(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

    QHeaderView* columns = horizontalHeader();
    columns->hide();
    columns->setStretchLastSection(false);
    columns->setSectionsMovable(false);
    columns->setSectionsClickable(false);
    // Column widths such as 14 pixels are below the style's usual minimum.
    columns->setMinimumSectionSize(1);

    QHeaderView* rows = verticalHeader();
    rows->hide();
    rows->setMinimumSectionSize(1);
    rows->setSectionResizeMode(QHeaderView::Fixed);
    updateRowHeight();
}

void DataGrid::setModel(QAbstractItemModel* model) {
    for (const QMetaObject::Connection& connection : std::as_const(m_modelConnections))
        disconnect(connection);
    m_modelConnections.clear();

    QTableView::setModel(model);

    if (model != nullptr) {
        // A reset or a new query rebuilds the header's sections; put the layout back after the
        // header has processed the change (these connections come after the header's own).
        const auto reapply = [this] { applyFields(); };
        m_modelConnections = {
            connect(model, &QAbstractItemModel::modelReset, this, reapply),
            connect(model, &QAbstractItemModel::layoutChanged, this, reapply),
            connect(model, &QAbstractItemModel::columnsInserted, this, reapply),
            connect(model, &QAbstractItemModel::columnsRemoved, this, reapply),
            connect(model, &QAbstractItemModel::headerDataChanged, this, reapply),
        };
    }
    applyFields();
}

void DataGrid::showFields(const QList<GridField>& fields) {
    m_fields = fields;
    applyFields();
}

void DataGrid::applyFields() {
    const QAbstractItemModel* source = model();
    if (source == nullptr || m_fields.isEmpty())
        return;
    QHeaderView* header = horizontalHeader();
    const int count = header->count();
    QList<bool> shown(count, false);
    int target = 0;
    for (const GridField& field : std::as_const(m_fields)) {
        const int logical = fieldColumn(source, field.name);
        if (logical < 0 || logical >= count || shown[logical])
            continue;
        shown[logical] = true;
        header->moveSection(header->visualIndex(logical), target++);
        // Unhide before sizing: unhiding restores the size the section had when hidden.
        header->setSectionHidden(logical, false);
        header->resizeSection(logical, field.width);
    }
    for (int logical = 0; logical < count; ++logical) {
        if (!shown[logical])
            header->setSectionHidden(logical, true);
    }
    gridLayoutChanged(this);
}

void DataGrid::setGridLines(GridLines lines) {
    if (m_lines == lines)
        return;
    m_lines = lines;
    updateRowHeight();
    viewport()->update();
}

int DataGrid::charsWidth(int chars) const {
    return chars * QFontMetrics(font()).horizontalAdvance(QLatin1Char('0')) + 4;
}

QList<int> DataGrid::visibleColumns() const {
    QList<int> result;
    const QHeaderView* header = horizontalHeader();
    for (int visual = 0; visual < header->count(); ++visual) {
        const int logical = header->logicalIndex(visual);
        if (!header->isSectionHidden(logical))
            result.append(logical);
    }
    return result;
}

int DataGrid::firstVisibleColumn() const {
    const QList<int> columns = visibleColumns();
    return columns.isEmpty() ? -1 : columns.first();
}

void DataGrid::updateRowHeight() {
    // Compact rows as in a classic data grid: the text height and three pixels, never lower
    // than the 16-pixel icons, and one more pixel for the line between rows.
    const int text = QFontMetrics(font()).height() + 3;
    const int height = std::max(text, 16) + (m_lines == GridLines::BetweenRows ? 1 : 0);
    verticalHeader()->setDefaultSectionSize(height);
}

void DataGrid::mousePressEvent(QMouseEvent* event) {
    // The press selects the row first, so a colEnter() handler sees the clicked row current.
    QTableView::mousePressEvent(event);
    if (event->button() != Qt::LeftButton || model() == nullptr)
        return;
    const QPoint pos = event->position().toPoint();
    const int column = columnAt(pos.x());
    if (column < 0 || column == firstVisibleColumn())
        return;
    if (model()->rowCount(rootIndex()) == 0) {
        // An empty grid still offers one blank row to click into.
        if (pos.y() >= verticalHeader()->defaultSectionSize())
            return;
    } else if (!indexAt(pos).isValid()) {
        return;
    }
    emit colEnter();
}

void DataGrid::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    const bool tab = key == Qt::Key_Tab || key == Qt::Key_Backtab;
    if (tab && !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        const bool back = key == Qt::Key_Backtab || (event->modifiers() & Qt::ShiftModifier);
        moveWithinRow(back ? -1 : 1);
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

void DataGrid::moveWithinRow(int step) {
    // Tab walks the columns of the current row and wraps around inside it; it never changes
    // the row and never leaves the grid.
    const QList<int> columns = visibleColumns();
    if (model() == nullptr || columns.size() < 2)
        return;
    if (model()->rowCount(rootIndex()) == 0) {
        emit colEnter();
        return;
    }
    const QModelIndex current = currentIndex();
    const int row = current.isValid() ? current.row() : 0;
    const int position =
        current.isValid() ? std::max(0, int(columns.indexOf(current.column()))) : 0;
    const int count = int(columns.size());
    const int next = (position + step % count + count) % count;
    const QModelIndex target = model()->index(row, columns[next], rootIndex());
    selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect |
                                                  QItemSelectionModel::Rows);
    scrollTo(target);
    emit colEnter();
}

QModelIndex DataGrid::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    // Home and End go to the first and the last row, as in a data grid with whole-row
    // selection, instead of the first and the last column.
    if ((action == MoveHome || action == MoveEnd) && model() != nullptr) {
        const QModelIndex root = rootIndex();
        if (action == MoveEnd) {
            // Stops as well when a model says it has more but brings nothing.
            int loaded = -1;
            while (model()->canFetchMore(root) && model()->rowCount(root) > loaded) {
                loaded = model()->rowCount(root);
                model()->fetchMore(root);
            }
        }
        const int rows = model()->rowCount(root);
        if (rows == 0)
            return {};
        const QModelIndex current = currentIndex();
        const int column = current.isValid() ? current.column() : firstVisibleColumn();
        return model()->index(action == MoveHome ? 0 : rows - 1, std::max(column, 0), root);
    }
    return QTableView::moveCursor(action, modifiers);
}

QItemSelectionModel::SelectionFlags DataGrid::selectionCommand(const QModelIndex& index,
                                                               const QEvent* event) const {
    // A grid always has its current row selected: Ctrl+click or Ctrl+Space do not deselect it.
    const QItemSelectionModel::SelectionFlags flags = QTableView::selectionCommand(index, event);
    if (flags & QItemSelectionModel::Deselect)
        return QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows;
    return flags;
}

void DataGrid::paintEvent(QPaintEvent* event) {
    QTableView::paintEvent(event);
    if (m_lines != GridLines::BetweenRows || model() == nullptr)
        return;
    const int rows = model()->rowCount(rootIndex());
    if (rows == 0)
        return;

    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const int hint = style()->styleHint(QStyle::SH_Table_GridLineColor, &option, this);
    QPainter painter(viewport());
    painter.setPen(QColor::fromRgba(static_cast<QRgb>(hint)));

    const int left = -horizontalOffset();
    const int right = left + horizontalHeader()->length() - 1;
    if (right < left)
        return;
    const QRect area = event->rect();
    int first = rowAt(area.top());
    int last = rowAt(area.bottom());
    if (first < 0)
        first = 0;
    if (last < 0)
        last = rows - 1;
    for (int row = first; row <= last; ++row) {
        if (isRowHidden(row))
            continue;
        const int y = rowViewportPosition(row) + rowHeight(row) - 1;
        painter.drawLine(left, y, right, y);
    }
}

bool DataGrid::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip)
        m_toolTipIndex = indexAt(static_cast<QHelpEvent*>(event)->pos());
    return QTableView::viewportEvent(event);
}

void DataGrid::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                           const QList<int>& roles) {
    QTableView::dataChanged(topLeft, bottomRight, roles);
    // A listing read, a search's counts arrived: a reader hears the new words.
    gridCellsChanged(this, topLeft, bottomRight);
    if (!roles.contains(Qt::ToolTipRole) || !m_toolTipIndex.isValid() ||
        m_toolTipIndex.row() < topLeft.row() || m_toolTipIndex.row() > bottomRight.row() ||
        m_toolTipIndex.column() < topLeft.column() ||
        m_toolTipIndex.column() > bottomRight.column())
        return;
    const QPoint cursor = viewport()->mapFromGlobal(QCursor::pos());
    if (indexAt(cursor) != m_toolTipIndex)
        return;
    const QString text = m_toolTipIndex.data(Qt::ToolTipRole).toString();
    if (!text.isEmpty())
        QToolTip::showText(QCursor::pos(), text, viewport(), visualRect(m_toolTipIndex));
}

void DataGrid::changeEvent(QEvent* event) {
    QTableView::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        updateRowHeight();
}

int DataGrid::cursorRow() const {
    if (model() == nullptr || model()->rowCount() == 0)
        return -1;
    const QModelIndex current = currentIndex();
    return current.isValid() ? current.row() : 0;
}

void DataGrid::placeCursor(int row) {
    if (model() == nullptr || selectionModel() == nullptr || row < 0 || row >= model()->rowCount())
        return;
    const QModelIndex current = currentIndex();
    int column = current.isValid() ? current.column() : firstVisibleColumn();
    if (column < 0)
        column = 0;
    selectionModel()->setCurrentIndex(model()->index(row, column),
                                      QItemSelectionModel::ClearAndSelect |
                                          QItemSelectionModel::Rows);
}

QString DataGrid::columnTitle(int logical) const {
    const QString field =
        model() == nullptr
            ? QString()
            : model()->headerData(logical, Qt::Horizontal, Qt::DisplayRole).toString();
    return m_titles.value(field, field);
}

QString DataGrid::cellText(const QModelIndex& index) const {
    if (!index.isValid())
        return {};
    if (const auto* delegate = qobject_cast<const GridDelegate*>(itemDelegateForIndex(index)))
        return delegate->spokenText(index);
    return index.data(Qt::DisplayRole).toString();
}

QString DataGrid::cellDescription(const QModelIndex& index) const {
    if (!index.isValid())
        return {};
    if (const auto* delegate = qobject_cast<const GridDelegate*>(itemDelegateForIndex(index)))
        return delegate->spokenDescription(index);
    return index.data(Qt::ToolTipRole).toString();
}

// Qt's table view announces every change of the current cell as the focus, also when the
// program moves the cursor of a grid the keyboard is not in (selecting a search moves the
// listings' cursor, so does every keystroke in the filter line), and names the cell by the
// model's columns, hidden ones included. The grid announces its cells itself, by the columns
// it shows, and only while it has the focus.
void DataGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QAbstractItemView::currentChanged(current, previous);
    announceCurrent();
}

void DataGrid::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    // Without the table view's events, which name cells the way the grid's reader does not.
    QAbstractItemView::selectionChanged(selected, deselected);
}

void DataGrid::focusInEvent(QFocusEvent* event) {
    QTableView::focusInEvent(event);
    // Qt announces the grid itself as focused when the focus arrives; the cell follows from
    // the event loop, so a reader is left on the cell rather than on the table.
    QMetaObject::invokeMethod(this, &DataGrid::announceCurrent, Qt::QueuedConnection);
}

void DataGrid::announceCurrent() {
    if (!gridAnnouncementsWanted() || !hasFocus())
        return;
    const int child = gridChildIndex(this, currentIndex());
    if (child < 0)
        return;
    QAccessibleEvent event(this, QAccessible::Focus);
    event.setChild(child);
    announceGrid(&event);
}

} // namespace domiva
