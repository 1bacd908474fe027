// The details panel: captions, positions, plain-text values, emptying.

#include "ui/detailspanel.h"

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

using namespace domiva;

namespace {

struct Expected {
    int top;
    const char* captionName;
    const char* caption;
    const char* valueName;
};

const Expected lines[] = {
    {8, "Label3", "Трансп.: ", "lblMin_obj"},    {32, "Label2", "Адрес: ", "lblMetro_obj"},
    {56, "Label1", "Комнат: ", "lblRoom_obj"},   {80, "Label4", "Кухня: ", "lblKitch_obj"},
    {104, "Label5", "Цена: ", "lblPrice_obj"},   {128, "Label6", "Комиссия: ", "lblPerc_obj"},
    {152, "Label7", "Этаж: ", "lblFlat_obj"},    {176, "Label8", "м/т: ", "lblInfo_obj"},
    {200, "Label9", "Контакт: ", "lblCont_obj"}, {224, "Label10", "Комментарии: ", "lblOwntxt_obj"},
    {312, "Label11", "автор: ", "lblPubl_obj"},  {336, "Label12", "дата/время: ", "lblDt_obj"},
};

QStringList sampleValues() {
    return {QStringLiteral("5 мин. пешком"),
            QStringLiteral("Тверская ул., 7"),
            QStringLiteral("2"),
            QStringLiteral("9"),
            QStringLiteral("35000"),
            QStringLiteral("50%"),
            QStringLiteral("3/9"),
            QStringLiteral("Пушкинская"),
            QStringLiteral("+7 495 000-00-00"),
            QStringLiteral("Хорошая квартира"),
            QStringLiteral("агент"),
            QStringLiteral("15.03.2023 12:00:00")};
}

void checkGeometry(const DetailsPanel& panel) {
    const QList<QLabel*> captions = panel.captionLabels();
    const QList<QLabel*> values = panel.valueLabels();
    for (int i = 0; i < 12; ++i) {
        // Inside the panel's outer edge, wherever the labels' own parent lies.
        const QRect caption(captions[i]->mapTo(&panel, QPoint()), captions[i]->size());
        QCOMPARE(caption.x() + caption.width(), 104);
        QCOMPARE(caption.y(), lines[i].top);
        QCOMPARE(caption.width(), captions[i]->sizeHint().width());
        QCOMPARE(values[i]->mapTo(&panel, QPoint()), QPoint(104, lines[i].top));
    }
}

} // namespace

class TestDetailsPanel : public QObject {
    Q_OBJECT

private slots:
    void panel_data();
    void panel();
    void captions();
    void valueLabels();
    void showValues();
    void valuesSizeToText();
    void valuesArePlainText();
    void clearDetails();
    void fewerValues();
    void fontChangeKeepsRightEdge();
    void readLineByLine_data();
    void readLineByLine();
};

void TestDetailsPanel::panel_data() {
    QTest::addColumn<QPalette>("palette");
    QTest::addColumn<QColor>("ground");
    QTest::addColumn<QColor>("text");
    QTest::newRow("light (default)") << QPalette() << QColor(Qt::white) << QColor(Qt::black);
    QPalette dark(QColor(53, 53, 53), QColor(40, 40, 40));
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Text, QColor(235, 235, 235));
    dark.setColor(QPalette::WindowText, QColor(220, 220, 220));
    QTest::newRow("dark") << dark << QColor(30, 30, 30) << QColor(235, 235, 235);
}

void TestDetailsPanel::panel() {
    QFETCH(QPalette, palette);
    QFETCH(QColor, ground);
    QFETCH(QColor, text);
    DetailsPanel panel;
    panel.setPalette(palette);
    QCOMPARE(panel.frameShape(), QFrame::Panel);
    QCOMPARE(panel.frameShadow(), QFrame::Sunken);
    panel.resize(panel.sizeHint());
    panel.showValues(sampleValues());
    // Drawn: the ground between the lines, and the caption and value written in the text colour.
    const QImage image = panel.grab().toImage();
    QCOMPARE(image.pixelColor(300, 26), ground);
    for (QLabel* label : {panel.captionLabels()[4], panel.lblPrice_obj}) {
        const QRect area(label->mapTo(&panel, QPoint()), label->size());
        bool written = false;
        for (int y = area.top(); y <= area.bottom() && !written; ++y)
            for (int x = area.left(); x <= area.right() && !written; ++x)
                written = image.pixelColor(x, y) == text;
        QVERIFY2(written, label->objectName().toUtf8());
    }
    QVERIFY(panel.sizeHint().width() >= 104 + 505);
    QVERIFY(panel.sizeHint().height() > 336);
}

