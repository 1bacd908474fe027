#pragma once

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QWidget;

namespace domiva {

// What the desktop's tray does; tests stand in for it.
struct TrayPlatform {
    // Whether the desktop has a tray at all (an XEmbed tray or a StatusNotifierItem host).
    std::function<bool()> available;
    // Puts the icon up; false when the tray would not take it.
    std::function<bool(QSystemTrayIcon&)> show;

    static TrayPlatform system();
};

// The tray icon of the main window: tooltip and balloon, restore on a left click or a double
// click, and the small menu PopupMenu1 on a right click.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    static constexpr int balloonMilliseconds = 3000;
    static constexpr int balloonTextLimit = 255;

    // `window` owns the tray icon and is the parent of its message boxes.
    explicit TrayIcon(QWidget* window, TrayPlatform platform = TrayPlatform::system());
    ~TrayIcon() override;

    // Puts the icon up. A desktop without a tray is an ordinary desktop (plain GNOME): then
    // noTray() once, and the icon goes up by itself should a tray appear later in the run. A
    // tray that refuses the icon is a fault: "add fail" once, and every later tray call of this
    // object is left alone.
    void addTrayIcon();
    // The balloon with title appTitle(), the information icon and the text cut to 255
    // characters, for three seconds.
    void showTrayBalloon(const QString& text);
    void deleteTrayIcon();
    // Whether the icon is actually in the tray.
    bool isShown() const;
    // Whether a balloon of this icon reaches the desktop as it should. A StatusNotifierItem
    // tray (KDE Plasma, GNOME with AppIndicator) gets Qt's balloons as notifications without
    // the program's name, icon or a click that brings the window back: there the desktop
    // notifier announces instead.
    bool showsBalloons() const { return isShown() && !m_statusNotifierTray; }
    // Whether the desktop has told what kind of tray holds the icon (it answers a moment
    // after the icon goes up); until then showsBalloons() is a guess.
    bool trayKindKnown() const { return m_trayKindKnown; }

    // What a balloon of `text` shows: its first 255 characters.
    static QString balloonText(const QString& text);

    QMenu* popupMenu() const { return m_menu.get(); }
    QAction* popupAbout() const { return m_about; }

signals:
    // A left click or a double click on the icon, or a click on its balloon: bring the main
    // window back.
    void restoreRequested();
    // "О программе..." in the icon's menu.
    void aboutRequested();
    // The desktop has no tray: the window's announcements go elsewhere until one appears.
    void noTray();
    // trayKindKnown() has become true.
    void trayKindAnswered();

private:
    void activated(QSystemTrayIcon::ActivationReason reason);

    QWidget* m_window;
    TrayPlatform m_platform;
    QSystemTrayIcon* m_icon; // child of this object
    std::unique_ptr<QMenu> m_menu;
    QAction* m_about; // child of m_menu
    // Looks for a tray that appears later (a panel restarted, an extension turned on).
    QTimer m_lookForTray;
    bool m_refused = false;
    bool m_noTraySaid = false;
    bool m_statusNotifierTray = false;
    bool m_trayKindKnown = true;
};

// Whether minimising should also take the window off the task bar: only when the user asked
// for it and the tray icon is there to bring the window back.
bool hideOnMinimize(bool minimizeToTray, bool trayIconShown);

} // namespace domiva
