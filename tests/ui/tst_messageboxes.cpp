// The message-box seam, the real boxes behind it and the general error report.

#include "core/error.h"
#include "ui/messageboxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <stdexcept>

using namespace domiva;

namespace {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    Qt::TextFormat format = Qt::AutoText;
    QWidget* parent = nullptr;
    bool modal = false;
};

// Waits for the next modal message box, notes what it shows and closes it with `answer`
// (NoButton: the Escape key).
class BoxAnswerer : public QObject {
public:
    BoxAnswerer(QMessageBox::StandardButton answer) : m_answer(answer) {
        connect(&m_timer, &QTimer::timeout, this, &BoxAnswerer::poll);
        m_timer.start(10);
    }

    SeenBox seen;
    bool found = false;

private:
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible())
            return;
        m_timer.stop();
        found = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
        seen.defaultButton = box->defaultButton() != nullptr
                                 ? box->standardButton(box->defaultButton())
                                 : QMessageBox::NoButton;
        seen.format = box->textFormat();
        seen.parent = box->parentWidget();
        seen.modal = box->isModal();
        if (m_answer == QMessageBox::NoButton)
            QTest::keyClick(box, Qt::Key_Escape);
        else
            box->button(m_answer)->click();
    }

    QMessageBox::StandardButton m_answer;
    QTimer m_timer;
};

} // namespace

class TestMessageBoxes : public QObject {
    Q_OBJECT

private slots:
    void recordsRequests();
    void errorFullStop_data();
    void errorFullStop();
    void answersFromQueue();
    void overrideNestsAndRestores();
    void runReportedShowsWhatEscapes_data();
    void runReportedShowsWhatEscapes();
    void runReportedQuietWithoutError();
    void realInformationBox();
    void realErrorBox();
    void realWarningBox_data();
    void realWarningBox();
};

void TestMessageBoxes::recordsRequests() {
    RecordingMessageBoxes boxes;
    MessageBoxesOverride use(boxes);
    messageBoxes().information(nullptr, QStringLiteral("add fail"));
    messageBoxes().error(nullptr, QStringLiteral("Нет связи"));
    QVERIFY(messageBoxes().warningYesNo(nullptr, QStringLiteral("Подтверждение"),
                                        QStringLiteral("Вы уверены?"), true));
    QCOMPARE(boxes.shown.size(), 3);
    QCOMPARE(boxes.shown[0].kind, MessageRequest::Kind::Information);
    QCOMPARE(boxes.shown[0].title, QStringLiteral("Домива"));
    QCOMPARE(boxes.shown[0].text, QStringLiteral("add fail"));
    QCOMPARE(boxes.shown[1].kind, MessageRequest::Kind::Error);
    QCOMPARE(boxes.shown[1].title, QStringLiteral("Домива"));
    QCOMPARE(boxes.shown[1].text, QStringLiteral("Нет связи."));
    QCOMPARE(boxes.shown[2].kind, MessageRequest::Kind::WarningYesNo);
    QCOMPARE(boxes.shown[2].title, QStringLiteral("Подтверждение"));
    QCOMPARE(boxes.shown[2].text, QStringLiteral("Вы уверены?"));
    QVERIFY(boxes.shown[2].defaultNo);
    QCOMPARE(boxes.texts(), QStringList({QStringLiteral("add fail"), QStringLiteral("Нет связи."),
                                         QStringLiteral("Вы уверены?")}));
    QCOMPARE(appTitle(), QStringLiteral("Домива"));
}

void TestMessageBoxes::errorFullStop_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("letter") << "Нет файла"
                            << "Нет файла.";
    QTest::newRow("latin") << "disk full"
                           << "disk full.";
    QTest::newRow("digit") << "code 5"
                           << "code 5.";
    QTest::newRow("full stop") << "Готово."
                               << "Готово.";
    QTest::newRow("exclamation") << "Ошибка!"
                                 << "Ошибка!";
    QTest::newRow("comma sorts before") << "a,"
                                        << "a,";
    QTest::newRow("slash sorts after") << "path/"
                                       << "path/.";
    QTest::newRow("empty") << ""
                           << "";
}

void TestMessageBoxes::errorFullStop() {
    QFETCH(QString, text);
    QFETCH(QString, shown);
    RecordingMessageBoxes boxes;
    MessageBoxesOverride use(boxes);
    messageBoxes().error(nullptr, text);
    QCOMPARE(boxes.texts(), QStringList{shown});
}

void TestMessageBoxes::answersFromQueue() {
    RecordingMessageBoxes boxes;
    MessageBoxesOverride use(boxes);
    boxes.answers = {false, true};
    QCOMPARE(messageBoxes().warningYesNo(nullptr, "t", "q", true), false);
    QCOMPARE(messageBoxes().warningYesNo(nullptr, "t", "q", true), true);
    boxes.defaultAnswer = false;
    QCOMPARE(messageBoxes().warningYesNo(nullptr, "t", "q", true), false);
    // Information boxes do not take answers from the queue.
    boxes.answers = {false};
    messageBoxes().information(nullptr, "i");
    QCOMPARE(boxes.answers.size(), 1);
}

