// The built program as the desktop runs it: it starts in a private cache folder and ends the
// orderly way when the system asks it to.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
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
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
