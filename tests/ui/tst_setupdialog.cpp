#include "ui/setupdialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <limits>

using domiva::SetupFields;
using domiva::TfrmSetup;

namespace {

QWidget* child(TfrmSetup& dialog, const QString& name) {
    return dialog.findChild<QWidget*>(name);
}

SetupFields sampleFields() {
    SetupFields f;
    f.login = QStringLiteral("Иванов");
    f.password = QStringLiteral("Секрет 1");
    f.minimizeToTray = true;
    f.playSound = false;
    f.countQueries = QStringLiteral("20");
    f.proxyServer = QStringLiteral("proxy.local");
    f.proxyPort = QStringLiteral("3128");
    f.proxyLogin = QStringLiteral("user");
    f.proxyPassword = QStringLiteral("p@ss");
    f.proxyFromIE = false;
    f.repostsRead = true;
    return f;
}

QList<QLineEdit*> proxyEdits(TfrmSetup& dialog) {
    return {dialog.ebProxyServer, dialog.ebProxyPort, dialog.ebProxyLogin, dialog.ebProxyPassword};
}

} // namespace

class TestSetupDialog : public QObject {
    Q_OBJECT

private slots:
    void window();
    void captions_data();
    void captions();
    void controlGeometry_data();
    void controlGeometry();
    void labelGeometry_data();
    void labelGeometry();
    void captionsFitBeforeTheirEdits();
    void tabChain();
    void tabKeys();
    void maxLength_data();
    void maxLength();
    void typingStopsAtTheLimit();
    void passwordsInClearText();
    void proxyClickTogglesEdits();
    void proxyFilledByCode_data();
    void proxyFilledByCode();
    void proxyTickSetDirectly();
    void fieldsRoundTrip();
    void focusOnLoginWhenShown();
    void closing_data();
    void closing();
    void enterInAnEditDoesNotSave();
    void centredOverParent();
};

void TestSetupDialog::window() {
    TfrmSetup dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Настройки"));
    QCOMPARE(dialog.size(), QSize(252, 498));
    QCOMPARE(dialog.minimumSize(), QSize(252, 498));
    QCOMPARE(dialog.maximumSize(), QSize(252, 498));
    const Qt::WindowFlags flags = dialog.windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
    QVERIFY(flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QCOMPARE(dialog.font().pixelSize(), 11);
    QCOMPARE(dialog.ebLogin->font().pixelSize(), 11);
    QCOMPARE(dialog.lblProxyServer->font().pixelSize(), 11);
}

void TestSetupDialog::captions_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::newRow("login") << "lblLogin"
                           << "Логин:";
    QTest::newRow("password") << "lblPassword"
                              << "Пароль:";
    QTest::newRow("tray") << "cbMinimizeToTray"
                          << "Прятать с панели задач";
    QTest::newRow("sound") << "cbPlaySound"
                           << "Проигрывать звук";
    QTest::newRow("count") << "lblCountQueries"
                           << "Колличество записей:";
    QTest::newRow("group") << "gbProxy"
                           << "Настройки прокси";
    QTest::newRow("server") << "lblProxyServer"
                            << "Сервер: ";
    QTest::newRow("port") << "lblProxyPort"
                          << "Порт: ";
    QTest::newRow("proxy login") << "lblProxyLogin"
                                 << "Логин: ";
    QTest::newRow("proxy password") << "lblProxyPassword"
                                    << "Пароль: ";
    QTest::newRow("from ie") << "cbProxyFromIE"
                             << "Брать из Internet Explorer-а";
    QTest::newRow("reposts") << "lblRepostsRead"
                             << "Повторы просмотренных объявлений считать прочитанными";
    QTest::newRow("save") << "btnSave"
                          << "Сохранить";
}

void TestSetupDialog::captions() {
    QFETCH(QString, name);
    QFETCH(QString, text);
    TfrmSetup dialog;
    QWidget* widget = child(dialog, name);
    QVERIFY2(widget, qPrintable(name));
    QString actual;
    if (auto* label = qobject_cast<QLabel*>(widget))
        actual = label->text();
    else if (auto* button = qobject_cast<QAbstractButton*>(widget))
        actual = button->text();
    else if (auto* group = qobject_cast<QGroupBox*>(widget))
        actual = group->title();
    else
        QFAIL("unexpected kind of control");
    QCOMPARE(actual, text);
}

