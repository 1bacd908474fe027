#pragma once

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;
class QPushButton;
class QShowEvent;
class QUrl;

namespace domiva {

// The about box: program name and version, the versions found at start-up, and a button that
// opens the event log in the desktop's viewer. The opener sets Label2, Label6, Label7, Label8
// (or calls setTexts) and logFileName, then runs exec().
class TfrmAbout : public QDialog {
    Q_OBJECT

public:
    explicit TfrmAbout(QWidget* parent = nullptr);

    // Fills the four value labels and the log path in one call.
    void setTexts(const QString& version, const QString& jetVersion, const QString& mdacVersion,
                  const QString& osVersion, const QString& logPath);

    // Full path of the event log; empty means the button does nothing.
    QString logFileName;

    // Hands the log file to the desktop; the default is QDesktopServices::openUrl. Tests
    // replace it to see what would be opened without a desktop.
    std::function<bool(const QUrl&)> openUrl;

    // Owned by the dialog (Qt parent tree).
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* Label8 = nullptr;
    QPushButton* btnClose = nullptr;
    QPushButton* btnOpenLog = nullptr;

public slots:
    // The viewer's own failure (no file, no viewer) is all the user sees; the box stays open.
    void btnOpenLogClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // The single-line labels take the size of whatever text the opener gave them.
    void fitLabels();
};

} // namespace domiva
