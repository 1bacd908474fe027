// The listing grid: shown fields, the column-enter rule, rows and lines.

#include "ui/accessibilitytestsupport.h"
#include "ui/datagrid.h"
#include "ui/griddelegates.h"
#include "ui/gridtestmodels.h"

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

using namespace domiva;
using domiva::test::GridTestModel;
using domiva::test::Row;

namespace {

constexpr int offerRows = 30;

const QList<GridField> offerLayout = {
    {QStringLiteral("unreaded"), 14},   {QStringLiteral("room_obj"), 17},
    {QStringLiteral("metro_obj"), 323}, {QStringLiteral("min_obj"), 24},
    {QStringLiteral("price_obj"), 44},  {QStringLiteral("info_obj"), 72},
    {QStringLiteral("cont_obj"), 155},  {QStringLiteral("dt_obj"), 110},
};

std::unique_ptr<GridTestModel> offersModel(int rows) {
    QList<Row> content;
    for (int row = 0; row < rows; ++row) {
        content.append(Row{{"id", QStringLiteral("o%1").arg(row)},
                           {"qid", 1},
                           {"unreaded", false},
                           {"room_obj", QString::number(row % 4 + 1)},
                           {"metro_obj", QStringLiteral("Улица %1").arg(row)},
                           {"price_obj", QString::number(30000 + row)}});
    }
    return std::make_unique<GridTestModel>(test::offerFields(), content);
}

// A window with the grid and another focusable widget after it, so that Tab could leave.
struct Fixture {
    QWidget window;
    DataGrid* grid;
    QLineEdit* after;
    std::unique_ptr<GridTestModel> model;

    explicit Fixture(int rows = offerRows) : model(offersModel(rows)) {
        auto* layout = new QVBoxLayout(&window);
        grid = new DataGrid(&window);
        after = new QLineEdit(&window);
        layout->addWidget(grid);
        layout->addWidget(after);
        grid->setModel(model.get());
        grid->showFields(offerLayout);
        window.resize(900, 260);
    }

    bool showAndFocus() {
        window.show();
        window.activateWindow();
        if (!QTest::qWaitForWindowActive(&window))
            return false;
        grid->setFocus();
        return grid->hasFocus();
    }

    int column(const QString& field) const { return model->columnOf(field); }

    void click(int row, const QString& field, Qt::MouseButton button = Qt::LeftButton,
               Qt::KeyboardModifiers modifiers = {}) {
        const QRect rect = grid->visualRect(model->cell(row, field));
        QTest::mouseClick(grid->viewport(), button, modifiers, rect.center());
    }
};

// A model that shows its rows a page at a time, like the store's offers.
class PagedModel : public GridTestModel {
public:
    PagedModel(int total, int page, bool stuck)
        : GridTestModel(test::offerFields(), {}), m_total(total), m_page(page), m_stuck(stuck) {
        fetchMore({});
    }
    bool canFetchMore(const QModelIndex& parent) const override {
        return !parent.isValid() && (m_stuck || rowCount() < m_total);
    }
    void fetchMore(const QModelIndex& parent) override {
        if (parent.isValid() || (m_stuck && rowCount() > 0))
            return;
        for (int i = 0; i < m_page && rowCount() < m_total; ++i)
            appendRow(Row{{"id", QStringLiteral("p%1").arg(rowCount())}});
    }

private:
    int m_total;
    int m_page;
    bool m_stuck;
};

} // namespace

class TestDataGrid : public QObject {
    Q_OBJECT

private slots:
    void readOnlyRowGrid();
    void showFieldsOrderAndWidths();
    void showFieldsSurvivesReset();
    void showFieldsOnAnotherModel();
    void charsWidth();
    void columnEnter_data();
    void columnEnter();
    void tabStaysInGridAndRow();
    void programMovesNeverEmit();
    void clickBelowRows();
    void endReadsEveryPage();
    void emptyGrid();
    void ctrlClickKeepsSelection();
    void rowHeights();
    void linesBetweenRowsOnly();
};

