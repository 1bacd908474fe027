#pragma once

#include <QLatin1String>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <atomic>

class QSqlError;
struct sqlite3;

namespace domiva {
class Error;
}

// Small helpers shared by the store's classes: every failure becomes a domiva::Error carrying
// the engine's own message.
namespace domiva::sqlutil {

QString engineMessage(const QSqlError& error);

// Whether an engine result code says the file is damaged or not a database (SQLITE_CORRUPT,
// SQLITE_NOTADB, in their extended forms too).
bool isDamageCode(int code);

// The Error of a failed statement: the engine's message, of kind DamagedFile when the engine
// found the file damaged.
Error engineError(const QSqlError& error);
// The same from the engine's handle, after a call on it failed.
Error engineError(sqlite3* handle);

// A forward-only statement prepared on db; throws when the engine refuses the text.
QSqlQuery prepare(const QSqlDatabase& db, const QString& text);

// Runs a prepared statement with the values bound so far; throws on failure.
void exec(QSqlQuery& query);

// Prepares, runs and finishes a statement that takes no values.
void run(const QSqlDatabase& db, const QString& text);

// Runs a statement whose result is one integer (a count) and finishes it.
qint64 scalar(QSqlQuery& query);

// The engine's own handle of an open Qt SQLite connection, for the few reads and writes that
// are too frequent for Qt's per-value overhead; throws when there is none.
sqlite3* engineHandle(const QSqlDatabase& db);

// SQLite's URI form of a file name: "?" and "#" would otherwise start the query and the
// fragment, and "%" an escape.
QString fileUri(const QString& path);

// How a connection waits for another one's lock: up to timeoutMs, looking again every
// millisecond or two (the engine's own wait sleeps up to 100 ms at a time, which a click's mark
// would wait out after the lock had gone), and not at all once *stop is set: the end of the
// program never waits for another program's transaction.
struct LockWait {
    int timeoutMs = 5000;
    const std::atomic<bool>* stop = nullptr;
    qint64 startedNs = 0; // of the wait under way
};
// Installs wait as the connection's busy handler; it must outlive the connection or be
// replaced first.
void installLockWait(sqlite3* handle, LockWait* wait);

} // namespace domiva::sqlutil
