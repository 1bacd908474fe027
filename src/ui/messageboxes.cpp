#include "ui/messageboxes.h"

#include "core/error.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QMessageBox>

#include <exception>

namespace domiva {

namespace {

class DialogMessageBoxes final : public MessageBoxes {
protected:
    bool show(QWidget* parent, const MessageRequest& request) override {
        QMessageBox box(parent);
        box.setWindowTitle(request.title);
        // Texts may carry feed or server data: never let them be taken as markup.
        box.setTextFormat(Qt::PlainText);
        box.setText(request.text);
        switch (request.kind) {
        case MessageRequest::Kind::Information:
            box.setIcon(QMessageBox::NoIcon);
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case MessageRequest::Kind::Error:
            box.setIcon(QMessageBox::Critical);
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case MessageRequest::Kind::WarningYesNo:
            box.setIcon(QMessageBox::Warning);
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(request.defaultNo ? QMessageBox::No : QMessageBox::Yes);
            box.setEscapeButton(QMessageBox::No);
            break;
        }
        const int answer = box.exec();
        return answer == QMessageBox::Yes || answer == QMessageBox::Ok;
    }
};

MessageBoxes* installedBoxes = nullptr;

// Rejected from the dialog's own event loop: one that is only being shown has no loop to end
// yet.
void closeLater(QDialog* dialog) {
    QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
}

} // namespace

QString appTitle() {
    return QStringLiteral("Домива");
}

void MessageBoxes::information(QWidget* parent, const QString& text) {
    show(parent, {MessageRequest::Kind::Information, appTitle(), text, false});
}

void MessageBoxes::error(QWidget* parent, const QString& text) {
    show(parent, {MessageRequest::Kind::Error, appTitle(), withFullStop(text), false});
}

bool MessageBoxes::warningYesNo(QWidget* parent, const QString& title, const QString& text,
                                bool defaultNo) {
    return show(parent, {MessageRequest::Kind::WarningYesNo, title, text, defaultNo});
}

MessageBoxes& dialogMessageBoxes() {
    static DialogMessageBoxes dialogs;
    return dialogs;
}

MessageBoxes& messageBoxes() {
    return installedBoxes != nullptr ? *installedBoxes : dialogMessageBoxes();
}

MessageBoxesOverride::MessageBoxesOverride(MessageBoxes& boxes) : m_previous(installedBoxes) {
    installedBoxes = &boxes;
}

MessageBoxesOverride::~MessageBoxesOverride() {
    installedBoxes = m_previous;
}

QStringList RecordingMessageBoxes::texts() const {
    QStringList result;
    for (const MessageRequest& request : shown)
        result.append(request.text);
    return result;
}

bool RecordingMessageBoxes::show(QWidget*, const MessageRequest& request) {
    shown.append(request);
    if (whileOpen)
        whileOpen(request);
    if (request.kind != MessageRequest::Kind::WarningYesNo)
        return true;
    return answers.isEmpty() ? defaultAnswer : answers.takeFirst();
}

DialogCloser::DialogCloser(QObject* parent) : QObject(parent) {
    QCoreApplication::instance()->installEventFilter(this);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(widget); dialog != nullptr && dialog->isVisible())
            closeLater(dialog);
    }
}

DialogCloser::~DialogCloser() {
    if (QCoreApplication* app = QCoreApplication::instance())
        app->removeEventFilter(this);
}

bool DialogCloser::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show) {
        if (auto* dialog = qobject_cast<QDialog*>(watched); dialog != nullptr && dialog->isWindow())
            closeLater(dialog);
    }
    return false;
}

bool runReported(QWidget* parent, const std::function<void()>& handler) {
    QString message;
    try {
        handler();
        return true;
    } catch (const Error& error) {
        message = error.message();
    } catch (const std::exception& error) {
        message = QString::fromUtf8(error.what());
    } catch (...) {
        message = QStringLiteral("Непредвиденная ошибка");
    }
    try {
        messageBoxes().error(parent, message);
    } catch (...) {
        // Nothing is left to report a failing report to; the program carries on.
    }
    return false;
}

} // namespace domiva