void TestDataGrid::readOnlyRowGrid() {
    Fixture f;
    QCOMPARE(f.grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(f.grid->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(f.grid->selectionMode(), QAbstractItemView::SingleSelection);
    QVERIFY(!f.grid->isSortingEnabled());
    QVERIFY(!f.grid->showGrid());
    QVERIFY(f.grid->horizontalHeader()->isHidden());
    QVERIFY(f.grid->verticalHeader()->isHidden());
    QVERIFY(f.showAndFocus());
    f.click(3, QStringLiteral("metro_obj"));
    const QModelIndexList rows = f.grid->selectionModel()->selectedRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().row(), 3);
    // Typing does not start an editor.
    QTest::keyClick(f.grid, Qt::Key_F2);
    QTest::keyClicks(f.grid, QStringLiteral("x"));
    QTest::mouseDClick(f.grid->viewport(), Qt::LeftButton, {},
                       f.grid->visualRect(f.model->cell(3, QStringLiteral("metro_obj"))).center());
    QVERIFY(f.grid->findChildren<QLineEdit*>().isEmpty());
    QCOMPARE(f.model->cell(3, QStringLiteral("metro_obj")).data().toString(),
             QStringLiteral("Улица 3"));
}

void TestDataGrid::showFieldsOrderAndWidths() {
    Fixture f;
    QList<int> expected;
    for (const GridField& field : offerLayout)
        expected.append(f.column(field.name));
    QCOMPARE(f.grid->visibleColumns(), expected);
    QCOMPARE(f.grid->firstVisibleColumn(), f.column(QStringLiteral("unreaded")));
    for (const GridField& field : offerLayout)
        QCOMPARE(f.grid->columnWidth(f.column(field.name)), field.width);
    for (const QString& hidden : {QStringLiteral("id"), QStringLiteral("qid"),
                                  QStringLiteral("kitch_obj"), QStringLiteral("owntxt_obj")})
        QVERIFY(f.grid->isColumnHidden(f.column(hidden)));

    // A screen reader finds the same columns in the same order, and the cells of a row in it.
    QStringList names;
    for (const GridField& field : offerLayout)
        names.append(field.name);
    QCOMPARE(test::spokenHeaders(f.grid), names);
    QCOMPARE(test::spokenCell(f.grid, 3, 2), QStringLiteral("Улица 3"));
    QCOMPARE(test::spokenCell(f.grid, 3, 4), QStringLiteral("30003"));
    QCOMPARE(test::accessibleOf(f.grid)->childCount(), (offerRows + 1) * int(offerLayout.size()));
}

void TestDataGrid::showFieldsSurvivesReset() {
    Fixture f;
    const QList<int> before = f.grid->visibleColumns();
    // clear() resets the model and drops its columns; the columns come back afterwards.
    f.model->clear();
    f.model->setColumnCount(int(test::offerFields().size()));
    f.model->setHorizontalHeaderLabels(test::offerFields());
    f.model->appendRow(Row{{"id", "n1"}, {"metro_obj", "Новая"}});
    QCOMPARE(f.grid->visibleColumns(), before);
    QCOMPARE(f.grid->columnWidth(f.column(QStringLiteral("metro_obj"))), 323);
    QVERIFY(f.grid->isColumnHidden(f.column(QStringLiteral("id"))));
}

void TestDataGrid::showFieldsOnAnotherModel() {
    Fixture f;
    // Another column order, and a field the layout does not know about.
    QStringList fields = test::offerFields();
    std::reverse(fields.begin(), fields.end());
    fields.removeAll(QStringLiteral("info_obj"));
    fields.append(QStringLiteral("extra"));
    GridTestModel other(fields, {Row{{"id", "x"}}});
    f.grid->setModel(&other);
    QList<int> expected;
    for (const GridField& field : offerLayout) {
        if (field.name != QStringLiteral("info_obj"))
            expected.append(other.columnOf(field.name));
    }
    QCOMPARE(f.grid->visibleColumns(), expected);
    QVERIFY(f.grid->isColumnHidden(other.columnOf(QStringLiteral("extra"))));
    QCOMPARE(fieldColumn(&other, QStringLiteral("info_obj")), -1);
    QCOMPARE(fieldColumn(&other, QStringLiteral("id")), other.columnOf(QStringLiteral("id")));
    QCOMPARE(fieldColumn(nullptr, QStringLiteral("id")), -1);
}

void TestDataGrid::charsWidth() {
    DataGrid grid;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    grid.setFont(font);
    const int digit = QFontMetrics(font).horizontalAdvance(QLatin1Char('0'));
    QVERIFY(digit > 0);
    QCOMPARE(grid.charsWidth(3), 3 * digit + 4);
    QCOMPARE(grid.charsWidth(32), 32 * digit + 4);
}

void TestDataGrid::columnEnter_data() {
    QTest::addColumn<int>("startRow");
    QTest::addColumn<QString>("startField");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("emits");
    QTest::addColumn<int>("row");       // -1: any row after the start, -2: any before it
    QTest::addColumn<QString>("field"); // empty: any column

    QTest::newRow("click metro") << 1 << "unreaded"
                                 << "click 3 metro_obj" << 1 << 3 << "metro_obj";
    QTest::newRow("click second column") << 1 << "unreaded"
                                         << "click 4 room_obj" << 1 << 4 << "room_obj";
    QTest::newRow("click last column") << 1 << "unreaded"
                                       << "click 2 dt_obj" << 1 << 2 << "dt_obj";
    QTest::newRow("click same row") << 1 << "unreaded"
                                    << "click 1 price_obj" << 1 << 1 << "price_obj";
    QTest::newRow("click same cell again") << 1 << "metro_obj"
                                           << "click 1 metro_obj" << 1 << 1 << "metro_obj";
    QTest::newRow("click first shown column") << 1 << "metro_obj"
                                              << "click 3 unreaded" << 0 << 3 << "unreaded";
    QTest::newRow("right click") << 1 << "unreaded"
                                 << "rclick 3 metro_obj" << 0 << 3 << "";
    QTest::newRow("tab") << 1 << "unreaded"
                         << "key Tab" << 1 << 1 << "room_obj";
    QTest::newRow("tab from hidden column") << 1 << "id"
                                            << "key Tab" << 1 << 1 << "room_obj";
    QTest::newRow("tab at last column wraps in the row") << 1 << "dt_obj"
                                                         << "key Tab" << 1 << 1 << "unreaded";
    QTest::newRow("backtab") << 1 << "metro_obj"
                             << "key Backtab" << 1 << 1 << "room_obj";
    QTest::newRow("backtab at first column wraps in the row")
        << 1 << "unreaded"
        << "key Backtab" << 1 << 1 << "dt_obj";
    QTest::newRow("shift tab") << 1 << "room_obj"
                               << "key ShiftTab" << 1 << 1 << "unreaded";
    QTest::newRow("tab on last row") << 29 << "dt_obj"
                                     << "key Tab" << 1 << 29 << "unreaded";
    QTest::newRow("down") << 1 << "metro_obj"
                          << "key Down" << 0 << 2 << "metro_obj";
    QTest::newRow("up") << 1 << "metro_obj"
                        << "key Up" << 0 << 0 << "metro_obj";
    QTest::newRow("page down") << 1 << "unreaded"
                               << "key PageDown" << 0 << -1 << "";
    QTest::newRow("page up") << 20 << "unreaded"
                             << "key PageUp" << 0 << -2 << "";
    QTest::newRow("home") << 5 << "metro_obj"
                          << "key Home" << 0 << 0 << "metro_obj";
    QTest::newRow("end") << 1 << "metro_obj"
                         << "key End" << 0 << 29 << "metro_obj";
    QTest::newRow("ctrl end") << 1 << "unreaded"
                              << "key CtrlEnd" << 0 << 29 << "";
    QTest::newRow("right") << 1 << "metro_obj"
                           << "key Right" << 0 << 1 << "";
    QTest::newRow("left") << 1 << "metro_obj"
                          << "key Left" << 0 << 1 << "";
}

void TestDataGrid::columnEnter() {
    QFETCH(int, startRow);
    QFETCH(QString, startField);
    QFETCH(QString, action);
    QFETCH(int, emits);
    QFETCH(int, row);
    QFETCH(QString, field);

    Fixture f;
    QVERIFY(f.showAndFocus());
    QList<int> rowsSeen;
    connect(f.grid, &DataGrid::colEnter, f.grid,
            [&] { rowsSeen.append(f.grid->currentIndex().row()); });
    f.grid->setCurrentIndex(f.model->cell(startRow, startField));
    QVERIFY(rowsSeen.isEmpty());
    test::GridAnnouncements heard;

    const QStringList words = action.split(QLatin1Char(' '));
    if (words[0] == QLatin1String("click") || words[0] == QLatin1String("rclick")) {
        f.click(words[1].toInt(), words[2],
                words[0] == QLatin1String("click") ? Qt::LeftButton : Qt::RightButton);
    } else {
        const QString key = words[1];
        if (key == QLatin1String("Tab"))
            QTest::keyClick(f.grid, Qt::Key_Tab);
        else if (key == QLatin1String("Backtab"))
            QTest::keyClick(f.grid, Qt::Key_Backtab, Qt::ShiftModifier);
        else if (key == QLatin1String("ShiftTab"))
            QTest::keyClick(f.grid, Qt::Key_Tab, Qt::ShiftModifier);
        else if (key == QLatin1String("Down"))
            QTest::keyClick(f.grid, Qt::Key_Down);
        else if (key == QLatin1String("Up"))
            QTest::keyClick(f.grid, Qt::Key_Up);
        else if (key == QLatin1String("PageDown"))
            QTest::keyClick(f.grid, Qt::Key_PageDown);
        else if (key == QLatin1String("PageUp"))
            QTest::keyClick(f.grid, Qt::Key_PageUp);
        else if (key == QLatin1String("Home"))
            QTest::keyClick(f.grid, Qt::Key_Home);
        else if (key == QLatin1String("End"))
            QTest::keyClick(f.grid, Qt::Key_End);
        else if (key == QLatin1String("CtrlEnd"))
            QTest::keyClick(f.grid, Qt::Key_End, Qt::ControlModifier);
        else if (key == QLatin1String("Right"))
            QTest::keyClick(f.grid, Qt::Key_Right);
        else if (key == QLatin1String("Left"))
            QTest::keyClick(f.grid, Qt::Key_Left);
        else
            QFAIL("unknown key");
    }

    const QModelIndex current = f.grid->currentIndex();
    QVERIFY(current.isValid());
    QCOMPARE(rowsSeen.size(), emits);
    if (row == -1)
        QVERIFY(current.row() > startRow);
    else if (row == -2)
        QVERIFY(current.row() < startRow);
    else
        QCOMPARE(current.row(), row);
    // The handler already saw the row the user went to.
    for (const int seen : std::as_const(rowsSeen))
        QCOMPARE(seen, current.row());
    if (!field.isEmpty())
        QCOMPARE(current.column(), f.column(field));
    // Whatever moved, exactly the current row is selected.
    const QModelIndexList selected = f.grid->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.first().row(), current.row());
    QVERIFY(f.grid->hasFocus());
    // A screen reader is told the focus is on the current cell, by its place on the screen.
    QCoreApplication::processEvents();
    const auto focus = heard.of(QAccessible::Focus, f.grid);
    if (current != f.model->cell(startRow, startField))
        QVERIFY(!focus.isEmpty());
    if (!focus.isEmpty()) {
        QCOMPARE(focus.last().row, current.row());
        QCOMPARE(focus.last().column, int(f.grid->visibleColumns().indexOf(current.column())));
    }
}

