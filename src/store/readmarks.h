#pragma once

#include "store/writeslice.h"

#include <QtGlobal>

#include <functional>

namespace domiva {

class Database;

// The user has seen all of a search: every listing of it read, the search neither updated nor
// unread. A search of hundreds of thousands of listings would hold the file for a long while:
// the listings are marked sliceRows at a time (sliceRowsByTime: as many as a transaction of
// about WriteSlice::defaultBudgetMs takes, store/writeslice.h), each slice a transaction of its
// own, with betweenSlices called after each (to let other writers in, or to throw when the work
// is no longer wanted), and the search's flags last. Throws domiva::Error; the slices committed
// before stay.
void markQueryRead(Database& db, qint32 qid, int sliceRows = sliceRowsByTime,
                   const std::function<void()>& betweenSlices = {});

} // namespace domiva
