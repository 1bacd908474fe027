// Bringing the client's own tables of an earlier build up to today's shape.
#include "store/flathistory.h"

#include "core/error.h"
#include "store/database.h"
#include "store/enginestatement.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QSqlQuery>
#include <QStringList>

namespace domiva {

using namespace sqlutil;
using namespace Qt::StringLiterals;

namespace {

QStringList columnNames(const QSqlDatabase& connection, QLatin1String text) {
    QSqlQuery query = prepare(connection, text);
    exec(query);
    QStringList names;
    while (query.next())
        names << query.value(0).toString();
    return names;
}

} // namespace

void FlatHistory::bringUpToDate(Database& db) {
    const QSqlDatabase connection = db.connection();
    QSqlQuery shapeQuery = prepare(connection, sql::selectShape);
    // A file of today's shape is opened without taking the write lock.
    if (scalar(shapeQuery) >= currentShape)
        return;
    Transaction transaction(db);
    // Read again inside the transaction: another connection may have brought the file up to
    // date meanwhile.
    if (scalar(shapeQuery) >= currentShape)
        return;
    const QStringList historyColumns = columnNames(connection, sql::historyColumns);
    // The keys of an earlier shape are set aside and copied into today's FlatKeys, which
    // orders them by date; its indexes come with it.
    const bool keysAside = !historyColumns.isEmpty() &&
                           !columnNames(connection, sql::flatKeysColumns).contains(u"dt"_s);
    if (keysAside) {
        run(connection, sql::dropFlatKeysByHistoryIndex);
        run(connection, sql::renameFlatKeysAside);
    }
    for (const QLatin1String text :
         {sql::createFlatHistoryTable, sql::createFlatKeysTable, sql::createFlatKeysByHistoryIndex,
          sql::createFlatKeysOpenedIndex, sql::createFlatKeysPendingTable,
          sql::createClientStateTable})
        run(connection, text);
    if (keysAside) {
        run(connection, sql::copyKeysSetAside);
        run(connection, sql::dropKeysSetAside);
    }
    if (historyColumns.contains(u"key"_s)) {
        run(connection, sql::copyKeysOfHistoryRows);
        run(connection, sql::dropFlatHistoryByKeyIndex);
        run(connection, sql::dropHistoryKeyColumn);
    }
    run(connection, sql::dropFlatHistoryBySeenIndex);
    QSqlQuery keys = prepare(connection, sql::storeClientState);
    keys.addBindValue(u"keysVersion"_s);
    // An earlier shape linked a row to an earlier appearance by the order the rows were stored,
    // or among the rows stored nearest it: the links are made again with the keys. A new
    // history's keys are today's.
    keys.addBindValue(historyColumns.isEmpty() ? keysVersion : 0);
    exec(keys);
    keys.finish();
    run(connection, QString(sql::storeShape).arg(currentShape));
    transaction.commit();
}

} // namespace domiva