void TestDetailsPanel::captions() {
    DetailsPanel panel;
    const QList<QLabel*> captions = panel.captionLabels();
    QCOMPARE(captions.size(), 12);
    for (int i = 0; i < 12; ++i) {
        QLabel* caption = captions[i];
        QCOMPARE(caption->objectName(), QString::fromUtf8(lines[i].captionName));
        QCOMPARE(caption->text(), QString::fromUtf8(lines[i].caption));
        QVERIFY(caption->font().bold());
        QCOMPARE(panel.findChild<QLabel*>(QString::fromUtf8(lines[i].captionName)), caption);
        // A screen reader hears each value with its caption.
        const auto labels = QAccessible::queryAccessibleInterface(panel.valueLabels()[i])
                                ->relations(QAccessible::Label);
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels[0].first->object(), caption);
    }
    checkGeometry(panel);
}

void TestDetailsPanel::valueLabels() {
    DetailsPanel panel;
    const QList<QLabel*> values = panel.valueLabels();
    const QList<QLabel*> members = {panel.lblMin_obj,    panel.lblMetro_obj, panel.lblRoom_obj,
                                    panel.lblKitch_obj,  panel.lblPrice_obj, panel.lblPerc_obj,
                                    panel.lblFlat_obj,   panel.lblInfo_obj,  panel.lblCont_obj,
                                    panel.lblOwntxt_obj, panel.lblPubl_obj,  panel.lblDt_obj};
    QCOMPARE(values, members);
    for (int i = 0; i < 12; ++i) {
        QCOMPARE(values[i]->objectName(), QString::fromUtf8(lines[i].valueName));
        QVERIFY(!values[i]->font().bold());
        QVERIFY(values[i]->text().isEmpty());
    }
    QCOMPARE(panel.lblOwntxt_obj->size(), QSize(505, 81));
    QVERIFY(panel.lblOwntxt_obj->wordWrap());
    QCOMPARE(panel.lblOwntxt_obj->alignment(), Qt::AlignLeft | Qt::AlignTop);
}

void TestDetailsPanel::showValues() {
    DetailsPanel panel;
    const QStringList values = sampleValues();
    panel.showValues(values);
    for (int i = 0; i < 12; ++i)
        QCOMPARE(panel.valueLabels()[i]->text(), values[i]);
    QCOMPARE(panel.lblMin_obj->text(), QStringLiteral("5 мин. пешком"));
    QCOMPARE(panel.lblDt_obj->text(), QStringLiteral("15.03.2023 12:00:00"));
    checkGeometry(panel);
}

void TestDetailsPanel::valuesSizeToText() {
    DetailsPanel panel;
    panel.showValues({QStringLiteral("1")});
    const int narrow = panel.lblMin_obj->width();
    panel.showValues({QStringLiteral("очень длинное значение поля транспорта")});
    QVERIFY(panel.lblMin_obj->width() > narrow + 100);
    QCOMPARE(panel.lblMin_obj->size(), panel.lblMin_obj->sizeHint());
    QCOMPARE(panel.lblMin_obj->mapTo(&panel, QPoint()), QPoint(104, 8));

    // The comments box keeps its size whatever it holds, and wraps.
    panel.showValues({{}, {}, {}, {}, {}, {}, {}, {}, {}, QStringLiteral("слово ").repeated(200)});
    QCOMPARE(panel.lblOwntxt_obj->size(), QSize(505, 81));
    panel.showValues({});
    QCOMPARE(panel.lblOwntxt_obj->size(), QSize(505, 81));
}

