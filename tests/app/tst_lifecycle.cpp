#include "app/lifecycle.h"

#include <QTest>

using namespace domiva;
using State = Lifecycle::State;
using Event = Lifecycle::Event;

Q_DECLARE_METATYPE(domiva::Lifecycle::State)

namespace {

// "quit", "session", "loop", "check", "shutdown"; "/busy" while a sync runs.
Lifecycle::Actions run(Lifecycle& lifecycle, const QString& events) {
    Lifecycle::Actions last;
    for (const QString& token : events.split(u' ', Qt::SkipEmptyParts)) {
        const bool busy = token.endsWith(QLatin1String("/busy"));
        const QString name = token.section(u'/', 0, 0);
        const Event event = name == QLatin1String("quit")      ? Event::QuitRequested
                            : name == QLatin1String("session") ? Event::SessionEnded
                            : name == QLatin1String("loop")    ? Event::LoopStarted
                            : name == QLatin1String("check")   ? Event::Check
                                                               : Event::ShutDown;
        last = lifecycle.handle(event, busy);
    }
    return last;
}

QString describe(const Lifecycle::Actions& actions) {
    QStringList parts;
    if (actions.quitLoop)
        parts << QStringLiteral("quit");
    if (actions.closeBoxes)
        parts << QStringLiteral("close");
    if (actions.checkLater)
        parts << QStringLiteral("check");
    if (actions.shutDown)
        parts << QStringLiteral("shutdown");
    return parts.join(u'+');
}

} // namespace

class TestLifecycle : public QObject {
    Q_OBJECT

private slots:
    void transitions_data() {
        QTest::addColumn<QString>("events");
        QTest::addColumn<State>("state");
        QTest::addColumn<QString>("actions"); // of the last event
        QTest::addColumn<bool>("unattended");
        QTest::newRow("start-up done") << "loop" << State::Running << "" << false;
        QTest::newRow("failed start-up waits for the loop")
            << "quit" << State::StartingToEnd << "" << false;
        QTest::newRow("failed start-up ends when the loop runs")
            << "quit loop" << State::Ending << "quit" << false;
        QTest::newRow("signal during start-up closes boxes")
            << "session" << State::StartingToEndUnattended << "close" << true;
        QTest::newRow("signal after a failed start-up closes the rest")
            << "quit session" << State::StartingToEndUnattended << "close" << true;
        QTest::newRow("signal during start-up ends when the loop runs")
            << "session loop" << State::EndingUnattended << "quit" << true;
        QTest::newRow("exit is checked on the next turn")
            << "loop quit" << State::Ending << "check" << false;
        QTest::newRow("exit when idle") << "loop quit check" << State::Ending << "quit" << false;
        QTest::newRow("exit during a sync waits for it")
            << "loop quit check/busy" << State::Ending << "" << false;
        QTest::newRow("exit after the sync")
            << "loop quit check/busy check" << State::Ending << "quit" << false;
        QTest::newRow("signal while idle closes boxes, then ends")
            << "loop session" << State::EndingUnattended << "close+check" << true;
        QTest::newRow("signal during a sync closes boxes, waits for it")
            << "loop session/busy check/busy" << State::EndingUnattended << "" << true;
        QTest::newRow("signal while waiting for a sync closes boxes")
            << "loop quit/busy session/busy" << State::EndingUnattended << "close+check" << true;
        QTest::newRow("a check without a request does nothing")
            << "loop check" << State::Running << "" << false;
        QTest::newRow("shut-down runs once")
            << "loop shutdown" << State::ShutDown << "shutdown" << false;
        QTest::newRow("nothing after shut-down")
            << "loop shutdown shutdown" << State::ShutDown << "" << false;
        QTest::newRow("no request after shut-down")
            << "loop shutdown session" << State::ShutDown << "" << false;
    }
    void transitions() {
        QFETCH(QString, events);
        QFETCH(State, state);
        QFETCH(QString, actions);
        QFETCH(bool, unattended);
        Lifecycle lifecycle;
        QCOMPARE(describe(run(lifecycle, events)), actions);
        QCOMPARE(lifecycle.state(), state);
        QCOMPARE(lifecycle.unattended(), unattended);
    }
};

QTEST_GUILESS_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
