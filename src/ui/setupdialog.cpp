#include "ui/setupdialog.h"

#include "settings/integertext.h"
#include "ui/screenplacement.h"
#include "ui/uifont.h"

#include <QCheckBox>
#include <QEvent>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QValidator>

#include <limits>

namespace domiva {

namespace {

// A caption at its left/top with the size its text needs.
QLabel* captionAt(const QString& name, const QString& text, QWidget* parent, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->move(left, top);
    label->adjustSize();
    return label;
}

// A limit on what the user types, not on what the edit shows: the dialog fills its edits
// with stored values, which it must show and save whole (a QLineEdit's maxLength would cut
// them). Typing may not make a text longer than the limit, nor longer than it already is.
// A validator, because QLineEdit checks typing, pasting and dropping against it.
class TypingLimit : public QValidator {
public:
    TypingLimit(int limit, QLineEdit* edit) : QValidator(edit), m_limit(limit), m_edit(edit) {
        connect(edit, &QLineEdit::textChanged, this,
                [this](const QString& text) { m_length = text.size(); });
    }

    State validate(QString& input, int&) const override {
        // setText() empties the undo history before it validates: a text set by code is
        // taken as it is (an edit left with invalid input would stop checking the typing).
        if (!m_edit->isUndoAvailable())
            return Acceptable;
        return input.size() <= m_limit || input.size() <= m_length ? Acceptable : Invalid;
    }

private:
    qsizetype m_limit;
    const QLineEdit* m_edit;
    qsizetype m_length = 0; // of the text before the change being checked
};

// The fields take texts of any length from code; QLineEdit's own default maximum (32767)
// would silently cut a long one.
constexpr int kUnlimited = std::numeric_limits<int>::max();

// `typingLimit` 0: no limit on typing either.
QLineEdit* editAt(const QString& name, QWidget* parent, const QRect& geometry,
                  int typingLimit = 0) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setGeometry(geometry);
    edit->setMaxLength(kUnlimited);
    if (typingLimit > 0)
        edit->setValidator(new TypingLimit(typingLimit, edit));
    return edit;
}

QCheckBox* checkAt(const QString& name, const QString& text, QWidget* parent,
                   const QRect& geometry) {
    auto* check = new QCheckBox(text, parent);
    check->setObjectName(name);
    check->setGeometry(geometry);
    return check;
}

} // namespace

TfrmSetup::TfrmSetup(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("frmSetup"));
    setWindowTitle(QStringLiteral("Настройки"));
    setFont(uiFont());
    setFixedSize(252, 498);
    setSizeGripEnabled(false);

    // Created in tab order, so the focus chain is the order of the form.
    lblLogin = captionAt(QStringLiteral("lblLogin"), QStringLiteral("Логин:"), this, 24, 16);
    ebLogin = editAt(QStringLiteral("ebLogin"), this, QRect(72, 8, 153, 21), 255);
    lblPassword = captionAt(QStringLiteral("lblPassword"), QStringLiteral("Пароль:"), this, 24, 48);
    ebPassword = editAt(QStringLiteral("ebPassword"), this, QRect(72, 48, 153, 21), 255);
    cbMinimizeToTray =
        checkAt(QStringLiteral("cbMinimizeToTray"), QStringLiteral("Прятать с панели задач"), this,
                QRect(24, 88, 201, 17));
    cbPlaySound = checkAt(QStringLiteral("cbPlaySound"), QStringLiteral("Проигрывать звук"), this,
                          QRect(24, 120, 201, 17));
    lblCountQueries = captionAt(QStringLiteral("lblCountQueries"),
                                QStringLiteral("Колличество записей:"), this, 24, 160);
    ebCountQueries = editAt(QStringLiteral("ebCountQueries"), this, QRect(144, 160, 81, 21), 5);

    gbProxy = new QGroupBox(QStringLiteral("Настройки прокси"), this);
    gbProxy->setObjectName(QStringLiteral("gbProxy"));
    gbProxy->setGeometry(24, 208, 201, 185);
    lblProxyServer =
        captionAt(QStringLiteral("lblProxyServer"), QStringLiteral("Сервер: "), gbProxy, 16, 24);
    ebProxyServer = editAt(QStringLiteral("ebProxyServer"), gbProxy, QRect(64, 24, 121, 21));
    lblProxyPort =
        captionAt(QStringLiteral("lblProxyPort"), QStringLiteral("Порт: "), gbProxy, 28, 56);
    ebProxyPort = editAt(QStringLiteral("ebProxyPort"), gbProxy, QRect(64, 56, 121, 21));
    lblProxyLogin =
        captionAt(QStringLiteral("lblProxyLogin"), QStringLiteral("Логин: "), gbProxy, 22, 88);
    ebProxyLogin = editAt(QStringLiteral("ebProxyLogin"), gbProxy, QRect(64, 88, 121, 21));
    lblProxyPassword =
        captionAt(QStringLiteral("lblProxyPassword"), QStringLiteral("Пароль: "), gbProxy, 15, 120);
    ebProxyPassword = editAt(QStringLiteral("ebProxyPassword"), gbProxy, QRect(64, 120, 121, 21));
    cbProxyFromIE =
        checkAt(QStringLiteral("cbProxyFromIE"), QStringLiteral("Брать из Internet Explorer-а"),
                gbProxy, QRect(16, 160, 169, 17));

    const QString repostsText =
        QStringLiteral("Повторы просмотренных объявлений считать прочитанными");
    cbRepostsRead =
        checkAt(QStringLiteral("cbRepostsRead"), QString(), this, QRect(24, 404, 17, 17));
    cbRepostsRead->setAccessibleName(repostsText);
    lblRepostsRead = new QLabel(repostsText, this);
    lblRepostsRead->setObjectName(QStringLiteral("lblRepostsRead"));
    lblRepostsRead->setTextFormat(Qt::PlainText);
    lblRepostsRead->setWordWrap(true);
    lblRepostsRead->setGeometry(44, 402, 181, 42);
    lblRepostsRead->setBuddy(cbRepostsRead);
    lblRepostsRead->installEventFilter(this);

    btnSave = new QPushButton(QStringLiteral("Сохранить"), this);
    btnSave->setObjectName(QStringLiteral("btnSave"));
    btnSave->setGeometry(80, 448, 89, 33);
    // The dialog has no default button: Enter in an edit must not save half-typed settings.
    btnSave->setAutoDefault(false);
    btnSave->setDefault(false);

    setTabOrder(ebLogin, ebPassword);
    setTabOrder(ebPassword, cbMinimizeToTray);
    setTabOrder(cbMinimizeToTray, cbPlaySound);
    setTabOrder(cbPlaySound, ebCountQueries);
    setTabOrder(ebCountQueries, ebProxyServer);
    setTabOrder(ebProxyServer, ebProxyPort);
    setTabOrder(ebProxyPort, ebProxyLogin);
    setTabOrder(ebProxyLogin, ebProxyPassword);
    setTabOrder(ebProxyPassword, cbProxyFromIE);
    setTabOrder(cbProxyFromIE, cbRepostsRead);
    setTabOrder(cbRepostsRead, btnSave);

    // toggled also fires when the tick is set by code, which is when the edits must follow.
    connect(cbProxyFromIE, &QCheckBox::toggled, this, &TfrmSetup::cbProxyFromIEClick);
    connect(btnSave, &QPushButton::clicked, this, &QDialog::accept);

    cbProxyFromIEClick();
    ebLogin->setFocus();
}