void TestDataGrid::tabStaysInGridAndRow() {
    Fixture f;
    QVERIFY(f.showAndFocus());
    QSignalSpy spy(f.grid, &DataGrid::colEnter);
    f.grid->setCurrentIndex(f.model->cell(4, QStringLiteral("unreaded")));
    QList<int> columns;
    for (int i = 0; i < int(offerLayout.size()) + 1; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), f.grid);
        QCOMPARE(f.grid->currentIndex().row(), 4);
        columns.append(f.grid->currentIndex().column());
    }
    QCOMPARE(spy.count(), int(offerLayout.size()) + 1);
    QList<int> expected;
    for (const GridField& field : offerLayout.mid(1))
        expected.append(f.column(field.name));
    expected.append(f.column(QStringLiteral("unreaded")));
    expected.append(f.column(QStringLiteral("room_obj")));
    QCOMPARE(columns, expected);

    for (int i = 0; i < 3; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), f.grid);
    QCOMPARE(f.grid->currentIndex().row(), 4);
    QCOMPARE(f.grid->currentIndex().column(), f.column(QStringLiteral("cont_obj")));
    QCOMPARE(spy.count(), int(offerLayout.size()) + 4);
}

void TestDataGrid::programMovesNeverEmit() {
    Fixture f;
    QVERIFY(f.showAndFocus());
    QSignalSpy spy(f.grid, &DataGrid::colEnter);
    f.grid->setCurrentIndex(f.model->cell(5, QStringLiteral("metro_obj")));
    f.grid->selectRow(7);
    f.grid->selectionModel()->setCurrentIndex(f.model->cell(9, QStringLiteral("dt_obj")),
                                              QItemSelectionModel::ClearAndSelect);
    f.grid->scrollToBottom();
    f.model->appendRow(Row{{"id", "new"}});
    f.model->removeRows(0, 2);
    f.model->clear();
    f.model->setHorizontalHeaderLabels(test::offerFields());
    f.model->appendRow(Row{{"id", "again"}});
    f.grid->setModel(nullptr);
    f.grid->setModel(f.model.get());
    f.grid->clearFocus();
    f.grid->setFocus();
    QCOMPARE(spy.count(), 0);
}

