#include "ui/aboutdialog.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QUrl>

using domiva::TfrmAbout;

namespace {

const QString kLongOs = QStringLiteral(
    "Linux Debian GNU/Linux 12 (bookworm) Version 6.1.0-18-amd64 Build 6.1.76-1 x86_64 "
    "BuildLab debian-bookworm-kernel-build-server-number-seventeen IEVer 6.4.2 and more");

// Records what the button hands to the desktop.
struct OpenRecorder {
    QList<QUrl> urls;
    std::function<bool(const QUrl&)> hook() {
        return [this](const QUrl& url) {
            urls.append(url);
            return false; // as if no viewer were found: the box must not care
        };
    }
};

} // namespace

class TestAboutDialog : public QObject {
    Q_OBJECT

private slots:
    void window();
    void fixedTexts_data();
    void fixedTexts();
    void geometry_data();
    void geometry();
    void captionsEndAtTheValues_data();
    void captionsEndAtTheValues();
    void fonts();
    void openerTexts();
    void labelsSetDirectlyAreSizedOnShow();
    void longOsVersionWraps();
    void emptyVersionLeavesLabelEmpty();
    void valuesArePlainText();
    void openLog_data();
    void openLog();
    void openLogWithEmptyPathDoesNothing();
    void openLogWithoutHookDoesNotThrow();
    void closeAccepts();
    void titleBarCloseEndsTheBox();
    void centredOverParent();
    void resizable();
};

void TestAboutDialog::window() {
    TfrmAbout dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("О программе"));
    // 559 x 306 with a 4-pixel sizeable border and a 19-pixel title bar.
    QCOMPARE(dialog.size(), QSize(551, 279));
    const Qt::WindowFlags flags = dialog.windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowStaysOnTopHint));
}

void TestAboutDialog::fixedTexts_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("Label1") << "Label1"
                            << "Домива";
    QTest::newRow("Label3") << "Label3"
                            << "Версия Jet Engine: ";
    QTest::newRow("Label4") << "Label4"
                            << "Версия MDAC: ";
    QTest::newRow("Label5") << "Label5"
                            << "Версия Windows: ";
    QTest::newRow("btnClose") << "btnClose"
                              << "Закрыть";
    QTest::newRow("btnOpenLog") << "btnOpenLog"
                                << "Открыть лог-файл";
}

void TestAboutDialog::fixedTexts() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    TfrmAbout dialog;
    QObject* object = dialog.findChild<QObject*>(name);
    QVERIFY2(object, qPrintable(name));
    if (auto* label = qobject_cast<QLabel*>(object))
        QCOMPARE(label->text(), text);
    else if (auto* button = qobject_cast<QPushButton*>(object))
        QCOMPARE(button->text(), text);
    else
        QFAIL("unexpected kind of component");
}

void TestAboutDialog::geometry_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QPoint>("topLeft");
    QTest::addColumn<QSize>("size"); // empty: the text's own size
    QTest::newRow("Label1") << "Label1" << QPoint(8, 16) << QSize();
    QTest::newRow("Label2") << "Label2" << QPoint(224, 24) << QSize();
    QTest::newRow("Label6") << "Label6" << QPoint(128, 80) << QSize();
    QTest::newRow("Label7") << "Label7" << QPoint(128, 112) << QSize();
    QTest::newRow("Label8") << "Label8" << QPoint(128, 144) << QSize(401, 57);
    QTest::newRow("btnClose") << "btnClose" << QPoint(232, 216) << QSize(105, 57);
    QTest::newRow("btnOpenLog") << "btnOpenLog" << QPoint(8, 248) << QSize(121, 25);
}

void TestAboutDialog::geometry() {
    QFETCH(QString, name);
    QFETCH(QPoint, topLeft);
    QFETCH(QSize, size);
    TfrmAbout dialog;
    dialog.setTexts(QStringLiteral("версия 0.0.1"), QStringLiteral("3.40.1.0"),
                    QStringLiteral("6.4.2"), kLongOs, QStringLiteral("/tmp/domiva.log"));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* widget = dialog.findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->pos(), topLeft);
    QCOMPARE(widget->size(), size.isValid() ? size : widget->sizeHint());
}

