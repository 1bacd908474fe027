#pragma once

#include <QFont>

namespace domiva {

// The one font of the program's windows: a sans-serif face 11 pixels high (8 points at
// 96 dpi). The controls stand at fixed pixel positions, so the font is fixed in pixels too: one
// that grew with the screen's dpi would run out of its boxes. The layouts were made for a
// narrow face; semi-condensed DejaVu keeps the longest captions and the two columns of the
// searches inside their space (Qt narrows the regular face itself where the condensed one is
// not installed).
QFont uiFont();

} // namespace domiva
