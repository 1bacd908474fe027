// The store under the load of a long-standing subscriber: a million offers in a thousand
// searches. The database is built once (DOMIVA_STORE_BENCH_DB) and kept for later runs.

#include "app/datetimevalue.h"
#include "app/error.h"
#include "store/database.h"
#include "store/offersmodel.h"

#include <QCoreApplication>
#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTime>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

using namespace domiva;

namespace {

constexpr int searchCount = 1000;
constexpr int offersPerSearch = 1000;
constexpr int screenRows = 40;
// One offer in twenty is still unread.
constexpr int unreadEvery = 20;

const QString databasePath = QStringLiteral(DOMIVA_STORE_BENCH_DB);
std::unique_ptr<Database> openedDatabase;

QString offerId(int search, int offer) {
    return QStringLiteral("%1-%2").arg(search).arg(offer);
}

OfferRow makeOffer(int search, int offer) {
    static const QStringList stations{QStringLiteral("Тверская"), QStringLiteral("Арбатская"),
                                      QStringLiteral("Сокольники"), QStringLiteral("Таганская"),
                                      QStringLiteral("Юго-Западная")};
    const QString station = stations.at(offer % stations.size());
    OfferRow row;
    row.id = offerId(search, offer);
    row.qid = search;
    row.texts = {QStringLiteral("%1 п.").arg(5 + offer % 15),
                 QStringLiteral("м. %1, ул. Садовая, д. %2, кв. %3")
                     .arg(station)
                     .arg(1 + offer % 90)
                     .arg(1 + offer % 300),
                 QString::number(1 + offer % 4),
                 QString::number(6 + offer % 9),
                 QStringLiteral("%1 000").arg(30 + offer % 70),
                 QStringLiteral("50%"),
                 QStringLiteral("%1/%2").arg(1 + offer % 9).arg(9 + offer % 8),
                 QStringLiteral("м/т"),
                 QStringLiteral("+7 495 %1-%2-%3")
                     .arg(100 + offer % 900)
                     .arg(10 + offer % 90)
                     .arg(10 + search % 90),
                 QStringLiteral("Чистая квартира, мебель, техника, рядом парк. Без животных."),
                 QStringLiteral("агентство №%1").arg(search % 50)};
    // Spread over three months, a few offers sharing a minute.
    row.dt_obj = toDateTimeValue(QDate(2024, 1, 1).addDays(offer % 90),
                                 QTime(8 + offer % 12, (offer * 7) % 60));
    return row;
}

void buildDatabase(const QString& path) {
    const QString building = path + QStringLiteral(".building");
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        QFile::remove(building + QLatin1String(suffix));
    std::fprintf(stderr, "Building %s with %d offers...\n", qPrintable(path),
                 searchCount * offersPerSearch);
    QElapsedTimer timer;
    timer.start();
    createDatabase(building);
    {
        auto db = openDatabase(building);
        Transaction transaction(*db);
        for (int search = 1; search <= searchCount; ++search) {
            db->insertQuery(search, QStringLiteral("Поиск %1").arg(search));
            for (int offer = 0; offer < offersPerSearch; ++offer) {
                if (!db->insertOffer(makeOffer(search, offer)))
                    throw Error(QStringLiteral("duplicate offer id"));
            }
        }
        QSqlQuery read(db->connection());
        if (!read.exec(QStringLiteral("UPDATE Offers SET unreaded=0 WHERE rowid % %1 != 1")
                           .arg(unreadEvery)))
            throw Error(QStringLiteral("cannot mark the offers read"));
        read.finish();
        transaction.commit();
        QSqlQuery checkpoint(db->connection());
        checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    }
    if (!QFile::rename(building, path))
        throw Error(QStringLiteral("cannot rename %1").arg(building));
    std::fprintf(stderr, "Built in %.1f s\n", double(timer.elapsed()) / 1000.0);
}

int searchOf(benchmark::State& state) {
    return 1 + static_cast<int>((state.iterations() * 379) % searchCount);
}

void BM_OpenDatabase(benchmark::State& state) {
    for (auto _ : state) {
        auto db = openDatabase(databasePath);
        benchmark::DoNotOptimize(db.get());
    }
}
BENCHMARK(BM_OpenDatabase)->Unit(benchmark::kMicrosecond);

// Selecting a search: its offers newest first, the first screenful read as the grid shows it.
void BM_OpenSearchFirstScreen(benchmark::State& state) {
    OffersModel model(*openedDatabase);
    const int columns[] = {2, 5, 4, 3, 7, 10, 11, 14}; // the grid's columns
    for (auto _ : state) {
        model.setQueryId(searchOf(state));
        const int rows = std::min(screenRows, model.rowCount());
        for (int row = 0; row < rows; ++row) {
            for (int column : columns)
                benchmark::DoNotOptimize(model.data(model.index(row, column), Qt::DisplayRole));
        }
        if (rows != screenRows)
            state.SkipWithError("search without offers");
    }
}
BENCHMARK(BM_OpenSearchFirstScreen)->Unit(benchmark::kMicrosecond);

// Scrolling to the end of a search, every row read.
void BM_ReadWholeSearch(benchmark::State& state) {
    OffersModel model(*openedDatabase);
    for (auto _ : state) {
        model.setQueryId(searchOf(state));
        for (int row = 0; row < model.rowCount(); ++row)
            benchmark::DoNotOptimize(model.data(model.index(row, 0), Qt::EditRole));
        if (model.rowCount() != offersPerSearch)
            state.SkipWithError("rows missing");
    }
}
BENCHMARK(BM_ReadWholeSearch)->Unit(benchmark::kMillisecond);

void BM_AnyUnread(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(openedDatabase->hasUnreadOffers(searchOf(state)));
}
BENCHMARK(BM_AnyUnread)->Unit(benchmark::kMicrosecond);

// Opening an offer: the offer read, its search's flags updated, the unread ones counted.
// The marks are put back afterwards so that the next run finds the same database.
void BM_MarkOfferRead(benchmark::State& state) {
    std::vector<std::pair<QString, int>> touched;
    for (auto _ : state) {
        const int search = searchOf(state);
        const QString id = offerId(search, static_cast<int>(state.iterations() % offersPerSearch));
        benchmark::DoNotOptimize(openedDatabase->markOfferRead(id, search));
        state.PauseTiming();
        touched.emplace_back(id, search);
        state.ResumeTiming();
    }
    Transaction restore(*openedDatabase);
    QSqlQuery query(openedDatabase->connection());
    query.prepare(QStringLiteral("UPDATE Offers SET unreaded=1 WHERE id=? AND rowid % ? = 1"));
    for (const auto& [id, search] : touched) {
        query.addBindValue(id);
        query.addBindValue(unreadEvery);
        query.exec();
        openedDatabase->markQueryUnread(search);
    }
    query.finish();
    restore.commit();
}
BENCHMARK(BM_MarkOfferRead)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    QCoreApplication app(argc, argv);
    try {
        if (!QFileInfo::exists(databasePath))
            buildDatabase(databasePath);
        openedDatabase = openDatabase(databasePath);
    } catch (const Error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    openedDatabase.reset();
    return 0;
}