void TestAboutDialog::captionsEndAtTheValues_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("top");
    QTest::newRow("Label3") << "Label3" << 80;
    QTest::newRow("Label4") << "Label4" << 112;
    QTest::newRow("Label5") << "Label5" << 144;
}

void TestAboutDialog::captionsEndAtTheValues() {
    QFETCH(QString, name);
    QFETCH(int, top);
    TfrmAbout dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* label = dialog.findChild<QLabel*>(name);
    QVERIFY(label);
    QCOMPARE(label->y(), top);
    QCOMPARE(label->x() + label->width(), 124);
    QCOMPARE(label->size(), label->sizeHint());
    QVERIFY(label->alignment().testFlag(Qt::AlignRight));
    QVERIFY(label->x() >= 0);
}

void TestAboutDialog::fonts() {
    TfrmAbout dialog;
    QVERIFY(dialog.Label1->font().bold());
    QCOMPARE(dialog.Label1->font().pixelSize(), 21);
    for (QLabel* caption : {dialog.Label3, dialog.Label4, dialog.Label5})
        QVERIFY2(caption->font().bold(), qPrintable(caption->objectName()));
    for (QLabel* value : {dialog.Label2, dialog.Label6, dialog.Label7, dialog.Label8}) {
        QVERIFY2(!value->font().bold(), qPrintable(value->objectName()));
        QCOMPARE(value->font().pixelSize(), 11);
    }
    QCOMPARE(dialog.btnClose->font().pixelSize(), 11);
    // The button captions fit their fixed sizes.
    for (QPushButton* button : {dialog.btnClose, dialog.btnOpenLog})
        QVERIFY2(button->sizeHint().width() <= button->width(), qPrintable(button->text()));
}

void TestAboutDialog::openerTexts() {
    TfrmAbout dialog;
    dialog.setTexts(QStringLiteral("версия 0.0.1"), QStringLiteral("3.40.1.0"),
                    QStringLiteral("6.4.2"), QStringLiteral("Linux Debian"),
                    QStringLiteral("/home/u/.cache/DomivaDesktop/domiva.log"));
    QCOMPARE(dialog.Label2->text(), QStringLiteral("версия 0.0.1"));
    QCOMPARE(dialog.Label6->text(), QStringLiteral("3.40.1.0"));
    QCOMPARE(dialog.Label7->text(), QStringLiteral("6.4.2"));
    QCOMPARE(dialog.Label8->text(), QStringLiteral("Linux Debian"));
    QCOMPARE(dialog.logFileName, QStringLiteral("/home/u/.cache/DomivaDesktop/domiva.log"));
    // Sized to the new texts at once, not only when shown.
    QCOMPARE(dialog.Label2->size(), dialog.Label2->sizeHint());
    QVERIFY(dialog.Label2->width() >=
            dialog.Label2->fontMetrics().horizontalAdvance(dialog.Label2->text()));
}

void TestAboutDialog::labelsSetDirectlyAreSizedOnShow() {
    TfrmAbout dialog;
    const QString jet = QStringLiteral("3.40.1.0 (a rather long engine version text)");
    dialog.Label6->setText(jet);
    dialog.Label2->setText(QStringLiteral("версия 0.0.1"));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.Label6->width() >= dialog.Label6->fontMetrics().horizontalAdvance(jet));
    QCOMPARE(dialog.Label2->size(), dialog.Label2->sizeHint());
}

void TestAboutDialog::longOsVersionWraps() {
    TfrmAbout dialog;
    dialog.Label8->setText(kLongOs);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.Label8->wordWrap());
    QCOMPARE(dialog.Label8->size(), QSize(401, 57));
    // Too long for one line of 401 pixels, short enough for the box when wrapped.
    QVERIFY(dialog.Label8->fontMetrics().horizontalAdvance(kLongOs) > 401);
    const int wrappedHeight = dialog.Label8->heightForWidth(401);
    QVERIFY(wrappedHeight > dialog.Label8->fontMetrics().height());
    QVERIFY(wrappedHeight <= 57);
    QVERIFY(dialog.Label8->alignment().testFlag(Qt::AlignTop));
}

void TestAboutDialog::emptyVersionLeavesLabelEmpty() {
    TfrmAbout dialog;
    dialog.setTexts(QStringLiteral("версия 0.0.1"), QStringLiteral("0.0.0.0"), QString(), QString(),
                    QString());
    QVERIFY(dialog.Label7->text().isEmpty());
    QVERIFY(dialog.Label8->text().isEmpty());
    QCOMPARE(dialog.Label6->text(), QStringLiteral("0.0.0.0"));
}

