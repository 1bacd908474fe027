#include "ui/aboutdialog.h"

#include "ui/screenplacement.h"
#include "ui/uifont.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QUrl>

namespace domiva {

namespace {

QLabel* labelAt(const QString& name, const QString& text, QWidget* parent, int left, int top,
                bool bold) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    // Version texts come from the system; none of them is markup.
    label->setTextFormat(Qt::PlainText);
    if (bold) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    label->move(left, top);
    label->adjustSize();
    return label;
}

// The captions of the version lines end at this x, right next to their values.
constexpr int kCaptionRight = 124;

// The box is 559 x 306 with its frame; a sizeable border of 4 pixels and a title bar of 19
// leave this client area. (Without a window manager, as on the offscreen platform, the
// window is just the client area.)
constexpr int kClientWidth = 559 - 2 * 4;
constexpr int kClientHeight = 306 - 2 * 4 - 19;

} // namespace

TfrmAbout::TfrmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      openUrl([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("О программе"));
    setFont(uiFont());
    resize(kClientWidth, kClientHeight);

    Label1 = labelAt(QStringLiteral("Label1"), QStringLiteral("Домива"), this, 8, 16, true);
    {
        QFont font = Label1->font();
        font.setPixelSize(21);
        Label1->setFont(font);
    }
    Label2 = labelAt(QStringLiteral("Label2"), QString(), this, 224, 24, false);
    Label3 =
        labelAt(QStringLiteral("Label3"), QStringLiteral("Версия Jet Engine: "), this, 0, 80, true);
    Label6 = labelAt(QStringLiteral("Label6"), QString(), this, 128, 80, false);
    Label4 = labelAt(QStringLiteral("Label4"), QStringLiteral("Версия MDAC: "), this, 0, 112, true);
    Label7 = labelAt(QStringLiteral("Label7"), QString(), this, 128, 112, false);
    Label5 =
        labelAt(QStringLiteral("Label5"), QStringLiteral("Версия Windows: "), this, 0, 144, true);
    for (QLabel* caption : {Label3, Label4, Label5})
        caption->setAlignment(Qt::AlignRight | Qt::AlignTop);

    Label8 = labelAt(QStringLiteral("Label8"), QString(), this, 128, 144, false);
    Label8->setWordWrap(true);
    Label8->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label8->setGeometry(128, 144, 401, 57);

    btnClose = new QPushButton(QStringLiteral("Закрыть"), this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setGeometry(232, 216, 105, 57);

    btnOpenLog = new QPushButton(QStringLiteral("Открыть лог-файл"), this);
    btnOpenLog->setObjectName(QStringLiteral("btnOpenLog"));
    btnOpenLog->setGeometry(8, 248, 121, 25);

    connect(btnClose, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnOpenLog, &QPushButton::clicked, this, &TfrmAbout::btnOpenLogClick);

    fitLabels();
}

void TfrmAbout::setTexts(const QString& version, const QString& jetVersion,
                         const QString& mdacVersion, const QString& osVersion,
                         const QString& logPath) {
    Label2->setText(version);
    Label6->setText(jetVersion);
    Label7->setText(mdacVersion);
    Label8->setText(osVersion);
    logFileName = logPath;
    fitLabels();
}

void TfrmAbout::btnOpenLogClick() {
    if (logFileName.isEmpty() || !openUrl)
        return;
    // The result is not looked at: a missing file or viewer is the desktop's to report.
    openUrl(QUrl::fromLocalFile(QFileInfo(logFileName).absoluteFilePath()));
}

void TfrmAbout::showEvent(QShowEvent* event) {
    // The opener may have set the labels directly; size them before they are first seen.
    fitLabels();
    QDialog::showEvent(event);
    keepOnScreen(this);
}

void TfrmAbout::fitLabels() {
    for (QLabel* label : {Label1, Label2, Label6, Label7})
        label->adjustSize();
    for (QLabel* caption : {Label3, Label4, Label5}) {
        caption->adjustSize();
        caption->move(kCaptionRight - caption->width(), caption->y());
    }
}

} // namespace domiva
