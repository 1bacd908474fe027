// How long the window waits, command by command, on a file of a million listings: the whole
// main window on the offscreen platform, over a copy of store_bench's file (1,000,000 listings
// in 801 searches, search 1 holding 200,000 of them, every fifth row), a sync served by the
// fake service over loopback. A timer asks for a turn of the window's event loop every
// millisecond; for each command the longest time between two turns is printed, with the time
// the command took to complete. One frame is 16 ms.
//
//   window_bench [store_bench.db-big]
//
// The sync is cut in parts by what it is doing (the history's first fill of the million, then
// the feed), and a listing of another search is opened during each: the time until its read
// mark is stored. Ctrl+F2 runs on a copy whose history holds the million.
//
// Last, the resident memory after paging through the 200,000-listing search, next to the same
// on an empty file, each window in a process of its own.
//
// Build the file first with `store_bench --benchmark_filter=ClearDatabase` (it is kept).

#include "core/error.h"
#include "logcopy.h"
#include "rss.h"
#include "store/database.h"
#include "store/flathistory.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "store/tablemodel.h"
#include "support/fakeservice.h"
#include "ui/datagrid.h"
#include "ui/listingcommands.h"
#include "ui/mainwindow.h"
#include "ui/messageboxes.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProcess>
#include <QSqlQuery>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTimer>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

using namespace domiva;
using domiva::test::FakeService;

namespace {

constexpr int bigSearch = 1;

// The longest time between two turns of the event loop since the last reset.
class TurnGaps {
public:
    TurnGaps() {
        m_clock.start();
        m_tick.setInterval(1);
        QObject::connect(&m_tick, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longest = std::max(m_longest, now - m_last);
            m_last = now;
        });
        m_tick.start();
    }
    void reset() {
        m_last = m_clock.nsecsElapsed();
        m_longest = 0;
    }
    double longestMs() const { return double(m_longest) / 1e6; }

private:
    QElapsedTimer m_clock;
    QTimer m_tick;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

// Runs the command from the event loop, then lets the loop run until done() holds (and at
// least a few turns more), and prints the longest gap and the time to completion.
void measure(
    TurnGaps& gaps, const char* name, const std::function<void()>& command,
    const std::function<bool()>& done = [] { return true; }) {
    QEventLoop loop;
    QElapsedTimer took;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(0, &loop, [&] {
        gaps.reset();
        took.start();
        command();
        poll.start();
    });
    loop.exec();
    const double completed = double(took.nsecsElapsed()) / 1e6;
    std::printf("%-58s longest gap %8.1f ms   done after %8.1f ms\n", name, gaps.longestMs(),
                completed);
    std::fflush(stdout);
}

void wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void sendKey(QWidget* widget, int key, Qt::KeyboardModifiers modifiers) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(widget, &press);
}

// 100,000 new listings in 100 new searches, and the removal of the 200,000-listing search.
QByteArray syncFeed() {
    QString feed;
    for (int s = 1001; s <= 1100; ++s) {
        feed += QStringLiteral("R#%1#Поиск номер %1\r\n").arg(s);
        for (int o = 0; o < 1000; ++o)
            feed += QStringLiteral("D#%1-%2#%3 п.#м. Сокольники, ул. Садовая, д. %4#2#8#45 000#"
                                   "50%#3/9#м/т#Ирина +7 495 100-00-00#Чисто#агентство#"
                                   "%5.11.26 10:%6\r\n")
                        .arg(s)
                        .arg(o)
                        .arg(5 + o % 15)
                        .arg(1 + o % 90)
                        .arg(1 + o % 28, 2, 10, QLatin1Char('0'))
                        .arg(o % 60, 2, 10, QLatin1Char('0'));
    }
    feed += QStringLiteral("Q#%1\r\n").arg(bigSearch);
    QStringEncoder encoder("windows-1251");
    return encoder.encode(feed);
}

