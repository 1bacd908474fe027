#include "store/offercounts.h"

#include "core/error.h"
#include "store/database.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QSqlError>
#include <QSqlQuery>

namespace domiva {

using namespace sqlutil;

OfferCounts offerCounts(Database& db, qint32 qid) {
    QSqlQuery query = prepare(db.connection(), sql::countOffersAndUnread);
    query.addBindValue(qid);
    exec(query);
    OfferCounts counts;
    if (query.next()) {
        counts.total = query.value(0).toLongLong();
        counts.unread = query.value(1).toLongLong();
    }
    const QSqlError error = query.lastError();
    query.finish();
    if (error.isValid())
        throw engineError(error);
    if (counts.unread > 0) {
        QSqlQuery reposts = prepare(db.connection(), sql::countUnreadReposts);
        reposts.addBindValue(qid);
        counts.unreadReposts = scalar(reposts);
    }
    return counts;
}

} // namespace domiva
