// The tray icon on an X desktop with a tray: shown, balloon, removed. Needs the X display the
// test command starts and the "trayer" panel, which the test starts itself.

#include "traytestsupport.h"
#include "ui/messageboxes.h"
#include "ui/trayicon.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWidget>

#include <memory>

using namespace domiva;
using domiva::test::labelTexts;
using domiva::test::visibleBalloon;

class TestTrayIconX11 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void shownWithBalloon();

private:
    test::TrayHost m_tray;
};

void TestTrayIconX11::initTestCase() {
    DOMIVA_REQUIRE_TRAY(m_tray);
}

void TestTrayIconX11::shownWithBalloon() {
    RecordingMessageBoxes boxes;
    MessageBoxesOverride use(boxes);
    QWidget window;
    TrayIcon tray(&window);
    tray.addTrayIcon();
    QVERIFY(boxes.shown.isEmpty());
    QVERIFY(tray.isShown());

    const QString text = QStringLiteral("новых объявлений ").repeated(20); // 340 characters
    tray.showTrayBalloon(text);
    QTRY_VERIFY(visibleBalloon() != nullptr);
    const QStringList texts = labelTexts(visibleBalloon());
    QVERIFY2(texts.contains(QStringLiteral("Домива")), qPrintable(texts.join(u'|')));
    QVERIFY2(texts.contains(text.left(255)), qPrintable(texts.join(u'|')));
    QVERIFY(!texts.contains(text));
    // The balloon goes away by itself after its three seconds.
    QTRY_VERIFY_WITH_TIMEOUT(visibleBalloon() == nullptr, 8000);

    tray.deleteTrayIcon();
    QVERIFY(!tray.isShown());
    QVERIFY(boxes.shown.isEmpty());
    // Nothing to show a balloon on once the icon is gone.
    tray.showTrayBalloon(QStringLiteral("7 новых объявлений"));
    QTest::qWait(200);
    QVERIFY(visibleBalloon() == nullptr);
}

QTEST_MAIN(TestTrayIconX11)
#include "tst_trayicon_x11.moc"
