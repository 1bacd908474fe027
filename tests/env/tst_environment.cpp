#include "env/environment.h"

#include <QDir>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTest>

#include <sqlite3.h>

using domiva::EnvironmentReport;
using domiva::OsVersionParts;

Q_DECLARE_METATYPE(domiva::OsVersionParts)

namespace {

// Sets or clears an environment variable for the life of the object.
class EnvironmentVariable {
public:
    EnvironmentVariable(const char* name, const QByteArray* value)
        : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        if (value)
            qputenv(name, *value);
        else
            qunsetenv(name);
    }
    ~EnvironmentVariable() {
        if (m_wasSet)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }
    EnvironmentVariable(const EnvironmentVariable&) = delete;
    EnvironmentVariable& operator=(const EnvironmentVariable&) = delete;

private:
    const char* m_name;
    bool m_wasSet;
    QByteArray m_old;
};

} // namespace

class TestEnvironment : public QObject {
    Q_OBJECT

private slots:
    void constants();
    void clientIdString_data();
    void clientIdString();
    void tempDir_data();
    void tempDir();
    void programVersion_data();
    void programVersion();
    void sqliteVersion_data();
    void sqliteVersion();
    void osVersionText_data();
    void osVersionText();
    void gathered();
};

void TestEnvironment::constants() {
    QCOMPARE(QString(domiva::kClientVersion), QStringLiteral("0.0.1"));
    QCOMPARE(QString(domiva::kWinInetSuffix), QStringLiteral(" #WININET"));
    QCOMPARE(QString(domiva::kIndySuffix), QStringLiteral(" #INDY"));
    QCOMPARE(domiva::appVerFileSuffix(QStringLiteral("0.0.1")),
             QStringLiteral(" #APPVERFILE0.0.1"));
    QCOMPARE(domiva::appVerFileSuffix(QString()), QStringLiteral(" #APPVERFILE"));
}

void TestEnvironment::clientIdString_data() {
    QTest::addColumn<QString>("mdac");
    QTest::addColumn<QString>("jet");
    QTest::addColumn<QString>("os");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("expected");
    QTest::newRow("system transport")
        << "6.4.2"
        << "3.40.1.0"
        << "Linux X Version 12" << QString(domiva::kWinInetSuffix)
        << "DomivaDesktop#0.0.1 MDAC#(6.4.2) JET#(3.40.1.0) OS# Linux X Version 12 #WININET";
    QTest::newRow("own transport")
        << "6.4.2"
        << "3.40.1.0"
        << "os" << QString(domiva::kIndySuffix)
        << "DomivaDesktop#0.0.1 MDAC#(6.4.2) JET#(3.40.1.0) OS# os #INDY";
    QTest::newRow("log line")
        << "6.4.2"
        << "3.40.1.0"
        << "os" << domiva::appVerFileSuffix(QStringLiteral("1.2.3"))
        << "DomivaDesktop#0.0.1 MDAC#(6.4.2) JET#(3.40.1.0) OS# os #APPVERFILE1.2.3";
    QTest::newRow("empty pieces") << ""
                                  << ""
                                  << ""
                                  << ""
                                  << "DomivaDesktop#0.0.1 MDAC#() JET#() OS# ";
    QTest::newRow("no data-access version")
        << ""
        << "0.0.0.0"
        << "os"
        << " #INDY"
        << "DomivaDesktop#0.0.1 MDAC#() JET#(0.0.0.0) OS# os #INDY";
}

void TestEnvironment::clientIdString() {
    QFETCH(QString, mdac);
    QFETCH(QString, jet);
    QFETCH(QString, os);
    QFETCH(QString, suffix);
    QFETCH(QString, expected);
    EnvironmentReport report;
    report.appVersion = QStringLiteral("9.9.9"); // never part of the string itself
    report.mdacVersion = mdac;
    report.jetVersion = jet;
    report.osVersion = os;
    QCOMPARE(domiva::clientIdString(report, suffix), expected);
}

void TestEnvironment::tempDir_data() {
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("cacheHome");
    QTest::addColumn<QString>("expected");
    const QString home = QStringLiteral("/home/someone");
    QTest::newRow("unset") << false << QByteArray() << home + "/.cache/";
    QTest::newRow("absolute") << true << QByteArray("/var/cache/u") << "/var/cache/u/";
    QTest::newRow("absolute with slash") << true << QByteArray("/var/cache/u/") << "/var/cache/u/";
    QTest::newRow("cyrillic") << true << QByteArray("/tmp/кэш") << QStringLiteral("/tmp/кэш/");
    QTest::newRow("empty") << true << QByteArray("") << home + "/.cache/";
    QTest::newRow("relative is ignored") << true << QByteArray("cache") << home + "/.cache/";
    QTest::newRow("dot-relative is ignored") << true << QByteArray("./cache") << home + "/.cache/";
}

