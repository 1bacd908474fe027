// Cell drawing of both grids, checked pixel by pixel.

#include "store/earlierappearances.h"
#include "store/offersmodel.h"
#include "ui/datagrid.h"
#include "ui/griddelegates.h"
#include "ui/gridtestmodels.h"
#include "ui/icons.h"

#include <QApplication>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QStyleOptionViewItem>
#include <QTest>

using namespace domiva;
using domiva::test::GridTestModel;
using domiva::test::Row;

namespace {

const QColor sentinel(1, 2, 3);
const QColor base(255, 255, 255);
const QColor text(0, 0, 0);
const QColor highlight(0, 0, 128);
const QColor highlightedText(255, 255, 255);
// Cells are drawn at an offset inside a larger image, so positions are checked against the
// cell's own left and top, and drawing outside the cell shows up.
const QRect cellRect(10, 5, 27, 17);
const QSize imageSize(60, 30);

QPalette testPalette() {
    QPalette palette;
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Base, base);
        palette.setColor(group, QPalette::Text, text);
        palette.setColor(group, QPalette::Highlight, highlight);
        palette.setColor(group, QPalette::HighlightedText, highlightedText);
    }
    return palette;
}

QFont gridFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    return font;
}

QFont boldFont() {
    QFont font = gridFont();
    font.setBold(true);
    return font;
}

QImage blank() {
    QImage image(imageSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(sentinel);
    return image;
}

QImage paintCell(const QAbstractItemDelegate& delegate, const QModelIndex& index, bool selected,
                 const QRect& rect = cellRect) {
    QImage image = blank();
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = rect;
    option.state = QStyle::State_Enabled | QStyle::State_Active;
    if (selected)
        option.state |= QStyle::State_Selected;
    option.palette = testPalette();
    option.font = gridFont();
    delegate.paint(&painter, option, index);
    painter.end();
    return image;
}

// What a cell with `background` and `content` written at (left + 2, top + 2) looks like.
QImage expectedCell(const QColor& background, const QString& content, const QFont& font,
                    const QColor& color, const QRect& rect = cellRect) {
    QImage image = blank();
    QPainter painter(&image);
    painter.fillRect(rect, background);
    painter.setClipRect(rect);
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(QRect(rect.left() + 2, rect.top() + 2, rect.width() - 2, rect.height() - 2),
                     Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, content);
    painter.end();
    return image;
}

// Pixels inside `rect` that differ from `color`.
int inkPixels(const QImage& image, const QRect& rect, const QColor& color) {
    int count = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) {
            if (image.pixelColor(x, y) != color)
                ++count;
        }
    }
    return count;
}

bool untouchedOutside(const QImage& image, const QRect& rect) {
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (!rect.contains(x, y) && image.pixelColor(x, y) != sentinel)
                return false;
        }
    }
    return true;
}

// The icon as it looks on a white cell.
QImage iconOnWhite(int index) {
    QImage image(iconSize, iconSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.drawPixmap(0, 0, ilIcons(index));
    painter.end();
    return image;
}

GridTestModel queries(const QVariant& updated, const QVariant& unreaded) {
    return GridTestModel(test::queryFields(), {Row{{"id", 7},
                                                   {"qname", QStringLiteral("Однушки у метро")},
                                                   {"updated", updated},
                                                   {"unreaded", unreaded}}});
}

GridTestModel offers(const Row& row) {
    return GridTestModel(test::offerFields(), {row});
}

} // namespace

class TestGridDelegates : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void iconLeft_data();
    void iconLeft();
    void updatedCell_data();
    void updatedCell();
    void qnameCell_data();
    void qnameCell();
    void qnameFindsUnreadedByName();
    void offersUnreaded_data();
    void offersUnreaded();
    void offersPrice_data();
    void offersPrice();
    void roomsText_data();
    void roomsText();
    void roomsCell_data();
    void roomsCell();
    void plainColumns();
    void dateShowsDisplayText();
    void textStaysInsideCell();
    void selectedRowInRealGrid();
};

