// The built program as the desktop runs it: it starts in a private cache folder and ends the
// orderly way when the system asks it to.

#include "support/fakeservice.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include <sys/types.h>
#include <xcb/xcb.h>

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

// One connection to the X display for the whole test: it asks about windows without starting
// a client per question. While it is open the server is never left without clients, and an X
// server started without -noreset resets whenever that happens, refusing whoever connects
// meanwhile (the program under test, say).
class XDisplay {
public:
    XDisplay() : m_connection(xcb_connect(nullptr, nullptr)) {}
    bool isOpen() const { return xcb_connection_has_error(m_connection.get()) == 0; }

    // The viewable windows of process `pid`, as "id name" texts.
    QStringList viewableWindowsOf(qint64 pid) {
        xcb_connection_t* c = m_connection.get();
        const xcb_atom_t pidAtom = atom("_NET_WM_PID");
        const xcb_atom_t nameAtom = atom("_NET_WM_NAME");
        QStringList windows;
        std::vector<xcb_window_t> pending{xcb_setup_roots_iterator(xcb_get_setup(c)).data->root};
        while (!pending.empty()) {
            const xcb_window_t window = pending.back();
            pending.pop_back();
            // A window may go between two questions: it then has no answers.
            if (const auto tree = ask(xcb_query_tree_reply, xcb_query_tree(c, window))) {
                const xcb_window_t* children = xcb_query_tree_children(tree.get());
                pending.insert(pending.end(), children,
                               children + xcb_query_tree_children_length(tree.get()));
            }
            const auto attributes =
                ask(xcb_get_window_attributes_reply, xcb_get_window_attributes(c, window));
            if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
                continue;
            const auto owner =
                ask(xcb_get_property_reply,
                    xcb_get_property(c, 0, window, pidAtom, XCB_ATOM_CARDINAL, 0, 1));
            if (!owner || xcb_get_property_value_length(owner.get()) != 4 ||
                qint64(*static_cast<const quint32*>(xcb_get_property_value(owner.get()))) != pid)
                continue;
            const auto name =
                ask(xcb_get_property_reply,
                    xcb_get_property(c, 0, window, nameAtom, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024));
            windows.append(QStringLiteral("0x%1 ").arg(window, 0, 16) +
                           (name ? QString::fromUtf8(
                                       static_cast<const char*>(xcb_get_property_value(name.get())),
                                       xcb_get_property_value_length(name.get()))
                                 : QString()));
        }
        return windows;
    }

private:
    struct Free {
        void operator()(void* p) const { std::free(p); }
    };
    template <typename Reply> using Owned = std::unique_ptr<Reply, Free>;

    template <typename Reply, typename Cookie>
    Owned<Reply> ask(Reply* (*reply)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                     Cookie cookie) {
        xcb_generic_error_t* error = nullptr;
        Owned<Reply> answer(reply(m_connection.get(), cookie, &error));
        std::free(error);
        return answer;
    }

    xcb_atom_t atom(const char* name) {
        const auto reply =
            ask(xcb_intern_atom_reply, xcb_intern_atom(m_connection.get(), 0, qstrlen(name), name));
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    struct Disconnect {
        void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
    };
    std::unique_ptr<xcb_connection_t, Disconnect> m_connection;
};

} // namespace

class TestProcess : public QObject {
    Q_OBJECT

private slots:
    void endsOrderlyOnSignal_data() {
        QTest::addColumn<int>("number");
        // On a display, with a database that cannot be created: the box of the failed start-up
        // comes while the main window is still hidden, and the signal closes it.
        QTest::addColumn<bool>("onDisplay");
        // "hung": the service takes the request and answers nothing; "dripping": a byte every
        // 300 ms. The end abandons the sync: the process is gone within 2 s.
        QTest::addColumn<QString>("service");
        QTest::newRow("SIGTERM") << int(SIGTERM) << false << QString();
        QTest::newRow("SIGINT") << int(SIGINT) << false << QString();
        QTest::newRow("SIGHUP (session ended)") << int(SIGHUP) << false << QString();
        QTest::newRow("SIGTERM, box of start-up on a display") << int(SIGTERM) << true << QString();
        QTest::newRow("SIGTERM, service hung") << int(SIGTERM) << false << QStringLiteral("hung");
        QTest::newRow("SIGTERM, service dripping")
            << int(SIGTERM) << false << QStringLiteral("dripping");
    }
    void endsOrderlyOnSignal() {
        QFETCH(int, number);
        QFETCH(bool, onDisplay);
        QFETCH(QString, service);
        using domiva::test::FakeService;
        // It serves from threads of its own.
        std::optional<FakeService> fake;
        if (!service.isEmpty())
            fake.emplace();
        if (fake) {
            FakeService::Answer answer;
            answer.body = QByteArray("R#5#a\r\n").repeated(1000);
            if (service == QLatin1String("hung")) {
                answer.delay = std::chrono::milliseconds(60'000);
            } else {
                answer.pieceBytes = 1;
                answer.pieceInterval = std::chrono::milliseconds(300);
            }
            fake->setDefaultAnswer(answer);
        }
        if (onDisplay && qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X display");
        // Open before the program starts, and for as long as it runs.
        std::optional<XDisplay> display;
        if (onDisplay)
            QVERIFY2(display.emplace().isOpen(), "no connection to the X display");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString workDir = dir.path() + QStringLiteral("/cache/DomivaDesktop/");
        const QString logPath = workDir + QStringLiteral("domiva.log");
        // Where no service listens: the first sync fails at once, touching nothing outside.
        QVERIFY(QDir().mkpath(workDir));
        {
            QFile settings(workDir + QStringLiteral("settings.ini"));
            QVERIFY(settings.open(QIODevice::WriteOnly));
            settings.write(
                "[service]\nhost=" + (fake ? fake->hostAndPort().toUtf8() : "127.0.0.1:1") + "\n");
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
            QTRY_VERIFY_WITH_TIMEOUT(
                !(windows = display->viewableWindowsOf(process.processId())).isEmpty(), 20'000);
            QCOMPARE(windows.size(), 1);
            QVERIFY2(!windows.first().contains(QStringLiteral("BETA")),
                     qPrintable(windows.first()));
            QTest::qWait(300);
            QCOMPARE(display->viewableWindowsOf(process.processId()), windows);
        }
        // Start-up has written its two lines (and, without a tray here, is showing its box).
        QTRY_VERIFY_WITH_TIMEOUT(logMessages(logPath).size() >= 2, 20'000);
        QCOMPARE(logMessages(logPath).first(), QStringLiteral("Start"));
        QTest::qWait(300);
        QCOMPARE(process.state(), QProcess::Running);
        if (fake)
            QTRY_VERIFY_WITH_TIMEOUT(fake->requestCount() == 1, 20'000);

        QElapsedTimer ending;
        ending.start();
        QCOMPARE(::kill(pid_t(process.processId()), number), 0);
        QVERIFY(process.waitForFinished(20'000));
        if (fake)
            QVERIFY2(ending.elapsed() < 2000, qPrintable(QString::number(ending.elapsed())));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QStringList messages = logMessages(logPath);
        QCOMPARE(messages.last(), QStringLiteral("Shutdown"));
        QCOMPARE(messages.count(QStringLiteral("Shutdown")), qsizetype(1));
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
