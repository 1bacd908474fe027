#include "ui/icons.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>

#include <array>
#include <functional>
#include <map>
#include <vector>

namespace domiva {

namespace {

// Every picture is drawn in a 16 x 16 unit square; coordinates on .5 keep one-unit lines
// sharp at 16 pixels.
using Drawing = std::function<void(QPainter&)>;

const QColor paleYellow(255, 243, 176);
const QColor paleYellowShade(240, 222, 140);
const QColor goldOutline(150, 115, 35);
const QColor sealRed(205, 35, 35);
const QColor sealDark(125, 10, 10);

QImage render(int size, const Drawing& draw) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);
    draw(painter);
    painter.end();
    return image;
}

QPen outline(const QColor& color, qreal width = 1.0) {
    QPen pen(color, width);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    return pen;
}

void drawOpenEnvelope(QPainter& p) {
    // The opened flap stands up behind the letter.
    p.setPen(outline(goldOutline));
    p.setBrush(paleYellowShade);
    p.drawPolygon(QPolygonF({{1.5, 7.5}, {8.0, 1.5}, {14.5, 7.5}}));

    p.setPen(outline(QColor(150, 150, 150)));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3.5, 4.5, 9.0, 6.0));
    p.setPen(outline(QColor(120, 140, 190)));
    p.drawLine(QPointF(5.0, 6.5), QPointF(11.0, 6.5));
    p.drawLine(QPointF(5.0, 8.5), QPointF(9.5, 8.5));

    // The pocket in front hides the lower part of the letter.
    p.setPen(outline(goldOutline));
    p.setBrush(paleYellow);
    p.drawPolygon(QPolygonF({{1.5, 7.5}, {8.0, 11.5}, {14.5, 7.5}, {14.5, 14.5}, {1.5, 14.5}}));
    p.setPen(outline(paleYellowShade.darker(115)));
    p.drawLine(QPointF(2.5, 14.0), QPointF(6.5, 10.8));
    p.drawLine(QPointF(13.5, 14.0), QPointF(9.5, 10.8));
}

void drawSealedEnvelope(QPainter& p, const QRectF& body) {
    const qreal left = body.left();
    const qreal right = body.right();
    const qreal top = body.top();
    const qreal bottom = body.bottom();
    const qreal middle = (left + right) / 2.0;
    const qreal tip = top + body.height() * 0.58;

    p.setPen(outline(goldOutline));
    p.setBrush(paleYellow);
    p.drawRect(body);
    // Folds of the back.
    p.setPen(outline(paleYellowShade.darker(115)));
    p.drawLine(QPointF(left + 1.0, bottom - 0.5), QPointF(middle - 1.5, tip - 0.5));
    p.drawLine(QPointF(right - 1.0, bottom - 0.5), QPointF(middle + 1.5, tip - 0.5));
    // The closed flap.
    p.setPen(outline(goldOutline));
    p.setBrush(paleYellowShade);
    p.drawPolygon(QPolygonF({{left, top}, {middle, tip}, {right, top}}));
    // The seal on the flap's tip.
    const qreal radius = body.height() * 0.27;
    QRadialGradient wax(QPointF(middle - radius * 0.4, tip - radius * 0.4), radius * 1.6);
    wax.setColorAt(0.0, sealRed.lighter(140));
    wax.setColorAt(1.0, sealRed);
    p.setPen(outline(sealDark, 0.8));
    p.setBrush(wax);
    p.drawEllipse(QPointF(middle, tip), radius, radius);
}

void drawClosedEnvelope(QPainter& p) {
    drawSealedEnvelope(p, QRectF(1.5, 3.5, 13.0, 9.0));
}

void drawGlobe(QPainter& p) {
    const QPointF centre(8.0, 8.0);
    QRadialGradient sea(QPointF(6.0, 5.5), 9.0);
    sea.setColorAt(0.0, QColor(150, 205, 255));
    sea.setColorAt(1.0, QColor(25, 95, 200));
    p.setPen(outline(QColor(15, 60, 140)));
    p.setBrush(sea);
    p.drawEllipse(centre, 6.5, 6.5);

    // Continents, clipped to the sphere.
    QPainterPath sphere;
    sphere.addEllipse(centre, 6.0, 6.0);
    p.save();
    p.setClipPath(sphere);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(70, 165, 70));
    p.drawPolygon(QPolygonF(
        {{3.0, 4.0}, {6.5, 3.0}, {8.0, 5.0}, {6.5, 7.5}, {5.5, 10.5}, {4.0, 9.0}, {2.5, 6.5}}));
    p.drawPolygon(
        QPolygonF({{9.5, 6.5}, {12.5, 5.5}, {14.0, 8.0}, {12.0, 12.5}, {10.0, 11.5}, {10.5, 9.0}}));
    p.restore();

    // Meridian and parallels.
    p.setPen(outline(QColor(255, 255, 255, 110), 0.7));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, 3.0, 6.3);
    p.drawLine(QPointF(1.8, 8.0), QPointF(14.2, 8.0));
    p.drawLine(QPointF(3.0, 4.8), QPointF(13.0, 4.8));
    p.drawLine(QPointF(3.0, 11.2), QPointF(13.0, 11.2));
}

