#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

namespace domiva {

// Announcements through the desktop's notification service (org.freedesktop.Notifications on
// the session bus), for desktops that have no tray to show a balloon in. The calls never wait
// for the service; without a bus or a service nothing is shown and the first failure of the
// run is logged.
class DesktopNotifier : public QObject {
    Q_OBJECT

public:
    static constexpr int expiryMilliseconds = 3000;

    // Writes one line to the program's log.
    using Log = std::function<void(const QString& message)>;

    // The session bus, first asked for by the first notification.
    explicit DesktopNotifier(Log log, QObject* parent = nullptr);
    DesktopNotifier(QDBusConnection bus, Log log, QObject* parent = nullptr);
    ~DesktopNotifier() override;

    // Shows `body` under the title appTitle() with the program's name and icon.
    void notify(const QString& body);

signals:
    // The user clicked one of this program's notifications.
    void activated();

private slots:
    void actionInvoked(uint id, const QString& action);
    void notificationClosed(uint id, uint reason);

private:
    void failed(const QString& reason);
    QDBusConnection& bus();

    std::optional<QDBusConnection> m_bus;
    Log m_log;
    bool m_subscribed = false;
    bool m_failureLogged = false;
    // The notifications of this program still on the screen.
    QSet<uint> m_shown;
};

} // namespace domiva