void TestSetupDialog::controlGeometry_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    QTest::newRow("ebLogin") << "ebLogin"
                             << "frmSetup" << QRect(72, 8, 153, 21);
    QTest::newRow("ebPassword") << "ebPassword"
                                << "frmSetup" << QRect(72, 48, 153, 21);
    QTest::newRow("cbMinimizeToTray") << "cbMinimizeToTray"
                                      << "frmSetup" << QRect(24, 88, 201, 17);
    QTest::newRow("cbPlaySound") << "cbPlaySound"
                                 << "frmSetup" << QRect(24, 120, 201, 17);
    QTest::newRow("ebCountQueries") << "ebCountQueries"
                                    << "frmSetup" << QRect(144, 160, 81, 21);
    QTest::newRow("gbProxy") << "gbProxy"
                             << "frmSetup" << QRect(24, 208, 201, 185);
    QTest::newRow("ebProxyServer") << "ebProxyServer"
                                   << "gbProxy" << QRect(64, 24, 121, 21);
    QTest::newRow("ebProxyPort") << "ebProxyPort"
                                 << "gbProxy" << QRect(64, 56, 121, 21);
    QTest::newRow("ebProxyLogin") << "ebProxyLogin"
                                  << "gbProxy" << QRect(64, 88, 121, 21);
    QTest::newRow("ebProxyPassword") << "ebProxyPassword"
                                     << "gbProxy" << QRect(64, 120, 121, 21);
    QTest::newRow("cbProxyFromIE") << "cbProxyFromIE"
                                   << "gbProxy" << QRect(16, 160, 169, 17);
    QTest::newRow("btnSave") << "btnSave"
                             << "frmSetup" << QRect(80, 448, 89, 33);
}

void TestSetupDialog::controlGeometry() {
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    TfrmSetup dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QWidget* widget = child(dialog, name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(widget->geometry(), geometry);
}

void TestSetupDialog::labelGeometry_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QPoint>("topLeft");
    QTest::newRow("login") << "lblLogin"
                           << "frmSetup" << QPoint(24, 16);
    QTest::newRow("password") << "lblPassword"
                              << "frmSetup" << QPoint(24, 48);
    QTest::newRow("count") << "lblCountQueries"
                           << "frmSetup" << QPoint(24, 160);
    QTest::newRow("server") << "lblProxyServer"
                            << "gbProxy" << QPoint(16, 24);
    QTest::newRow("port") << "lblProxyPort"
                          << "gbProxy" << QPoint(28, 56);
    QTest::newRow("proxy login") << "lblProxyLogin"
                                 << "gbProxy" << QPoint(22, 88);
    QTest::newRow("proxy password") << "lblProxyPassword"
                                    << "gbProxy" << QPoint(15, 120);
}

void TestSetupDialog::labelGeometry() {
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QPoint, topLeft);
    TfrmSetup dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* label = dialog.findChild<QLabel*>(name);
    QVERIFY2(label, qPrintable(name));
    QCOMPARE(label->parentWidget()->objectName(), parent);
    QCOMPARE(label->pos(), topLeft);
    // Natural size: exactly what the text needs, not a fixed box that could clip it.
    QCOMPARE(label->size(), label->sizeHint());
    QVERIFY(label->width() >= label->fontMetrics().horizontalAdvance(label->text().trimmed()));
}

