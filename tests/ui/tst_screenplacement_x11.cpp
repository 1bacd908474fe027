// Windows on small screens: the main window, the settings dialog and the about box open with
// their frames inside the screen's available area, also above a panel along the bottom, and
// every line of the details stays reachable. Runs under a real window manager on an X server
// of its own (with-openbox), at the scale QT_SCALE_FACTOR gives.

#include "ui/aboutdialog.h"
#include "ui/detailspanel.h"
#include "ui/mainwindow.h"
#include "ui/setupdialog.h"

#include <QLabel>
#include <QProcess>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QWindow>

#include <memory>

using namespace domiva;

namespace {

// A desktop's panel: a dock 32 pixels of the display high along the bottom, with a strut that
// the window manager takes off the work area.
void putUpBottomDock(QWidget* dock) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize pixels = screen->size() * screen->devicePixelRatio();
    const int height = qRound(32 / screen->devicePixelRatio());
    dock->setWindowFlags(Qt::FramelessWindowHint);
    dock->setGeometry(0, screen->size().height() - height, screen->size().width(), height);
    const auto set = [id = QString::number(dock->winId())](const QString& name, const char* format,
                                                           const QString& value) {
        return QProcess::execute(
            u"xprop"_qs,
            {u"-id"_qs, id, u"-f"_qs, name, QString::fromLatin1(format), u"-set"_qs, name, value});
    };
    // Once the window exists on the server; the type before the window is mapped.
    QTRY_COMPARE_WITH_TIMEOUT(set(u"_NET_WM_WINDOW_TYPE"_qs, "32a", u"_NET_WM_WINDOW_TYPE_DOCK"_qs),
                              0, 5000);
    set(u"_NET_WM_STRUT_PARTIAL"_qs, "32c",
        u"0,0,0,32,0,0,0,0,0,0,0,%1"_qs.arg(pixels.width() - 1));
    dock->show();
}

} // namespace

class TestScreenPlacement : public QObject {
    Q_OBJECT

private slots:
    void insideTheScreen_data() {
        QTest::addColumn<int>("window");
        QTest::addColumn<bool>("dock");
        QTest::newRow("main window") << 0 << false;
        QTest::newRow("settings dialog") << 1 << false;
        QTest::newRow("about box") << 2 << false;
        QTest::newRow("main window above a bottom dock") << 0 << true;
    }
    void insideTheScreen() {
        QFETCH(int, window);
        QFETCH(bool, dock);
        std::unique_ptr<QWidget> panel;
        if (dock) {
            const QRect whole = QGuiApplication::primaryScreen()->availableGeometry();
            panel = std::make_unique<QWidget>();
            putUpBottomDock(panel.get());
            QTRY_VERIFY(QGuiApplication::primaryScreen()->availableGeometry().height() <
                        whole.height());
        }
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
        if (window != 0)
            return;
        // Every line of the details can be scrolled to; at the full size the twelve fields show
        // without scrolling (the earlier appearances below them may need it).
        auto* details = static_cast<TfrmMain*>(widget.get())->pnlBottom;
        const bool shorter = details->height() < details->rowsSize().height();
        QCOMPARE(details->verticalScrollBar()->isVisible(), shorter);
        if (frame.size() == wanted) {
            QVERIFY(!details->horizontalScrollBar()->isVisible());
            details->verticalScrollBar()->setValue(0);
            for (QLabel* value : details->valueLabels())
                QVERIFY(details->viewport()->rect().contains(
                    QRect(value->mapTo(details->viewport(), QPoint()), value->size())));
        }
        for (QLabel* value : details->valueLabels()) {
            details->ensureWidgetVisible(value, 0, 0);
            QVERIFY(details->viewport()->rect().contains(
                QRect(value->mapTo(details->viewport(), QPoint()), value->size())));
        }
    }
};

QTEST_MAIN(TestScreenPlacement)
#include "tst_screenplacement_x11.moc"
