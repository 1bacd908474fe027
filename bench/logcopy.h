#pragma once

#include "core/error.h"
#include "store/database.h"
#include "store/flathistory.h"

#include <QSqlQuery>
#include <QThread>

namespace domiva::bench {

// Returns once what was committed is in the file as far as the readers let it be, as after a
// write long past: a copy under way (the database's own checkpointer) is waited for, and a
// passive copy through the connection takes what is left. The connection must hold no
// transaction.
inline void copyLogIntoFile(Database& db) {
    for (;;) {
        QSqlQuery checkpoint(db.connection());
        if (!checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)")) ||
            !checkpoint.next())
            throw Error(QStringLiteral("cannot copy the log into the file"));
        // The first column is 1 while another connection's copy holds the log.
        if (checkpoint.value(0).toInt() == 0)
            return;
        checkpoint.finish();
        QThread::msleep(5);
    }
}

// The history of the file filled as the first sync fills it, in one go, its log then copied
// into the file.
inline void fillHistoryAtOnce(Database& db) {
    db.setCacheKiB(FlatHistory::fillCacheKiB);
    {
        FlatHistory history(db);
        Transaction transaction(db);
        while (!history.fillSome(1'800'000'000, 100'000)) {
        }
        transaction.commit();
    }
    copyLogIntoFile(db);
}

} // namespace domiva::bench
