#pragma once

// What the tests on a real X display share: a tray to put the icon in, and a look at the
// balloon Qt shows.

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWidget>

#include <memory>

namespace domiva::test {

// The balloon Qt draws itself where the desktop has no notification service.
inline QWidget* visibleBalloon() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (qstrcmp(widget->metaObject()->className(), "QBalloonTip") == 0 && widget->isVisible())
            return widget;
    }
    return nullptr;
}

inline QStringList labelTexts(const QWidget* widget) {
    QStringList texts;
    for (const QLabel* label : widget->findChildren<QLabel*>())
        texts.append(label->text());
    return texts;
}

// A tray on the display for the life of the object: trayer, when none is there yet.
class TrayHost {
public:
    enum class Outcome { Ready, NoDisplay, NoTrayer, Failed };

    Outcome start() {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            return Outcome::NoDisplay;
        if (QSystemTrayIcon::isSystemTrayAvailable())
            return Outcome::Ready;
        const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
        if (trayer.isEmpty())
            return Outcome::NoTrayer;
        m_panel = std::make_unique<QProcess>();
        m_panel->start(trayer, {QStringLiteral("--edge"), QStringLiteral("top")});
        if (!m_panel->waitForStarted())
            return Outcome::Failed;
        return QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000)
                   ? Outcome::Ready
                   : Outcome::Failed;
    }

    // Ends the tray this object started.
    void stop() {
        if (!m_panel)
            return;
        m_panel->terminate();
        if (!m_panel->waitForFinished(3000))
            m_panel->kill();
        m_panel->waitForFinished(3000);
        m_panel.reset();
    }

    ~TrayHost() { stop(); }

private:
    std::unique_ptr<QProcess> m_panel;
};

// openbox on the display for the life of the object, unless a window manager is there.
// Minimising, maximising and activating mean nothing on a bare X server.
class WindowManager {
public:
    bool start() {
        if (running())
            return true;
        m_wm.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
        return m_wm.waitForStarted() && QTest::qWaitFor([] { return running(); }, 10000);
    }
    ~WindowManager() {
        m_wm.terminate();
        m_wm.waitForFinished(3000);
    }

private:
    // A window manager names its check window on the root window.
    static bool running() {
        QProcess xprop;
        xprop.start(QStringLiteral("xprop"),
                    {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")});
        return xprop.waitForFinished(3000) && xprop.readAllStandardOutput().contains("window id");
    }
    QProcess m_wm;
};

// For initTestCase: skips without a display or trayer, fails when the tray does not come.
#define DOMIVA_REQUIRE_TRAY(host)                                                                  \
    do {                                                                                           \
        switch ((host).start()) {                                                                  \
        case domiva::test::TrayHost::Outcome::NoDisplay:                                           \
            QSKIP("needs an X display");                                                           \
        case domiva::test::TrayHost::Outcome::NoTrayer:                                            \
            QSKIP("no tray on this display and no trayer to provide one");                         \
        case domiva::test::TrayHost::Outcome::Failed:                                              \
            QFAIL("trayer gave no tray");                                                          \
        case domiva::test::TrayHost::Outcome::Ready:                                               \
            break;                                                                                 \
        }                                                                                          \
    } while (false)

} // namespace domiva::test
