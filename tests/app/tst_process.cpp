// The built program as the desktop runs it: it starts in a private cache folder and ends the
// orderly way when the system asks it to.

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

QString output(const QString& program, const QStringList& arguments) {
    QProcess tool;
    tool.start(program, arguments);
    tool.waitForFinished(5000);
    return QString::fromUtf8(tool.readAllStandardOutput());
}

// The windows of process `pid` on the screen, as "id name" texts.
QStringList viewableWindowsOf(qint64 pid) {
    const QString xwininfo = QStringLiteral("xwininfo");
    const QRegularExpression named(QStringLiteral("^\\s*(0x[0-9a-f]+) \"(.*)\": "));
    QStringList windows;
    for (const QString& line : output(xwininfo, {u"-root"_qs, u"-tree"_qs}).split(u'\n')) {
        const QRegularExpressionMatch window = named.match(line);
        const QString id = window.captured(1);
        if (window.hasMatch() && output(xwininfo, {u"-id"_qs, id}).contains(u"IsViewable") &&
            output(u"xprop"_qs, {u"-id"_qs, id, u"_NET_WM_PID"_qs}).section(u'=', 1).toLongLong() ==
                pid)
            windows.append(id + u' ' + window.captured(2));
    }
    return windows;
}

} // namespace

class TestProcess : public QObject {
    Q_OBJECT

private slots:
    void endsOrderlyOnSignal_data() {
        QTest::addColumn<int>("number");
        // On a display, with a database that cannot be created: the box of the failed start-up
        // comes while the main window is still hidden, and the signal closes it.
        QTest::addColumn<bool>("onDisplay");
        QTest::newRow("SIGTERM") << int(SIGTERM) << false;
        QTest::newRow("SIGINT") << int(SIGINT) << false;
        QTest::newRow("SIGHUP (session ended)") << int(SIGHUP) << false;
        QTest::newRow("SIGTERM, box of start-up on a display") << int(SIGTERM) << true;
    }
    void endsOrderlyOnSignal() {
        QFETCH(int, number);
        QFETCH(bool, onDisplay);
        if (onDisplay && (qEnvironmentVariableIsEmpty("DISPLAY") ||
                          QStandardPaths::findExecutable(QStringLiteral("xwininfo")).isEmpty()))
            QSKIP("needs an X display and xwininfo");
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
        // No database file can appear behind a link into a missing folder.
        if (onDisplay)
            QVERIFY(QFile::link(workDir + QStringLiteral("missing/db"),
                                workDir + QStringLiteral("db")));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CACHE_HOME"), dir.path() + QStringLiteral("/cache"));
        env.insert(QStringLiteral("HOME"), dir.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"),
                   QLatin1String(onDisplay ? "xcb" : "offscreen"));
        env.remove(QStringLiteral("http_proxy"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QStringLiteral(DOMIVA_EXECUTABLE), {});
        QVERIFY2(process.waitForStarted(10'000), qPrintable(process.errorString()));

        if (onDisplay) {
            QStringList windows;
            QTRY_VERIFY_WITH_TIMEOUT(!(windows = viewableWindowsOf(process.processId())).isEmpty(),
                                     20'000);
            QCOMPARE(windows.size(), 1);
            QVERIFY2(!windows.first().contains(QStringLiteral("BETA")),
                     qPrintable(windows.first()));
            QTest::qWait(300);
            QCOMPARE(viewableWindowsOf(process.processId()), windows);
        }
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
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
