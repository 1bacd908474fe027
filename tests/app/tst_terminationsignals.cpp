// Signals that ask the program to end arrive as a Qt signal from the event loop.

#include "app/terminationsignals.h"
#include "core/error.h"

#include <QSignalSpy>
#include <QTest>

#include <csignal>

using namespace domiva;

namespace {

volatile std::sig_atomic_t previousHandlerRan = 0;

extern "C" void previousHandler(int) {
    previousHandlerRan = 1;
}

} // namespace

class TestTerminationSignals : public QObject {
    Q_OBJECT

private slots:
    void signalBecomesQtSignal_data() {
        QTest::addColumn<int>("number");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void signalBecomesQtSignal() {
        QFETCH(int, number);
        TerminationSignals termination;
        QSignalSpy spy(&termination, &TerminationSignals::terminationRequested);
        // The process is still here after raising it: the handler took it.
        QCOMPARE(std::raise(number), 0);
        QCOMPARE(spy.count(), 0); // not from inside the handler: from the event loop
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), number);
    }

    void everySignalCounts() {
        TerminationSignals termination;
        QSignalSpy spy(&termination, &TerminationSignals::terminationRequested);
        std::raise(SIGTERM);
        std::raise(SIGINT);
        QTRY_COMPARE(spy.count(), 2);
        QCOMPARE(spy.at(0).at(0).toInt(), int(SIGTERM));
        QCOMPARE(spy.at(1).at(0).toInt(), int(SIGINT));
        QTest::qWait(50);
        QCOMPARE(spy.count(), 2);
    }

    void onlyOneInstance() {
        TerminationSignals termination;
        QVERIFY_THROWS_EXCEPTION(Error, TerminationSignals{});
        // The first one still works.
        QSignalSpy spy(&termination, &TerminationSignals::terminationRequested);
        std::raise(SIGTERM);
        QTRY_COMPARE(spy.count(), 1);
    }

    void previousHandlersComeBack() {
        struct sigaction mine {};
        mine.sa_handler = previousHandler;
        sigemptyset(&mine.sa_mask);
        struct sigaction saved {};
        QCOMPARE(::sigaction(SIGTERM, &mine, &saved), 0);
        {
            TerminationSignals termination;
            QSignalSpy spy(&termination, &TerminationSignals::terminationRequested);
            std::raise(SIGTERM);
            QTRY_COMPARE(spy.count(), 1);
            QCOMPARE(int(previousHandlerRan), 0);
        }
        std::raise(SIGTERM);
        QCOMPARE(int(previousHandlerRan), 1);
        ::sigaction(SIGTERM, &saved, nullptr);
        // A new instance may follow the old one.
        TerminationSignals again;
        QSignalSpy spy(&again, &TerminationSignals::terminationRequested);
        std::raise(SIGHUP);
        QTRY_COMPARE(spy.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestTerminationSignals)
#include "tst_terminationsignals.moc"
