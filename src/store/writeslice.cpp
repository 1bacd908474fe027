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

} // namespace domiva
