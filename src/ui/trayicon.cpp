#include "ui/trayicon.h"

#include "ui/icons.h"
#include "ui/messageboxes.h"

#include <QAction>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QMenu>
#include <QWidget>

#include <utility>

namespace domiva {

namespace {

// Asks whether the desktop's tray is a StatusNotifierItem host on the session bus (the test Qt
// makes when it chooses that tray over an XEmbed one), and tells `answer` once the bus replies.
// Never waits for the bus: a watcher that does not answer would hold the window.
void askStatusNotifierTray(QObject* context, std::function<void(bool)> answer) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        answer(false);
        return;
    }
    const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcher, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(get), context);
    QObject::connect(pending, &QDBusPendingCallWatcher::finished, context,
                     [answer = std::move(answer)](QDBusPendingCallWatcher* finished) {
                         const QDBusPendingReply<QDBusVariant> reply = *finished;
                         finished->deleteLater();
                         answer(!reply.isError() && reply.value().variant().toBool());
                     });
}

constexpr int lookForTrayMilliseconds = 2000;

} // namespace

TrayPlatform TrayPlatform::system() {
    return {&QSystemTrayIcon::isSystemTrayAvailable, [](QSystemTrayIcon& icon) {
                icon.show();
                return icon.isVisible();
            }};
}

TrayIcon::TrayIcon(QWidget* window, TrayPlatform platform)
    : QObject(window), m_window(window), m_platform(std::move(platform)),
      m_icon(new QSystemTrayIcon(this)), m_menu(std::make_unique<QMenu>()) {
    m_menu->setObjectName(QStringLiteral("PopupMenu1"));
    m_about = m_menu->addAction(QStringLiteral("О программе..."));
    m_about->setObjectName(QStringLiteral("mnuPopupAbout"));
    connect(m_about, &QAction::triggered, this, &TrayIcon::aboutRequested);

    // A StatusNotifierItem host titles the item with the application's name, which would
    // otherwise be the executable's.
    QCoreApplication::setApplicationName(appTitle());
    m_icon->setIcon(appIcon());
    m_icon->setToolTip(appTitle());
    // The tray shows the menu itself on a right click, at the mouse position.
    m_icon->setContextMenu(m_menu.get());
    connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::activated);
    connect(m_icon, &QSystemTrayIcon::messageClicked, this, &TrayIcon::restoreRequested);
    m_lookForTray.setInterval(lookForTrayMilliseconds);
    connect(&m_lookForTray, &QTimer::timeout, this, [this] {
        if (m_platform.available())
            addTrayIcon();
    });
}

TrayIcon::~TrayIcon() {
    m_icon->setContextMenu(nullptr);
}

void TrayIcon::addTrayIcon() {
    if (m_refused || m_icon->isVisible())
        return;
    if (!m_platform.available()) {
        if (!std::exchange(m_noTraySaid, true))
            emit noTray();
        m_lookForTray.start();
        return;
    }
    m_lookForTray.stop();
    m_trayKindKnown = false;
    askStatusNotifierTray(this, [this](bool host) {
        m_statusNotifierTray = host;
        m_trayKindKnown = true;
        emit trayKindAnswered();
    });
    if (!m_platform.show(*m_icon)) {
        // Said once; the balloons and the removal that would follow have nothing to act on.
        m_refused = true;
        m_icon->hide();
        messageBoxes().information(m_window, QStringLiteral("add fail"));
    }
}

void TrayIcon::showTrayBalloon(const QString& text) {
    if (!isShown())
        return;
    m_icon->showMessage(appTitle(), balloonText(text), QSystemTrayIcon::Information,
                        balloonMilliseconds);
}

void TrayIcon::deleteTrayIcon() {
    m_lookForTray.stop();
    if (m_refused)
        return;
    m_icon->hide();
}

bool TrayIcon::isShown() const {
    return !m_refused && m_icon->isVisible();
}

QString TrayIcon::balloonText(const QString& text) {
    if (text.size() <= balloonTextLimit)
        return text;
    qsizetype length = balloonTextLimit;
    // Do not leave half of a surrogate pair at the end.
    if (text.at(length - 1).isHighSurrogate())
        --length;
    return text.left(length);
}

void TrayIcon::activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        emit restoreRequested();
}

bool hideOnMinimize(bool minimizeToTray, bool trayIconShown) {
    return minimizeToTray && trayIconShown;
}

} // namespace domiva
