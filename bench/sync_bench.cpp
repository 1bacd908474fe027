// One whole sync cycle over loopback: a feed of 100,000 offers in 100 searches, served by the
// in-process fake service and applied to a fresh database. Reports the cycle's time and the
// longest gap between two turns of the event loop (the time the window could not repaint).
//
// `sync_bench --write-inputs <dir>` writes the same feed (feed.txt) and its rows as
// tab-separated text (offers.tsv) for the comparison with curl and the sqlite3 shell, see
// bench/compare-sync.

#include "app/error.h"
#include "env/environment.h"
#include "settings/settings.h"
#include "store/database.h"
#include "support/fakeservice.h"
#include "support/netutil.h"
#include "sync/refreshtimer.h"
#include "sync/synccycle.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

using namespace domiva;

namespace {

constexpr int searches = 100;
constexpr int offersPerSearch = 1000;

struct Inputs {
    QByteArray feed; // Windows-1251, CR LF
    QByteArray tsv;  // UTF-8, one offer per line
};

const Inputs& inputs() {
    static const Inputs built = [] {
        QString feed;
        QString tsv;
        feed.reserve(searches * offersPerSearch * 130);
        for (int s = 1; s <= searches; ++s) {
            feed += QStringLiteral("R#%1#Поиск номер %1\r\n").arg(s);
            for (int o = 0; o < offersPerSearch; ++o) {
                const QStringList fields{
                    QStringLiteral("%1-%2").arg(s).arg(o),
                    QStringLiteral("%1 п.").arg(5 + o % 15),
                    QStringLiteral("м. Сокольники, ул. Садовая, д. %1").arg(1 + o % 90),
                    QString::number(1 + o % 4),
                    QString::number(6 + o % 9),
                    QStringLiteral("%1 000").arg(30 + o % 70),
                    QStringLiteral("50%"),
                    QStringLiteral("%1/9").arg(1 + o % 9),
                    QStringLiteral("м/т"),
                    QStringLiteral("Ирина +7 495 %1-00-00").arg(100 + o % 900),
                    QStringLiteral("Чисто, мебель, техника"),
                    QStringLiteral("агентство"),
                    QStringLiteral("%1.11.26 %2:%3")
                        .arg(1 + o % 28, 2, 10, QLatin1Char('0'))
                        .arg(o % 24, 2, 10, QLatin1Char('0'))
                        .arg(o % 60, 2, 10, QLatin1Char('0'))};
                feed +=
                    QStringLiteral("D#") + fields.join(QLatin1Char('#')) + QStringLiteral("\r\n");
                tsv += fields.first() + QLatin1Char('\t') + QString::number(s) +
                       QStringLiteral("\t1\t") + fields.mid(1, 11).join(QLatin1Char('\t')) +
                       QLatin1Char('\t') + fields.last() + QLatin1Char('\n');
            }
        }
        QStringEncoder enc("windows-1251");
        return Inputs{enc.encode(feed), tsv.toUtf8()};
    }();
    return built;
}

// A turn of the event loop: the window's own turns (processEvents) and those of the loop the
// transfer runs in (seen by a zero-interval timer).
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
    void setWaitCursor(bool) override {}
    void processEvents() override {
        QCoreApplication::processEvents();
        clock.turn();
    }
    void showTrayBalloon(const QString& text) override { balloon = text; }
    void showNewVersionMessage(const QString&) override {}
    void suspendGrids() override {}
    void resumeGrids() override {}
    void requeryOffers() override {}
    QString balloon;
};

void BM_WholeCycle(benchmark::State& state) {
    test::ProxyEnvironment noProxy;
    test::FakeService service;
    HttpServer::Response answer;
    answer.body = inputs().feed;
    service.setDefaultAnswer(answer);
    Settings settings;
    EnvironmentReport env{"0.0.1", "3.40.1.0", "6.4.2", "Linux"};
    ServiceConfig config{service.hostAndPort(), QStringLiteral("http://localhost/")};

    double longestGapMs = 0;
    for (auto _ : state) {
        state.PauseTiming();
        QTemporaryDir dir;
        const QString work = dir.path() + QLatin1Char('/');
        createDatabase(work + QStringLiteral("db"));
        auto db = openDatabase(work + QStringLiteral("db"));
        TurnClock clock;
        Host host(clock);
        RefreshTimer timer;
        SyncCycle cycle(host, timer, SyncContext{&settings, &env, &config, work, work + "log"});
        cycle.setDatabase(db.get());
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] { clock.turn(); });
        state.ResumeTiming();

        ticker.start(0);
        clock.sinceTurn.start();
        cycle.downloadAndParse(false);
        ticker.stop();

        state.PauseTiming();
        if (cycle.lastNewOfferCount() != searches * offersPerSearch)
            state.SkipWithError("not every offer was stored");
        longestGapMs = std::max(longestGapMs, clock.longestNs / 1e6);
        state.ResumeTiming();
    }
    state.counters["offers"] = searches * offersPerSearch;
    state.counters["longest_gap_ms"] = longestGapMs;
}
BENCHMARK(BM_WholeCycle)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

int writeInputs(const QString& dir) {
    QDir().mkpath(dir);
    for (const auto& [name, bytes] :
         {std::pair{"feed.txt", inputs().feed}, std::pair{"offers.tsv", inputs().tsv}}) {
        QFile f(QDir(dir).filePath(QString::fromLatin1(name)));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--write-inputs") == 0)
        return writeInputs(QString::fromLocal8Bit(argv[2]));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