void TestSetupDialog::captionsFitBeforeTheirEdits() {
    // With the chosen font every caption must end before the edit it names.
    TfrmSetup dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QList<QPair<QLabel*, QWidget*>> pairs = {
        {dialog.lblLogin, dialog.ebLogin},
        {dialog.lblPassword, dialog.ebPassword},
        {dialog.lblCountQueries, dialog.ebCountQueries},
        {dialog.lblProxyServer, dialog.ebProxyServer},
        {dialog.lblProxyPort, dialog.ebProxyPort},
        {dialog.lblProxyLogin, dialog.ebProxyLogin},
        {dialog.lblProxyPassword, dialog.ebProxyPassword},
    };
    for (const auto& [label, edit] : pairs) {
        const int labelRight = label->x() + label->fontMetrics().horizontalAdvance(label->text());
        QVERIFY2(labelRight <= edit->x(), qPrintable(label->text()));
    }
    // Check boxes: indicator and caption inside the given width.
    for (QCheckBox* check : {dialog.cbMinimizeToTray, dialog.cbPlaySound, dialog.cbProxyFromIE})
        QVERIFY2(check->sizeHint().width() <= check->width(), qPrintable(check->text()));
    QVERIFY(dialog.btnSave->sizeHint().width() <= dialog.btnSave->width());
    // The wrapped caption in its lines, above the button.
    QLabel* reposts = dialog.lblRepostsRead;
    QVERIFY(reposts->heightForWidth(reposts->width()) <= reposts->height());
    QVERIFY(reposts->geometry().bottom() < dialog.btnSave->geometry().top());
}

void TestSetupDialog::tabChain() {
    TfrmSetup dialog;
    const QList<QWidget*> expected = {
        dialog.ebLogin,         dialog.ebPassword,    dialog.cbMinimizeToTray, dialog.cbPlaySound,
        dialog.ebCountQueries,  dialog.ebProxyServer, dialog.ebProxyPort,      dialog.ebProxyLogin,
        dialog.ebProxyPassword, dialog.cbProxyFromIE, dialog.cbRepostsRead,    dialog.btnSave,
    };
    // Walk the whole focus chain once, keeping what Tab can reach.
    QList<QWidget*> reached;
    QWidget* w = dialog.ebLogin;
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            reached.append(w);
        w = w->nextInFocusChain();
    } while (w != dialog.ebLogin);
    QCOMPARE(reached, expected);
}

void TestSetupDialog::tabKeys() {
    TfrmSetup dialog;
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(QApplication::focusWidget(), dialog.ebLogin);
    const QList<QWidget*> order = {
        dialog.ebPassword,    dialog.cbMinimizeToTray, dialog.cbPlaySound,  dialog.ebCountQueries,
        dialog.ebProxyServer, dialog.ebProxyPort,      dialog.ebProxyLogin, dialog.ebProxyPassword,
        dialog.cbProxyFromIE, dialog.cbRepostsRead,    dialog.btnSave,      dialog.ebLogin,
    };
    for (QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), dialog.btnSave);
}

void TestSetupDialog::maxLength_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("limit");
    constexpr int unlimited = std::numeric_limits<int>::max();
    QTest::newRow("ebLogin") << "ebLogin" << 255;
    QTest::newRow("ebPassword") << "ebPassword" << 255;
    QTest::newRow("ebCountQueries") << "ebCountQueries" << 5;
    QTest::newRow("ebProxyServer") << "ebProxyServer" << unlimited;
    QTest::newRow("ebProxyPort") << "ebProxyPort" << unlimited;
    QTest::newRow("ebProxyLogin") << "ebProxyLogin" << unlimited;
    QTest::newRow("ebProxyPassword") << "ebProxyPassword" << unlimited;
}

void TestSetupDialog::maxLength() {
    QFETCH(QString, name);
    QFETCH(int, limit);
    TfrmSetup dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* edit = dialog.findChild<QLineEdit*>(name);
    QVERIFY2(edit, qPrintable(name));
    // A stored value is shown whole, whatever the limit of typing (and beyond QLineEdit's
    // own default limit).
    const QString longText(40000, QLatin1Char('x'));
    edit->setText(longText);
    QCOMPARE(edit->text(), longText);
    // Typing does not make it longer past the limit; deleting works.
    edit->setFocus();
    edit->end(false);
    QTest::keyClicks(edit, QStringLiteral("y"));
    QCOMPARE(edit->text().size(), longText.size() + (limit < longText.size() ? 0 : 1));
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, QStringLiteral("y"));
    QCOMPARE(edit->text().size(), longText.size() - (limit < longText.size() ? 2 : 0));
}

void TestSetupDialog::typingStopsAtTheLimit() {
    TfrmSetup dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClicks(dialog.ebCountQueries, QStringLiteral("1234567"));
    QCOMPARE(dialog.ebCountQueries->text(), QStringLiteral("12345"));
    QTest::keyClicks(dialog.ebLogin, QString(300, QLatin1Char('a')));
    QCOMPARE(dialog.ebLogin->text().size(), 255);
}

