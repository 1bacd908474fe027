// Windows on small screens: the main window, the settings dialog and the about box open with
// their frames inside the screen's available area. Runs under a real window manager on an X
// server of its own (with-openbox), at the scale QT_SCALE_FACTOR gives.

#include "ui/aboutdialog.h"
#include "ui/mainwindow.h"
#include "ui/setupdialog.h"

#include <QScreen>
#include <QTest>
#include <QWindow>

#include <memory>

using namespace domiva;

class TestScreenPlacement : public QObject {
    Q_OBJECT

private slots:
    void insideTheScreen_data() {
        QTest::addColumn<int>("window");
        QTest::newRow("main window") << 0;
        QTest::newRow("settings dialog") << 1;
        QTest::newRow("about box") << 2;
    }
    void insideTheScreen() {
        QFETCH(int, window);
        std::unique_ptr<QWidget> widget;
        QSize wanted(TfrmMain::outerWidth, TfrmMain::outerHeight);
        if (window == 0) {
            widget = std::make_unique<TfrmMain>();
        } else {
            widget = window == 1 ? std::unique_ptr<QWidget>(std::make_unique<TfrmSetup>())
                                 : std::make_unique<TfrmAbout>();
            wanted = widget->size();
        }
        widget->show();
        // The window manager's frame, as the window system has it.
        QWindow* handle = widget->windowHandle();
        QTRY_VERIFY(!handle->frameMargins().isNull());
        const QRect area = widget->screen()->availableGeometry();
        QTRY_VERIFY(area.contains(handle->frameGeometry()));
        QTest::qWait(300);
        const QRect frame = handle->frameGeometry();
        QVERIFY(area.contains(frame));
        if (window != 0)
            wanted += frame.size() - handle->geometry().size();
        // The size holds where it fits; where it does not, the frame is centred.
        QVERIFY(wanted.width() <= area.width() ? frame.width() == wanted.width()
                                               : qAbs(frame.center().x() - area.center().x()) <= 1);
        QVERIFY(wanted.height() <= area.height()
                    ? frame.height() == wanted.height()
                    : qAbs(frame.center().y() - area.center().y()) <= 1);
    }
};

QTEST_MAIN(TestScreenPlacement)
#include "tst_screenplacement_x11.moc"
