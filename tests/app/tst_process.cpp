// The built program as the desktop runs it: it starts in a private cache folder and ends the
// orderly way when the system asks it to.

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/types.h>

namespace {

QStringList logMessages(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList messages;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"))) {
        if (line.isEmpty())
            continue;
        const qsizetype colon = line.indexOf(QStringLiteral(": "));
        messages.append(colon < 0 ? line : line.mid(colon + 2));
    }
    return messages;
}

// The top-level windows of process `pid` that are on the screen, as "id name" texts.
QStringList viewableWindowsOf(qint64 pid) {
    const auto run = [](const QStringList& arguments) {
        QProcess tool;
        tool.start(QStringLiteral("xwininfo"), arguments);
        tool.waitForFinished(5000);
        return QString::fromUtf8(tool.readAllStandardOutput());
    };
    const auto pidOf = [](const QString& id) {
        QProcess xprop;
        xprop.start(QStringLiteral("xprop"),
                    {QStringLiteral("-id"), id, QStringLiteral("_NET_WM_PID")});
        xprop.waitForFinished(5000);
        return QString::fromLatin1(xprop.readAllStandardOutput())
            .section(u'=', 1)
            .trimmed()
            .toLongLong();
    };
    QStringList windows;
    const QRegularExpression named(QStringLiteral("^\\s*(0x[0-9a-f]+) \"(.*)\": "));
    for (const QString& line :
         run({QStringLiteral("-root"), QStringLiteral("-tree")}).split(u'\n')) {
        const QRegularExpressionMatch match = named.match(line);
        if (!match.hasMatch())
            continue;
        const QString id = match.captured(1);
        if (pidOf(id) == pid &&
            run({QStringLiteral("-id"), id}).contains(QStringLiteral("IsViewable")))
            windows.append(id + u' ' + match.captured(2));
    }
    return windows;
}

} // namespace

class TestProcess : public QObject {
    Q_OBJECT

private slots:
    void endsOrderlyOnSignal_data() {
        QTest::addColumn<int>("number");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP (session ended)") << int(SIGHUP);
    }
    void endsOrderlyOnSignal() {
        QFETCH(int, number);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString workDir = dir.path() + QStringLiteral("/cache/DomivaDesktop/");
        const QString logPath = workDir + QStringLiteral("domiva.log");
        // Where no service listens: the first sync fails at once, touching nothing outside.
        QVERIFY(QDir().mkpath(workDir));
        {
            QFile settings(workDir + QStringLiteral("settings.ini"));
            QVERIFY(settings.open(QIODevice::WriteOnly));
            settings.write("[service]\nhost=127.0.0.1:1\n");
        }

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.path() + QStringLiteral("/cache"));
        env.insert(QStringLiteral("HOME"), dir.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.remove(QStringLiteral("http_proxy"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QStringLiteral(DOMIVA_EXECUTABLE), {});
        QVERIFY2(process.waitForStarted(10'000), qPrintable(process.errorString()));

        // Start-up has written its two lines (and, without a tray here, is showing its box).
        QTRY_VERIFY_WITH_TIMEOUT(logMessages(logPath).size() >= 2, 20'000);
        QCOMPARE(logMessages(logPath).first(), QStringLiteral("Start"));
        QTest::qWait(300);
        QCOMPARE(process.state(), QProcess::Running);

        QCOMPARE(::kill(pid_t(process.processId()), number), 0);
        QVERIFY(process.waitForFinished(20'000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QStringList messages = logMessages(logPath);
        QCOMPARE(messages.last(), QStringLiteral("Shutdown"));
        QCOMPARE(messages.count(QStringLiteral("Shutdown")), qsizetype(1));
    }

    void windowHiddenUntilStartUpHasRun() {
        // The box of a failed start-up comes while the main window is still hidden; the end
        // of the session closes it.
        if (qEnvironmentVariableIsEmpty("DISPLAY") ||
            QStandardPaths::findExecutable(QStringLiteral("xwininfo")).isEmpty())
            QSKIP("needs an X display and xwininfo");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString workDir = dir.path() + QStringLiteral("/cache/DomivaDesktop/");
        QVERIFY(QDir().mkpath(workDir));
        // No database file can appear behind a link into a missing folder.
        QVERIFY(
            QFile::link(workDir + QStringLiteral("missing/db"), workDir + QStringLiteral("db")));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.path() + QStringLiteral("/cache"));
        env.insert(QStringLiteral("HOME"), dir.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QStringLiteral(DOMIVA_EXECUTABLE), {});
        QVERIFY2(process.waitForStarted(10'000), qPrintable(process.errorString()));

        QStringList windows;
        QDeadlineTimer deadline(20'000);
        while (windows.isEmpty() && !deadline.hasExpired() &&
               process.state() == QProcess::Running) {
            QTest::qWait(50);
            windows = viewableWindowsOf(process.processId());
        }
        QCOMPARE(windows.size(), 1);
        QVERIFY2(!windows.first().contains(QStringLiteral("BETA")), qPrintable(windows.first()));
        QTest::qWait(300);
        QCOMPARE(viewableWindowsOf(process.processId()), windows);
        const QStringList messages = logMessages(workDir + QStringLiteral("domiva.log"));
        QCOMPARE(messages.size(), 3); // "Start", the identification line, the error

        QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
        QVERIFY(process.waitForFinished(20'000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(logMessages(workDir + QStringLiteral("domiva.log")).last(),
                 QStringLiteral("Shutdown"));
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
