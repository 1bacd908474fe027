#include "core/datetimevalue.h"

#include <QTest>

using namespace domiva;

class TestDateTimeValue : public QObject {
    Q_OBJECT
private slots:
    void roundTrip_data() {
        QTest::addColumn<QDate>("date");
        QTest::addColumn<QTime>("time");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << QDate(1899, 12, 30) << QTime(0, 0) << 0.0
                              << "1899-12-30 00:00:00.000";
        QTest::newRow("noon next day")
            << QDate(1899, 12, 31) << QTime(12, 0) << 1.5 << "1899-12-31 12:00:00.000";
        QTest::newRow("before the epoch keeps the time positive")
            << QDate(1899, 12, 29) << QTime(6, 0) << -1.25 << "1899-12-29 06:00:00.000";
        QTest::newRow("year 1") << QDate(1, 1, 1) << QTime(21, 30) << -693593.0 - 21.5 / 24
                                << "0001-01-01 21:30:00.000";
        QTest::newRow("milliseconds") << QDate(2026, 12, 6) << QTime(14, 5, 59, 999)
                                      << 46362.0 + (14 * 3600000.0 + 5 * 60000 + 59999) / 86400000
                                      << "2026-12-06 14:05:59.999";
        // 29 March 2026 02:30 does not exist in many zones; the value must not move.
        QTest::newRow("daylight-saving gap") << QDate(2026, 3, 29) << QTime(2, 30)
                                             << 46110.0 + 2.5 / 24 << "2026-03-29 02:30:00.000";
    }
    void roundTrip() {
        QFETCH(QDate, date);
        QFETCH(QTime, time);
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(toDateTimeValue(date, time), value);
        const DateTimeParts parts = fromDateTimeValue(value);
        QCOMPARE(parts.date, date);
        QCOMPARE(parts.time, time);
        QCOMPARE(dateTimeValueToText(value), text);
        QCOMPARE(dateTimeValueFromText(text), value);
    }

    void badTextIsZero_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QString();
        QTest::newRow("no milliseconds") << QStringLiteral("2026-12-06 14:05:59");
        QTest::newRow("no such day") << QStringLiteral("2026-02-30 14:05:59.000");
        QTest::newRow("hour 24") << QStringLiteral("2026-02-03 24:00:00.000");
        QTest::newRow("letters") << QStringLiteral("2026-1x-06 14:05:59.000");
        QTest::newRow("wrong separator") << QStringLiteral("2026/12/06 14:05:59.000");
    }
    void badTextIsZero() {
        QFETCH(QString, text);
        QCOMPARE(dateTimeValueFromText(text), 0.0);
    }

    void nonsenseValuesGiveNoDate() {
        QVERIFY(!fromDateTimeValue(qInf()).date.isValid());
        QVERIFY(!fromDateTimeValue(1e300).date.isValid());
        QCOMPARE(dateTimeValueToText(qQNaN()), QStringLiteral("1899-12-30 00:00:00.000"));
    }
};

QTEST_APPLESS_MAIN(TestDateTimeValue)
#include "tst_datetimevalue.moc"