void TestMessageBoxes::overrideNestsAndRestores() {
    RecordingMessageBoxes outer;
    RecordingMessageBoxes inner;
    {
        MessageBoxesOverride useOuter(outer);
        {
            MessageBoxesOverride useInner(inner);
            messageBoxes().information(nullptr, QStringLiteral("inner"));
        }
        messageBoxes().information(nullptr, QStringLiteral("outer"));
    }
    QCOMPARE(inner.texts(), QStringList{QStringLiteral("inner")});
    QCOMPARE(outer.texts(), QStringList{QStringLiteral("outer")});
    // Without an override the real boxes are back.
    QVERIFY(&messageBoxes() != &outer);
    QVERIFY(&messageBoxes() != &inner);
}

void TestMessageBoxes::runReportedShowsWhatEscapes_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("shown");
    QTest::newRow("domiva error") << 0 << "База данных заблокирована.";
    QTest::newRow("standard exception") << 1 << "сбой чтения.";
    QTest::newRow("anything else") << 2 << "Непредвиденная ошибка.";
    QTest::newRow("error ending in full stop") << 3 << "Готово.";
}

void TestMessageBoxes::runReportedShowsWhatEscapes() {
    QFETCH(int, kind);
    QFETCH(QString, shown);
    RecordingMessageBoxes boxes;
    MessageBoxesOverride use(boxes);
    QWidget parent;
    bool ranOn = false;
    const bool ok = runReported(&parent, [&] {
        ranOn = true;
        switch (kind) {
        case 0:
            throw Error(QStringLiteral("База данных заблокирована"));
        case 1:
            throw std::runtime_error("сбой чтения");
        case 2:
            throw 42;
        default:
            throw Error(QStringLiteral("Готово."));
        }
    });
    QVERIFY(ranOn);
    QVERIFY(!ok);
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].kind, MessageRequest::Kind::Error);
    QCOMPARE(boxes.shown[0].title, QStringLiteral("Домива"));
    QCOMPARE(boxes.shown[0].text, shown);
}

void TestMessageBoxes::runReportedQuietWithoutError() {
    RecordingMessageBoxes boxes;
    MessageBoxesOverride use(boxes);
    int runs = 0;
    QVERIFY(runReported(nullptr, [&] { ++runs; }));
    QCOMPARE(runs, 1);
    QVERIFY(boxes.shown.isEmpty());
}

void TestMessageBoxes::realInformationBox() {
    QWidget parent;
    BoxAnswerer answerer(QMessageBox::Ok);
    messageBoxes().information(&parent, QStringLiteral("Cannot create DB!"));
    QVERIFY(answerer.found);
    QCOMPARE(answerer.seen.title, QStringLiteral("Домива"));
    QCOMPARE(answerer.seen.text, QStringLiteral("Cannot create DB!"));
    QCOMPARE(answerer.seen.icon, QMessageBox::NoIcon);
    QCOMPARE(answerer.seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(answerer.seen.format, Qt::PlainText);
    QCOMPARE(answerer.seen.parent, &parent);
    QVERIFY(answerer.seen.modal);
}

void TestMessageBoxes::realErrorBox() {
    BoxAnswerer answerer(QMessageBox::Ok);
    // Text from a server is shown as it is, never as markup.
    runReported(nullptr, [] { throw Error(QStringLiteral("<b>HTTP 500</b>")); });
    QVERIFY(answerer.found);
    QCOMPARE(answerer.seen.title, QStringLiteral("Домива"));
    QCOMPARE(answerer.seen.text, QStringLiteral("<b>HTTP 500</b>."));
    QCOMPARE(answerer.seen.icon, QMessageBox::Critical);
    QCOMPARE(answerer.seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(answerer.seen.format, Qt::PlainText);
}

void TestMessageBoxes::realWarningBox_data() {
    QTest::addColumn<bool>("defaultNo");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("result");
    QTest::newRow("yes") << true << int(QMessageBox::Yes) << true;
    QTest::newRow("no") << true << int(QMessageBox::No) << false;
    QTest::newRow("escape") << true << int(QMessageBox::NoButton) << false;
    QTest::newRow("yes as default") << false << int(QMessageBox::Yes) << true;
}

void TestMessageBoxes::realWarningBox() {
    QFETCH(bool, defaultNo);
    QFETCH(int, answer);
    QFETCH(bool, result);
    BoxAnswerer answerer(static_cast<QMessageBox::StandardButton>(answer));
    const bool yes = messageBoxes().warningYesNo(nullptr, QStringLiteral("Подтверждение"),
                                                 QStringLiteral("Вы уверены?"), defaultNo);
    QVERIFY(answerer.found);
    QCOMPARE(yes, result);
    QCOMPARE(answerer.seen.title, QStringLiteral("Подтверждение"));
    QCOMPARE(answerer.seen.text, QStringLiteral("Вы уверены?"));
    QCOMPARE(answerer.seen.icon, QMessageBox::Warning);
    QCOMPARE(answerer.seen.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(answerer.seen.defaultButton, defaultNo ? QMessageBox::No : QMessageBox::Yes);
}

QTEST_MAIN(TestMessageBoxes)
#include "tst_messageboxes.moc"