void TestGridDelegates::initTestCase() {
    QVERIFY2(QFontInfo(gridFont()).family().contains(QStringLiteral("DejaVu")),
             "the tests draw with DejaVu Sans");
}

void TestGridDelegates::iconLeft_data() {
    QTest::addColumn<int>("left");
    QTest::addColumn<int>("right");
    QTest::addColumn<int>("expected");
    QTest::newRow("exact") << 0 << 26 << 5;
    QTest::newRow("half up to even") << 0 << 27 << 6;   // 5.5
    QTest::newRow("half down to even") << 0 << 25 << 4; // 4.5
    QTest::newRow("offset cell") << 10 << 37 << 16;     // 15.5
    QTest::newRow("offset half down") << 1 << 28 << 6;  // 6.5
    QTest::newRow("icon as wide as cell") << 3 << 19 << 3;
    QTest::newRow("narrow cell") << 0 << 11 << -2;          // -2.5
    QTest::newRow("narrow cell odd") << 0 << 13 << -2;      // -1.5
    QTest::newRow("negative half to zero") << 0 << 15 << 0; // -0.5
}

void TestGridDelegates::iconLeft() {
    QFETCH(int, left);
    QFETCH(int, right);
    QFETCH(int, expected);
    QCOMPARE(QueriesDelegate::iconLeft(left, right, 16), expected);
}

void TestGridDelegates::updatedCell_data() {
    QTest::addColumn<QVariant>("updated");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<int>("icon"); // -1: none
    QTest::newRow("true") << QVariant(true) << false << 5;
    QTest::newRow("true selected") << QVariant(true) << true << 5;
    QTest::newRow("false") << QVariant(false) << false << 0;
    QTest::newRow("false selected") << QVariant(false) << true << 0;
    QTest::newRow("number 1 is true") << QVariant(1) << false << 5;
    QTest::newRow("number 0 is false") << QVariant(0) << false << 0;
    QTest::newRow("null") << QVariant() << false << -1;
    QTest::newRow("null selected") << QVariant() << true << -1;
}

void TestGridDelegates::updatedCell() {
    QFETCH(QVariant, updated);
    QFETCH(bool, selected);
    QFETCH(int, icon);
    const GridTestModel model = queries(updated, true);
    QueriesDelegate delegate;
    const QImage image = paintCell(delegate, model.cell(0, "updated"), selected);
    // The envelope of new listings is only drawn: a screen reader is told in words.
    QCOMPARE(delegate.spokenText(model.cell(0, "updated")),
             icon == 5 ? QStringLiteral("есть новые") : QString());
    QVERIFY(untouchedOutside(image, cellRect));

    // x = (10 + 37 - 16) / 2 = 15.5, to even: 16; y = top.
    const QRect iconRect(16, cellRect.top(), iconSize, iconSize);
    QImage expected = blank();
    QPainter painter(&expected);
    painter.fillRect(cellRect, Qt::white);
    if (icon >= 0)
        painter.drawImage(iconRect.topLeft(), iconOnWhite(icon));
    painter.end();
    QCOMPARE(image, expected);
    // The white covers the whole cell also in the selected row: no selection colour anywhere.
    QCOMPARE(inkPixels(image, cellRect, highlight), cellRect.width() * cellRect.height());
}

void TestGridDelegates::qnameCell_data() {
    QTest::addColumn<QVariant>("unreaded");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<bool>("bold");
    QTest::newRow("unread") << QVariant(true) << false << true;
    QTest::newRow("unread selected") << QVariant(true) << true << true;
    QTest::newRow("read") << QVariant(false) << false << false;
    QTest::newRow("read selected") << QVariant(false) << true << false;
    QTest::newRow("null") << QVariant() << false << false;
}

