#pragma once

// What the parts of store_bench share: the two files it builds once and keeps open while the
// benchmarks run (see store_bench.cpp).

#include "store/database.h"

#include <QString>

#include <memory>

namespace domiva::bench {

inline constexpr int searchCount = 1000;
inline constexpr int offersPerSearch = 1000;
inline constexpr int screenRows = 40;
// One offer in twenty is still unread.
inline constexpr int unreadEvery = 20;

inline const QString databasePath = QStringLiteral(DOMIVA_STORE_BENCH_DB);
inline std::unique_ptr<Database> openedDatabase;

inline constexpr int largeSearch = 1;
inline constexpr int largeSearchSize = 1'000'000;
inline constexpr int smallSearch = 2;
inline constexpr int smallSearchSize = 1000;
inline const QString largeSearchPath = QStringLiteral(DOMIVA_LARGE_SEARCH_DB);
inline std::unique_ptr<Database> largeDatabase;

} // namespace domiva::bench
