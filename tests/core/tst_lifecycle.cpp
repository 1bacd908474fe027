#include "core/lifecycle.h"

#include <QTest>

using namespace domiva;
using State = Lifecycle::State;
Q_DECLARE_METATYPE(domiva::Lifecycle::State)

class TestLifecycle : public QObject {
    Q_OBJECT

private slots:
    void transitions_data() {
        // Events: l loop started, q quit, s session ended, c check, x shut down; upper case
        // while a sync runs. Actions of the last event: q quit loop, c close boxes, l check
        // later, x shut down.
        QTest::addColumn<QString>("events");
        QTest::addColumn<State>("state");
        QTest::addColumn<QString>("actions");
        QTest::addColumn<bool>("unattended");
        QTest::newRow("start-up done") << "l" << State::Running << "" << false;
        QTest::newRow("failed start-up waits for the loop")
            << "q" << State::StartingToEnd << "" << false;
        QTest::newRow("failed start-up, then the loop") << "ql" << State::Ending << "q" << false;
        QTest::newRow("failed start-up, then a signal")
            << "qs" << State::StartingToEndUnattended << "c" << true;
        QTest::newRow("signal in start-up") << "s" << State::StartingToEndUnattended << "c" << true;
        QTest::newRow("signal in start-up, then the loop")
            << "sl" << State::EndingUnattended << "q" << true;
        QTest::newRow("exit") << "lq" << State::Ending << "l" << false;
        QTest::newRow("exit, next turn") << "lqc" << State::Ending << "q" << false;
        QTest::newRow("exit in a sync") << "lqC" << State::Ending << "" << false;
        QTest::newRow("exit after the sync") << "lqCc" << State::Ending << "q" << false;
        QTest::newRow("signal") << "ls" << State::EndingUnattended << "cl" << true;
        QTest::newRow("signal in a sync") << "lSC" << State::EndingUnattended << "" << true;
        QTest::newRow("signal after exit") << "lQS" << State::EndingUnattended << "cl" << true;
        QTest::newRow("shut-down") << "lsx" << State::ShutDown << "x" << false;
        QTest::newRow("nothing after it") << "lxs" << State::ShutDown << "" << false;
    }
    void transitions() {
        QFETCH(QString, events);
        QFETCH(State, state);
        QFETCH(QString, actions);
        QFETCH(bool, unattended);
        Lifecycle lifecycle;
        Lifecycle::Actions last;
        for (const QChar c : events) {
            const auto event = QStringLiteral("lqscx").indexOf(c.toLower());
            last = lifecycle.handle(Lifecycle::Event(event), c.isUpper());
        }
        const QString done =
            QLatin1String(last.quitLoop ? "q" : "") + QLatin1String(last.closeBoxes ? "c" : "") +
            QLatin1String(last.checkLater ? "l" : "") + QLatin1String(last.shutDown ? "x" : "");
        QCOMPARE(done, actions);
        QCOMPARE(lifecycle.state(), state);
        QCOMPARE(lifecycle.unattended(), unattended);
    }
};

QTEST_GUILESS_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