void TestGridDelegates::qnameCell() {
    QFETCH(QVariant, unreaded);
    QFETCH(bool, selected);
    QFETCH(bool, bold);
    const GridTestModel model = queries(false, unreaded);
    QueriesDelegate delegate;
    const QRect rect(10, 5, 45, 17);
    const QImage image = paintCell(delegate, model.cell(0, "qname"), selected, rect);

    const QString name = QStringLiteral("Однушки у метро");
    const QColor background = selected ? highlight : base;
    const QColor color = selected ? highlightedText : text;
    const QImage plain = expectedCell(background, name, gridFont(), color, rect);
    const QImage heavy = expectedCell(background, name, boldFont(), color, rect);
    QVERIFY(plain != heavy);
    // One bold name and nothing of the plain one around it.
    QCOMPARE(image, bold ? heavy : plain);
    if (bold)
        QVERIFY(inkPixels(image, rect, background) > inkPixels(plain, rect, background));
}

void TestGridDelegates::qnameFindsUnreadedByName() {
    // The flag is found through the header, wherever the model puts the column.
    GridTestModel model({QStringLiteral("unreaded"), QStringLiteral("qname"), QStringLiteral("id"),
                         QStringLiteral("updated")},
                        {Row{{"unreaded", true}, {"qname", QStringLiteral("Двушки")}}});
    QueriesDelegate delegate;
    const QImage image = paintCell(delegate, model.cell(0, "qname"), false);
    QCOMPARE(image, expectedCell(base, QStringLiteral("Двушки"), boldFont(), text));
    QCOMPARE(GridDelegate::rowValue(model.cell(0, "qname"), QStringLiteral("unreaded")),
             QVariant(true));
    QVERIFY(GridDelegate::rowValue(model.cell(0, "qname"), QStringLiteral("nothing")).isNull());
}

void TestGridDelegates::offersUnreaded_data() {
    QTest::addColumn<QVariant>("unreaded");
    QTest::addColumn<int>("repost"); // OffersModel::RepostRole
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("bullet");
    const QString full = QStringLiteral("•");
    const QString hollow = QStringLiteral("◦");
    QTest::newRow("unread") << QVariant(true) << 0 << false << full;
    QTest::newRow("unread selected") << QVariant(true) << 0 << true << full;
    QTest::newRow("read") << QVariant(false) << 0 << false << QString();
    QTest::newRow("read selected") << QVariant(false) << 0 << true << QString();
    QTest::newRow("null") << QVariant() << 0 << false << QString();
    QTest::newRow("null selected") << QVariant() << 0 << true << QString();
    QTest::newRow("number 1 is unread") << QVariant(1) << 0 << false << full;
    QTest::newRow("unread re-post") << QVariant(true) << 1 << false << full;
    QTest::newRow("unread re-post of an opened flat") << QVariant(true) << 2 << false << hollow;
    QTest::newRow("same, selected") << QVariant(true) << 2 << true << hollow;
    QTest::newRow("read re-post of an opened flat") << QVariant(false) << 2 << false << QString();
}

void TestGridDelegates::offersUnreaded() {
    QFETCH(QVariant, unreaded);
    QFETCH(int, repost);
    QFETCH(bool, selected);
    QFETCH(QString, bullet);
    GridTestModel model = offers({{"id", "a1"}, {"unreaded", unreaded}});
    model.setData(model.cell(0, "unreaded"), repost, OffersModel::RepostRole);
    OffersDelegate delegate;
    QCOMPARE(delegate.spokenText(model.cell(0, "unreaded")),
             bullet.isEmpty() ? QString()
             : repost == 2    ? QStringLiteral("непрочитано, повтор")
                              : QStringLiteral("непрочитано"));
    const QRect rect(10, 5, 14, 17);
    const QImage image = paintCell(delegate, model.cell(0, "unreaded"), selected, rect);
    QVERIFY(untouchedOutside(image, rect));

    const QColor background = selected ? highlight : base;
    const QColor color = selected ? highlightedText : text;
    const QImage expected = expectedCell(background, bullet, boldFont(), color, rect);
    QCOMPARE(image, expected);
    if (!bullet.isEmpty()) {
        QVERIFY(inkPixels(image, rect, background) > 0);
        // The bullet is written in bold, not in the grid's normal font.
        QVERIFY(image != expectedCell(background, bullet, gridFont(), color, rect));
    } else {
        QCOMPARE(inkPixels(image, rect, background), 0);
    }
}