void TestEnvironment::tempDir() {
    QFETCH(bool, set);
    QFETCH(QByteArray, cacheHome);
    QFETCH(QString, expected);
    const QByteArray home("/home/someone");
    const EnvironmentVariable homeVariable("HOME", &home);
    const EnvironmentVariable cacheVariable("XDG_CACHE_HOME", set ? &cacheHome : nullptr);
    QCOMPARE(domiva::getTempDir(), expected);
}

void TestEnvironment::programVersion_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("expected");
    QTest::newRow("three") << "0.0.1"
                           << "0.0.1";
    QTest::newRow("two") << "1.2"
                         << "1.2.0";
    QTest::newRow("four, build left out") << "0.3.2.7"
                                          << "0.3.2";
    QTest::newRow("none") << ""
                          << "0.0.0";
    QTest::newRow("large") << "10.20.300"
                           << "10.20.300";
}

void TestEnvironment::programVersion() {
    QFETCH(QString, version);
    QFETCH(QString, expected);
    QCOMPARE(domiva::programVersionText(version), expected);
}

void TestEnvironment::sqliteVersion_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("expected");
    QTest::newRow("3.40.1") << 3040001 << "3.40.1.0";
    QTest::newRow("3.8.11") << 3008011 << "3.8.11.0";
    QTest::newRow("3.100.0") << 3100000 << "3.100.0.0";
    QTest::newRow("zero") << 0 << "0.0.0.0";
}

void TestEnvironment::sqliteVersion() {
    QFETCH(int, number);
    QFETCH(QString, expected);
    QCOMPARE(domiva::sqliteVersionText(number), expected);
}

void TestEnvironment::osVersionText_data() {
    QTest::addColumn<OsVersionParts>("parts");
    QTest::addColumn<QString>("expected");
    QTest::newRow("all pieces")
        << OsVersionParts{QStringLiteral("Debian GNU/Linux 12 (bookworm)"),
                          QStringLiteral("12"),
                          QStringLiteral("6.1.0-13-amd64"),
                          QStringLiteral("sp"),
                          QStringLiteral("#1 SMP Debian 6.1.55-1"),
                          QStringLiteral("7.88.1")}
        << "Linux Debian GNU/Linux 12 (bookworm) Version 12 Build 6.1.0-13-amd64 sp "
           "BuildLab #1 SMP Debian 6.1.55-1 IEVer 7.88.1";
    QTest::newRow("no service pack: two blanks")
        << OsVersionParts{QStringLiteral("Debian"), QStringLiteral("12"),
                          QStringLiteral("6.1.0"),  QString(),
                          QStringLiteral("#1"),     QStringLiteral("7.88.1")}
        << "Linux Debian Version 12 Build 6.1.0  BuildLab #1 IEVer 7.88.1";
    QTest::newRow("every piece empty")
        << OsVersionParts{} << "Linux  Version  Build   BuildLab  IEVer ";
    QTest::newRow("control characters") << OsVersionParts{QStringLiteral("A\r\nB"),
                                                          QStringLiteral("1\t2"),
                                                          QString(),
                                                          QString(),
                                                          QString(),
                                                          QString()}
                                        << "Linux A  B Version 1 2 Build   BuildLab  IEVer ";
}

void TestEnvironment::osVersionText() {
    QFETCH(OsVersionParts, parts);
    QFETCH(QString, expected);
    QCOMPARE(domiva::osVersionText(parts), expected);
}

void TestEnvironment::gathered() {
    const EnvironmentReport report = domiva::gatherEnvironment();
    QCOMPARE(report.appVersion, domiva::programVersionText(QStringLiteral(DOMIVA_PROGRAM_VERSION)));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$"))
                .match(report.appVersion)
                .hasMatch());
    // The library's own text of its version, with the fourth number.
    QCOMPARE(report.jetVersion, QString::fromLatin1(sqlite3_libversion()) + QStringLiteral(".0"));
    QCOMPARE(report.mdacVersion, QString::fromLatin1(qVersion()));
    QVERIFY2(report.osVersion.startsWith(QStringLiteral("Linux ")), qPrintable(report.osVersion));
    const QRegularExpression shape(
        QStringLiteral("^Linux .* Version .* Build .* .* BuildLab .* IEVer .*$"));
    QVERIFY2(shape.match(report.osVersion).hasMatch(), qPrintable(report.osVersion));
    QVERIFY(report.osVersion.contains(QSysInfo::kernelVersion()));
    const OsVersionParts parts = domiva::currentOsVersionParts();
    QVERIFY(!parts.build.isEmpty());
    QVERIFY(parts.servicePack.isEmpty());
    QCOMPARE(report.osVersion, domiva::osVersionText(parts));
}

QTEST_GUILESS_MAIN(TestEnvironment)
#include "tst_environment.moc"
