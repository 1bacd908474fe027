#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace domiva {

class DesktopNotifier;
class NewListingsSound;
class TrayIcon;

// The program on the desktop beside its window: the tray icon, the announcements of new
// listings (a balloon, or a desktop notification where the tray cannot show one, and the
// sound), and the window going to the tray when minimised and coming back from it.
class TrayPresence : public QObject {
    Q_OBJECT

public:
    // `window` is the main window: the icon and the notifier are its children, and it is the
    // window that goes to the tray and comes back. `log` takes the lines only the log tells.
    TrayPresence(QWidget* window, std::function<void(const QString&)> log);
    ~TrayPresence() override;

    TrayIcon* trayIcon() const { return m_tray; }
    DesktopNotifier* notifier() const { return m_notifier; }
    void setSound(std::unique_ptr<NewListingsSound> sound);

    // From now on minimising may take the window off the task bar, whenever `hide` says so at
    // that moment (the setting may change meanwhile, and a tray host may quit).
    void takeMinimized(std::function<bool()> hide);
    // The window's state changed (minimised, maximised, shown by the window manager).
    void windowStateChanged();
    // Shows the window again in the state it had before it was minimised or hidden, and brings
    // it forward.
    void restore();
    // Announces new listings: the balloon where the tray shows it, a notification elsewhere,
    // and the sound when asked for.
    void announce(const QString& text, bool playSound);

signals:
    // "О программе..." in the tray icon's menu.
    void aboutRequested();

private:
    void minimize();
    void showAnnouncement(const QString& text);

    QWidget* m_window;
    TrayIcon* m_tray = nullptr;            // child of the window
    DesktopNotifier* m_notifier = nullptr; // child of the window
    std::unique_ptr<NewListingsSound> m_sound;
    std::function<bool()> m_hideOnMinimize;
    // What the window was, apart from minimised, when it went to the tray.
    Qt::WindowStates m_stateInTray;
    // Brought back from the tray, and not yet shown by the window manager.
    bool m_restoring = false;
    std::optional<QString> m_heldAnnouncement;
};

} // namespace domiva