void TestSetupDialog::passwordsInClearText() {
    TfrmSetup dialog;
    QCOMPARE(dialog.ebPassword->echoMode(), QLineEdit::Normal);
    QCOMPARE(dialog.ebProxyPassword->echoMode(), QLineEdit::Normal);
    dialog.ebPassword->setText(QStringLiteral("kvax"));
    QCOMPARE(dialog.ebPassword->displayText(), QStringLiteral("kvax"));
}

void TestSetupDialog::proxyClickTogglesEdits() {
    TfrmSetup dialog;
    SetupFields fields = sampleFields();
    fields.proxyFromIE = true;
    dialog.setFields(fields);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    for (QLineEdit* edit : proxyEdits(dialog))
        QVERIFY2(!edit->isEnabled(), qPrintable(edit->objectName()));

    // Removing the tick enables all four at once, texts as they were.
    QTest::mouseClick(dialog.cbProxyFromIE, Qt::LeftButton, {}, QPoint(5, 8));
    QVERIFY(!dialog.cbProxyFromIE->isChecked());
    for (QLineEdit* edit : proxyEdits(dialog))
        QVERIFY2(edit->isEnabled(), qPrintable(edit->objectName()));

    // Ticking again disables them and clears nothing.
    QTest::mouseClick(dialog.cbProxyFromIE, Qt::LeftButton, {}, QPoint(5, 8));
    QVERIFY(dialog.cbProxyFromIE->isChecked());
    for (QLineEdit* edit : proxyEdits(dialog))
        QVERIFY2(!edit->isEnabled(), qPrintable(edit->objectName()));
    QCOMPARE(dialog.ebProxyServer->text(), fields.proxyServer);
    QCOMPARE(dialog.ebProxyPort->text(), fields.proxyPort);
    QCOMPARE(dialog.ebProxyLogin->text(), fields.proxyLogin);
    QCOMPARE(dialog.ebProxyPassword->text(), fields.proxyPassword);
    // The disabled texts are still read back (they are saved either way).
    QCOMPARE(dialog.fields().proxyServer, fields.proxyServer);
    // The other controls are never touched by the tick.
    QVERIFY(dialog.ebLogin->isEnabled());
    QVERIFY(dialog.ebCountQueries->isEnabled());
}

void TestSetupDialog::proxyFilledByCode_data() {
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("proxyFromIE");
    QTest::newRow("fresh, false") << false << false;
    QTest::newRow("fresh, true") << false << true;
    QTest::newRow("was true, now false") << true << false;
    QTest::newRow("was true, true again") << true << true;
}

void TestSetupDialog::proxyFilledByCode() {
    QFETCH(bool, before);
    QFETCH(bool, proxyFromIE);
    TfrmSetup dialog;
    SetupFields fields = sampleFields();
    fields.proxyFromIE = before;
    dialog.setFields(fields);
    fields.proxyFromIE = proxyFromIE;
    dialog.setFields(fields);
    QCOMPARE(dialog.cbProxyFromIE->isChecked(), proxyFromIE);
    for (QLineEdit* edit : proxyEdits(dialog))
        QCOMPARE(edit->isEnabled(), !proxyFromIE);
    QCOMPARE(dialog.ebProxyPassword->text(), fields.proxyPassword);
}

void TestSetupDialog::proxyTickSetDirectly() {
    // The opener may fill the check box itself instead of through setFields.
    TfrmSetup dialog;
    for (QLineEdit* edit : proxyEdits(dialog))
        QVERIFY(edit->isEnabled());
    dialog.cbProxyFromIE->setChecked(true);
    for (QLineEdit* edit : proxyEdits(dialog))
        QVERIFY(!edit->isEnabled());
    dialog.cbProxyFromIE->setCheckState(Qt::Unchecked);
    for (QLineEdit* edit : proxyEdits(dialog))
        QVERIFY(edit->isEnabled());
}

