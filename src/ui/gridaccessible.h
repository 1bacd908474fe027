#pragma once

#include <QModelIndex>

#include <functional>

class QAccessibleEvent;

namespace domiva {

class DataGrid;

// What a screen reader finds of a data grid. Qt's own table interface would offer every column
// of the model, in the model's order, under the raw field names, and cells that read only the
// display text; this one offers the columns the grid shows, left to right, under their titles,
// each cell with the words of its delegate (see DataGrid::cellText). The header row is the
// first row of children, though the grid draws no title row.

// Makes the data grids answer with that interface. Once per program; DataGrid calls it.
void installGridAccessibility();

// The position of a cell among the grid's accessible children, or -1 when the cell is not
// shown (a hidden column, another model). Events about a cell name it by this position.
int gridChildIndex(const DataGrid* grid, const QModelIndex& index);

// The grid's columns or rows moved: the cells a reader holds are placed anew, those gone are
// let go. Nothing happens while no reader is active.
void gridLayoutChanged(DataGrid* grid);

// Where the grids' announcements (focus on a cell, a cell's new words) go: to Qt's
// accessibility, while a reader is active. A handler set here gets them instead, reader or
// not: the tests listen here, where no reader runs. An empty handler puts Qt back.
void setGridAnnouncementHandler(std::function<void(QAccessibleEvent*)> handler);
// Whether anyone listens to the grids' announcements.
bool gridAnnouncementsWanted();
// Sends one announcement about a grid.
void announceGrid(QAccessibleEvent* event);

// The values of these cells changed: each cell a reader has read and whose words or
// description are now different is announced (NameChanged, DescriptionChanged).
void gridCellsChanged(DataGrid* grid, const QModelIndex& topLeft, const QModelIndex& bottomRight);

} // namespace domiva
