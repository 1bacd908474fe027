#include "ui/griddelegates.h"

#include "store/offersmodel.h"
#include "ui/datagrid.h"
#include "ui/earlierwording.h"
#include "ui/icons.h"

#include <QAbstractItemModel>
#include <QPainter>
#include <QPixmap>

#include <algorithm>

namespace domiva {

namespace {

QPalette::ColorGroup colorGroup(const QStyleOptionViewItem& option) {
    if (!(option.state & QStyle::State_Enabled))
        return QPalette::Disabled;
    return (option.state & QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
}

bool isSelected(const QStyleOptionViewItem& option) {
    return (option.state & QStyle::State_Selected) != 0;
}

// A stored flag counts as set when it is present and not zero.
bool isSet(const QVariant& value) {
    return !value.isNull() && value.toBool();
}

QFont bold(const QFont& font) {
    QFont result(font);
    result.setBold(true);
    return result;
}

} // namespace

// GridDelegate

QString GridDelegate::fieldName(const QModelIndex& index) {
    if (!index.isValid())
        return {};
    return index.model()->headerData(index.column(), Qt::Horizontal, Qt::DisplayRole).toString();
}

QVariant GridDelegate::rowValue(const QModelIndex& index, const QString& field) {
    if (!index.isValid())
        return {};
    const int column = fieldColumn(index.model(), field);
    if (column < 0)
        return {};
    return index.siblingAtColumn(column).data(Qt::EditRole);
}

QColor GridDelegate::background(const QStyleOptionViewItem& option) {
    const QPalette::ColorGroup group = colorGroup(option);
    if (isSelected(option))
        return option.palette.color(group, QPalette::Highlight);
    if (option.backgroundBrush.style() != Qt::NoBrush)
        return option.backgroundBrush.color();
    return option.palette.color(group, QPalette::Base);
}

QColor GridDelegate::foreground(const QStyleOptionViewItem& option) {
    return option.palette.color(colorGroup(option),
                                isSelected(option) ? QPalette::HighlightedText : QPalette::Text);
}

void GridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
    QStyleOptionViewItem cell(option);
    initStyleOption(&cell, index);
    // The whole row is the selection; a focus frame around one cell of it would only distract.
    cell.state &= ~QStyle::State_HasFocus;