void TestSetupDialog::fieldsRoundTrip() {
    TfrmSetup dialog;
    const SetupFields in = sampleFields();
    dialog.setFields(in);
    QCOMPARE(dialog.ebLogin->text(), in.login);
    QCOMPARE(dialog.ebPassword->text(), in.password);
    QCOMPARE(dialog.cbMinimizeToTray->isChecked(), true);
    QCOMPARE(dialog.cbPlaySound->isChecked(), false);
    QCOMPARE(dialog.ebCountQueries->text(), in.countQueries);
    QCOMPARE(dialog.ebProxyPort->text(), in.proxyPort);

    // Edits as the user types them come back as typed, blanks and all.
    dialog.ebLogin->setText(QStringLiteral(" Demo "));
    dialog.ebCountQueries->setText(QStringLiteral("0x1F"));
    dialog.cbPlaySound->setChecked(true);
    const SetupFields out = dialog.fields();
    QCOMPARE(out.login, QStringLiteral(" Demo "));
    QCOMPARE(out.password, in.password);
    QCOMPARE(out.minimizeToTray, true);
    QCOMPARE(out.playSound, true);
    QCOMPARE(out.countQueries, QStringLiteral("0x1F"));
    QCOMPARE(out.proxyServer, in.proxyServer);
    QCOMPARE(out.proxyPort, in.proxyPort);
    QCOMPARE(out.proxyLogin, in.proxyLogin);
    QCOMPARE(out.proxyPassword, in.proxyPassword);
    QCOMPARE(out.proxyFromIE, false);
    QCOMPARE(out.repostsRead, in.repostsRead);
    // A click on the wrapped caption ticks the box.
    QTest::mouseClick(dialog.lblRepostsRead, Qt::LeftButton);
    QCOMPARE(dialog.fields().repostsRead, !in.repostsRead);
}

void TestSetupDialog::focusOnLoginWhenShown() {
    QWidget parent;
    parent.resize(400, 500);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    TfrmSetup dialog(&parent);
    dialog.setFields(sampleFields());
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(QApplication::focusWidget(), dialog.ebLogin);
    QVERIFY(dialog.ebLogin->hasFocus());
}

void TestSetupDialog::closing_data() {
    QTest::addColumn<int>("how");
    QTest::addColumn<int>("result");
    QTest::newRow("Сохранить") << 0 << int(QDialog::Accepted);
    QTest::newRow("title-bar button") << 1 << int(QDialog::Rejected);
    QTest::newRow("Escape") << 2 << int(QDialog::Rejected);
}

void TestSetupDialog::closing() {
    QFETCH(int, how);
    QFETCH(int, result);
    TfrmSetup dialog;
    dialog.setFields(sampleFields());
    bool closed = false;
    QTimer::singleShot(0, &dialog, [&] {
        closed = true;
        if (how == 0)
            QTest::mouseClick(dialog.btnSave, Qt::LeftButton);
        else if (how == 1)
            dialog.close();
        else
            QTest::keyClick(dialog.ebLogin, Qt::Key_Escape);
    });
    QCOMPARE(dialog.exec(), result);
    QVERIFY(closed);
    QVERIFY(!dialog.isVisible());
    // The opener reads the controls after exec(): they are still there.
    QCOMPARE(dialog.fields().login, sampleFields().login);
}

void TestSetupDialog::enterInAnEditDoesNotSave() {
    // The form has no default button: Enter in an edit must not save half-typed settings.
    TfrmSetup dialog;
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QTest::keyClick(dialog.ebLogin, Qt::Key_Return);
    QTest::keyClick(dialog.ebCountQueries, Qt::Key_Enter);
    QCOMPARE(accepted.count(), 0);
    QVERIFY(dialog.isVisible());
    // The button itself still answers the keyboard.
    dialog.btnSave->setFocus();
    QTest::keyClick(dialog.btnSave, Qt::Key_Space);
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

void TestSetupDialog::centredOverParent() {
    QWidget parent;
    parent.setGeometry(100, 50, 600, 520);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    TfrmSetup dialog(&parent);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QPoint offset = dialog.frameGeometry().center() - parent.frameGeometry().center();
    QVERIFY2(offset.manhattanLength() <= 2,
             qPrintable(QStringLiteral("off by %1,%2").arg(offset.x()).arg(offset.y())));
}

QTEST_MAIN(TestSetupDialog)
#include "tst_setupdialog.moc"
