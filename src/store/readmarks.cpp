#include "store/readmarks.h"

#include "store/database.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QSqlQuery>

namespace domiva {

using namespace sqlutil;

void markQueryRead(Database& db, qint32 qid, int sliceRows,
                   const std::function<void()>& betweenSlices) {
    QSqlQuery slice = prepare(db.connection(), sql::markSomeOffersOfQueryRead);
    SliceRows slices(sliceRows);
    for (bool more = true; more;) {
        slices.run([&](int rows) {
            Transaction transaction(db);
            slice.bindValue(0, qid);
            slice.bindValue(1, rows);
            exec(slice);
            more = slice.numRowsAffected() >= rows;
            slice.finish();
            transaction.commit();
        });
        if (betweenSlices)
            betweenSlices();
    }
    Transaction transaction(db);
    QSqlQuery flags = prepare(db.connection(), sql::clearQueryFlags);
    flags.addBindValue(qid);
    exec(flags);
    flags.finish();
    transaction.commit();
}

} // namespace domiva