void TestDataGrid::clickBelowRows() {
    Fixture f(2);
    QVERIFY(f.showAndFocus());
    QSignalSpy spy(f.grid, &DataGrid::colEnter);
    const QRect last = f.grid->visualRect(f.model->cell(1, QStringLiteral("metro_obj")));
    QTest::mouseClick(f.grid->viewport(), Qt::LeftButton, {},
                      QPoint(last.center().x(), last.bottom() + 20));
    // Right of the last column.
    QTest::mouseClick(f.grid->viewport(), Qt::LeftButton, {},
                      QPoint(f.grid->horizontalHeader()->length() + 5, last.center().y()));
    QCOMPARE(spy.count(), 0);
}

void TestDataGrid::endReadsEveryPage() {
    for (const bool stuck : {false, true}) {
        Fixture f;
        PagedModel paged(95, 10, stuck);
        f.grid->setModel(&paged);
        QVERIFY(f.showAndFocus());
        QSignalSpy spy(f.grid, &DataGrid::colEnter);
        f.grid->setCurrentIndex(paged.cell(0, QStringLiteral("metro_obj")));
        QTest::keyClick(f.grid, Qt::Key_End);
        // A model that claims more rows but brings none does not hang the key.
        const int last = stuck ? 9 : 94;
        QCOMPARE(paged.rowCount(), last + 1);
        QCOMPARE(f.grid->currentIndex().row(), last);
        QCOMPARE(f.grid->currentIndex().column(), paged.columnOf(QStringLiteral("metro_obj")));
        QTest::keyClick(f.grid, Qt::Key_Home);
        QCOMPARE(f.grid->currentIndex().row(), 0);
        QCOMPARE(spy.count(), 0);
        f.grid->setModel(nullptr);
    }
}