// A working folder of its own with a copy of the file, the service on loopback, no timer.
void prepareFolder(const QString& cacheDir, const QString& source, quint16 port) {
    const QString work = cacheDir + QStringLiteral("/DomivaDesktop/");
    QDir().mkpath(work);
    if (!QFile::copy(source, work + QStringLiteral("db")))
        throw Error(QStringLiteral("cannot copy %1").arg(source));
    QFile settings(work + QStringLiteral("settings.ini"));
    if (!settings.open(QIODevice::WriteOnly))
        throw Error(settings.errorString());
    settings.write(QStringLiteral("[main]\nlogin=demo\npassword=kvax\nrefreshTime=0\n"
                                  "minimizeToTray=0\nplaySound=0\n[service]\nhost=127.0.0.1:%1\n")
                       .arg(port)
                       .toUtf8());
}

// The main window, started up as the program starts it, over a copy of the file (prepared
// first by `prepare`, given its path, when there is one).
std::unique_ptr<TfrmMain> openWindow(const QString& cacheDir, const QString& source, quint16 port,
                                     const std::function<void(const QString&)>& prepare = {}) {
    prepareFolder(cacheDir, source, port);
    if (prepare)
        prepare(cacheDir + QStringLiteral("/DomivaDesktop/db"));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cacheDir));
    auto window = std::make_unique<TfrmMain>();
    window->formCreate();
    window->refreshTimer().setEnabled(false);
    window->show();
    wait(200);
    return window;
}

// A read of the file beside the window, for the bench to see what the data thread is at: the
// one value of a statement, or an empty string.
class Probe {
public:
    explicit Probe(const QString& path) {
        sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READONLY, nullptr);
    }
    ~Probe() { sqlite3_close(m_db); }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    QString value(const char* statement) {
        sqlite3_stmt* query = nullptr;
        QString result;
        if (sqlite3_prepare_v2(m_db, statement, -1, &query, nullptr) == SQLITE_OK &&
            sqlite3_step(query) == SQLITE_ROW)
            result =
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(query, 0)));
        sqlite3_finalize(query);
        return result;
    }

private:
    sqlite3* m_db = nullptr;
};

// The history of the file filled as the first sync fills it, in one go.
void fillHistory(const QString& path) {
    bench::fillHistoryAtOnce(*openDatabase(path));
}

int rowOfSearch(TfrmMain& window, qint32 qid) {
    return window.queriesModel()->rowOfKey(QVariant(qid));
}

// In a process of its own: the window over a copy of the file ("-": an empty one), the big
// search selected and paged through as a user does, then the resident memory in MB.
int residentAfterPaging(const QString& source) {
    FakeService service;
    service.setDefaultAnswer(HttpServer::Response{});
    RecordingMessageBoxes boxes;
    MessageBoxesOverride answered(boxes);
    QTemporaryDir cache;
    QString file = source;
    if (source == QStringLiteral("-")) {
        file = cache.filePath(QStringLiteral("empty"));
        createDatabase(file);
    }
    auto window = openWindow(cache.path(), file, service.port());
    const int big = rowOfSearch(*window, bigSearch);
    if (big >= 0) {
        window->dbgQueries->placeCursor(big);
        window->dbgQueriesColEnter();
    }
    while (window->offersModel()->readingKeys() || window->syncBusy())
        wait(10);
    sendKey(window->dbgOffers, Qt::Key_End, Qt::ControlModifier);
    wait(50);
    sendKey(window->dbgOffers, Qt::Key_Home, Qt::ControlModifier);
    for (int page = 0; page < 30; ++page) {
        wait(10);
        sendKey(window->dbgOffers, Qt::Key_PageDown, Qt::NoModifier);
    }
    wait(500);
    std::printf("%.1f\n", residentMegabytes());
    return 0;
}

