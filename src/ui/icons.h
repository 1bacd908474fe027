#pragma once

#include <QIcon>
#include <QPixmap>

namespace domiva {

// The window's 16 x 16 image list, drawn once per pixel ratio on first use: at a ratio of 2 a
// picture is 32 x 32 device pixels, drawn at that size. Indexes:
//   0 open envelope (a query without news), 1 globe, 2 exclamation mark, 3 tick,
//   4 white "i" on a blue disc, 5 closed envelope with a red seal (a query with news).
// Indexes outside 0..5 give a null pixmap.
inline constexpr int iconCount = 6;
inline constexpr int iconSize = 16;
QPixmap ilIcons(int index, qreal devicePixelRatio = 1.0);

// The program's icon for the window and the tray: a house with a sealed letter, drawn at each
// size from 16 to 256 pixels.
QIcon appIcon();

} // namespace domiva
