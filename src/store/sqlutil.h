#pragma once

#include <QLatin1String>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

class QSqlError;
struct sqlite3;

// Small helpers shared by the store's classes: every failure becomes a domiva::Error carrying
// the engine's own message.
namespace domiva::sqlutil {

QString engineMessage(const QSqlError& error);

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

} // namespace domiva::sqlutil