// The same in two processes, an empty file and the million.
void compareResident(const QString& source) {
    double resident[2] = {0, 0};
    const QStringList files{QStringLiteral("-"), source};
    for (int i = 0; i < 2; ++i) {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--resident"), files[i]});
        if (!child.waitForFinished(120'000) || child.exitCode() != 0)
            throw Error(QStringLiteral("the resident memory could not be measured"));
        resident[i] = child.readAllStandardOutput().trimmed().toDouble();
    }
    std::printf("%-58s %8.1f MB against %.1f MB on an empty file: %.2fx\n",
                "resident memory after paging through the 200,000", resident[1], resident[0],
                resident[1] / resident[0]);
}

void run(const QString& source) {
    FakeService service;
    HttpServer::Response feed;
    feed.body = syncFeed();
    service.setDefaultAnswer(feed);
    RecordingMessageBoxes boxes;
    MessageBoxesOverride answered(boxes);
    TurnGaps gaps;

    // The commands of a user working through the big search, then a sync that removes it.
    {
        QTemporaryDir cache;
        auto window = openWindow(cache.path(), source, service.port());
        ListingCommands* commands = window->listingCommands();
        const int big = rowOfSearch(*window, bigSearch);

        // Keys and counts arrive from the data thread: a command is done once they are shown.
        const auto keysRead = [&] { return !window->offersModel()->readingKeys(); };
        const auto dataDone = [&] { return !window->syncBusy() && keysRead(); };
        measure(
            gaps, "select the 200,000-listing search",
            [&] {
                window->dbgQueries->placeCursor(big);
                window->dbgQueriesColEnter();
            },
            keysRead);
        measure(gaps, "Ctrl+End",
                [&] { sendKey(window->dbgOffers, Qt::Key_End, Qt::ControlModifier); });
        const auto filterFinished = [&] { return !window->offersModel()->filterScanning(); };
        measure(
            gaps, "filter, a rare word",
            [&] {
                commands->openFilter();
                commands->filterEdit()->setText(QStringLiteral("ПАРКОВКА"));
                commands->applyFilter();
            },
            filterFinished);
        measure(
            gaps, "filter, a common word",
            [&] {
                commands->filterEdit()->setText(QStringLiteral("сокольники"));
                commands->applyFilter();
            },
            filterFinished);
        measure(
            gaps, "clear the filter", [&] { commands->closeFilter(); }, keysRead);
        QueriesModel* queries = window->queriesModel();
        const QModelIndex bigName = queries->index(big, columnOf(queries, u"qname"));
        measure(
            gaps, "unread-count tooltip", [&] { queries->data(bigName, Qt::ToolTipRole); },
            [&] { return !queries->data(bigName, Qt::ToolTipRole).isNull(); });
        measure(gaps, "click a listing", [&] {
            window->dbgOffers->placeCursor(3);
            window->dbgOffersColEnter();
        });
        measure(
            gaps, "mark the search read", [&] { commands->markSearchRead(big); }, dataDone);
        // A listing of another search, opened during the long writes.
        QString otherId;
        qint32 otherQid = 0;
        bool stored = false;
        const auto clickOther = [&] {
            stored = false;
            window->dataThread()->markOfferRead(window->dbPath(), otherId, otherQid, window.get(),
                                                [&stored](auto) { stored = true; });
        };
        {
            // Unread again, then marked read while the user opens a listing of another search:
            // its mark goes in between two of the long write's transactions.
            {
                auto db = openDatabase(window->dbPath());
                QSqlQuery other(db->connection());
                other.exec(QStringLiteral("SELECT id, qid FROM Offers WHERE qid<>%1 LIMIT 1")
                               .arg(bigSearch));
                if (other.next()) {
                    otherId = other.value(0).toString();
                    otherQid = other.value(1).toInt();
                }
                other.finish();
                QSqlQuery unread(db->connection());
                unread.exec(QStringLiteral("UPDATE Offers SET unreaded=1 WHERE qid=%1 OR id='%2'")
                                .arg(bigSearch)
                                .arg(otherId));
            }
            measure(
                gaps, "a click's mark while the search is marked read",
                [&] {
                    commands->markSearchRead(big);
                    clickOther();
                },
                [&] { return stored; });
            measure(
                gaps, "... and the search marked read", [] {}, dataDone);
        }
        const QString csv = cache.filePath(QStringLiteral("export.csv"));
        commands->pickExportFile = [&csv](const QString&) { return csv; };
        measure(
            gaps, "CSV export of the search", [&] { commands->exportSearch(big); },
            [&] { return !commands->exportRunning(); });
        {
            // The file has no history yet: the sync fills it from the million first, then
            // applies the feed.
            Probe probe(window->dbPath());
            const auto filling = [&] {
                return !probe.value("SELECT value FROM ClientState WHERE name='historyFillAfter'")
                            .isEmpty();
            };
            const auto applyingFeed = [&] {
                return !probe.value("SELECT id FROM Queries WHERE id=1001").isEmpty();
            };
            measure(
                gaps, "sync: the download, the history's first fill begun",
                [&] { window->mnuRefreshClick(); }, [&] { return filling() || dataDone(); });
            measure(gaps, "a click's mark stored during the first fill of a million", clickOther,
                    [&] { return stored; });
            measure(
                gaps, "sync: the first fill to its end, the feed begun", [] {},
                [&] { return applyingFeed() || dataDone(); });
            measure(gaps, "a click's mark stored during the sync of 100,000", clickOther,
                    [&] { return stored; });
            measure(
                gaps, "sync of 100,000 listings, removing the 200,000 search: the rest", [] {},
                dataDone);
        }
        measure(
            gaps, "exit: the window off the screen", [&] { window->mnuExitClick(); },
            [&] { return !window->isVisible(); });
        QElapsedTimer closing;
        closing.start();
        window.reset();
        std::printf("%-58s out of sight        %8.1f ms\n", "exit: the rest of the shut-down",
                    double(closing.nsecsElapsed()) / 1e6);
    }

    // The end of the program while the service holds the exchange open.
    {
        HttpServer::Response hung;
        hung.delay = std::chrono::milliseconds(60'000);
        FakeService silent;
        silent.setDefaultAnswer(hung);
        QTemporaryDir cache;
        auto window = openWindow(cache.path(), source, silent.port());
        window->mnuRefreshClick();
        QElapsedTimer asked;
        asked.start();
        while (silent.requestCount() == 0 && !asked.hasExpired(10'000))
            wait(10);
        QElapsedTimer ending;
        ending.start();
        measure(
            gaps, "exit with a hung server: the sync abandoned", [&] { window->mnuExitClick(); },
            [&] { return !window->syncBusy(); });
        window->formDestroy();
        window.reset();
        std::printf("%-58s gone after          %8.1f ms\n", "exit with a hung server: all of it",
                    double(ending.nsecsElapsed()) / 1e6);
    }

    // Ctrl+F2 on the million, the history holding the million as well: the history is kept
    // and not copied.
    {
        service.setDefaultAnswer(HttpServer::Response{});
        QTemporaryDir cache;
        auto window = openWindow(cache.path(), source, service.port(), fillHistory);
        const QString history = Probe(window->dbPath()).value("SELECT COUNT(*) FROM FlatHistory");
        measure(
            gaps,
            qPrintable(QStringLiteral("Ctrl+F2 on 1,000,000 listings, history of %1").arg(history)),
            [&] { window->mnuClearDBClick(); }, [&] { return !window->syncBusy(); });
        wait(3000);
        const QString log = cache.path() + QStringLiteral("/DomivaDesktop/db-wal");
        std::printf("%-58s %8.2f MiB (file %.2f MiB)\n", "Ctrl+F2: the log 3 s later",
                    double(QFileInfo(log).size()) / (1 << 20),
                    double(QFileInfo(cache.path() + QStringLiteral("/DomivaDesktop/db")).size()) /
                        (1 << 20));
        window.reset();
    }
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    if (argc > 2 && QByteArray(argv[1]) == "--resident") {
        try {
            return residentAfterPaging(QString::fromLocal8Bit(argv[2]));
        } catch (const Error& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
    }
    const QString source = argc > 1
                               ? QString::fromLocal8Bit(argv[1])
                               : QStringLiteral(DOMIVA_STORE_BENCH_DB) + QStringLiteral("-big");
    if (!QFileInfo::exists(source)) {
        std::fprintf(stderr,
                     "%s is missing: run store_bench --benchmark_filter=ClearDatabase first\n",
                     qPrintable(source));
        return 1;
    }
    try {
        run(source);
        compareResident(source);
    } catch (const Error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
