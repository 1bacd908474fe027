#include "ui/screenplacement.h"

#include <QEvent>
#include <QGuiApplication>
#include <QMargins>
#include <QObject>
#include <QRect>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>

namespace domiva {

namespace {

// A Wayland compositor places every window itself and tells no client where a window is; a
// position the client asks for is ignored. There only the size is made to fit.
bool compositorPlaces() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

QMargins frameOf(const QWidget* window) {
    if (window->windowHandle() == nullptr)
        return {};
    // While the window manager puts its frame around the window, Qt may measure the frame
    // before it has its size and report negative margins: not known yet.
    const QMargins frame = window->windowHandle()->frameMargins();
    if (frame.left() < 0 || frame.top() < 0 || frame.right() < 0 || frame.bottom() < 0)
        return {};
    return frame;
}

// outerSize empty: the window keeps its size, and its position where the frame is on the
// screen.
void place(QWidget* window, QSize outerSize) {
    const QScreen* display = window->screen();
    // A maximised window already fills the available area; a new geometry would take that
    // state from it.
    if (display == nullptr ||
        (window->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)))
        return;
    const QRect area = display->availableGeometry();
    // Taken from the window system each time: the widget's own idea of its frame (behind pos()
    // and move()) may still be the one it had before the window manager framed it.
    const QMargins frame = frameOf(window);
    const QPoint clientOffset(frame.left(), frame.top());
    const QSize frameSize(frame.left() + frame.right(), frame.top() + frame.bottom());
    const QSize room = area.size() - frameSize;
    const bool keep = outerSize.isEmpty();
    const QRect frameRect(window->geometry().topLeft() - clientOffset, window->size() + frameSize);
    // Where the compositor places the window, only its size can be wrong.
    const bool fits = compositorPlaces() ? area.size().expandedTo(frameRect.size()) == area.size()
                                         : area.contains(frameRect);
    if (keep && fits)
        return;
    // Even a window of fixed size is made to fit: a few pixels less are better than a title
    // bar out of reach.
    window->setMinimumSize(window->minimumSize().boundedTo(room));
    const QSize client = (keep ? window->size() : outerSize - frameSize)
                             .boundedTo(room)
                             .expandedTo(window->minimumSize())
                             .boundedTo(window->maximumSize());
    if (compositorPlaces()) {
        window->resize(client);
        return;
    }
    const QSize outer = client + frameSize;
    const QPoint framePosition(std::max(area.x(), area.x() + (area.width() - outer.width()) / 2),
                               std::max(area.y(), area.y() + (area.height() - outer.height()) / 2));
    // The geometry of a window is that inside its frame.
    window->setGeometry(QRect(framePosition + clientOffset, client));
}

// A window manager puts its frame around a window only once the window is on the screen, so
// the frame is not known when the window is first placed. This places the window once more
// as soon as the frame is known, and then goes. Qt learns of the frame without telling the
// window, so the window's first events and a short timer both look; a window manager that
// draws no frame leaves nothing to wait for after a few seconds.
class FrameWatch : public QObject {
public:
    static inline const QString name = QStringLiteral("domivaFrameWatch");

    FrameWatch(QWidget* window, QSize outerSize)
        : QObject(window), m_window(window), m_outerSize(outerSize) {
        setObjectName(name);
        window->installEventFilter(this);
        connect(&m_poll, &QTimer::timeout, this, [this] {
            if (++m_polls > maxPolls)
                finish();
            else
                check();
        });
        m_poll.start(pollMilliseconds);
    }

protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() == QEvent::Hide)
            finish();
        else
            check();
        return false;
    }

private:
    static constexpr int pollMilliseconds = 25;
    static constexpr int maxPolls = 200;

    void check() {
        if (m_done || frameOf(m_window).isNull())
            return;
        finish();
        // Not in the middle of whatever event this is.
        QMetaObject::invokeMethod(
            m_window, [window = m_window, outerSize = m_outerSize] { place(window, outerSize); },
            Qt::QueuedConnection);
    }
    void finish() {
        if (m_done)
            return;
        m_done = true;
        m_poll.stop();
        m_window->removeEventFilter(this);
        deleteLater();
    }

    QWidget* m_window; // the parent
    QSize m_outerSize;
    QTimer m_poll;
    int m_polls = 0;
    bool m_done = false;
};

} // namespace

void keepOnScreen(QWidget* window) {
    placeOnScreen(window, QSize());
}

void placeOnScreen(QWidget* window, QSize outerSize) {
    place(window, outerSize);
    // A window shown maximised is the window manager's to place. Placed again later, it
    // could be moved in a moment when Qt briefly reports it unmaximised while the window
    // manager rewrites its state, and a moved window loses that state.
    if (window->windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))
        return;
    if (!compositorPlaces() && frameOf(window).isNull() &&
        window->findChild<QObject*>(FrameWatch::name, Qt::FindDirectChildrenOnly) == nullptr)
        new FrameWatch(window, outerSize);
}

} // namespace domiva
