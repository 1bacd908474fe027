// The store under the load of a long-standing subscriber: a million offers in a thousand
// searches. The database is built once (DOMIVA_STORE_BENCH_DB) and kept for later runs. A
// second one (DOMIVA_LARGE_SEARCH_DB) holds one search of a million offers, all unread, and one
// of a thousand, for the listings model at its largest and for marking read at both sizes.

#include "app/error.h"
#include "store/database.h"
#include "store/offersmodel.h"
#include "store/statements.h"

#include "benchdata.h"
#include "rss.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSqlQuery>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <memory>

using namespace domiva;
using namespace domiva::bench;

namespace {

constexpr int searchCount = 1000;
constexpr int offersPerSearch = 1000;
constexpr int screenRows = 40;
// One offer in twenty is still unread.
constexpr int unreadEvery = 20;

const QString databasePath = QStringLiteral(DOMIVA_STORE_BENCH_DB);
std::unique_ptr<Database> openedDatabase;

constexpr int largeSearch = 1;
constexpr int largeSearchSize = 1'000'000;
constexpr int smallSearch = 2;
constexpr int smallSearchSize = 1000;
const QString largeSearchPath = QStringLiteral(DOMIVA_LARGE_SEARCH_DB);
std::unique_ptr<Database> largeDatabase;

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

// ---- The listings model on one search of a million offers ----

const int gridColumns[] = {2, 5, 4, 3, 7, 10, 11, 14};

// What a grid does to show the rows from `first` on: every shown column of a screenful.
void showScreen(const OffersModel& model, int first) {
    const int end = std::min(first + screenRows, model.rowCount());
    for (int row = first; row < end; ++row) {
        for (int column : gridColumns)
            benchmark::DoNotOptimize(model.data(model.index(row, column), Qt::DisplayRole));
    }
}

// Selecting the search: its keys read, its first screenful shown. Memory after it, and after
// every page of the search has been shown once, as the model counts it and as the process
// holds it.
void BM_LargeSearchOpen(benchmark::State& state) {
    const double rssBefore = residentMegabytes();
    double rssFirst = 0;
    double heldFirst = 0;
    for (auto _ : state) {
        state.PauseTiming();
        OffersModel model(*largeDatabase);
        state.ResumeTiming();
        model.setQueryId(largeSearch);
        showScreen(model, 0);
        state.PauseTiming();
        if (model.rowCount() != largeSearchSize)
            state.SkipWithError("rows missing");
        rssFirst = residentMegabytes();
        heldFirst = double(model.bytesHeld()) / 1e6;
        state.ResumeTiming();
    }
    state.counters["rss_before_MB"] = rssBefore;
    state.counters["rss_first_page_MB"] = rssFirst;
    state.counters["model_first_page_MB"] = heldFirst;
}
BENCHMARK(BM_LargeSearchOpen)->Unit(benchmark::kMillisecond);

void BM_LargeSearchEveryPage(benchmark::State& state) {
    for (auto _ : state) {
        OffersModel model(*largeDatabase);
        model.setQueryId(largeSearch);
        showScreen(model, 0);
        const double rssFirst = residentMegabytes();
        const double heldFirst = double(model.bytesHeld()) / 1e6;
        for (int row = 0; row < model.rowCount(); row += model.pageSize())
            benchmark::DoNotOptimize(model.data(model.index(row, 0), Qt::EditRole));
        showScreen(model, 0);
        state.counters["rss_first_page_MB"] = rssFirst;
        state.counters["rss_every_page_MB"] = residentMegabytes();
        state.counters["model_first_page_MB"] = heldFirst;
        state.counters["model_every_page_MB"] = double(model.bytesHeld()) / 1e6;
    }
}
BENCHMARK(BM_LargeSearchEveryPage)->Unit(benchmark::kMillisecond)->Iterations(1);

// Ctrl+End (the last screenful) and a screenful from the middle, on an open search whose pages
// are not held.
void BM_LargeSearchShowRows(benchmark::State& state) {
    OffersModel model(*largeDatabase);
    model.setQueryId(largeSearch);
    const int first = state.range(0) == 0 ? model.rowCount() - screenRows : model.rowCount() / 2;
    for (auto _ : state) {
        state.PauseTiming();
        model.setPageLimit(model.pageLimit()); // drops the pages held
        state.ResumeTiming();
        showScreen(model, first);
    }
}
BENCHMARK(BM_LargeSearchShowRows)
    ->Arg(0)
    ->Arg(1)
    ->ArgNames({"middle"})
    ->Unit(benchmark::kMicrosecond);

// The reference: the same rows selected as the sqlite3 shell would, through the C API: the
// search in the grid's order, skipping to the rows wanted (state.range(0) == 0: the last
// screenful; 1: the first).
void BM_EngineSelectSameRows(benchmark::State& state) {
    sqlite3* engine = nullptr;
    sqlite3_open_v2(qPrintable(largeSearchPath), &engine, SQLITE_OPEN_READONLY, nullptr);
    const QByteArray text =
        QByteArrayLiteral("SELECT id, qid, unreaded, min_obj, metro_obj, room_obj, kitch_obj, "
                          "price_obj, perc_obj, flat_obj, info_obj, cont_obj, owntxt_obj, "
                          "publ_obj, dt_obj FROM Offers WHERE qid=?1") +
        QByteArray(sql::offerKeysOrder.data(), sql::offerKeysOrder.size()) +
        QByteArrayLiteral(" LIMIT ?2 OFFSET ?3");
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(engine, text.constData(), -1, &stmt, nullptr) != SQLITE_OK) {
        state.SkipWithError(sqlite3_errmsg(engine));
        sqlite3_close(engine);
        return;
    }
    const int offset = state.range(0) == 0 ? largeSearchSize - screenRows : 0;
    for (auto _ : state) {
        sqlite3_bind_int(stmt, 1, largeSearch);
        sqlite3_bind_int(stmt, 2, screenRows);
        sqlite3_bind_int(stmt, 3, offset);
        int rows = 0;
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int column = 0; column < 15; ++column)
                benchmark::DoNotOptimize(sqlite3_column_text(stmt, column));
            ++rows;
        }
        sqlite3_reset(stmt);
        if (rows != screenRows)
            state.SkipWithError("rows missing");
    }
    sqlite3_finalize(stmt);
    sqlite3_close(engine);
}
BENCHMARK(BM_EngineSelectSameRows)
    ->Arg(0)
    ->Arg(1)
    ->ArgNames({"first"})
    ->Unit(benchmark::kMicrosecond);

