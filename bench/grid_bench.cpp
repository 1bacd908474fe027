// The client's memory on a large file, end to end: the listings grid of the main window (its
// model, its view and its cell drawing, on the offscreen platform) shows a search of 200,000
// offers in a file of 1,000,000, and the user goes to its end and back (Ctrl+End, Ctrl+Home).
// The same grid on an empty file is the reference. Each case must run in a process of its own
// (bench/compare-grid-memory does that), so that neither inherits the other's heap.

#include "core/error.h"
#include "store/database.h"
#include "store/offersmodel.h"
#include "ui/datagrid.h"
#include "ui/griddelegates.h"
#include "ui/mainwindow.h"

#include "benchdata.h"
#include "rss.h"

#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

using namespace domiva;
using namespace domiva::bench;

namespace {

constexpr int shownSearch = 1;
constexpr int shownSearchSize = 200'000;
constexpr int otherSearches = 800;
constexpr int offersPerOtherSearch = 1000;
const QString largeFilePath = QStringLiteral(DOMIVA_GRID_BENCH_DB);

void press(QWidget* widget, int key, Qt::KeyboardModifiers modifiers) {
    QKeyEvent event(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(widget, &event);
    QApplication::processEvents();
}

// state.range(0): 0 = an empty file, 1 = the large one.
void BM_GridAfterEndAndHome(benchmark::State& state) {
    QTemporaryDir dir;
    QString path = largeFilePath;
    if (state.range(0) == 0) {
        path = dir.filePath(QStringLiteral("db"));
        createDatabase(path);
    } else if (!QFileInfo::exists(path)) {
        std::vector<std::pair<int, int>> searches{{shownSearch, shownSearchSize}};
        for (int search = 2; search < 2 + otherSearches; ++search)
            searches.emplace_back(search, offersPerOtherSearch);
        buildDatabase(path, searches, 1);
    }
    for (auto _ : state) {
        auto db = openDatabase(path);
        OffersModel model(*db);
        DataGrid grid;
        grid.setItemDelegate(new OffersDelegate(&grid));
        grid.setGridLines(DataGrid::GridLines::BetweenRows);
        grid.setModel(&model);
        grid.showFields(TfrmMain::offerFields());
        grid.resize(793, 265);
        grid.show();
        QApplication::processEvents();
        model.setQueryId(shownSearch);
        grid.setCurrentIndex(model.index(0, 2));
        QApplication::processEvents();
        press(&grid, Qt::Key_End, Qt::ControlModifier);
        const int lastRow = grid.currentIndex().row();
        press(&grid, Qt::Key_Home, Qt::ControlModifier);
        if (state.range(0) == 1 && lastRow != shownSearchSize - 1)
            state.SkipWithError("Ctrl+End did not reach the last row");
        state.counters["rows"] = model.rowCount();
        state.counters["rss_MB"] = residentMegabytes();
        state.counters["model_MB"] = double(model.bytesHeld()) / 1e6;
    }
}
BENCHMARK(BM_GridAfterEndAndHome)
    ->Arg(0)
    ->Arg(1)
    ->ArgNames({"large_file"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    try {
        benchmark::RunSpecifiedBenchmarks();
    } catch (const Error& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