void TestDataGrid::emptyGrid() {
    Fixture f(0);
    QVERIFY(f.showAndFocus());
    QSignalSpy spy(f.grid, &DataGrid::colEnter);
    const int rowHeight = f.grid->verticalHeader()->defaultSectionSize();
    const int metroX = f.grid->columnViewportPosition(f.column(QStringLiteral("metro_obj"))) + 10;
    const int unreadX = f.grid->columnViewportPosition(f.column(QStringLiteral("unreaded"))) + 3;
    // The blank row of an empty grid can be clicked into, outside the first column.
    QTest::mouseClick(f.grid->viewport(), Qt::LeftButton, {}, QPoint(metroX, rowHeight / 2));
    QCOMPARE(spy.count(), 1);
    QTest::mouseClick(f.grid->viewport(), Qt::LeftButton, {}, QPoint(unreadX, rowHeight / 2));
    QTest::mouseClick(f.grid->viewport(), Qt::LeftButton, {}, QPoint(metroX, rowHeight + 10));
    QCOMPARE(spy.count(), 1);
    QTest::keyClick(f.grid, Qt::Key_Tab);
    QCOMPARE(spy.count(), 2);
    QTest::keyClick(f.grid, Qt::Key_Down);
    QTest::keyClick(f.grid, Qt::Key_End);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(QApplication::focusWidget(), f.grid);
}

