#include "sync/refreshtimer.h"

#include <QSignalSpy>
#include <QTest>

#include <limits>

using namespace domiva;

class TestRefreshTimer : public QObject {
    Q_OBJECT
private slots:
    void runsOnlyWithPositiveInterval_data() {
        QTest::addColumn<qint64>("interval");
        QTest::addColumn<bool>("running");
        QTest::newRow("zero never fires") << qint64(0) << false;
        QTest::newRow("negative never fires") << qint64(-5000) << false;
        QTest::newRow("positive") << qint64(1500) << true;
        QTest::newRow("beyond QTimer is held") << qint64(5000000000) << true;
    }
    void runsOnlyWithPositiveInterval() {
        QFETCH(qint64, interval);
        QFETCH(bool, running);
        RefreshTimer timer;
        timer.setInterval(interval);
        timer.setEnabled(true);
        QCOMPARE(timer.isRunning(), running);
        QVERIFY(timer.isEnabled());
    }

    void zeroIntervalDoesNotFire() {
        RefreshTimer timer;
        QSignalSpy spy(&timer, &RefreshTimer::timeout);
        timer.setInterval(0);
        timer.setEnabled(true);
        QTest::qWait(50);
        QCOMPARE(spy.count(), 0);
    }

    void firesAfterInterval() {
        RefreshTimer timer;
        QSignalSpy spy(&timer, &RefreshTimer::timeout);
        timer.setInterval(20);
        timer.setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(spy.count() >= 1, 2000);
        timer.setEnabled(false);
        const auto seen = spy.count();
        QTest::qWait(60);
        QCOMPARE(spy.count(), seen);
    }

    void hugeRefreshTimeIsHeld() {
        const qint64 ms = RefreshTimer::intervalFromSeconds(std::numeric_limits<qint32>::max());
        QCOMPARE(ms, qint64(std::numeric_limits<qint32>::max()) * 1000);
        RefreshTimer timer;
        timer.setInterval(ms);
        timer.setEnabled(true);
        QVERIFY(timer.isRunning());
        QCOMPARE(timer.interval(), ms);
    }
};

QTEST_MAIN(TestRefreshTimer)
#include "tst_refreshtimer.moc"
