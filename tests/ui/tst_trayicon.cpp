// The tray icon on desktops with and without a tray, its menu and signals, the balloon text
// and the minimise rule.

#include "ui/icons.h"
#include "ui/messageboxes.h"
#include "ui/trayicon.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWidget>

using namespace domiva;

class TestTrayIcon : public QObject {
    Q_OBJECT

private slots:
    void trayAtStartUp_data();
    void trayAtStartUp();
    void iconSetUp();
    void popupMenu();
    void activation_data();
    void activation();
    void balloonText_data();
    void balloonText();
    void hideOnMinimize_data();
    void hideOnMinimize();
    void appIconSizes();
};

void TestTrayIcon::trayAtStartUp_data() {
    QTest::addColumn<QString>("tray"); // at start-up, then a while later
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<int>("noTraySaid");
    QTest::addColumn<bool>("shownLater");
    QTest::newRow("no tray at start-up") << "none, none" << QStringList() << 1 << false;
    QTest::newRow("a tray that appears later") << "none, there" << QStringList() << 1 << true;
    QTest::newRow("a tray that refuses")
        << "refusing, refusing" << QStringList{QStringLiteral("add fail")} << 0 << false;
    QTest::newRow("a tray") << "there, there" << QStringList() << 0 << true;
}

void TestTrayIcon::trayAtStartUp() {
    QFETCH(QString, tray);
    QFETCH(QStringList, boxes);
    QFETCH(int, noTraySaid);
    QFETCH(bool, shownLater);
    RecordingMessageBoxes recorded;
    MessageBoxesOverride use(recorded);
    QWidget window;
    QString desktop = tray.section(QStringLiteral(", "), 0, 0);
    int shows = 0;
    TrayIcon icon(&window, TrayPlatform{[&] { return desktop != QStringLiteral("none"); },
                                        [&](QSystemTrayIcon& i) {
                                            ++shows;
                                            i.show();
                                            return desktop == QStringLiteral("there");
                                        }});
    QSignalSpy said(&icon, &TrayIcon::noTray);
    QVERIFY(!icon.isShown());
    icon.addTrayIcon();
    desktop = tray.section(QStringLiteral(", "), 1, 1);
    if (shownLater)
        QTRY_VERIFY_WITH_TIMEOUT(icon.isShown(), 5000);
    else
        QTest::qWait(2500); // longer than the tray is looked for
    QCOMPARE(icon.isShown(), shownLater);
    QCOMPARE(said.count(), noTraySaid);
    QCOMPARE(recorded.texts(), boxes);
    for (const MessageRequest& box : recorded.shown) {
        QCOMPARE(box.kind, MessageRequest::Kind::Information);
        QCOMPARE(box.title, QStringLiteral("Домива"));
    }
    // Minimising goes to the tray once the icon is there.
    QCOMPARE(domiva::hideOnMinimize(true, icon.isShown()), shownLater);
    // Every later tray call of the run: no second box, no second line, one icon put up.
    icon.showTrayBalloon(QStringLiteral("7 новых объявлений"));
    icon.addTrayIcon();
    icon.deleteTrayIcon();
    QCOMPARE(recorded.shown.size(), boxes.size());
    QCOMPARE(said.count(), noTraySaid);
    QCOMPARE(shows, desktop == QStringLiteral("none") ? 0 : 1);
    QVERIFY(!icon.isShown());
    QVERIFY(!window.findChild<QSystemTrayIcon*>()->isVisible());
}

void TestTrayIcon::iconSetUp() {
    QWidget window;
    TrayIcon tray(&window);
    auto* icon = window.findChild<QSystemTrayIcon*>();
    QVERIFY(icon != nullptr);
    QCOMPARE(icon->toolTip(), QStringLiteral("Домива"));
    QVERIFY(!icon->icon().isNull());
    QCOMPARE(icon->contextMenu(), tray.popupMenu());
    QCOMPARE(tray.parent(), &window);
}

