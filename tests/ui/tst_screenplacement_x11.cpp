// Windows on a small screen: the main window, the settings dialog and the about box open with
// their frames inside the screen's available area. The test brings its own X server (Xvfb)
// of the size DOMIVA_TEST_SCREEN gives and a real window manager (openbox) on it; the scale
// comes from QT_SCALE_FACTOR.

#include "ui/aboutdialog.h"
#include "ui/mainwindow.h"
#include "ui/setupdialog.h"

#include <QApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTest>
#include <QWindow>

#include <cstdio>
#include <memory>

using namespace domiva;

class TestScreenPlacement : public QObject {
    Q_OBJECT

private slots:
    void insideTheScreen_data();
    void insideTheScreen();
};

void TestScreenPlacement::insideTheScreen_data() {
    QTest::addColumn<QString>("window");
    QTest::addColumn<QSize>("outerSize");
    QTest::newRow("main window") << QStringLiteral("main")
                                 << QSize(TfrmMain::outerWidth, TfrmMain::outerHeight);
    QTest::newRow("settings dialog") << QStringLiteral("setup") << QSize();
    QTest::newRow("about box") << QStringLiteral("about") << QSize();
}

void TestScreenPlacement::insideTheScreen() {
    QFETCH(QString, window);
    QFETCH(QSize, outerSize);
    std::unique_ptr<QWidget> widget;
    if (window == QLatin1String("main"))
        widget = std::make_unique<TfrmMain>();
    else if (window == QLatin1String("setup"))
        widget = std::make_unique<TfrmSetup>();
    else
        widget = std::make_unique<TfrmAbout>();
    const QSize clientSize = widget->size();
    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
    // The window manager's frame is there, and the window has been placed around it (as the
    // window system has it, not as the widget remembers it).
    QTRY_VERIFY(!widget->windowHandle()->frameMargins().isNull());
    const QRect area = widget->screen()->availableGeometry();
    QTRY_VERIFY2(area.contains(widget->windowHandle()->frameGeometry()),
                 qPrintable(QStringLiteral("frame %1,%2 %3x%4 outside %5x%6")
                                .arg(widget->windowHandle()->frameGeometry().x())
                                .arg(widget->windowHandle()->frameGeometry().y())
                                .arg(widget->windowHandle()->frameGeometry().width())
                                .arg(widget->windowHandle()->frameGeometry().height())
                                .arg(area.width())
                                .arg(area.height())));
    QTest::qWait(300);
    const QRect frame = widget->windowHandle()->frameGeometry();
    QVERIFY(area.contains(frame));
    const QSize wanted =
        outerSize.isValid() ? outerSize : clientSize + (frame.size() - widget->size());
    // The size holds where it fits; where it does not, the frame is centred.
    if (wanted.width() <= area.width())
        QCOMPARE(frame.width(), wanted.width());
    else
        QVERIFY(qAbs(frame.center().x() - area.center().x()) <= 1);
    if (wanted.height() <= area.height())
        QCOMPARE(frame.height(), wanted.height());
    else
        QVERIFY(qAbs(frame.center().y() - area.center().y()) <= 1);
}

namespace {

// Runs `program` until the end of the test.
std::unique_ptr<QProcess> start(const QString& program, const QStringList& arguments) {
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(program, arguments);
    return process->waitForStarted() ? std::move(process) : nullptr;
}

void stop(std::unique_ptr<QProcess>& process) {
    if (!process)
        return;
    process->terminate();
    if (!process->waitForFinished(3000))
        process->kill();
    process->waitForFinished(3000);
}

} // namespace

int main(int argc, char* argv[]) {
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString openbox = QStandardPaths::findExecutable(QStringLiteral("openbox"));
    if (xvfb.isEmpty() || openbox.isEmpty()) {
        std::puts("SKIP: needs Xvfb and openbox");
        return 0;
    }
    const QByteArray screen = qEnvironmentVariable("DOMIVA_TEST_SCREEN", "1366x768").toUtf8();
    // -displayfd: the server picks a free display and writes its number.
    std::unique_ptr<QProcess> server =
        start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                     QStringLiteral("0"), QString::fromUtf8(screen + "x24"),
                     QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!server || !server->waitForReadyRead(10000)) {
        std::puts("FAIL: Xvfb did not start");
        return 1;
    }
    qputenv("DISPLAY", ":" + server->readAll().trimmed());
    qputenv("QT_QPA_PLATFORM", "xcb");
    std::unique_ptr<QProcess> manager = start(openbox, {});

    int result = 1;
    {
        QApplication app(argc, argv);
        QApplication::setFont(TfrmMain::windowFont());
        QTest::qWait(500); // openbox takes over the screen
        TestScreenPlacement test;
        result = QTest::qExec(&test, argc, argv);
    }
    stop(manager);
    stop(server);
    return result;
}

#include "tst_screenplacement_x11.moc"