void TestDataGrid::ctrlClickKeepsSelection() {
    Fixture f;
    QVERIFY(f.showAndFocus());
    f.click(2, QStringLiteral("metro_obj"));
    f.click(2, QStringLiteral("price_obj"), Qt::LeftButton, Qt::ControlModifier);
    const QModelIndexList selected = f.grid->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.first().row(), 2);
    QTest::keyClick(f.grid, Qt::Key_Space, Qt::ControlModifier);
    QCOMPARE(f.grid->selectionModel()->selectedRows().size(), 1);
}

void TestDataGrid::rowHeights() {
    Fixture f;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    f.grid->setFont(font);
    const int text = QFontMetrics(font).height();
    const int plain = std::max(text + 3, 16);
    QVERIFY(plain <= 18); // compact rows, not the roomy rows of a list view
    QCOMPARE(f.grid->rowHeight(0), plain);
    f.grid->setGridLines(DataGrid::GridLines::BetweenRows);
    QCOMPARE(f.grid->rowHeight(0), plain + 1);
    QCOMPARE(f.grid->rowHeight(offerRows - 1), plain + 1);
    QFont larger = font;
    larger.setPixelSize(20);
    f.grid->setFont(larger);
    QCOMPARE(f.grid->rowHeight(3), QFontMetrics(larger).height() + 3 + 1);
}

void TestDataGrid::linesBetweenRowsOnly() {
    Fixture f(3);
    OffersDelegate delegate;
    f.grid->setItemDelegate(&delegate);
    f.grid->setGridLines(DataGrid::GridLines::BetweenRows);
    f.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));
    f.grid->clearSelection();
    f.grid->selectionModel()->clearCurrentIndex();

    QStyleOptionViewItem option;
    option.initFrom(f.grid);
    const QColor lineColor = QColor::fromRgba(static_cast<QRgb>(
        f.grid->style()->styleHint(QStyle::SH_Table_GridLineColor, &option, f.grid)));
    const QColor base = f.grid->palette().color(QPalette::Base);
    QVERIFY(lineColor != base);

    const int height = f.grid->rowHeight(0);
    const int unreadRight = f.grid->columnViewportPosition(f.column(QStringLiteral("unreaded"))) +
                            f.grid->columnWidth(f.column(QStringLiteral("unreaded")));
    const int metroX = f.grid->columnViewportPosition(f.column(QStringLiteral("metro_obj"))) + 300;
    QImage image = f.grid->viewport()->grab().toImage();
    for (int row = 0; row < 3; ++row) {
        const int bottom = f.grid->rowViewportPosition(row) + height - 1;
        QCOMPARE(image.pixelColor(metroX, bottom), lineColor);
        QCOMPARE(image.pixelColor(1, bottom), lineColor);
        // No vertical line at the column boundary.
        QCOMPARE(image.pixelColor(unreadRight, bottom - height / 2), base);
        QCOMPARE(image.pixelColor(unreadRight - 1, bottom - height / 2), base);
    }
    // No line below the rows or right of the columns.
    QCOMPARE(image.pixelColor(metroX, 3 * height + 4), base);
    QCOMPARE(image.pixelColor(f.grid->horizontalHeader()->length() + 3, height - 1), base);

    f.grid->setGridLines(DataGrid::GridLines::None);
    image = f.grid->viewport()->grab().toImage();
    const int plainHeight = f.grid->rowHeight(0);
    QCOMPARE(plainHeight, height - 1);
    for (int y = 0; y < 3 * plainHeight; ++y)
        QCOMPARE(image.pixelColor(metroX, y), base);
}

QTEST_MAIN(TestDataGrid)
#include "tst_datagrid.moc"