// Marking one offer read in a search of a million unread offers (state.range(0) == 1) and in
// one of a thousand (2); the mark is put back outside the timing.
void BM_MarkReadBySearchSize(benchmark::State& state) {
    const int search = static_cast<int>(state.range(0));
    const int size = search == largeSearch ? largeSearchSize : smallSearchSize;
    QSqlQuery restore(largeDatabase->connection());
    restore.prepare(QStringLiteral("UPDATE Offers SET unreaded=1 WHERE id=?"));
    for (auto _ : state) {
        const QString id = offerId(search, static_cast<int>((state.iterations() * 7919) % size));
        benchmark::DoNotOptimize(largeDatabase->markOfferRead(id, search));
        state.PauseTiming();
        restore.addBindValue(id);
        restore.exec();
        restore.finish();
        largeDatabase->markQueryUnread(search);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_MarkReadBySearchSize)
    ->Arg(largeSearch)
    ->Arg(smallSearch)
    ->ArgNames({"search"})
    ->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    QCoreApplication app(argc, argv);
    try {
        if (!QFileInfo::exists(databasePath)) {
            std::vector<std::pair<int, int>> searches;
            for (int search = 1; search <= searchCount; ++search)
                searches.emplace_back(search, offersPerSearch);
            buildDatabase(databasePath, searches, unreadEvery);
        }
        openedDatabase = openDatabase(databasePath);
        if (!QFileInfo::exists(largeSearchPath))
            buildDatabase(largeSearchPath,
                          {{largeSearch, largeSearchSize}, {smallSearch, smallSearchSize}}, 1);
        largeDatabase = openDatabase(largeSearchPath);
    } catch (const Error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    largeDatabase.reset();
    openedDatabase.reset();
    return 0;
}
