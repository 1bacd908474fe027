#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

namespace domiva {

// The caption of every information and error box, the tray tooltip and the balloon title.
QString appTitle();

// What a message box asks of the user.
struct MessageRequest {
    enum class Kind {
        Information, // caption appTitle(), no icon, one OK button
        Error,       // caption appTitle(), error icon, one OK button
        WarningYesNo // own caption, warning icon, Yes and No
    };
    Kind kind = Kind::Information;
    QString title;
    QString text;
    bool defaultNo = false; // WarningYesNo only: No is the default button
};

// Every modal message box of the program goes through one MessageBoxes object, so tests can
// put a recording one in place of the real boxes (MessageBoxesOverride).
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;

    void information(QWidget* parent, const QString& text);
    // Ends the text with a full stop where the text needs one (withFullStop).
    void error(QWidget* parent, const QString& text);
    // True when the user answered Yes.
    bool warningYesNo(QWidget* parent, const QString& title, const QString& text, bool defaultNo);

protected:
    // Shows the box and waits; true when the user answered Yes (or OK).
    virtual bool show(QWidget* parent, const MessageRequest& request) = 0;
};

// The boxes in use: the installed override, else real QMessageBox dialogs.
MessageBoxes& messageBoxes();
// The real QMessageBox dialogs, whatever override is installed.
MessageBoxes& dialogMessageBoxes();

// Puts `boxes` in place of the current message boxes for its own lifetime.
class MessageBoxesOverride {
public:
    explicit MessageBoxesOverride(MessageBoxes& boxes);
    ~MessageBoxesOverride();
    MessageBoxesOverride(const MessageBoxesOverride&) = delete;
    MessageBoxesOverride& operator=(const MessageBoxesOverride&) = delete;

private:
    MessageBoxes* m_previous;
};

// Records every box instead of showing it and answers questions from a queue (Yes when the
// queue is empty and `defaultAnswer` is true).
class RecordingMessageBoxes : public MessageBoxes {
public:
    QList<MessageRequest> shown;
    QList<bool> answers;
    bool defaultAnswer = true;
    // Runs while a box is "open", before it is answered: what happens meanwhile.
    std::function<void(const MessageRequest&)> whileOpen;

    // Texts of the boxes shown, in order.
    QStringList texts() const;

protected:
    bool show(QWidget* parent, const MessageRequest& request) override;
};

// Closes every dialog of the program, message boxes included: those open when it starts and
// every one that opens afterwards, for as long as it lives. For an end that nobody may be
// there to watch: no box waits for an answer then. A closed box answers as if its window
// had been closed (No to a question).
class DialogCloser : public QObject {
    Q_OBJECT

public:
    explicit DialogCloser(QObject* parent = nullptr);
    ~DialogCloser() override;
    DialogCloser(const DialogCloser&) = delete;
    DialogCloser& operator=(const DialogCloser&) = delete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// The program's general error report: runs `handler` and shows whatever error escapes it in
// the error box (an Error's message, a standard exception's what(), a generic text for
// anything else). No exception leaves this function. Returns true when the handler ran through.
bool runReported(QWidget* parent, const std::function<void()>& handler);

} // namespace domiva
