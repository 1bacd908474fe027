#include "core/error.h"
#include "core/eventlog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <cerrno>

using domiva::Error;
using domiva::EventLog;
using domiva::logTimestamp;
using domiva::timeFormatWithoutZone;
using domiva::writeLog;

namespace {

QByteArray readBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QDateTime at(int hour, int minute, int second, int ms = 0) {
    return QDateTime(QDate(2026, 12, 6), QTime(hour, minute, second, ms));
}

} // namespace

class TestEventLog : public QObject {
    Q_OBJECT

private slots:
    void init();
    void formatWithoutZone_data();
    void formatWithoutZone();
    void timestamp_data();
    void timestamp();
    void lineFormat_data();
    void lineFormat();
    void appends();
    void resetEmptiesTheLog();
    void twoStartsInARow();
    void resetOfAMissingFile();
    void deletedWhileRunningComesBack();
    void currentTime();
    void eventLogUsesItsClock();
    void failures_data();
    void failures();
    void flushFailureRaises();

private:
    std::optional<QTemporaryDir> m_dir; // a fresh one for every test
    QString m_log;
};

void TestEventLog::init() {
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_log = m_dir->filePath(QStringLiteral("domiva.log"));
}

void TestEventLog::formatWithoutZone_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Russian long time") << "HH:mm:ss t"
                                       << "HH:mm:ss";
    QTest::newRow("English long time") << "h:mm:ss AP t"
                                       << "h:mm:ss AP";
    QTest::newRow("zone first") << "t HH:mm:ss"
                                << "HH:mm:ss";
    QTest::newRow("long zone name") << "HH:mm:ss tttt"
                                    << "HH:mm:ss";
    QTest::newRow("no zone") << "HH:mm:ss"
                             << "HH:mm:ss";
    QTest::newRow("t in quoted text stays") << "HH 'at' mm t"
                                            << "HH 'at' mm";
    QTest::newRow("quote pairs") << "HH''mm t"
                                 << "HH''mm";
}

void TestEventLog::formatWithoutZone() {
    QFETCH(QString, format);
    QFETCH(QString, expected);
    QCOMPARE(timeFormatWithoutZone(format), expected);
}

void TestEventLog::timestamp_data() {
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QString>("expected");
    QTest::newRow("morning") << at(9, 5, 3) << "06.12.2026 09:05:03";
    QTest::newRow("evening") << at(23, 59, 59, 999) << "06.12.2026 23:59:59";
    QTest::newRow("midnight") << at(0, 0, 0) << "06.12.2026";
    QTest::newRow("midnight with milliseconds") << at(0, 0, 0, 999) << "06.12.2026";
    QTest::newRow("one second past midnight") << at(0, 0, 1) << "06.12.2026 00:00:01";
    QTest::newRow("one minute past midnight") << at(0, 1, 0) << "06.12.2026 00:01:00";
    QTest::newRow("noon") << at(12, 0, 0) << "06.12.2026 12:00:00";
    QTest::newRow("new year") << QDateTime(QDate(2027, 1, 1), QTime(0, 0, 0, 1)) << "01.01.2027";
}

void TestEventLog::timestamp() {
    QFETCH(QDateTime, when);
    QFETCH(QString, expected);
    QCOMPARE(logTimestamp(when), expected);
}

void TestEventLog::lineFormat_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QDateTime>("when");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("start") << "Start" << at(9, 5, 3)
                           << QByteArray("06.12.2026 09:05:03: Start\r\n");
    QTest::newRow("midnight") << "Shutdown" << at(0, 0, 0, 500)
                              << QByteArray("06.12.2026: Shutdown\r\n");
    QTest::newRow("UTF-8") << QStringLiteral("Пустое обновление!") << at(10, 0, 0)
                           << QByteArray("06.12.2026 10:00:00: Пустое обновление!\r\n");
    QTest::newRow("several lines, CR LF") << "first\r\nsecond" << at(10, 0, 0)
                                          << QByteArray("06.12.2026 10:00:00: first\r\nsecond\r\n");
    QTest::newRow("several lines, LF and lone CR")
        << "first\nsecond\rthird\r\rfourth" << at(10, 0, 0)
        << QByteArray("06.12.2026 10:00:00: first\r\nsecond\r\nthird\r\n\r\nfourth\r\n");
    QTest::newRow("empty message") << "" << at(10, 0, 0) << QByteArray("06.12.2026 10:00:00: \r\n");
}

void TestEventLog::lineFormat() {
    QFETCH(QString, message);
    QFETCH(QDateTime, when);
    QFETCH(QByteArray, expected);
    writeLog(m_log, message, false, when);
    QCOMPARE(readBytes(m_log), expected);
}

