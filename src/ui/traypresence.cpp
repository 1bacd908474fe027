#include "ui/traypresence.h"

#include "ui/desktopnotifier.h"
#include "ui/newlistingssound.h"
#include "ui/trayicon.h"

#include <QWidget>
#include <QWindow>

#include <utility>

namespace domiva {

namespace {

// Runs then() once, from the event loop, after the window is next exposed.
void onFirstExpose(QWindow* window, std::function<void()> then) {
    class Watch : public QObject {
    public:
        Watch(QWindow* window, std::function<void()> then)
            : QObject(window), m_then(std::move(then)) {
            window->installEventFilter(this);
        }

    protected:
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Expose && static_cast<QWindow*>(watched)->isExposed()) {
                watched->removeEventFilter(this);
                QMetaObject::invokeMethod(watched, m_then, Qt::QueuedConnection);
                deleteLater();
            }
            return false;
        }

    private:
        std::function<void()> m_then;
    };
    new Watch(window, std::move(then));
}

} // namespace

TrayPresence::TrayPresence(QWidget* window, std::function<void(const QString&)> log)
    : QObject(window), m_window(window), m_sound(std::make_unique<CanberraSound>()) {
    m_tray = new TrayIcon(window);
    connect(m_tray, &TrayIcon::restoreRequested, this, &TrayPresence::restore);
    connect(m_tray, &TrayIcon::aboutRequested, this, &TrayPresence::aboutRequested);
    connect(m_tray, &TrayIcon::trayKindAnswered, this, [this] {
        if (m_heldAnnouncement)
            showAnnouncement(*std::exchange(m_heldAnnouncement, std::nullopt));
    });
    m_notifier = new DesktopNotifier(log, window);
    connect(m_notifier, &DesktopNotifier::activated, this, &TrayPresence::restore);
    connect(m_tray, &TrayIcon::noTray, this, [log] {
        log(QStringLiteral("No tray on this desktop: new listings are announced as desktop "
                           "notifications, and the icon goes up if a tray appears"));
    });
}

TrayPresence::~TrayPresence() = default;

void TrayPresence::showAnnouncement(const QString& text) {
    if (m_tray->showsBalloons())
        m_tray->showTrayBalloon(text);
    else
        m_notifier->notify(TrayIcon::balloonText(text));
}

void TrayPresence::setSound(std::unique_ptr<NewListingsSound> sound) {
    m_sound = std::move(sound);
}

void TrayPresence::takeMinimized(std::function<bool()> hide) {
    m_hideOnMinimize = std::move(hide);
}

void TrayPresence::windowStateChanged() {
    if (m_restoring && !m_window->isMinimized())
        m_restoring = false;
    // Hidden only once the minimise has been carried out.
    if (m_hideOnMinimize && m_window->isMinimized())
        QMetaObject::invokeMethod(this, &TrayPresence::minimize, Qt::QueuedConnection);
}

void TrayPresence::minimize() {
    // Until the window manager has shown the window brought back, a minimised state it reports
    // is the one the window had, not the user's.
    if (!m_window->isMinimized() || m_restoring)
        return;
    // Without a tray icon a hidden window could never be brought back.
    if (m_hideOnMinimize()) {
        m_stateInTray = m_window->windowState() & ~Qt::WindowMinimized;
        m_window->hide();
    }
}

void TrayPresence::restore() {
    QWidget* window = m_window;
    // Back in the state it had before it was minimised: a maximised window stays maximised.
    if (window->isHidden() && !window->isMinimized()) {
        // The window manager forgets the state of a window taken off the screen, and Qt takes
        // its word; but the hint to start iconic, set when the window was minimised, stays on
        // the window. Only a change of state that Qt carries out resets the hint, so the window
        // goes through one before it is mapped, already in the state it left in.
        window->setWindowState(m_stateInTray ^ Qt::WindowMaximized);
        window->setWindowState(m_stateInTray);
        window->show();
    } else if (window->isHidden()) {
        // Not yet let go by the window manager, which may still hold the window iconic.
        // Leaving the minimised state maps the window at once: the window manager either shows
        // it in the state it kept, or takes it on anew and may miss the state. Once the window
        // is on the screen, the state is asked for once more.
        const Qt::WindowStates wanted = m_stateInTray;
        window->setWindowState(wanted);
        window->show();
        m_restoring = true;
        onFirstExpose(window->windowHandle(), [this, window, wanted] {
            m_restoring = false;
            const Qt::WindowStates normal = wanted & ~(Qt::WindowMaximized | Qt::WindowFullScreen);
            if (window->isHidden() || window->isMinimized() || wanted == normal)
                return;
            window->setWindowState(normal);
            window->setWindowState(wanted);
        });
    } else if (window->isMinimized()) {
        // Iconic on the task bar: only the minimised state goes, the window manager kept the
        // rest. The window knows that rest; the widget keeps, while minimised, the state from
        // before, which misses what the window manager changed meanwhile.
        window->setWindowState(window->windowHandle()->windowStates() & ~Qt::WindowMinimized);
    }
    window->raise();
    window->activateWindow();
}

void TrayPresence::announce(const QString& text, bool playSound) {
    // Right after the icon went up, the desktop has not yet said whether its tray shows
    // balloons: the announcement waits for the answer rather than take the wrong way.
    if (m_tray->isShown() && !m_tray->trayKindKnown())
        m_heldAnnouncement = text;
    else
        showAnnouncement(text);
    // Asked for exactly when a sync stored new listings.
    if (playSound && m_sound)
        m_sound->play();
}

} // namespace domiva
