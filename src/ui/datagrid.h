#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QTableView>

class QAbstractItemModel;

namespace domiva {

// The model column whose horizontal header names `field` (case-sensitive), or -1. Columns are
// found by name because the models carry more columns than the grids show.
int fieldColumn(const QAbstractItemModel* model, const QString& field);

// One shown column of a grid: the model field and its width in pixels.
struct GridField {
    QString name;
    int width = 0;
};

// A read-only listing grid: whole-row single selection, no title row, no indicator column, no
// sorting. It raises colEnter() only for the user's own moves between columns (see below), which
// is what loads listings and details; everything else moves the current row quietly.
class DataGrid : public QTableView {
    Q_OBJECT

public:
    enum class GridLines { None, BetweenRows };

    explicit DataGrid(QWidget* parent = nullptr);

    void setModel(QAbstractItemModel* model) override;

    // Shows exactly these fields, in this order and with these widths; the model's other
    // columns are hidden. The layout is kept across model resets.
    void showFields(const QList<GridField>& fields);
    const QList<GridField>& shownFields() const { return m_fields; }
    // The titles a screen reader speaks for the columns, by field; the grid draws no title
    // row. A field without one is spoken by its name.
    void setColumnTitles(const QHash<QString, QString>& titles) { m_titles = titles; }

    void setGridLines(GridLines lines);
    GridLines gridLines() const { return m_lines; }

    // Pixel width of a column `chars` characters wide: that many digits "0" of the grid font
    // plus 4 pixels.
    int charsWidth(int chars) const;

    // Logical index of the leftmost shown column, or -1 when none is shown.
    int firstVisibleColumn() const;
    // Logical indexes of the shown columns, left to right.
    QList<int> visibleColumns() const;

    // The row the cursor stands on: the current row, else the first one (a data cursor always
    // has a current row once it holds rows); -1 for an empty grid.
    int cursorRow() const;
    // Moves the cursor to a row without any user action: no column-enter follows.
    void placeCursor(int row);

    // What a screen reader is given of a column and of a cell: the column's title, the words
    // of the cell's delegate (what the cell shows, in words where it only draws), and more
    // about the cell (its tooltip, unless the delegate says otherwise).
    QString columnTitle(int logical) const;
    QString cellText(const QModelIndex& index) const;
    QString cellDescription(const QModelIndex& index) const;

signals:
    // The user entered another column: a left click on a cell outside the first shown column,
    // or Tab / Shift+Tab. The current row is already the clicked one when this is raised.
    void colEnter();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles = QList<int>()) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    void selectionChanged(const QItemSelection& selected,
                          const QItemSelection& deselected) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    // Tells a screen reader that the focus is on the current cell, when the grid has it.
    void announceCurrent();

    void applyFields();
    void updateRowHeight();
    void moveWithinRow(int step);

    QList<GridField> m_fields;
    QHash<QString, QString> m_titles;
    GridLines m_lines = GridLines::None;
    QList<QMetaObject::Connection> m_modelConnections;
    // The cell a tooltip was last asked for: a model that has it only later says so by
    // dataChanged, and it is shown then if the mouse is still there.
    QPersistentModelIndex m_toolTipIndex;
};

} // namespace domiva