void TestTrayIcon::popupMenu() {
    QWidget window;
    TrayIcon tray(&window);
    QMenu* menu = tray.popupMenu();
    QCOMPARE(menu->objectName(), QStringLiteral("PopupMenu1"));
    QCOMPARE(menu->actions().size(), 1);
    QAction* about = menu->actions().first();
    QCOMPARE(about, tray.popupAbout());
    QCOMPARE(about->objectName(), QStringLiteral("mnuPopupAbout"));
    QCOMPARE(about->text(), QStringLiteral("О программе..."));
    QSignalSpy aboutSpy(&tray, &TrayIcon::aboutRequested);
    QSignalSpy restoreSpy(&tray, &TrayIcon::restoreRequested);
    about->trigger();
    QCOMPARE(aboutSpy.count(), 1);
    QCOMPARE(restoreSpy.count(), 0);
}

void TestTrayIcon::activation_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<int>("restores");
    QTest::newRow("left click") << int(QSystemTrayIcon::Trigger) << 1;
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << 1;
    QTest::newRow("right click") << int(QSystemTrayIcon::Context) << 0;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << 0;
    QTest::newRow("unknown") << int(QSystemTrayIcon::Unknown) << 0;
}

void TestTrayIcon::activation() {
    QFETCH(int, reason);
    QFETCH(int, restores);
    QWidget window;
    TrayIcon tray(&window);
    QSignalSpy restoreSpy(&tray, &TrayIcon::restoreRequested);
    QSignalSpy aboutSpy(&tray, &TrayIcon::aboutRequested);
    auto* icon = window.findChild<QSystemTrayIcon*>();
    emit icon->activated(static_cast<QSystemTrayIcon::ActivationReason>(reason));
    QCOMPARE(restoreSpy.count(), restores);
    QCOMPARE(aboutSpy.count(), 0);
}

void TestTrayIcon::balloonText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    const QString long300 = QStringLiteral("ж").repeated(300);
    QTest::newRow("usual") << "7 новых объявлений"
                           << "7 новых объявлений";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("254") << QString(254, QLatin1Char('a')) << QString(254, QLatin1Char('a'));
    QTest::newRow("255") << QString(255, QLatin1Char('a')) << QString(255, QLatin1Char('a'));
    QTest::newRow("256") << QString(256, QLatin1Char('a')) << QString(255, QLatin1Char('a'));
    QTest::newRow("300 cyrillic") << long300 << long300.left(255);
    // A character outside the basic plane is not cut in half.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x8F\xA0"); // two UTF-16 units
    const QString split = QString(254, QLatin1Char('a')) + emoji;
    QTest::newRow("surrogate at the limit") << split << QString(254, QLatin1Char('a'));
    const QString whole = QString(253, QLatin1Char('a')) + emoji + QStringLiteral("bc");
    QTest::newRow("surrogate before the limit") << whole << QString(253, QLatin1Char('a')) + emoji;
}

void TestTrayIcon::balloonText() {
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(TrayIcon::balloonText(text), shown);
    QVERIFY(TrayIcon::balloonText(text).size() <= 255);
}

void TestTrayIcon::hideOnMinimize_data() {
    QTest::addColumn<bool>("minimizeToTray");
    QTest::addColumn<bool>("trayShown");
    QTest::addColumn<bool>("hide");
    QTest::newRow("asked, icon shown") << true << true << true;
    QTest::newRow("asked, no icon") << true << false << false;
    QTest::newRow("not asked, icon shown") << false << true << false;
    QTest::newRow("not asked, no icon") << false << false << false;
}

void TestTrayIcon::hideOnMinimize() {
    QFETCH(bool, minimizeToTray);
    QFETCH(bool, trayShown);
    QFETCH(bool, hide);
    QCOMPARE(domiva::hideOnMinimize(minimizeToTray, trayShown), hide);
}

void TestTrayIcon::appIconSizes() {
    const QIcon icon = appIcon();
    QVERIFY(!icon.isNull());
    for (const int size : {16, 22, 32, 44, 48, 64, 128, 256}) {
        QVERIFY(icon.availableSizes().contains(QSize(size, size)));
        const QImage image = icon.pixmap(size, size).toImage();
        QCOMPARE(image.size(), QSize(size, size));
        // Transparent corners, a drawn middle.
        QCOMPARE(image.pixelColor(0, size - 1).alpha(), 0);
        QCOMPARE(image.pixelColor(size / 2, size * 3 / 4).alpha(), 255);
    }
}

QTEST_MAIN(TestTrayIcon)
#include "tst_trayicon.moc"
