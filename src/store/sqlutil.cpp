#include "store/sqlutil.h"

#include "app/error.h"

#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QUrl>

#include <sqlite3.h>

namespace domiva::sqlutil {

QString engineMessage(const QSqlError& error) {
    QString text = error.databaseText();
    if (text.isEmpty())
        text = error.driverText();
    if (text.isEmpty())
        text = error.text();
    return text;
}

QSqlQuery prepare(const QSqlDatabase& db, const QString& text) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.prepare(text))
        throw Error(engineMessage(query.lastError()));
    return query;
}

void exec(QSqlQuery& query) {
    if (!query.exec()) {
        const QString message = engineMessage(query.lastError());
        query.finish();
        throw Error(message);
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
        const QString message = engineMessage(query.lastError());
        query.finish();
        throw Error(message.isEmpty() ? QStringLiteral("no result") : message);
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

} // namespace domiva::sqlutil