void TestDetailsPanel::valuesArePlainText() {
    DetailsPanel panel;
    const QString markup = QStringLiteral("<b>жирный</b> <img src=\"x\"> &amp;");
    panel.showValues({markup, {}, {}, {}, {}, {}, {}, {}, {}, markup});
    for (QLabel* label : panel.valueLabels())
        QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(panel.lblMin_obj->text(), markup);
    // Shown literally: as wide as the whole text with its tags, not just the bold word.
    QVERIFY(panel.lblMin_obj->sizeHint().width() >
            QFontMetrics(panel.lblMin_obj->font()).horizontalAdvance(QStringLiteral("жирный")) +
                20);
    QCOMPARE(panel.lblMin_obj->sizeHint().width(),
             QFontMetrics(panel.lblMin_obj->font()).horizontalAdvance(markup));
}

void TestDetailsPanel::clearDetails() {
    DetailsPanel panel;
    panel.showValues(sampleValues());
    panel.clearDetails();
    for (QLabel* label : panel.valueLabels())
        QCOMPARE(label->text(), QString());
    // Captions are not touched.
    for (int i = 0; i < 12; ++i)
        QCOMPARE(panel.captionLabels()[i]->text(), QString::fromUtf8(lines[i].caption));
    checkGeometry(panel);
}

void TestDetailsPanel::fewerValues() {
    DetailsPanel panel;
    panel.showValues(sampleValues());
    panel.showValues({QStringLiteral("a"), QStringLiteral("b")});
    QCOMPARE(panel.lblMin_obj->text(), QStringLiteral("a"));
    QCOMPARE(panel.lblMetro_obj->text(), QStringLiteral("b"));
    for (int i = 2; i < 12; ++i)
        QVERIFY(panel.valueLabels()[i]->text().isEmpty());
    QStringList more = sampleValues();
    more.append(QStringLiteral("лишнее"));
    panel.showValues(more);
    QCOMPARE(panel.lblDt_obj->text(), sampleValues().last());
}

void TestDetailsPanel::fontChangeKeepsRightEdge() {
    QWidget window;
    auto* panel = new DetailsPanel(&window);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(11);
    window.setFont(font);
    checkGeometry(*panel);
    const int smallWidth = panel->captionLabels()[9]->width();
    font.setPixelSize(14);
    window.setFont(font);
    QVERIFY(panel->captionLabels()[9]->width() > smallWidth);
    QVERIFY(panel->captionLabels()[9]->font().bold());
    QCOMPARE(QFontInfo(panel->captionLabels()[9]->font()).pixelSize(), 14);
    checkGeometry(*panel);
}

void TestDetailsPanel::readLineByLine_data() {
    QTest::addColumn<QString>("keys"); // Down, Up, Tab; the focus away and back
    QTest::addColumn<int>("line");     // -1: the focus left the panel
    QTest::newRow("down") << "DD" << 2;
    QTest::newRow("down and up") << "DDDU" << 2;
    QTest::newRow("up at the top") << "U" << 0;
    QTest::newRow("down at the bottom") << QString(15, u'D') << 11;
    QTest::newRow("back to the line left") << "DDab" << 2;
    QTest::newRow("tab leaves") << "DT" << -1;
}

void TestDetailsPanel::readLineByLine() {
    QFETCH(QString, keys);
    QFETCH(int, line);
    QWidget window;
    auto* panel = new DetailsPanel(&window);
    auto* other = new QLineEdit(&window);
    panel->showValues(sampleValues());
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    panel->setFocus();
    const QHash<QChar, Qt::Key> press{
        {u'D', Qt::Key_Down}, {u'U', Qt::Key_Up}, {u'T', Qt::Key_Tab}};
    for (const QChar key : std::as_const(keys)) {
        if (key == u'a' || key == u'b')
            (key == u'a' ? static_cast<QWidget*>(other) : panel)->setFocus();
        else
            QTest::keyClick(QApplication::focusWidget(), press.value(key));
    }
    QWidget* focus = QApplication::focusWidget();
    QCOMPARE(panel->isAncestorOf(focus), line >= 0);
    if (line >= 0)
        QCOMPARE(focus, panel->valueLabels()[line]);
}

QTEST_MAIN(TestDetailsPanel)
#include "tst_detailspanel.moc"
