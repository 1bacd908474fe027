#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

#include <algorithm>
#include <functional>
#include <utility>

namespace domiva {

// The clock of a long write that goes in short transactions, so that a click's read mark never
// waits long for the lock: a transaction is due to commit once what it applied and what its
// commit is expected to take fill its budget. A commit writes every page the transaction
// changed; on a long history of random keys that took 20 to 35 ms after 40 ms of applying,
// so counting only the applying let transactions last 60 to 90 ms.
class WriteSlice {
public:
    // Nanoseconds from any fixed point; the system's monotonic clock unless tests set another.
    using Clock = std::function<qint64()>;
    // A long write's budget: a click waits for the lock less than 50 ms, but for the odd commit
    // that the disk makes slower than the latest.
    static constexpr int defaultBudgetMs = 45;

    explicit WriteSlice(int budgetMs, Clock clock = {});

    void setBudgetMs(int ms) { m_budgetNs = qint64(std::max(ms, 0)) * 1'000'000; }
    // A transaction begins.
    void start() { m_startNs = m_clock(); }
    // Whether to commit now. At least one step goes into every transaction: the caller applies
    // before it asks.
    bool due() const { return m_clock() - m_startNs + m_commitNs >= m_budgetNs; }
    // Runs the commit and learns from how long it took. The next commits are expected to take
    // as long as the longest of the latest, forgotten by an eighth per commit: the disk's pace
    // varies from one commit to the next, and one quick commit between slow ones must not let
    // the next transaction run over.
    template <typename Commit> void commit(Commit&& work) {
        const qint64 from = m_clock();
        std::forward<Commit>(work)();
        const qint64 took = m_clock() - from;
        m_commitNs = std::max(took, m_commitNs - m_commitNs / 8);
    }

private:
    Clock m_clock;
    qint64 m_budgetNs = 0;
    qint64 m_startNs = 0;
    qint64 m_commitNs = 0;
};

// A long write that changes its rows a statement at a time (marking a search read, carrying
// read marks) takes so many rows per statement, or with sliceRowsByTime learns how many: each
// statement is given the rows that would make its transaction, commit included, last about
// budgetMs, after `rows` took tookNs. Never fewer than minSliceRows, and never more than twice
// the last: one quick statement must not make the next one long.
inline constexpr int sliceRowsByTime = 0;
inline constexpr int firstSliceRows = 2'000;
inline constexpr int minSliceRows = 100;
int nextSliceRows(int rows, qint64 tookNs, int budgetMs = WriteSlice::defaultBudgetMs);

class SliceRows {
public:
    explicit SliceRows(int rows)
        : m_timed(rows <= sliceRowsByTime), m_rows(m_timed ? firstSliceRows : rows) {}
    // Runs one slice's transaction (slice(rows)), then sizes the next from how long it took.
    template <typename Slice> void run(Slice&& slice) {
        QElapsedTimer took;
        took.start();
        std::forward<Slice>(slice)(m_rows);
        if (m_timed)
            m_rows = nextSliceRows(m_rows, took.nsecsElapsed());
    }

private:
    bool m_timed;
    int m_rows;
};

} // namespace domiva
