// The store under the load of a long-standing subscriber: a million offers in a thousand
// searches. The database is built once (DOMIVA_STORE_BENCH_DB) and kept for later runs. A
// second one (DOMIVA_LARGE_SEARCH_DB) holds one search of a million offers, all unread, and one
// of a thousand, for the listings model at its largest and for marking read at both sizes
// (those benchmarks are in store_bench_grid.cpp).
//
// `store_bench --write-filled <file>` writes a copy of the file BM_FillHistory fills, with its
// history filled in one transaction, for the comparison with the sqlite3 shell in
// bench/compare-fill.

#include "core/error.h"
#include "store/csvexport.h"
#include "store/database.h"
#include "store/flathistory.h"
#include "store/offercounts.h"
#include "store/offerfilter.h"
#include "store/offersmodel.h"
#include "store/readmarks.h"
#include "store/statements.h"
#include "store/writeslice.h"

#include "benchdata.h"
#include "logcopy.h"
#include "rss.h"
#include "storebench.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTime>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <memory>

using namespace domiva;
using namespace domiva::bench;

namespace {

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

// ---------------------------------------------------------------------------------------------
// Working through one big search: a file of a million offers of which one search holds
// 200,000 (DOMIVA_STORE_BENCH_DB + "-big", built on first use and kept).

constexpr int bigSearch = 1;
constexpr int bigSearchOffers = 200000;
constexpr int otherSearches = 800;
// One offer of the big search in 10,000 carries a rare word in its comments.
constexpr int rareEvery = 10000;
const QString rareWord = QStringLiteral("ПАРКОВКА");
// A word of one offer in five, typed in another letter case than it is stored.
const QString commonWord = QStringLiteral("сокольники");

std::unique_ptr<Database> bigDatabase;

Database& bigSearchDatabase() {
    if (bigDatabase)
        return *bigDatabase;
    const QString path = databasePath + QStringLiteral("-big");
    if (!QFileInfo::exists(path)) {
        const QString building = path + QStringLiteral(".building");
        for (const char* suffix : {"", "-wal", "-shm", "-journal"})
            QFile::remove(building + QLatin1String(suffix));
        std::fprintf(stderr, "Building %s...\n", qPrintable(path));
        createDatabase(building);
        {
            auto db = openDatabase(building);
            Transaction transaction(*db);
            db->storeQuery(bigSearch, QStringLiteral("Большой поиск"));
            for (int search = 2; search <= otherSearches + 1; ++search)
                db->storeQuery(search, QStringLiteral("Поиск %1").arg(search));
            // As the syncs store them: in the order they appeared, every fifth one of the big
            // search, a minute apart.
            const double start = toDateTimeValue(QDate(2023, 1, 1), QTime(0, 0));
            const int total = bigSearchOffers + otherSearches * offersPerSearch;
            for (int i = 0; i < total; ++i) {
                const bool big = i % 5 == 0;
                const int search = big ? bigSearch : 2 + (i / 5) % otherSearches;
                const int offer = big ? i / 5 : i;
                OfferRow row = makeOffer(search, offer);
                if (big && offer % rareEvery == rareEvery / 2)
                    row.texts[9] += QStringLiteral(" Есть парковка.");
                row.dt_obj = start + i / 1440.0;
                db->insertOffer(row);
            }
            transaction.commit();
            QSqlQuery checkpoint(db->connection());
            checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        }
        if (!QFile::rename(building, path))
            throw Error(QStringLiteral("cannot rename %1").arg(building));
    }
    bigDatabase = openDatabase(path);
    return *bigDatabase;
}

void runOrThrow(Database& db, const QString& statement) {
    QSqlQuery query(db.connection());
    if (!query.exec(statement))
        throw Error(statement);
    query.finish();
}

// All 200,000 offers of the search unread, then all read at once.
void BM_MarkSearchRead(benchmark::State& state) {
    Database& db = bigSearchDatabase();
    for (auto _ : state) {
        state.PauseTiming();
        runOrThrow(db, QStringLiteral("UPDATE Offers SET unreaded=1 WHERE qid=%1").arg(bigSearch));
        // As after a sync long past: the log copied into the file, not still being copied
        // beside the command.
        bench::copyLogIntoFile(db);
        state.ResumeTiming();
        markQueryRead(db, bigSearch, int(state.range(0)));
    }
    // window_bench marks the same search read in a copy of this file.
    runOrThrow(db, QStringLiteral("UPDATE Offers SET unreaded=1 WHERE qid=%1").arg(bigSearch));
    runOrThrow(
        db, QStringLiteral("UPDATE Queries SET updated=1, unreaded=1 WHERE id=%1").arg(bigSearch));
    bench::copyLogIntoFile(db);
}
BENCHMARK(BM_MarkSearchRead)
    ->Arg(sliceRowsByTime)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// A fresh copy of the big-search file at `copy`, whatever stood there before.
void copyBigSearchDatabase(const QString& copy) {
    const QString source = (bigSearchDatabase(), databasePath + QStringLiteral("-big"));
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::remove(copy + QLatin1String(suffix));
    if (!QFile::copy(source, copy))
        throw Error(QStringLiteral("cannot copy %1").arg(source));
}

// Ctrl+F2 on the million: 0 = the two deletions on the program's connection as they were,
// 1 = clearDatabaseFile beside it (freed pages not zeroed, the history kept and not copied,
// the log cut back). Each
// iteration empties a fresh copy of the file; the counters give the file and its log after.
void BM_ClearDatabase(benchmark::State& state) {
    const QString copy = databasePath + QStringLiteral("-clear");
    qint64 fileBytes = 0;
    qint64 logBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        copyBigSearchDatabase(copy);
        auto db = openDatabase(copy);
        db->queryIds(); // the program's connection has read the file, as after start-up
        state.ResumeTiming();
        if (state.range(0) == 0) {
            Transaction transaction(*db);
            runOrThrow(*db, sql::deleteAllOffers);
            runOrThrow(*db, sql::deleteAllQueries);
            transaction.commit();
        } else
            clearDatabaseFile(copy);
        state.PauseTiming();
        fileBytes = QFileInfo(copy).size();
        logBytes = QFileInfo(copy + QStringLiteral("-wal")).size();
        db.reset();
        state.ResumeTiming();
    }
    state.counters["file_MiB"] = double(fileBytes) / (1 << 20);
    state.counters["log_MiB"] = double(logBytes) / (1 << 20);
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::remove(copy + QLatin1String(suffix));
}
BENCHMARK(BM_ClearDatabase)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(2);

