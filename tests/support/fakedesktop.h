#pragma once

// The desktop as the program meets it on the session bus, stood in for on a private bus: the
// notification service and the StatusNotifierItem tray's watcher.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVariant>
#include <QVariantMap>

#include <optional>

namespace domiva::test {

// A dbus-daemon of the test's own, gone with the test even when the test crashes.
class PrivateSessionBus {
public:
    ~PrivateSessionBus();
    // Starts the daemon and points DBUS_SESSION_BUS_ADDRESS (of this process and the programs it
    // starts) at it; false when there is no dbus-daemon or it does not start.
    bool start();
    // A connection of the test's own to the bus.
    QDBusConnection& connection() { return *m_connection; }

private:
    QProcess m_daemon;
    std::optional<QDBusConnection> m_connection;
};

// org.freedesktop.Notifications: records what it is asked to show.
class FakeNotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    // Each call: application name, icon, summary, body, actions, expiry.
    QList<QVariantList> calls;
    // The id the last call was answered with.
    uint lastId() const { return uint(calls.size()) + 40; }

    bool publish(QDBusConnection& bus);
    void withdraw(QDBusConnection& bus);

public slots:
    uint Notify(const QString& appName, uint, const QString& appIcon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap&, int expiry);

signals:
    void ActionInvoked(uint id, const QString& action);
};

// org.kde.StatusNotifierWatcher with a host registered: Qt then puts its tray icons up as
// StatusNotifierItems. Qt reads the property through introspection, which lists it because it
// is exported, and with a blocking call: so the watcher answers from a thread of its own, as if
// it were another program.
class FakeStatusNotifierWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)

public:
    ~FakeStatusNotifierWatcher() override;
    bool publish(QDBusConnection& bus);

    bool isHostRegistered() const { return true; }
    QStringList registeredItems() const;

    // Calls `method` of the item registered last (for "Get", reads its property) and gives
    // the first value of the answer. Waits without blocking: the item may live in this process.
    QVariant callItem(const QString& method, QVariantList arguments) const;

public slots:
    void RegisterStatusNotifierItem(const QString& service);

private:
    std::optional<QDBusConnection> m_bus;
    QThread m_thread;
    mutable QMutex m_mutex;
    QStringList m_items; // under m_mutex
};

} // namespace domiva::test
