// One whole sync cycle over loopback: a feed of 100,000 offers in 100 searches, served by the
// fake service in a process of its own and applied to a fresh database; the same feed with
// every listing one flat (an agency re-posting one flat, or a hostile feed) beside it. Reports the
// cycle's time, the longest gap between two turns of the event loop (the time the window could not
// repaint) and how far the cycle raised the process's peak resident memory above what it
// held before, next to the feed's size.
//
// `sync_bench --write-inputs <dir>` writes the same feed (feed.txt) for the comparison with
// curl and the sqlite3 shell, see bench/compare-sync.
// `sync_bench --keep-files=<dir> [benchmark options]` leaves in <dir>, for each history size
// H, the file as the first run found it (before-H.db) and as the run left it (after-H.db), so
// that bench/compare-sync can have the sqlite3 shell write the very rows the client wrote.
// `sync_bench --serve` serves the feed and prints its port until its input closes.

#include "core/error.h"
#include "env/environment.h"
#include "settings/settings.h"
#include "store/database.h"
#include "store/flathistory.h"
#include "store/flatkey.h"
#include "support/fakeservice.h"
#include "support/netutil.h"
#include "support/syncsteps.h"
#include "sync/synccycle.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace domiva;

namespace {

// Where --keep-files leaves the files of the first run of each size; empty: nowhere.
QString keepDir; // NOLINT: set once by main

// Copies a closed database file (its log checkpointed away on closing) into keepDir.
void keepFile(const QString& path, const QString& name) {
    if (keepDir.isEmpty())
        return;
    const QString target = QDir(keepDir).filePath(name);
    if (QFile::exists(target))
        return;
    QFile::copy(path, target);
    if (QFile::exists(path + QStringLiteral("-wal")))
        QFile::copy(path + QStringLiteral("-wal"), target + QStringLiteral("-wal"));
}

constexpr int searches = 100;
constexpr int offersPerSearch = 1000;

struct Inputs {
    QByteArray feed; // Windows-1251, CR LF
};

const Inputs& inputs(bool oneFlat = false) {
    const auto build = [oneFlat] {
        QString feed;
        feed.reserve(searches * offersPerSearch * 130);
        for (int s = 1; s <= searches; ++s) {
            feed += QStringLiteral("R#%1#Поиск номер %1\r\n").arg(s);
            for (int o = 0; o < offersPerSearch; ++o) {
                const QStringList fields{
                    QStringLiteral("%1-%2").arg(s).arg(o),
                    QStringLiteral("%1 п.").arg(5 + o % 15),
                    QStringLiteral("м. Сокольники, ул. Садовая, д. %1")
                        .arg(oneFlat ? 1 : 1 + o % 90),
                    QString::number(oneFlat ? 1 : 1 + o % 4),
                    QString::number(6 + o % 9),
                    QStringLiteral("%1 000").arg(30 + o % 70),
                    QStringLiteral("50%"),
                    QStringLiteral("%1/9").arg(oneFlat ? 1 : 1 + o % 9),
                    QStringLiteral("м/т"),
                    QStringLiteral("Ирина +7 495 %1-00-00").arg(oneFlat ? 100 : 100 + o % 900),
                    QStringLiteral("Чисто, мебель, техника"),
                    QStringLiteral("агентство"),
                    QStringLiteral("%1.11.26 %2:%3")
                        .arg(1 + o % 28, 2, 10, QLatin1Char('0'))
                        .arg(o % 24, 2, 10, QLatin1Char('0'))
                        .arg(o % 60, 2, 10, QLatin1Char('0'))};
                feed +=
                    QStringLiteral("D#") + fields.join(QLatin1Char('#')) + QStringLiteral("\r\n");
            }
        }
        QStringEncoder enc("windows-1251");
        return Inputs{enc.encode(feed)};
    };
    if (oneFlat) {
        static const Inputs oneFlatBuilt = build();
        return oneFlatBuilt;
    }
    static const Inputs built = build();
    return built;
}

// The longest the cycle holds its thread: between two committed slices, and between two turns
// of the loop the transfer runs in (seen by a zero-interval timer).
struct TurnClock {
    QElapsedTimer sinceTurn;
    qint64 longestNs = 0;
    void turn() {
        longestNs = std::max(longestNs, sinceTurn.nsecsElapsed());
        sinceTurn.restart();
    }
};

struct Host : SyncHost {
    explicit Host(TurnClock& clock) : clock(clock) {}
    TurnClock& clock;
    void setStatusText(int, const QString&) override {}
    void sliceCommitted() override { clock.turn(); }
    void showTrayBalloon(const QString& text) override { balloon = text; }
    void showNewVersionMessage(const QString&) override {}
    void suspendGrids() override {}
    void resumeGrids() override {}
    void requeryOffers() override {}
    QString balloon;
};

// The process's resident memory in bytes: now (VmRSS) or at its peak (VmHWM).
qint64 residentBytes(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').front().toLongLong() * 1024;
    }
    return 0;
}