// The first start with a file of a million listings from before the client kept a history:
// the data thread remembers them all, a chunk at a time, as the sync cycle does. Counters: the
// longest the thread held the file between two commits, and how much the file grew (its log
// copied in).
void BM_FillHistory(benchmark::State& state) {
    const QString copy = databasePath + QStringLiteral("-fill");
    double longestMs = 0;
    double growth = 0;
    qint64 longestLog = 0;
    for (auto _ : state) {
        state.PauseTiming();
        copyBigSearchDatabase(copy);
        auto db = openDatabase(copy);
        db->setCacheKiB(FlatHistory::fillCacheKiB);
        const double before = double(QFileInfo(copy).size());
        auto history = std::make_unique<FlatHistory>(*db);
        state.ResumeTiming();
        // As the sync slices it (SyncCycle::prepareHistory and nextSlice).
        WriteSlice slice(WriteSlice::defaultBudgetMs);
        QElapsedTimer transactionTime;
        transactionTime.start();
        auto transaction = std::make_unique<Transaction>(*db);
        while (!history->fillSome(1'800'000'000, FlatHistory::fillChunkRows)) {
            if (slice.due()) {
                slice.commit([&] { transaction->commit(); });
                longestMs = std::max(longestMs, transactionTime.nsecsElapsed() / 1e6);
                if (db->logIsLong())
                    db->letLogCatchUp();
                longestLog = std::max(longestLog, QFileInfo(copy + QStringLiteral("-wal")).size());
                transaction = std::make_unique<Transaction>(*db);
                transactionTime.restart();
                slice.start();
            }
        }
        transaction->commit();
        longestMs = std::max(longestMs, transactionTime.nsecsElapsed() / 1e6);
        state.PauseTiming();
        bench::copyLogIntoFile(*db);
        history.reset(); // before the connection it uses
        db.reset();
        growth = double(QFileInfo(copy).size()) / before - 1;
        state.ResumeTiming();
    }
    state.counters["longest_slice_ms"] = longestMs;
    state.counters["file_growth_pct"] = growth * 100;
    state.counters["largest_log_MB"] = double(longestLog) / (1 << 20);
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::remove(copy + QLatin1String(suffix));
}
BENCHMARK(BM_FillHistory)->Unit(benchmark::kMillisecond)->Iterations(1);

int writeFilled(const QString& path) {
    copyBigSearchDatabase(path);
    bigDatabase.reset();
    fillHistoryAtOnce(*openDatabase(path));
    return 0;
}

void BM_UnreadCounts(benchmark::State& state) {
    Database& db = bigSearchDatabase();
    for (auto _ : state)
        benchmark::DoNotOptimize(offerCounts(db, bigSearch));
}
BENCHMARK(BM_UnreadCounts)->Unit(benchmark::kMillisecond);

// The quick filter through the listings model, all matches read in one statement as it once
// was: typed text to the first screen shown (the reference for BM_FilterSlices).
void BM_FilterFirstScreen(benchmark::State& state) {
    Database& db = bigSearchDatabase();
    OffersModel model(db);
    model.setFilterSlice(0, 0);
    model.setQueryId(bigSearch);
    const QString word = state.range(0) == 0 ? rareWord : commonWord;
    for (auto _ : state) {
        model.setFilter(word);
        const int rows = std::min(screenRows, model.rowCount());
        for (int row = 0; row < rows; ++row)
            benchmark::DoNotOptimize(model.data(model.index(row, 4), Qt::DisplayRole));
        if (rows == 0)
            state.SkipWithError("nothing found");
    }
    state.SetLabel(state.range(0) == 0 ? "rare word" : "common word");
}
BENCHMARK(BM_FilterFirstScreen)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The quick filter as the window runs it, a slice of the search per turn of the event loop:
// the time from the typed text to the first match shown, to the first screen (a screenful of
// matches, or the end of the search when it has fewer), to the whole search looked at (the
// benchmark's time), and the longest turn the window waited for (worst of the iterations).
void BM_FilterSlices(benchmark::State& state) {
    Database& db = bigSearchDatabase();
    OffersModel model(db);
    model.setQueryId(bigSearch);
    const QString word = state.range(0) == 0 ? rareWord : commonWord;
    double keystrokeMs = 0; // the turn of the keystroke itself: the first slice
    double firstRowMs = 0;
    double firstScreenMs = 0;
    double longestTurnMs = 0;
    for (auto _ : state) {
        QElapsedTimer clock;
        clock.start();
        model.setFilter(word);
        qint64 longest = clock.nsecsElapsed();
        keystrokeMs = std::max(keystrokeMs, double(longest) / 1e6);
        qint64 firstScreen = -1;
        qint64 firstRow = -1;
        for (;;) {
            if (firstRow < 0 && model.rowCount() > 0) {
                benchmark::DoNotOptimize(model.data(model.index(0, 4), Qt::DisplayRole));
                firstRow = clock.nsecsElapsed();
            }
            if (firstScreen < 0 && (model.rowCount() >= screenRows || !model.filterScanning())) {
                const int rows = std::min(screenRows, model.rowCount());
                for (int row = 0; row < rows; ++row)
                    benchmark::DoNotOptimize(model.data(model.index(row, 4), Qt::DisplayRole));
                firstScreen = clock.nsecsElapsed();
            }
            if (!model.filterScanning())
                break;
            const qint64 before = clock.nsecsElapsed();
            QCoreApplication::processEvents();
            longest = std::max(longest, clock.nsecsElapsed() - before);
        }
        firstScreenMs = std::max(firstScreenMs, double(firstScreen) / 1e6);
        firstRowMs = std::max(firstRowMs, double(firstRow) / 1e6);
        longestTurnMs = std::max(longestTurnMs, double(longest) / 1e6);
        if (model.rowCount() == 0)
            state.SkipWithError("nothing found");
    }
    state.counters["keystroke_turn_ms"] = keystrokeMs;
    state.counters["first_row_ms_max"] = firstRowMs;
    state.counters["first_screen_ms_max"] = firstScreenMs;
    state.counters["longest_turn_ms"] = longestTurnMs;
    state.counters["found"] = model.rowCount();
    state.SetLabel(state.range(0) == 0 ? "rare word" : "common word");
}
BENCHMARK(BM_FilterSlices)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The ways of matching compared on the whole search (every match counted, the worst case of
// any first screen): 0 the Unicode-folding function, 1 the engine's LIKE (ASCII letters only,
// so it misses the common word's capitals: a reference, not a candidate), 2 an FTS5 trigram
// index over the eight fields.
void ensureTrigramIndex(Database& db) {
    QSqlQuery probe(db.connection());
    if (probe.exec(QStringLiteral("SELECT 1 FROM OffersTrigram LIMIT 0"))) {
        probe.finish();
        return;
    }
    probe.finish();
    std::fprintf(stderr, "Building the trigram index...\n");
    QElapsedTimer timer;
    timer.start();
    runOrThrow(db,
               QStringLiteral("CREATE VIRTUAL TABLE OffersTrigram USING fts5(min_obj, metro_obj, "
                              "price_obj, perc_obj, flat_obj, cont_obj, owntxt_obj, publ_obj, "
                              "content='Offers', content_rowid='rowid', tokenize='trigram')"));
    runOrThrow(db, QStringLiteral("INSERT INTO OffersTrigram(OffersTrigram) VALUES('rebuild')"));
    std::fprintf(stderr, "Built in %.1f s\n", double(timer.elapsed()) / 1000.0);
}

void BM_FilterWholeSearch(benchmark::State& state) {
    Database& db = bigSearchDatabase();
    const int method = static_cast<int>(state.range(0));
    const QString word = state.range(1) == 0 ? rareWord : commonWord;
    QString statement;
    QVariant value;
    switch (method) {
    case 0:
        offerfilter::install(db);
        statement = QStringLiteral("SELECT COUNT(*) FROM Offers WHERE qid=? AND ") +
                    offerfilter::condition();
        value = offerfilter::bindValue(word);
        break;
    case 1:
        statement = QStringLiteral(
            "SELECT COUNT(*) FROM Offers WHERE qid=? AND (min_obj LIKE ? OR metro_obj LIKE ? "
            "OR price_obj LIKE ? OR perc_obj LIKE ? OR flat_obj LIKE ? OR cont_obj LIKE ? "
            "OR owntxt_obj LIKE ? OR publ_obj LIKE ?)");
        value = QStringLiteral("%") + word + QStringLiteral("%");
        break;
    default:
        ensureTrigramIndex(db);
        statement = QStringLiteral("SELECT COUNT(*) FROM Offers WHERE qid=? AND rowid IN "
                                   "(SELECT rowid FROM OffersTrigram WHERE OffersTrigram MATCH ?)");
        value = QStringLiteral("\"") + word + QStringLiteral("\"");
        break;
    }
    qint64 found = 0;
    for (auto _ : state) {
        QSqlQuery query(db.connection());
        query.setForwardOnly(true);
        if (!query.prepare(statement))
            throw Error(statement);
        query.addBindValue(bigSearch);
        for (int i = method == 1 ? 8 : 1; i > 0; --i)
            query.addBindValue(value);
        if (!query.exec() || !query.next())
            throw Error(statement);
        found = query.value(0).toLongLong();
        query.finish();
    }
    static const char* const names[] = {"unicode function", "ASCII LIKE", "FTS5 trigram"};
    state.SetLabel(
        QStringLiteral("%1, %2 found").arg(QLatin1String(names[method])).arg(found).toStdString());
}
BENCHMARK(BM_FilterWholeSearch)->ArgsProduct({{0, 1, 2}, {0, 1}})->Unit(benchmark::kMillisecond);

void BM_ExportSearch(benchmark::State& state) {
    Database& db = bigSearchDatabase();
    QTemporaryDir folder;
    const QStringList header{
        QStringLiteral("Трансп."),     QStringLiteral("Адрес"), QStringLiteral("Комнат"),
        QStringLiteral("Кухня"),       QStringLiteral("Цена"),  QStringLiteral("Комиссия"),
        QStringLiteral("Этаж"),        QStringLiteral("м/т"),   QStringLiteral("Контакт"),
        QStringLiteral("Комментарии"), QStringLiteral("автор"), QStringLiteral("дата/время")};
    // Words of about the window's length, so that the earlier appearances are read and written
    // as the window's export reads and writes them.
    const EarlierWording earlier = [](const std::vector<FlatHistory::Appearance>& appearances) {
        QStringList parts;
        for (const FlatHistory::Appearance& a : appearances)
            parts.append(QString::number(a.dt, 'f', 4) + QStringLiteral(" — ") + a.price +
                         (a.opened ? QStringLiteral(" (просмотрено)") : QString()));
        return parts.join(QStringLiteral("; "));
    };
    for (auto _ : state) {
        OfferCsvExport csv(db, bigSearch, folder.filePath(QStringLiteral("out.csv")), header,
                           earlier);
        while (csv.writeChunk(2000)) {
        }
        csv.commit();
        if (csv.written() != bigSearchOffers)
            state.SkipWithError("rows missing");
    }
}
BENCHMARK(BM_ExportSearch)->Unit(benchmark::kMillisecond)->Iterations(2);
} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write-filled") == 0) {
        QCoreApplication app(argc, argv);
        try {
            return writeFilled(QString::fromLocal8Bit(argv[2]));
        } catch (const Error& error) {
            std::fprintf(stderr, "%s\n", error.what());
            return 1;
        }
    }
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
    bigDatabase.reset();
    return 0;
}
