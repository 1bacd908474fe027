#include "ui/uifont.h"

namespace domiva {

QFont uiFont() {
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    font.setStretch(QFont::SemiCondensed);
    return font;
}

} // namespace domiva