void drawExclamation(QPainter& p) {
    QPainterPath sign;
    sign.moveTo(8.0, 1.2);
    sign.lineTo(15.0, 14.5);
    sign.lineTo(1.0, 14.5);
    sign.closeSubpath();
    p.setPen(outline(goldOutline));
    p.setBrush(paleYellow);
    p.drawPath(sign);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(60, 45, 15));
    p.drawRoundedRect(QRectF(7.1, 5.0, 1.8, 5.6), 0.9, 0.9);
    p.drawEllipse(QPointF(8.0, 12.3), 1.0, 1.0);
}

void drawTick(QPainter& p) {
    p.setPen(outline(goldOutline));
    p.setBrush(paleYellow);
    p.drawRoundedRect(QRectF(1.5, 1.5, 13.0, 13.0), 2.5, 2.5);

    QPen tick(QColor(35, 130, 35), 2.2);
    tick.setCapStyle(Qt::RoundCap);
    tick.setJoinStyle(Qt::RoundJoin);
    p.setPen(tick);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({{4.2, 8.3}, {7.0, 11.2}, {12.0, 4.6}}));
}

void drawInformation(QPainter& p) {
    QRadialGradient disc(QPointF(6.0, 5.0), 10.0);
    disc.setColorAt(0.0, QColor(110, 170, 245));
    disc.setColorAt(1.0, QColor(20, 75, 185));
    p.setPen(outline(QColor(10, 50, 140)));
    p.setBrush(disc);
    p.drawEllipse(QPointF(8.0, 8.0), 7.0, 7.0);

    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(8.0, 4.6), 1.3, 1.3);
    p.drawRoundedRect(QRectF(6.9, 6.8, 2.2, 6.2), 0.6, 0.6);
    p.drawRect(QRectF(6.0, 6.8, 1.5, 1.1));
    p.drawRect(QRectF(6.0, 11.9, 4.0, 1.1));
}

void drawHouse(QPainter& p) {
    // Chimney first: the roof covers its foot.
    p.setPen(outline(QColor(90, 30, 20)));
    p.setBrush(QColor(150, 60, 45));
    p.drawRect(QRectF(10.5, 2.0, 2.0, 4.0));

    p.setPen(outline(QColor(130, 110, 80)));
    p.setBrush(QColor(250, 238, 215));
    p.drawRect(QRectF(2.5, 7.0, 11.0, 8.5));

    QLinearGradient tiles(QPointF(8.0, 0.5), QPointF(8.0, 8.5));
    tiles.setColorAt(0.0, QColor(215, 75, 55));
    tiles.setColorAt(1.0, QColor(165, 40, 30));
    p.setPen(outline(QColor(100, 25, 15)));
    p.setBrush(tiles);
    p.drawPolygon(QPolygonF({{0.5, 8.0}, {8.0, 0.8}, {15.5, 8.0}}));

    drawSealedEnvelope(p, QRectF(4.0, 9.0, 8.0, 5.5));
}

using IconImages = std::array<QImage, iconCount>;

IconImages renderIcons(int size) {
    return {render(size, drawOpenEnvelope), render(size, drawGlobe),
            render(size, drawExclamation),  render(size, drawTick),
            render(size, drawInformation),  render(size, drawClosedEnvelope)};
}

// The images of one size in device pixels, drawn once on first use. A program meets one or
// two pixel ratios (a window moved to a second screen), so the sizes are kept for good.
const IconImages& iconImages(int size) {
    static std::map<int, IconImages> images;
    auto found = images.find(size);
    if (found == images.end())
        found = images.emplace(size, renderIcons(size)).first;
    return found->second;
}

} // namespace

QPixmap ilIcons(int index, qreal devicePixelRatio) {
    if (index < 0 || index >= iconCount)
        return {};
    const qreal ratio = devicePixelRatio > 0 ? devicePixelRatio : 1.0;
    // Images are kept rather than pixmaps: a pixmap must not outlive the application object,
    // and a function-local static would.
    QPixmap pixmap = QPixmap::fromImage(iconImages(qRound(iconSize * ratio))[std::size_t(index)]);
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

QIcon appIcon() {
    // Drawn at every size a desktop asks for, up to a tray or a title bar at a pixel ratio
    // of 4, so that no size is scaled up from a smaller one; drawn once.
    static const std::vector<QImage> houses = [] {
        std::vector<QImage> images;
        for (const int size : {16, 20, 22, 24, 32, 40, 44, 48, 64, 88, 96, 128, 256})
            images.push_back(render(size, drawHouse));
        return images;
    }();
    QIcon icon;
    for (const QImage& image : houses)
        icon.addPixmap(QPixmap::fromImage(image));
    return icon;
}

} // namespace domiva
