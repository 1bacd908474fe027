#include "ui/screenplacement.h"

#include <QEvent>
#include <QMargins>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QScreen>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace domiva {

namespace {

QMargins frameOf(const QWidget* window) {
    return window->windowHandle() != nullptr ? window->windowHandle()->frameMargins() : QMargins();
}

// outerSize empty: the window keeps its size, and its position where the frame is on the
// screen.
void place(QWidget* window, QSize outerSize) {
    const QScreen* display = window->screen();
    if (display == nullptr)
        return;
    const QRect area = display->availableGeometry();
    const QMargins frame = frameOf(window);
    const QSize frameSize(frame.left() + frame.right(), frame.top() + frame.bottom());
    const QSize room = area.size() - frameSize;
    const bool keep = outerSize.isEmpty();
    if (keep && QRect(window->pos(), window->size() + frameSize).intersected(area) ==
                    QRect(window->pos(), window->size() + frameSize))
        return;
    // Even a window of fixed size is made to fit: a few pixels less are better than a title
    // bar out of reach.
    window->setMinimumSize(window->minimumSize().boundedTo(room));
    window->resize((keep ? window->size() : outerSize - frameSize).boundedTo(room));
    const QSize outer = window->size() + frameSize;
    // move() places the frame's top left corner.
    window->move(std::max(area.x(), area.x() + (area.width() - outer.width()) / 2),
                 std::max(area.y(), area.y() + (area.height() - outer.height()) / 2));
}

// A window manager puts its frame around a window only once the window is on the screen, so
// the frame is not known when the window is first placed. This places the window once more
// as soon as the frame is known, and then goes.
class FrameWatch : public QObject {
public:
    static inline const QString name = QStringLiteral("domivaFrameWatch");

    FrameWatch(QWidget* window, QSize outerSize) : QObject(window), m_outerSize(outerSize) {
        setObjectName(name);
        window->installEventFilter(this);
    }

protected:
    // The frame becomes known while the window takes its first events (exposure, activation,
    // painting), without an event of its own.
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* window = static_cast<QWidget*>(watched);
        if (event->type() == QEvent::Hide) {
            window->removeEventFilter(this);
            deleteLater();
        } else if (!frameOf(window).isNull()) {
            window->removeEventFilter(this);
            deleteLater();
            // Not in the middle of whatever event this is.
            QMetaObject::invokeMethod(
                window, [window, outerSize = m_outerSize] { place(window, outerSize); },
                Qt::QueuedConnection);
        }
        return false;
    }

private:
    QSize m_outerSize;
};

} // namespace

void keepOnScreen(QWidget* window) {
    placeOnScreen(window, QSize());
}

void placeOnScreen(QWidget* window, QSize outerSize) {
    place(window, outerSize);
    if (frameOf(window).isNull() &&
        window->findChild<QObject*>(FrameWatch::name, Qt::FindDirectChildrenOnly) == nullptr)
        new FrameWatch(window, outerSize);
}

} // namespace domiva
