#pragma once

#include <QSize>

class QWidget;

namespace domiva {

// Puts a top-level window on its screen: `outerSize` (frame included) where it fits, smaller
// where the screen's available area is smaller, and the frame centred inside that area, so
// that the title bar, the menu and the status bar can always be reached. Called when the
// window is shown; where the window manager's frame is not known yet, the window is placed
// once more when it is. Under Wayland, where the compositor places windows, only the size is
// made to fit.
void placeOnScreen(QWidget* window, QSize outerSize);
// For a dialog: it keeps its size and place where its frame lies on the screen, and is made to
// fit and centred where it does not.
void keepOnScreen(QWidget* window);

} // namespace domiva
