#pragma once

// Helpers for the store tests: a second connection to the file through the SQLite C API (so
// the tests see the file as another program does) and quick ways to fill a database.

#include "core/datetimevalue.h"
#include "core/error.h"
#include "store/database.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <utility>

namespace domiva::test {

class RawConnection {
public:
    explicit RawConnection(const QString& path) {
        const int rc =
            sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE, nullptr);
        if (rc != SQLITE_OK) {
            const QString message = QString::fromUtf8(sqlite3_errmsg(m_db));
            sqlite3_close(m_db);
            m_db = nullptr;
            throw Error(message);
        }
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~RawConnection() { sqlite3_close(m_db); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    sqlite3* handle() const { return m_db; }

    void exec(const QString& statement) {
        char* error = nullptr;
        if (sqlite3_exec(m_db, statement.toUtf8().constData(), nullptr, nullptr, &error) !=
            SQLITE_OK) {
            const QString message = QString::fromUtf8(error);
            sqlite3_free(error);
            throw Error(message);
        }
    }

    // The rows of a statement, each as its columns' texts joined by '|' (NULL as "<null>").
    QStringList rows(const QString& statement) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, statement.toUtf8().constData(), -1, &stmt, nullptr) !=
            SQLITE_OK)
            throw Error(QString::fromUtf8(sqlite3_errmsg(m_db)));
        QStringList result;
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            QStringList columns;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                if (sqlite3_column_type(stmt, i) == SQLITE_NULL)
                    columns << QStringLiteral("<null>");
                else
                    columns << QString::fromUtf8(
                        reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)));
            }
            result << columns.join(QLatin1Char('|'));
        }
        const QString message = QString::fromUtf8(sqlite3_errmsg(m_db));
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE)
            throw Error(message);
        return result;
    }

    QString value(const QString& statement) {
        const QStringList all = rows(statement);
        return all.isEmpty() ? QString() : all.first();
    }

    // Returns once what was committed is in the file as far as the readers let it be, as a
    // program's checkpointer left alone would have it: a copy under way (the program's own
    // checkpointer) is waited for, and a passive copy of this connection's takes what is left.
    // The connection must hold no transaction of its own.
    void waitForLogCopied() {
        for (;;) {
            const int rc = sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                                     nullptr, nullptr);
            if (rc == SQLITE_OK)
                return;
            if (rc != SQLITE_BUSY)
                throw Error(QString::fromUtf8(sqlite3_errmsg(m_db)));
            QTest::qSleep(5);
        }
    }

private:
    sqlite3* m_db = nullptr;
};

// The message of the domiva::Error that f throws; nullopt when it throws none.
inline std::optional<QString> errorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Error& error) {
        return error.message();
    }
    return std::nullopt;
}

inline OfferRow makeOffer(const QString& id, qint32 qid, double dt, const QString& prefix = {}) {
    OfferRow offer;
    offer.id = id;
    offer.qid = qid;
    for (std::size_t i = 0; i < offer.texts.size(); ++i)
        offer.texts[i] = prefix + id + QLatin1Char('/') + QString::number(i);
    offer.dt_obj = dt;
    return offer;
}

inline double at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    return toDateTimeValue(QDate(year, month, day), QTime(hour, minute, second));
}

// Overwrites the root page of a table with bytes no page can hold, as a failing disk would.
inline void overwriteTablePage(const QString& path, const QString& table) {
    const auto number = [&](const QString& sql) {
        return RawConnection(path).value(sql).toLongLong();
    };
    const qint64 size = number(QStringLiteral("PRAGMA page_size"));
    const qint64 root =
        number(QStringLiteral("SELECT rootpage FROM sqlite_master WHERE name='%1'").arg(table));
    QFile file(path);
    QVERIFY(root > 0 && file.open(QIODevice::ReadWrite) && file.seek((root - 1) * size));
    QCOMPARE(file.write(QByteArray(size, '\xab')), size);
}

// The names in a folder, for checking that nothing was left behind.
inline QStringList entriesOf(const QString& folder) {
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// RFC 4180 records: quoted fields may hold commas, doubled quotes and line breaks. Outside
// quotes any line break ends the record, as spreadsheets read it.
inline QList<QStringList> parseCsv(const QString& text) {
    using namespace Qt::StringLiterals;
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const qsizetype lineEnd = quoted                                 ? 0
                                  : text.mid(i, 2) == u"\r\n"_s          ? 2
                                  : text[i] == u'\n' || text[i] == u'\r' ? 1
                                                                         : 0;
        const bool endOfRecord = lineEnd > 0;
        if (text[i] == u'"' && quoted && text.mid(i + 1, 1) == u"\""_s)
            field += text[++i];
        else if (text[i] == u'"')
            quoted = !quoted;
        else if (endOfRecord || (!quoted && text[i] == u','))
            record << std::exchange(field, QString());
        else
            field += text[i];
        if (endOfRecord) {
            records << std::exchange(record, QStringList());
            i += lineEnd - 1;
        }
    }
    return records;
}

// A file of three searches: 10 with a1 (read), a2, a3 (unread, newest); 20 with b1 (unread);
// 30 with no listings.
struct ThreeSearches {
    QTemporaryDir dir;
    std::unique_ptr<Database> db;

    ThreeSearches() {
        createDatabase(dir.filePath(QStringLiteral("db")));
        db = openDatabase(dir.filePath(QStringLiteral("db")));
        for (const qint32 qid : {10, 20, 30})
            db->storeQuery(qid, QString::number(qid));
        for (const auto& [id, qid, dt] :
             {std::tuple{QStringLiteral("a1"), 10, at(2024, 3, 1, 10, 30)},
              {QStringLiteral("a2"), 10, at(2024, 3, 2)},
              {QStringLiteral("a3"), 10, at(2024, 3, 3, 9, 5)},
              {QStringLiteral("b1"), 20, at(2024, 2, 1, 12)}})
            db->insertOffer(makeOffer(id, qid, dt));
        raw().exec(QStringLiteral("UPDATE Offers SET unreaded=0 WHERE id='a1'"));
    }
    RawConnection raw() const { return RawConnection(db->path()); }
};

} // namespace domiva::test
