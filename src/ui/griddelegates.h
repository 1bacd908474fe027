#pragma once

#include <QStyledItemDelegate>

namespace domiva {

// Cell drawing shared by both grids. Every cell first gets the grid's plain drawing: the row's
// background (window colour, or the selection colour in the selected row) and the field's
// display text at (left + 2, top + 2) in the row's text colour, clipped to the cell. The grid
// subclasses then draw their special columns over it.
class GridDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

    // What a screen reader says of the cell: the text drawn in it, and in words what is only
    // drawn (a bullet, an icon). Empty where the cell shows nothing.
    virtual QString spokenText(const QModelIndex& index) const;
    // What a reader may add about the cell: its tooltip.
    virtual QString spokenDescription(const QModelIndex& index) const;

    // The field a cell belongs to: its column's horizontal header text.
    static QString fieldName(const QModelIndex& index);
    // The stored value of another field of the same row (QVariant() when the model has no
    // such field).
    static QVariant rowValue(const QModelIndex& index, const QString& field);
    // The background and text colours of the row as the plain drawing uses them.
    static QColor background(const QStyleOptionViewItem& option);
    static QColor foreground(const QStyleOptionViewItem& option);

protected:
    // Draws the special content of the cell over the plain drawing (nothing by default);
    // `option` is already initialised from the index.
    virtual void drawCell(QPainter* painter, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const;
    // Whether the plain drawing includes the display text (it does by default).
    virtual bool plainText(const QStyleOptionViewItem& option, const QModelIndex& index) const;

    static void fillCell(QPainter* painter, const QStyleOptionViewItem& option,
                         const QColor& color);
    static void writeText(QPainter* painter, const QStyleOptionViewItem& option, const QFont& font,
                          const QString& text);
};

// dbgQueries: the envelope of `updated` on the grid's ground (Base, whether the row is selected
// or not), and `qname` in bold while `unreaded`. A reader hears "есть новые" for the envelope of
// new listings and the search's counts as the description of its name.
class QueriesDelegate : public GridDelegate {
    Q_OBJECT

public:
    using GridDelegate::GridDelegate;

    QString spokenText(const QModelIndex& index) const override;

    // x of the icon in a cell from `left` to `right` (exclusive): centred, halves to even.
    static int iconLeft(int left, int right, int iconWidth);

protected:
    void drawCell(QPainter* painter, const QStyleOptionViewItem& option,
                  const QModelIndex& index) const override;
    bool plainText(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// dbgOffers: the bullet of `unreaded` (hollow for a re-post of a flat the user opened), the
// shortened `room_obj`, and the price with "↓" or "↑" before it when it is lower or higher than
// at the flat's latest earlier appearance (OffersModel's roles). A reader hears "непрочитано"
// for the bullet ("непрочитано, повтор" for the hollow one) and the price's trend in words.
class OffersDelegate : public GridDelegate {
    Q_OBJECT

public:
    using GridDelegate::GridDelegate;

    QString spokenText(const QModelIndex& index) const override;

    // What the rooms cell shows of a stored rooms text: up to two characters whole, a longer
    // text only its first character.
    static QString roomsText(const QString& rooms);
    // The price cell's text with the trend before it.
    static QString priceText(const QString& trend, const QString& price);

protected:
    void drawCell(QPainter* painter, const QStyleOptionViewItem& option,
                  const QModelIndex& index) const override;
};

} // namespace domiva
