#pragma once

#include <QtGlobal>

namespace domiva {

class Database;

// How many listings a search has, and how many of them are still unread.
struct OfferCounts {
    qint64 unread = 0;
    qint64 total = 0;
    qint64 unreadReposts = 0; // unread re-posts of flats seen before (store/flathistory.h)
};

// Both counts in one statement that reads only the (qid, unreaded) index; the re-posts among
// the unread by a second one, when there are unread listings. Throws domiva::Error.
OfferCounts offerCounts(Database& db, qint32 qid);

} // namespace domiva
