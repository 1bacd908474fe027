#include "store/sqlutil.h"

#include "core/error.h"

#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QUrl>

#include <sqlite3.h>

#include <chrono>
#include <thread>

namespace domiva::sqlutil {

QString engineMessage(const QSqlError& error) {
    QString text = error.databaseText();
    if (text.isEmpty())
        text = error.driverText();
    if (text.isEmpty())
        text = error.text();
    return text;
}

bool isDamageCode(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

Error::Kind kindOfCode(int code) {
    const int primary = code & 0xff;
    if (isDamageCode(code))
        return Error::Kind::DamagedFile;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        return Error::Kind::Busy;
    return Error::Kind::General;
}

Error engineError(const QSqlError& error) {
    bool known = false;
    const int code = error.nativeErrorCode().toInt(&known);
    return Error(engineMessage(error), known ? kindOfCode(code) : Error::Kind::General);
}

Error engineError(sqlite3* handle) {
    return Error(QString::fromUtf8(sqlite3_errmsg(handle)), kindOfCode(sqlite3_errcode(handle)));
}

QSqlQuery prepare(const QSqlDatabase& db, const QString& text) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(text))
        throw engineError(query.lastError());
    return query;
}

void exec(QSqlQuery& query) {
    if (!query.exec()) {
        Error error = engineError(query.lastError());
        query.finish();
        throw error;
    }
}

void run(const QSqlDatabase& db, const QString& text) {
    QSqlQuery query = prepare(db, text);
    exec(query);
    query.finish();
}

qint64 scalar(QSqlQuery& query) {
    exec(query);
    if (!query.next()) {
        Error error = engineError(query.lastError());
        query.finish();
        if (error.message().isEmpty())
            throw Error(QStringLiteral("no result"));
        throw error;
    }
    const qint64 value = query.value(0).toLongLong();
    query.finish();
    return value;
}

sqlite3* engineHandle(const QSqlDatabase& db) {
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        throw Error(QStringLiteral("Нет доступа к базе данных SQLite"));
    sqlite3* raw = *static_cast<sqlite3* const*>(handle.constData());
    if (!raw)
        throw Error(QStringLiteral("База данных не открыта"));
    return raw;
}

QString fileUri(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    return QStringLiteral("file://") +
           QString::fromLatin1(QUrl::toPercentEncoding(absolute, QByteArrayLiteral("/")));
}

namespace {

int waitForLock(void* data, int count) {
    auto* wait = static_cast<LockWait*>(data);
    const qint64 now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    if (count == 0)
        wait->startedNs = now;
    if ((wait->stop != nullptr && wait->stop->load()) ||
        now - wait->startedNs >= qint64(wait->timeoutMs) * 1'000'000)
        return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(count < 20 ? 1 : 2));
    return 1;
}

} // namespace

void installLockWait(sqlite3* handle, LockWait* wait) {
    sqlite3_busy_handler(handle, &waitForLock, wait);
}

} // namespace domiva::sqlutil