void TestAboutDialog::valuesArePlainText() {
    TfrmAbout dialog;
    for (QLabel* label : dialog.findChildren<QLabel*>())
        QCOMPARE(label->textFormat(), Qt::PlainText);
    dialog.setTexts(QStringLiteral("версия 0.0.1"), QStringLiteral("<b>1</b>"),
                    QStringLiteral("a & b"), QStringLiteral("<i>x</i>"), QString());
    QCOMPARE(dialog.Label6->text(), QStringLiteral("<b>1</b>"));
}

void TestAboutDialog::openLog_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << "/home/user/.cache/DomivaDesktop/domiva.log";
    // Characters that QUrl(path) would misread (fragment, query, percent, blanks).
    QTest::newRow("odd characters") << "/tmp/Мои файлы/#1 ?50%/domiva.log";
}

void TestAboutDialog::openLog() {
    QFETCH(QString, path);
    TfrmAbout dialog;
    OpenRecorder recorder;
    dialog.openUrl = recorder.hook();
    dialog.logFileName = path;
    QSignalSpy finished(&dialog, &QDialog::finished);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(dialog.btnOpenLog, Qt::LeftButton);
    QCOMPARE(recorder.urls.size(), 1);
    QCOMPARE(recorder.urls.first(), QUrl::fromLocalFile(path));
    QVERIFY(recorder.urls.first().isLocalFile());
    QCOMPARE(recorder.urls.first().toLocalFile(), path);
    // The box stays open whatever the desktop did.
    QVERIFY(dialog.isVisible());
    QCOMPARE(finished.count(), 0);
    // And the button works again.
    QTest::mouseClick(dialog.btnOpenLog, Qt::LeftButton);
    QCOMPARE(recorder.urls.size(), 2);
}

void TestAboutDialog::openLogWithEmptyPathDoesNothing() {
    TfrmAbout dialog;
    OpenRecorder recorder;
    dialog.openUrl = recorder.hook();
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.logFileName.isEmpty());
    QTest::mouseClick(dialog.btnOpenLog, Qt::LeftButton);
    QVERIFY(recorder.urls.isEmpty());
    QVERIFY(dialog.isVisible());
}

void TestAboutDialog::openLogWithoutHookDoesNotThrow() {
    TfrmAbout dialog;
    dialog.openUrl = nullptr;
    dialog.logFileName = QStringLiteral("/tmp/domiva.log");
    // A missing hook would throw std::bad_function_call out of a slot; Qt Test fails on that.
    dialog.btnOpenLogClick();
    QCOMPARE(dialog.logFileName, QStringLiteral("/tmp/domiva.log"));
}

void TestAboutDialog::closeAccepts() {
    TfrmAbout dialog;
    QTimer::singleShot(0, &dialog, [&] { QTest::mouseClick(dialog.btnClose, Qt::LeftButton); });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
}

void TestAboutDialog::titleBarCloseEndsTheBox() {
    TfrmAbout dialog;
    QTimer::singleShot(0, &dialog, [&] { dialog.close(); });
    QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    QVERIFY(!dialog.isVisible());
}

void TestAboutDialog::centredOverParent() {
    QWidget parent;
    parent.setGeometry(60, 40, 700, 500);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    TfrmAbout dialog(&parent);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QPoint offset = dialog.frameGeometry().center() - parent.frameGeometry().center();
    QVERIFY2(offset.manhattanLength() <= 2,
             qPrintable(QStringLiteral("off by %1,%2").arg(offset.x()).arg(offset.y())));
}

void TestAboutDialog::resizable() {
    TfrmAbout dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(dialog.minimumSize() != dialog.maximumSize());
    dialog.resize(640, 400);
    QTRY_COMPARE(dialog.size(), QSize(640, 400));
    // The components keep their places; nothing is laid out anew.
    QCOMPARE(dialog.btnClose->geometry(), QRect(232, 216, 105, 57));
    QCOMPARE(dialog.Label8->geometry(), QRect(128, 144, 401, 57));
}

QTEST_MAIN(TestAboutDialog)
#include "tst_aboutdialog.moc"
