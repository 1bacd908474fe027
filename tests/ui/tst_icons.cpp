// The six images of the grids and the program icon.

#include "ui/icons.h"

#include <QImage>
#include <QTest>

#include <functional>

using namespace domiva;

namespace {

int countPixels(const QImage& image, const std::function<bool(const QColor&)>& match) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (match(image.pixelColor(x, y)))
                ++count;
        }
    }
    return count;
}

bool opaque(const QColor& c) {
    return c.alpha() == 255;
}
bool paleYellow(const QColor& c) {
    return opaque(c) && c.red() > 230 && c.green() > 200 && c.blue() > 110 && c.blue() < 200;
}
bool red(const QColor& c) {
    return opaque(c) && c.red() > 150 && c.green() < 90 && c.blue() < 90;
}
bool blue(const QColor& c) {
    return opaque(c) && c.blue() > 150 && c.red() < 120;
}
bool green(const QColor& c) {
    return opaque(c) && c.green() > 110 && c.red() < 100 && c.blue() < 100;
}
bool white(const QColor& c) {
    return opaque(c) && c.red() > 240 && c.green() > 240 && c.blue() > 240;
}

} // namespace

class TestIcons : public QObject {
    Q_OBJECT

private slots:
    void sizeAndTransparency_data();
    void sizeAndTransparency();
    void allDifferent();
    void colours();
    void outOfRange();
};

void TestIcons::sizeAndTransparency_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<int>("ratio");
    for (const int ratio : {1, 2}) {
        for (int i = 0; i < iconCount; ++i)
            QTest::addRow("image %d at ratio %d", i, ratio) << i << ratio;
    }
}

void TestIcons::sizeAndTransparency() {
    QFETCH(int, index);
    QFETCH(int, ratio);
    const QPixmap pixmap = ilIcons(index, ratio);
    QCOMPARE(pixmap.size(), QSize(16, 16) * ratio);
    QCOMPARE(pixmap.deviceIndependentSize(), QSizeF(16, 16));
    QVERIFY(pixmap.hasAlphaChannel());
    const QImage image = pixmap.toImage();
    const int transparent = countPixels(image, [](const QColor& c) { return c.alpha() == 0; });
    const int solid = countPixels(image, opaque);
    QVERIFY2(transparent >= 8 * ratio * ratio, "the background shows through");
    QVERIFY2(solid >= 60 * ratio * ratio, "the picture fills a good part of the square");
    QCOMPARE(image.pixelColor(8 * ratio, 8 * ratio).alpha(), 255);
    if (ratio == 1)
        return;
    // Drawn at the larger size: finer than the small picture with every pixel doubled.
    const QImage doubled = ilIcons(index).toImage().scaled(image.size(), Qt::IgnoreAspectRatio,
                                                           Qt::FastTransformation);
    int differing = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            differing += image.pixel(x, y) != doubled.pixel(x, y) ? 1 : 0;
    }
    QVERIFY2(differing > image.width() * image.height() / 8,
             qPrintable(QString::number(differing)));
}

void TestIcons::allDifferent() {
    for (int a = 0; a < iconCount; ++a) {
        for (int b = a + 1; b < iconCount; ++b)
            QVERIFY(ilIcons(a).toImage() != ilIcons(b).toImage());
    }
}

void TestIcons::colours() {
    const auto image = [](int index) { return ilIcons(index).toImage(); };
    QVERIFY(countPixels(image(0), paleYellow) > 20); // open envelope
    QCOMPARE(countPixels(image(0), red), 0);
    QVERIFY(countPixels(image(1), blue) > 20); // globe: sea and land
    QVERIFY(countPixels(image(1), green) > 5);
    QVERIFY(countPixels(image(2), paleYellow) > 20); // exclamation mark
    QVERIFY(countPixels(image(3), paleYellow) > 20); // tick
    QVERIFY(countPixels(image(3), green) > 5);
    QVERIFY(countPixels(image(4), blue) > 40); // "i" on a blue disc
    QVERIFY(countPixels(image(4), white) > 8);
    QVERIFY(countPixels(image(5), paleYellow) > 20); // closed envelope
    QVERIFY(countPixels(image(5), red) > 4);         // with its seal
    // The image list is drawn once: the same pixels every time.
    QCOMPARE(image(5), image(5));
}

void TestIcons::outOfRange() {
    QVERIFY(ilIcons(-1).isNull());
    QVERIFY(ilIcons(iconCount).isNull());
}

QTEST_MAIN(TestIcons)
#include "tst_icons.moc"
