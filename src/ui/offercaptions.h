#pragma once

#include <QString>
#include <QStringList>

#include <array>

// What a listing's fields are called: the details panel's captions, a copied listing's lines
// and the header of a CSV export are all made from this one table.
namespace domiva {

struct OfferCaption {
    const char* field;   // the column of Offers
    const char* caption; // as a CSV export heads the column
};

// The details panel's lines, top to bottom, and the columns of a CSV export in that order.
inline constexpr std::array<OfferCaption, 12> offerCaptions{{
    {"min_obj", "Трансп."},
    {"metro_obj", "Адрес"},
    {"room_obj", "Комнат"},
    {"kitch_obj", "Кухня"},
    {"price_obj", "Цена"},
    {"perc_obj", "Комиссия"},
    {"flat_obj", "Этаж"},
    {"info_obj", "м/т"},
    {"cont_obj", "Контакт"},
    {"owntxt_obj", "Комментарии"},
    {"publ_obj", "автор"},
    {"dt_obj", "дата/время"},
}};

// The last line of the panel and the last column of an export: the earlier appearances.
inline constexpr char earlierCaption[] = "Ранее";

// A caption as the details panel and a copied listing show it, before the value.
inline QString captionLabelText(const char* caption) {
    return QString::fromUtf8(caption) + QStringLiteral(": ");
}

// The header row of a CSV export.
inline QStringList csvHeader() {
    QStringList header;
    for (const OfferCaption& caption : offerCaptions)
        header.append(QString::fromUtf8(caption.caption));
    header.append(QString::fromUtf8(earlierCaption));
    return header;
}

} // namespace domiva