void TestGridDelegates::offersPrice_data() {
    QTest::addColumn<int>("trend"); // OffersModel::PriceTrendRole
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("spoken");
    QTest::newRow("lower") << int(PriceTrend::Lower) << false << QStringLiteral("↓ 35 000")
                           << QStringLiteral("цена снижена, 35 000");
    QTest::newRow("higher, selected")
        << int(PriceTrend::Higher) << true << QStringLiteral("↑ 35 000")
        << QStringLiteral("цена повышена, 35 000");
    QTest::newRow("no trend") << int(PriceTrend::None) << false << QStringLiteral("35 000")
                              << QStringLiteral("35 000");
}

void TestGridDelegates::offersPrice() {
    QFETCH(int, trend);
    QFETCH(bool, selected);
    QFETCH(QString, shown);
    QFETCH(QString, spoken);
    GridTestModel model = offers({{"id", "a1"}, {"price_obj", QStringLiteral("35 000")}});
    model.setData(model.cell(0, "price_obj"), trend, OffersModel::PriceTrendRole);
    OffersDelegate delegate;
    QCOMPARE(delegate.spokenText(model.cell(0, "price_obj")), spoken);
    const QImage image = paintCell(delegate, model.cell(0, "price_obj"), selected);
    QCOMPARE(image, expectedCell(selected ? highlight : base, shown, gridFont(),
                                 selected ? highlightedText : text));
}

void TestGridDelegates::roomsText_data() {
    QTest::addColumn<QString>("rooms");
    QTest::addColumn<QString>("shown");
    QTest::newRow("one") << "3"
                         << "3";
    QTest::newRow("two") << "12"
                         << "12";
    QTest::newRow("three") << "123"
                           << "1";
    QTest::newRow("word") << "комн"
                          << "к";
    QTest::newRow("empty") << ""
                           << "";
}

void TestGridDelegates::roomsText() {
    QFETCH(QString, rooms);
    QFETCH(QString, shown);
    QCOMPARE(OffersDelegate::roomsText(rooms), shown);
}

void TestGridDelegates::roomsCell_data() {
    QTest::addColumn<QVariant>("rooms");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("shown");
    QTest::newRow("3") << QVariant("3") << false << "3";
    QTest::newRow("12") << QVariant("12") << false << "12";
    QTest::newRow("123") << QVariant("123") << false << "1";
    QTest::newRow("123 selected") << QVariant("123") << true << "1";
    QTest::newRow("empty") << QVariant("") << false << "";
    QTest::newRow("empty selected") << QVariant("") << true << "";
    QTest::newRow("null") << QVariant() << false << "";
    QTest::newRow("number") << QVariant(4) << false << "4";
}

void TestGridDelegates::roomsCell() {
    QFETCH(QVariant, rooms);
    QFETCH(bool, selected);
    QFETCH(QString, shown);
    const GridTestModel model = offers({{"id", "a1"}, {"room_obj", rooms}});
    OffersDelegate delegate;
    const QRect rect(10, 5, 17, 17);
    const QImage image = paintCell(delegate, model.cell(0, "room_obj"), selected, rect);
    QVERIFY(untouchedOutside(image, rect));
    const QColor background = selected ? highlight : base;
    const QColor color = selected ? highlightedText : text;
    QCOMPARE(image, expectedCell(background, shown, gridFont(), color, rect));
    QCOMPARE(inkPixels(image, rect, background) > 0, !shown.isEmpty());
    // A screen reader gets what is seen.
    QCOMPARE(delegate.spokenText(model.cell(0, "room_obj")), shown);
}

void TestGridDelegates::plainColumns() {
    const GridTestModel model = offers({{"id", "a1"},
                                        {"metro_obj", QStringLiteral("Тверская ул., 7")},
                                        {"price_obj", QStringLiteral("35000")}});
    OffersDelegate delegate;
    const QRect rect(5, 5, 50, 17);
    for (const bool selected : {false, true}) {
        const QColor background = selected ? highlight : base;
        const QColor color = selected ? highlightedText : text;
        QCOMPARE(
            paintCell(delegate, model.cell(0, "metro_obj"), selected, rect),
            expectedCell(background, QStringLiteral("Тверская ул., 7"), gridFont(), color, rect));
        QCOMPARE(paintCell(delegate, model.cell(0, "price_obj"), selected, rect),
                 expectedCell(background, QStringLiteral("35000"), gridFont(), color, rect));
    }
    // Columns of the other grid get the plain drawing too.
    QueriesDelegate queriesDelegate;
    QCOMPARE(paintCell(queriesDelegate, model.cell(0, "price_obj"), false, rect),
             expectedCell(base, QStringLiteral("35000"), gridFont(), text, rect));
}