void TestEventLog::appends() {
    writeLog(m_log, QStringLiteral("one"), false, at(1, 0, 0));
    writeLog(m_log, QStringLiteral("two"), false, at(2, 0, 0));
    QCOMPARE(readBytes(m_log), QByteArray("06.12.2026 01:00:00: one\r\n"
                                          "06.12.2026 02:00:00: two\r\n"));
}

void TestEventLog::resetEmptiesTheLog() {
    QVERIFY(writeBytes(m_log, "an old run\r\nwith two lines\r\n"));
    writeLog(m_log, QStringLiteral("Start"), true, at(9, 0, 0));
    QCOMPARE(readBytes(m_log), QByteArray("06.12.2026 09:00:00: Start\r\n"));
}

void TestEventLog::twoStartsInARow() {
    for (int run = 1; run <= 2; ++run) {
        writeLog(m_log, QStringLiteral("Start"), true, at(run, 0, 0));
        writeLog(m_log, QStringLiteral("run %1").arg(run), false, at(run, 0, 1));
    }
    QCOMPARE(readBytes(m_log), QByteArray("06.12.2026 02:00:00: Start\r\n"
                                          "06.12.2026 02:00:01: run 2\r\n"));
}

void TestEventLog::resetOfAMissingFile() {
    QVERIFY(!QFile::exists(m_log));
    writeLog(m_log, QStringLiteral("Start"), true, at(9, 0, 0));
    QCOMPARE(readBytes(m_log), QByteArray("06.12.2026 09:00:00: Start\r\n"));
}

void TestEventLog::deletedWhileRunningComesBack() {
    writeLog(m_log, QStringLiteral("Start"), true, at(9, 0, 0));
    QVERIFY(QFile::remove(m_log));
    writeLog(m_log, QStringLiteral("later"), false, at(9, 30, 0));
    QCOMPARE(readBytes(m_log), QByteArray("06.12.2026 09:30:00: later\r\n"));
}

void TestEventLog::currentTime() {
    const QDateTime before = QDateTime::currentDateTime();
    writeLog(m_log, QStringLiteral("now"), false);
    const QDateTime after = QDateTime::currentDateTime();
    const QByteArray line = readBytes(m_log);
    QVERIFY2(line == (logTimestamp(before) + QStringLiteral(": now\r\n")).toUtf8() ||
                 line == (logTimestamp(after) + QStringLiteral(": now\r\n")).toUtf8(),
             line.constData());
}

void TestEventLog::eventLogUsesItsClock() {
    QDateTime now = at(8, 0, 0);
    const EventLog log(m_log, [&now] { return now; });
    QCOMPARE(log.path(), m_log);
    log.writeLog(QStringLiteral("Start"), true);
    now = at(8, 0, 5);
    log.writeLog(QStringLiteral("next"));
    QCOMPARE(readBytes(m_log), QByteArray("06.12.2026 08:00:00: Start\r\n"
                                          "06.12.2026 08:00:05: next\r\n"));
}

void TestEventLog::failures_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("reset");
    QTest::addColumn<int>("errorCode");
    QTest::newRow("log path is a directory") << "directory" << false << EISDIR;
    QTest::newRow("log path is a directory, reset") << "directory" << true << EISDIR;
    QTest::newRow("parent is a regular file") << "parent" << false << ENOTDIR;
    QTest::newRow("parent is a regular file, reset") << "parent" << true << ENOTDIR;
}

void TestEventLog::failures() {
    QFETCH(QString, kind);
    QFETCH(bool, reset);
    QFETCH(int, errorCode);
    QString path;
    if (kind == QLatin1String("directory")) {
        path = m_dir->filePath(QStringLiteral("log-dir"));
        QVERIFY(QDir().mkpath(path));
    } else {
        const QString parent = m_dir->filePath(QStringLiteral("plain-file"));
        QVERIFY(writeBytes(parent, "x"));
        path = parent + QStringLiteral("/domiva.log");
    }
    try {
        writeLog(path, QStringLiteral("Start"), reset, at(9, 0, 0));
        QFAIL("the log line was written");
    } catch (const Error& error) {
        QCOMPARE(error.message(), qt_error_string(errorCode));
    }
}

void TestEventLog::flushFailureRaises() {
    // Opening works; the bytes are refused when they reach the device.
    const QString full = QStringLiteral("/dev/full");
    if (!QFile::exists(full))
        QSKIP("no /dev/full here");
    try {
        writeLog(full, QStringLiteral("Start"), false, at(9, 0, 0));
        QFAIL("writing to a full device succeeded");
    } catch (const Error& error) {
        QCOMPARE(error.message(), qt_error_string(ENOSPC));
    }
}

int main(int argc, char** argv) {
    // The expected texts are those of the Russian regional settings.
    qputenv("LC_ALL", "ru_RU.UTF-8");
    QCoreApplication app(argc, argv);
    TestEventLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_eventlog.moc"
