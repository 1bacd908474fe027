// The demo service executable: it answers over HTTP, logs each request, and stops cleanly.

#include <QByteArray>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString program = QStringLiteral(DOMIVA_DEMO_SERVICE_PATH);

// One HTTP/1.0 exchange over a plain socket: the server closes after answering.
QByteArray exchange(quint16 port, const QByteArray& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return {};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.constData(), static_cast<std::size_t>(request.size()), 0) ==
            request.size()) {
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, n);
    }
    ::close(fd);
    return answer;
}

QByteArray syncRequest(const QByteArray& target, const QByteArray& body) {
    return "POST " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: probe %1\r\n" +
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Starts the service on a free port; gives the port, or 0 when it did not come up.
quint16 start(QProcess& service) {
    service.start(program, {QStringLiteral("0")});
    if (!service.waitForStarted(5000) || !service.waitForReadyRead(5000))
        return 0;
    const QString first = QString::fromUtf8(service.readLine());
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("listening on http://127\\.0\\.0\\.1:([0-9]+)/"))
            .match(first);
    return m.hasMatch() ? m.captured(1).toUShort() : 0;
}

} // namespace

class TestDemoService : public QObject {
    Q_OBJECT

private slots:
    void answersLogsAndStops_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }

    void answersLogsAndStops() {
        QFETCH(int, signal);
        QProcess service;
        const quint16 port = start(service);
        QVERIFY(port != 0);

        const QByteArray feed = exchange(port, syncRequest("/db/demo/get2.txt", "pass=kvax&rd="));
        QVERIFY2(feed.startsWith("HTTP/1.1 200"), feed.constData());
        QVERIFY(feed.contains("\r\n\r\nW#0.0.1\r\nR#"));
        QVERIFY(service.waitForReadyRead(5000));
        QString line = QString::fromUtf8(service.readLine()).trimmed();
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d "
                                                   "POST /db/demo/get2\\.txt \"probe %1\" 200 "
                                                   "\\d+$"))
                     .match(line)
                     .hasMatch(),
                 qPrintable(line));

        const QByteArray refused =
            exchange(port, syncRequest("/db/demo/get2.txt", "pass=nope&rd="));
        QVERIFY2(refused.startsWith("HTTP/1.1 403"), refused.constData());
        QVERIFY(service.waitForReadyRead(5000));
        line = QString::fromUtf8(service.readLine()).trimmed();
        QVERIFY2(line.endsWith(QLatin1String("\"probe %1\" 403 0")), qPrintable(line));

        const QByteArray wrongMethod =
            exchange(port, "GET /db/demo/get2.txt HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        QVERIFY2(wrongMethod.startsWith("HTTP/1.1 405"), wrongMethod.constData());
        const QByteArray missing = exchange(port, syncRequest("/index.html", "pass=kvax"));
        QVERIFY2(missing.startsWith("HTTP/1.1 404"), missing.constData());

        QVERIFY(::kill(static_cast<pid_t>(service.processId()), signal) == 0);
        QVERIFY(service.waitForFinished(5000));
        QCOMPARE(service.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.exitCode(), 0);
        QVERIFY(service.readAllStandardOutput().contains("stopping"));
    }

    void refusesBadArguments_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("not a number") << QStringList{QStringLiteral("abc")};
        QTest::newRow("too large") << QStringList{QStringLiteral("70000")};
        QTest::newRow("negative") << QStringList{QStringLiteral("-1")};
        QTest::newRow("two arguments") << QStringList{QStringLiteral("1"), QStringLiteral("2")};
    }

    void refusesBadArguments() {
        QFETCH(QStringList, arguments);
        QProcess service;
        service.start(program, arguments);
        QVERIFY(service.waitForFinished(5000));
        QCOMPARE(service.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.exitCode(), 2);
        QVERIFY(!service.readAllStandardError().isEmpty());
        QVERIFY(service.readAllStandardOutput().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDemoService)
#include "tst_demoservice.moc"