void TestGridDelegates::dateShowsDisplayText() {
    GridTestModel model = offers({{"id", "a1"}, {"dt_obj", 45000.5}});
    model.displayTexts[{0, QStringLiteral("dt_obj")}] = QStringLiteral("15.03.2023 12:00:00");
    OffersDelegate delegate;
    const QRect rect(5, 5, 50, 17);
    QCOMPARE(paintCell(delegate, model.cell(0, "dt_obj"), false, rect),
             expectedCell(base, QStringLiteral("15.03.2023 12:00:00"), gridFont(), text, rect));
    QCOMPARE(delegate.spokenText(model.cell(0, "dt_obj")), QStringLiteral("15.03.2023 12:00:00"));
}

void TestGridDelegates::textStaysInsideCell() {
    const GridTestModel model = offers(
        {{"id", "a1"}, {"metro_obj", QStringLiteral("Очень длинный адрес, который не влезает")}});
    OffersDelegate delegate;
    const QRect rect(10, 5, 30, 17);
    const QImage image = paintCell(delegate, model.cell(0, "metro_obj"), false, rect);
    QVERIFY(untouchedOutside(image, rect));
    QVERIFY(inkPixels(image, rect, base) > 0);
}

void TestGridDelegates::selectedRowInRealGrid() {
    GridTestModel model(test::queryFields(),
                        {Row{{"id", 1}, {"qname", "Первый"}, {"updated", true}, {"unreaded", true}},
                         Row{{"id", 2}, {"qname", "Второй"}, {"updated", false}}});
    DataGrid grid;
    QueriesDelegate delegate;
    grid.setItemDelegate(&delegate);
    grid.setPalette(testPalette());
    grid.setFont(gridFont());
    grid.setModel(&model);
    grid.showFields({{QStringLiteral("updated"), grid.charsWidth(3)},
                     {QStringLiteral("qname"), grid.charsWidth(32)}});
    grid.resize(400, 100);
    grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    grid.setCurrentIndex(model.cell(1, "qname"));

    const QImage image = grid.viewport()->grab().toImage();
    const int width = grid.columnWidth(model.columnOf("updated"));
    const int height = grid.rowHeight(1);
    const int top = grid.rowViewportPosition(1);
    const int x = QueriesDelegate::iconLeft(0, width, iconSize);
    // The icon cell of the selected row is white around the open envelope...
    for (int y = top; y < top + height; ++y) {
        QCOMPARE(image.pixelColor(0, y), QColor(Qt::white));
        QCOMPARE(image.pixelColor(width - 1, y), QColor(Qt::white));
    }
    const QImage envelope = iconOnWhite(0);
    for (int y = 0; y < std::min(iconSize, height); ++y) {
        for (int dx = 0; dx < iconSize; ++dx)
            QCOMPARE(image.pixelColor(x + dx, top + y), envelope.pixelColor(dx, y));
    }
    // ...while the rest of the row has the selection colour.
    QCOMPARE(image.pixelColor(width + 1, top + 1), highlight);
    const int nameRight = width + grid.columnWidth(model.columnOf("qname")) - 1;
    QCOMPARE(image.pixelColor(nameRight, top + height - 1), highlight);
    // The unselected first row shows the closed envelope.
    const QImage sealed = iconOnWhite(5);
    const int top0 = grid.rowViewportPosition(0);
    for (int dx = 0; dx < iconSize; ++dx)
        QCOMPARE(image.pixelColor(x + dx, top0 + 8), sealed.pixelColor(dx, 8));
}

QTEST_MAIN(TestGridDelegates)
#include "tst_griddelegates.moc"