// From here on the peak (VmHWM) counts from the memory the process holds now.
void resetPeakResident() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// The fake service in a child process (this program with --serve), so that its copy of the
// feed and its buffers do not count in this process's memory.
class ServiceProcess {
public:
    explicit ServiceProcess(bool oneFlat) {
        m_process.start(QCoreApplication::applicationFilePath(),
                        {oneFlat ? QStringLiteral("--serve-one-flat") : QStringLiteral("--serve")});
        if (m_process.waitForReadyRead(60'000))
            m_port = m_process.readLine().trimmed().toUShort();
    }
    ~ServiceProcess() {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10'000))
            m_process.kill();
    }
    quint16 port() const { return m_port; }

private:
    QProcess m_process;
    quint16 m_port = 0;
};

// A database whose history already holds `rows` listings of other flats, none of them stored
// any more (as after months of use), written by `sync_bench --write-history <path> <rows>`.
int writeHistory(const QString& path, int rows) {
    createDatabase(path);
    {
        auto db = openDatabase(path);
        FlatHistory history(*db);
        Transaction tx(*db);
        for (int i = 0; i < rows; ++i) {
            const QString id = QStringLiteral("h%1").arg(i);
            const QString address = QStringLiteral("м. Текстильщики, ул. Старая, д. %1").arg(i);
            const QString contact = QStringLiteral("Олег 8-903-%1").arg(1000000 + i % 9000000);
            history.record(id, 1, {address, u"2", u"3/9", contact}, u"45 000 р.", 46000.5,
                           1'800'000'000);
        }
        history.storePendingKeys(rows);
        tx.commit();
    }
    return 0;
}

// The file of writeHistory, built once per size and copied for each run. Built in a process of
// its own: the memory building it took, kept by this process, would hide the sync's rise of
// the peak.
QString databaseWithHistory(const QString& dir, int rows) {
    const QString path = QDir(dir).filePath(QStringLiteral("history-%1.db").arg(rows));
    if (!QFile::exists(path) &&
        QProcess::execute(QCoreApplication::applicationFilePath(),
                          {QStringLiteral("--write-history"), path, QString::number(rows)}) != 0)
        return {};
    return path;
}

void BM_WholeCycle(benchmark::State& state) {
    const int historyRows = static_cast<int>(state.range(0));
    const bool oneFlat = state.range(1) != 0;
    QTemporaryDir templates;
    test::ProxyEnvironment noProxy;
    ServiceProcess service(oneFlat);
    if (service.port() == 0) {
        state.SkipWithError("the service did not start");
        return;
    }
    const QString historyFile =
        historyRows > 0 ? databaseWithHistory(templates.path(), historyRows) : QString();
    if (historyRows > 0 && historyFile.isEmpty()) {
        state.SkipWithError("the history could not be written");
        return;
    }
    Settings settings;
    EnvironmentReport env{"0.0.1", "3.40.1.0", "6.4.2", "Linux"};
    ServiceConfig config{QStringLiteral("127.0.0.1:%1").arg(service.port()),
                         QStringLiteral("http://localhost/")};

    double longestGapMs = 0;
    double cycleMs = 0; // the longest cycle alone, its steps run one after another
    qint64 peakRiseBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir dir;
        const QString work = dir.path() + QLatin1Char('/');
        if (historyRows > 0) {
            for (const char* suffix : {"", "-wal", "-shm"})
                QFile::remove(work + QStringLiteral("db") + QLatin1String(suffix));
            QFile::copy(historyFile, work + QStringLiteral("db"));
        } else {
            createDatabase(work + QStringLiteral("db"));
        }
        keepFile(work + QStringLiteral("db"), QStringLiteral("before-%1.db").arg(historyRows));
        auto db = openDatabase(work + QStringLiteral("db"));
        TurnClock clock;
        Host host(clock);
        auto cycle = std::make_unique<SyncCycle>(
            host, SyncContext{&settings, &env, &config, work, work + "log"});
        cycle->setDatabase(db.get());
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { clock.turn(); });
        resetPeakResident();
        const qint64 residentBefore = residentBytes("VmRSS:");
        state.ResumeTiming();

        QElapsedTimer cycleTime;
        cycleTime.start();
        ticker.start(0);
        clock.sinceTurn.start();
        test::runSyncSteps(*cycle);
        ticker.stop();
        cycleMs = std::max(cycleMs, cycleTime.nsecsElapsed() / 1e6);
        const int stored = cycle->lastNewOfferCount();
        // The time counted includes the copying of the log into the file that goes on after
        // the cycle, beside the window.
        cycle.reset();

        db.reset(); // timed as before: closing the file checkpoints its log

        state.PauseTiming();
        peakRiseBytes = std::max(peakRiseBytes, residentBytes("VmHWM:") - residentBefore);
        keepFile(work + QStringLiteral("db"), QStringLiteral("after-%1.db").arg(historyRows));
        if (stored != searches * offersPerSearch)
            state.SkipWithError("not every offer was stored");
        longestGapMs = std::max(longestGapMs, clock.longestNs / 1e6);
        state.ResumeTiming();
    }
    state.counters["cycle_ms"] = cycleMs;
    state.counters["offers"] = searches * offersPerSearch;
    state.counters["longest_gap_ms"] = longestGapMs;
    state.counters["feed_MB"] = double(inputs(oneFlat).feed.size()) / (1024 * 1024);
    state.counters["peak_rss_rise_MB"] = double(peakRiseBytes) / (1024 * 1024);
    state.counters["history"] = historyRows;
    state.counters["one_flat"] = oneFlat ? 1 : 0;
}
// With a history of a million listings first: the client after months of use.
// Second argument 1: every listing of the feed is one flat; within three times the time of
// distinct flats, since each listing reads a few rows of its flat by key and date.
BENCHMARK(BM_WholeCycle)
    ->Args({1'000'000, 0})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

// The keys of a listing's flat, as the sync works them out for every listing it stores: the
// listings of the feed above, written in Latin and Cyrillic (0), or with a non-breaking blank
// in the address and full-width digits in the floor, which take the general way (1).
void BM_FlatKeys(benchmark::State& state) {
    const bool general = state.range(0) != 0;
    struct Listing {
        QString address, rooms, floor, contact;
    };
    std::vector<Listing> listings;
    for (int o = 0; o < offersPerSearch; ++o) {
        Listing l{QStringLiteral("м. Сокольники, ул. Садовая, д. %1").arg(1 + o % 90),
                  QString::number(1 + o % 4), QStringLiteral("%1/9").arg(1 + o % 9),
                  QStringLiteral("Ирина +7 495 %1-00-00").arg(100 + o % 900)};
        if (general) {
            l.address.replace(QLatin1Char(' '), QChar::Nbsp);
            l.floor = QStringLiteral("%1／９").arg(QChar(0xFF11 + o % 9));
        }
        listings.push_back(std::move(l));
    }
    std::vector<qint64> keys;
    for (auto _ : state) {
        for (const Listing& l : listings) {
            flatkey::keys({l.address, l.rooms, l.floor, l.contact}, keys);
            benchmark::DoNotOptimize(keys.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * offersPerSearch);
}
BENCHMARK(BM_FlatKeys)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

int serve(bool oneFlat) {
    test::FakeService service;
    HttpServer::Response answer;
    answer.body = inputs(oneFlat).feed;
    service.setDefaultAnswer(answer);
    std::cout << service.port() << std::endl;
    // Until the benchmark closes our input.
    for (std::string line; std::getline(std::cin, line);) {
    }
    return 0;
}

int writeInputs(const QString& dir) {
    QDir().mkpath(dir);
    QFile f(QDir(dir).filePath(QStringLiteral("feed.txt")));
    if (!f.open(QIODevice::WriteOnly) || f.write(inputs().feed) != inputs().feed.size())
        return 1;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--write-inputs") == 0)
        return writeInputs(QString::fromLocal8Bit(argv[2]));
    if (argc == 2 && std::strcmp(argv[1], "--serve") == 0)
        return serve(false);
    if (argc == 2 && std::strcmp(argv[1], "--serve-one-flat") == 0)
        return serve(true);
    if (argc == 4 && std::strcmp(argv[1], "--write-history") == 0)
        return writeHistory(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    constexpr std::string_view keepOption = "--keep-files=";
    if (argc > 1 && std::string_view(argv[1]).starts_with(keepOption)) {
        keepDir = QString::fromLocal8Bit(argv[1] + keepOption.size());
        QDir().mkpath(keepDir);
        std::copy(argv + 2, argv + argc, argv + 1);
        argv[--argc] = nullptr;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