    painter->save();
    fillCell(painter, cell, background(cell));
    if (plainText(cell, index))
        writeText(painter, cell, cell.font, cell.text);
    drawCell(painter, cell, index);
    painter->restore();
}

QString GridDelegate::spokenText(const QModelIndex& index) const {
    if (!index.isValid())
        return {};
    QStyleOptionViewItem cell;
    initStyleOption(&cell, index);
    return cell.text;
}

QString GridDelegate::spokenDescription(const QModelIndex& index) const {
    return index.isValid() ? index.data(Qt::ToolTipRole).toString() : QString();
}

void GridDelegate::drawCell(QPainter*, const QStyleOptionViewItem&, const QModelIndex&) const {}

bool GridDelegate::plainText(const QStyleOptionViewItem&, const QModelIndex&) const {
    return true;
}

void GridDelegate::fillCell(QPainter* painter, const QStyleOptionViewItem& option,
                            const QColor& color) {
    painter->fillRect(option.rect, color);
}

void GridDelegate::writeText(QPainter* painter, const QStyleOptionViewItem& option,
                             const QFont& font, const QString& text) {
    if (text.isEmpty())
        return;
    const QRect& cell = option.rect;
    painter->save();
    painter->setClipRect(cell, Qt::IntersectClip);
    painter->setFont(font);
    painter->setPen(foreground(option));
    const QRect area(cell.left() + 2, cell.top() + 2, std::max(cell.width() - 2, 0),
                     std::max(cell.height() - 2, 0));
    painter->drawText(area, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    painter->restore();
}

// QueriesDelegate

int QueriesDelegate::iconLeft(int left, int right, int iconWidth) {
    // (left + right - width) / 2 with a half rounded to the even neighbour.
    const int sum = left + right - iconWidth;
    const int half = sum >= 0 ? sum / 2 : -((1 - sum) / 2); // rounded down
    if (sum % 2 == 0)
        return half;
    return half % 2 == 0 ? half : half + 1;
}

QString QueriesDelegate::spokenText(const QModelIndex& index) const {
    if (fieldName(index) == QLatin1String("updated"))
        return isSet(index.data(Qt::EditRole)) ? QStringLiteral("есть новые") : QString();
    return GridDelegate::spokenText(index);
}

bool QueriesDelegate::plainText(const QStyleOptionViewItem&, const QModelIndex& index) const {
    const QString field = fieldName(index);
    if (field == QLatin1String("updated"))
        return false; // painted over with the ground anyway
    // A bold name replaces the plain one instead of being written over it, so no thin
    // outline of the plain text is left around the bold letters.
    if (field == QLatin1String("qname"))
        return !isSet(rowValue(index, QStringLiteral("unreaded")));
    return true;
}

void QueriesDelegate::drawCell(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const QString field = fieldName(index);
    if (field == QLatin1String("updated")) {
        // The icon column keeps the grid's ground (white on a light palette) in the selected
        // row too.
        fillCell(painter, option, option.palette.color(colorGroup(option), QPalette::Base));
        const QVariant updated = index.data(Qt::EditRole);
        if (updated.isNull())
            return;
        // Drawn for the pixels of the screen (or image) the cell lands on.
        const QPixmap icon =
            ilIcons(updated.toBool() ? 5 : 0, painter->device()->devicePixelRatioF());
        const QRect& cell = option.rect;
        const int x = iconLeft(cell.left(), cell.left() + cell.width(), iconSize);
        painter->drawPixmap(x, cell.top(), icon);
    } else if (field == QLatin1String("qname")) {
        if (isSet(rowValue(index, QStringLiteral("unreaded"))))
            writeText(painter, option, bold(option.font), option.text);
    }
}

// OffersDelegate

QString OffersDelegate::priceText(const QString& trend, const QString& price) {
    return trend + QLatin1Char(' ') + price;
}

QString OffersDelegate::roomsText(const QString& rooms) {
    return rooms.size() > 2 ? rooms.left(1) : rooms;
}

QString OffersDelegate::spokenText(const QModelIndex& index) const {
    const QString field = fieldName(index);
    if (field == QLatin1String("unreaded")) {
        if (!isSet(index.data(Qt::EditRole)))
            return {};
        // The hollow bullet: a flat the user opened before under another id.
        return index.data(OffersModel::RepostRole).toInt() == 2
                   ? QStringLiteral("непрочитано, повтор")
                   : QStringLiteral("непрочитано");
    }
    if (field == QLatin1String("room_obj")) {
        const QVariant rooms = index.data(Qt::EditRole);
        return rooms.isNull() ? QString() : roomsText(rooms.toString());
    }
    if (field == QLatin1String("price_obj")) {
        const auto trend = static_cast<PriceTrend>(index.data(OffersModel::PriceTrendRole).toInt());
        const QString price = GridDelegate::spokenText(index);
        if (trend == PriceTrend::Lower)
            return QStringLiteral("цена снижена, ") + price;
        if (trend == PriceTrend::Higher)
            return QStringLiteral("цена повышена, ") + price;
        return price;
    }
    return GridDelegate::spokenText(index);
}

void OffersDelegate::drawCell(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    const QString field = fieldName(index);
    if (field == QLatin1String("unreaded")) {
        const QVariant unreaded = index.data(Qt::EditRole);
        if (unreaded.isNull())
            return;
        fillCell(painter, option, background(option));
        // Hollow for a flat the user opened before under another id.
        const bool seenBefore = index.data(OffersModel::RepostRole).toInt() == 2;
        if (unreaded.toBool())
            writeText(painter, option, bold(option.font),
                      seenBefore ? QStringLiteral("◦") : QStringLiteral("•"));
    } else if (field == QLatin1String("price_obj")) {
        const QString trend = priceTrendMark(
            static_cast<PriceTrend>(index.data(OffersModel::PriceTrendRole).toInt()));
        if (trend.isEmpty())
            return;
        fillCell(painter, option, background(option));
        writeText(painter, option, option.font, priceText(trend, option.text));
    } else if (field == QLatin1String("room_obj")) {
        const QVariant rooms = index.data(Qt::EditRole);
        if (rooms.isNull())
            return;
        fillCell(painter, option, background(option));
        writeText(painter, option, option.font, roomsText(rooms.toString()));
    }
}

} // namespace domiva
