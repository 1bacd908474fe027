#pragma once

#include "settings/settings.h"

#include <QDialog>
#include <QString>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;

namespace domiva {

// What the settings dialog shows, as the controls hold it. The record count and the proxy
// port stay texts here, so that a half-typed number means nothing until the dialog is saved
// (applyTo).
struct SetupFields {
    QString login;
    QString password;
    bool minimizeToTray = false;
    bool playSound = false;
    QString countQueries;
    QString proxyServer;
    QString proxyPort;
    QString proxyLogin;
    QString proxyPassword;
    bool proxyFromIE = false;
    bool repostsRead = false;
};

// The settings dialog. The window that opens it fills the controls (directly or through
// setFields), runs exec() and reads them back when the result is Accepted ("Сохранить").
// Closing it any other way (title-bar button, Escape) gives Rejected.
class TfrmSetup : public QDialog {
    Q_OBJECT

public:
    explicit TfrmSetup(QWidget* parent = nullptr);

    // Fills every control; the proxy check box comes last so the four proxy edits end up
    // enabled exactly when it is not ticked.
    void setFields(const SetupFields& fields);
    SetupFields fields() const;
    // The same from and into the settings: the two numbers go in as their texts and come back
    // as the number their leading digits make.
    void showSettings(const Settings& settings);
    void applyTo(Settings& settings) const;

    // Owned by the dialog (Qt parent tree); the opener fills and reads them.
    QLabel* lblLogin = nullptr;
    QLineEdit* ebLogin = nullptr;
    QLabel* lblPassword = nullptr;
    QLineEdit* ebPassword = nullptr;
    QCheckBox* cbMinimizeToTray = nullptr;
    QCheckBox* cbPlaySound = nullptr;
    QLabel* lblCountQueries = nullptr;
    QLineEdit* ebCountQueries = nullptr;
    QGroupBox* gbProxy = nullptr;
    QLabel* lblProxyServer = nullptr;
    QLineEdit* ebProxyServer = nullptr;
    QLabel* lblProxyPort = nullptr;
    QLineEdit* ebProxyPort = nullptr;
    QLabel* lblProxyLogin = nullptr;
    QLineEdit* ebProxyLogin = nullptr;
    QLabel* lblProxyPassword = nullptr;
    QLineEdit* ebProxyPassword = nullptr;
    QCheckBox* cbProxyFromIE = nullptr;
    // Re-posts of flats the user opened arrive read. The caption is too long for one line of
    // the form: it stands wrapped in a label beside the box, and a click on it ticks the box.
    QCheckBox* cbRepostsRead = nullptr;
    QLabel* lblRepostsRead = nullptr;
    QPushButton* btnSave = nullptr;

public slots:
    // The proxy edits are only used when the system's proxy is not; their texts are kept
    // (and saved) either way.
    void cbProxyFromIEClick();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace domiva
