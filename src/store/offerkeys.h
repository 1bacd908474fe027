#pragma once

#include "core/error.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace domiva {

class Database;

// The long read behind the listings grid: the row keys of one search in the grid's order
// (dt_obj descending, then id descending), all of them, or, with the quick filter, those of
// the listings it finds (store/offerfilter.h), a slice at a time. It may run on any
// connection to the file, on any thread, one call at a time.
class OfferKeyScan {
public:
    // A slice looks at most at `sliceRows` listings (0: every match in one statement) for about
    // `sliceMs` milliseconds; the first slice ends as soon as it has `firstMatches` matches, to
    // show them at once.
    OfferKeyScan(qint32 qid, const QString& filter, int sliceRows, int sliceMs,
                 std::size_t firstMatches);
    ~OfferKeyScan();
    OfferKeyScan(const OfferKeyScan&) = delete;
    OfferKeyScan& operator=(const OfferKeyScan&) = delete;

    qint32 queryId() const noexcept { return m_qid; }
    const QString& filter() const noexcept { return m_filter; }

    // Appends the next keys to found: every key of the search without a filter, the matches of
    // one slice with one. Returns whether the search has been looked at to its end. No read
    // snapshot outlives the call. Throws domiva::Error.
    bool next(Database& db, std::vector<qint64>& found);

    // The keys are no longer wanted (another search or filter was asked for); safe from any
    // thread. A reader stops at the next slice.
    void cancel() noexcept { m_cancelled = true; }
    bool cancelled() const noexcept { return m_cancelled; }

private:
    struct Position;

    qint32 m_qid;
    QString m_filter;
    int m_sliceRows;
    int m_sliceMs;
    std::size_t m_firstMatches;
    bool m_first = true;
    std::unique_ptr<Position> m_position;
    std::atomic<bool> m_cancelled{false};
};

// What one slice of a scan found, handed over to the model.
struct OfferKeyBatch {
    std::vector<qint64> keys;
    bool finished = false;        // the last batch of the scan
    std::optional<Error> failure; // the scan stopped on it (and finished is set)
};

// Runs a scan away from the model's thread: each batch, in order, is handed to `deliver` on the
// thread of `receiver` (never after receiver is gone) until the batch that is finished. A
// cancelled scan hands over nothing more.
using OfferKeyReader = std::function<void(std::shared_ptr<OfferKeyScan> scan, QObject* receiver,
                                          std::function<void(OfferKeyBatch)> deliver)>;

} // namespace domiva
