#include "store/writeslice.h"

#include <chrono>

namespace domiva {

WriteSlice::WriteSlice(int budgetMs, Clock clock) : m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] {
            return qint64(std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count());
        };
    setBudgetMs(budgetMs);
    start();
}

int nextSliceRows(int rows, qint64 tookNs, int budgetMs) {
    const qint64 budgetNs = qint64(std::max(budgetMs, 1)) * 1'000'000;
    const qint64 fitting = qint64(std::max(rows, 1)) * budgetNs / std::max<qint64>(tookNs, 1);
    return int(std::clamp<qint64>(fitting, minSliceRows,
                                  std::max(2 * qint64(rows), qint64(minSliceRows))));
}

} // namespace domiva
