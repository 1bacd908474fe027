#pragma once

#include <QIcon>
#include <QPixmap>

namespace domiva {

// The window's 16 x 16 image list, drawn once on first use. Indexes:
//   0 open envelope (a query without news), 1 globe, 2 exclamation mark, 3 tick,
//   4 white "i" on a blue disc, 5 closed envelope with a red seal (a query with news).
// Indexes outside 0..5 give a null pixmap.
inline constexpr int iconCount = 6;
inline constexpr int iconSize = 16;
QPixmap ilIcons(int index);

// The program's icon for the window and the tray: a house with a sealed letter, in 16, 24, 32,
// 48 and 64 pixels.
QIcon appIcon();

} // namespace domiva
