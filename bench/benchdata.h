#pragma once

// The offers of the store benchmarks: believable listings, a few hundred bytes each, and a
// database file of them built once under a temporary name.

#include "core/datetimevalue.h"
#include "core/error.h"
#include "store/database.h"

#include <QDate>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlQuery>
#include <QStringList>
#include <QTime>

#include <cstdio>
#include <utility>
#include <vector>

namespace domiva::bench {

inline QString offerId(int search, int offer) {
    return QStringLiteral("%1-%2").arg(search).arg(offer);
}

inline OfferRow makeOffer(int search, int offer) {
    static const QStringList stations{QStringLiteral("Тверская"), QStringLiteral("Арбатская"),
                                      QStringLiteral("Сокольники"), QStringLiteral("Таганская"),
                                      QStringLiteral("Юго-Западная")};
    const QString station = stations.at(offer % stations.size());
    OfferRow row;
    row.id = offerId(search, offer);
    row.qid = search;
    row.texts = {QStringLiteral("%1 п.").arg(5 + offer % 15),
                 QStringLiteral("м. %1, ул. Садовая, д. %2, кв. %3")
                     .arg(station)
                     .arg(1 + offer % 90)
                     .arg(1 + offer % 300),
                 QString::number(1 + offer % 4),
                 QString::number(6 + offer % 9),
                 QStringLiteral("%1 000").arg(30 + offer % 70),
                 QStringLiteral("50%"),
                 QStringLiteral("%1/%2").arg(1 + offer % 9).arg(9 + offer % 8),
                 QStringLiteral("м/т"),
                 QStringLiteral("+7 495 %1-%2-%3")
                     .arg(100 + offer % 900)
                     .arg(10 + offer % 90)
                     .arg(10 + search % 90),
                 QStringLiteral("Чистая квартира, мебель, техника, рядом парк. Без животных."),
                 QStringLiteral("агентство №%1").arg(search % 50)};
    // Spread over three months, a few offers sharing a minute.
    row.dt_obj = toDateTimeValue(QDate(2024, 1, 1).addDays(offer % 90),
                                 QTime(8 + offer % 12, (offer * 7) % 60));
    return row;
}

// Builds the file under a temporary name and renames it once complete. Every offer of the
// given searches is stored unread; readAllButEvery > 1 then marks all but one in so many read.
inline void buildDatabase(const QString& path, const std::vector<std::pair<int, int>>& searches,
                          int readAllButEvery) {
    const QString building = path + QStringLiteral(".building");
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        QFile::remove(building + QLatin1String(suffix));
    int total = 0;
    for (const auto& [search, count] : searches)
        total += count;
    std::fprintf(stderr, "Building %s with %d offers...\n", qPrintable(path), total);
    QElapsedTimer timer;
    timer.start();
    createDatabase(building);
    {
        auto db = openDatabase(building);
        Transaction transaction(*db);
        for (const auto& [search, count] : searches) {
            db->storeQuery(search, QStringLiteral("Поиск %1").arg(search));
            for (int offer = 0; offer < count; ++offer) {
                if (!db->insertOffer(makeOffer(search, offer)))
                    throw Error(QStringLiteral("duplicate offer id"));
            }
        }
        if (readAllButEvery > 1) {
            QSqlQuery read(db->connection());
            if (!read.exec(QStringLiteral("UPDATE Offers SET unreaded=0 WHERE rowid % %1 != 1")
                               .arg(readAllButEvery)))
                throw Error(QStringLiteral("cannot mark the offers read"));
            read.finish();
        }
        transaction.commit();
        QSqlQuery checkpoint(db->connection());
        checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    }
    if (!QFile::rename(building, path))
        throw Error(QStringLiteral("cannot rename %1").arg(building));
    std::fprintf(stderr, "Built in %.1f s\n", double(timer.elapsed()) / 1000.0);
}

} // namespace domiva::bench
