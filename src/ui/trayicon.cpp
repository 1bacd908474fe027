#include "ui/trayicon.h"

#include "ui/icons.h"
#include "ui/messageboxes.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

namespace domiva {

TrayIcon::TrayIcon(QWidget* window)
    : QObject(window), m_window(window), m_icon(new QSystemTrayIcon(this)),
      m_menu(std::make_unique<QMenu>()) {
    m_menu->setObjectName(QStringLiteral("PopupMenu1"));
    m_about = m_menu->addAction(QStringLiteral("О программе..."));
    m_about->setObjectName(QStringLiteral("mnuPopupAbout"));
    connect(m_about, &QAction::triggered, this, &TrayIcon::aboutRequested);

    m_icon->setIcon(appIcon());
    m_icon->setToolTip(appTitle());
    // The tray shows the menu itself on a right click, at the mouse position.
    m_icon->setContextMenu(m_menu.get());
    connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::activated);
    connect(m_icon, &QSystemTrayIcon::messageClicked, this, &TrayIcon::restoreRequested);
}

TrayIcon::~TrayIcon() {
    m_icon->setContextMenu(nullptr);
}

void TrayIcon::addTrayIcon() {
    if (m_unavailable)
        return;
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // Said once; the balloons and the removal that would follow have nothing to act on.
        m_unavailable = true;
        messageBoxes().information(m_window, QStringLiteral("add fail"));
        return;
    }
    m_icon->show();
}

void TrayIcon::showTrayBalloon(const QString& text) {
    if (!isShown())
        return;
    m_icon->showMessage(appTitle(), balloonText(text), QSystemTrayIcon::Information,
                        balloonMilliseconds);
}

void TrayIcon::deleteTrayIcon() {
    if (m_unavailable)
        return;
    m_icon->hide();
}

bool TrayIcon::isShown() const {
    return !m_unavailable && m_icon->isVisible();
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
