// store_bench, second part: the listings model on one search of a million offers, and a flat
// posted a thousand times (the files are built and opened by store_bench.cpp's main).

#include "store/database.h"
#include "store/flathistory.h"
#include "store/offersmodel.h"
#include "store/statements.h"

#include "benchdata.h"
#include "rss.h"
#include "storebench.h"

#include <QFile>
#include <QSqlQuery>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

using namespace domiva;
using namespace domiva::bench;

namespace {

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

// ---- A flat posted a thousand times ----

// A file of two searches of 1000 listings each, the history recorded as a sync records it: in
// search 1 every listing is one flat posted a thousand times, a day apart; in search 2 each is
// a flat of its own.
const QString& oneFlatDatabasePath() {
    static const QString path = [] {
        const QString built = databasePath + QStringLiteral("-one-flat");
        for (const char* suffix : {"", "-wal", "-shm"})
            QFile::remove(built + QLatin1String(suffix));
        createDatabase(built);
        auto db = openDatabase(built);
        FlatHistory history(*db);
        Transaction tx(*db);
        for (int search = 1; search <= 2; ++search) {
            db->storeQuery(search, QStringLiteral("Поиск %1").arg(search));
            for (int i = 0; i < 1000; ++i) {
                const bool one = search == 1;
                OfferRow row{QStringLiteral("%1-%2").arg(search).arg(i), search, {}, 46000.0 + i};
                row.texts[1] = QStringLiteral("м. Сокольники, ул. Садовая, д. %1").arg(one ? 1 : i);
                row.texts[2] = QStringLiteral("2");
                row.texts[4] = QStringLiteral("%1 000").arg(30 + i % 70);
                row.texts[6] = QStringLiteral("3/9");
                row.texts[8] = QStringLiteral("Ирина +7 495 %1-00-00").arg(one ? 100 : 100 + i);
                db->insertOffer(row);
                history.record(row.id, search,
                               {row.texts[1], row.texts[2], row.texts[6], row.texts[8]},
                               row.texts[4], row.dt_obj, 1'800'000'000);
            }
        }
        history.storePendingKeys(1'000'000);
        tx.commit();
        return built;
    }();
    return path;
}

// A page of the grid read from the middle of the search (rows, earlier appearances, marks): the
// flat posted a thousand times (1) against distinct flats (0), within twice the time.
void BM_OneFlatPage(benchmark::State& state) {
    auto db = openDatabase(oneFlatDatabasePath());
    const int search = state.range(0) == 1 ? 1 : 2;
    for (auto _ : state) {
        state.PauseTiming();
        OffersModel model(*db);
        model.setQueryId(search);
        state.ResumeTiming();
        showScreen(model, model.rowCount() / 2);
    }
    state.counters["one_flat"] = double(state.range(0));
}
BENCHMARK(BM_OneFlatPage)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

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