void TfrmSetup::setFields(const SetupFields& fields) {
    ebLogin->setText(fields.login);
    ebPassword->setText(fields.password);
    cbMinimizeToTray->setChecked(fields.minimizeToTray);
    cbPlaySound->setChecked(fields.playSound);
    ebCountQueries->setText(fields.countQueries);
    ebProxyServer->setText(fields.proxyServer);
    ebProxyPort->setText(fields.proxyPort);
    ebProxyLogin->setText(fields.proxyLogin);
    ebProxyPassword->setText(fields.proxyPassword);
    cbRepostsRead->setChecked(fields.repostsRead);
    cbProxyFromIE->setChecked(fields.proxyFromIE);
    // An unchanged tick sends no signal; the edits must still match it.
    cbProxyFromIEClick();
}

SetupFields TfrmSetup::fields() const {
    SetupFields result;
    result.login = ebLogin->text();
    result.password = ebPassword->text();
    result.minimizeToTray = cbMinimizeToTray->isChecked();
    result.playSound = cbPlaySound->isChecked();
    result.countQueries = ebCountQueries->text();
    result.proxyServer = ebProxyServer->text();
    result.proxyPort = ebProxyPort->text();
    result.proxyLogin = ebProxyLogin->text();
    result.proxyPassword = ebProxyPassword->text();
    result.proxyFromIE = cbProxyFromIE->isChecked();
    result.repostsRead = cbRepostsRead->isChecked();
    return result;
}

void TfrmSetup::cbProxyFromIEClick() {
    const bool ownProxy = !cbProxyFromIE->isChecked();
    ebProxyServer->setEnabled(ownProxy);
    ebProxyPort->setEnabled(ownProxy);
    ebProxyLogin->setEnabled(ownProxy);
    ebProxyPassword->setEnabled(ownProxy);
}

bool TfrmSetup::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lblRepostsRead && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        cbRepostsRead->toggle();
        cbRepostsRead->setFocus(Qt::MouseFocusReason);
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TfrmSetup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    keepOnScreen(this);
}

void TfrmSetup::showSettings(const Settings& settings) {
    setFields({settings.login, settings.password, settings.minimizeToTray, settings.playSound,
               QString::number(settings.countQueries), settings.proxyServer,
               QString::number(settings.proxyPort), settings.proxyLogin, settings.proxyPassword,
               settings.proxyFromIE, settings.repostsRead});
}

void TfrmSetup::applyTo(Settings& settings) const {
    const SetupFields shown = fields();
    settings.login = shown.login;
    settings.password = shown.password;
    settings.minimizeToTray = shown.minimizeToTray;
    settings.playSound = shown.playSound;
    settings.countQueries = leadingInteger(shown.countQueries);
    settings.proxyServer = shown.proxyServer;
    settings.proxyPort = leadingInteger(shown.proxyPort);
    settings.proxyLogin = shown.proxyLogin;
    settings.proxyPassword = shown.proxyPassword;
    settings.proxyFromIE = shown.proxyFromIE;
    settings.repostsRead = shown.repostsRead;
}

} // namespace domiva
