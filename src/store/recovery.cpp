#include "store/recovery.h"

#include "core/error.h"
#include "store/database.h"
#include "store/enginestatement.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <tuple>
#include <vector>

namespace domiva {

using namespace sqlutil;

namespace {

// The journals the engine keeps beside a file in WAL mode; they belong to the damaged file.
constexpr std::array<const char*, 2> kJournalSuffixes{"-wal", "-shm"};

QRegularExpression damagedNamePattern(const QString& dbName) {
    return QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(dbName) +
                              QStringLiteral("\\.damaged-(\\d{8}-\\d{6})(?:-(\\d+))?$"));
}

} // namespace

QString damagedFileName(const QString& dbPath, const QDateTime& when) {
    return dbPath + QStringLiteral(".damaged-") + when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

namespace {

struct DamagedFile {
    int number; // the order they were set aside in; 1 for a name without one
    QString stamp;
    QString path;
};

// The damaged files beside dbPath, the last one set aside first. The order is that of their
// numbers, never of their times: a clock set back, or another time zone, would otherwise make
// the file just set aside the oldest.
std::vector<DamagedFile> findDamagedFiles(const QString& dbPath) {
    const QFileInfo db(dbPath);
    const QRegularExpression pattern = damagedNamePattern(db.fileName());
    std::vector<DamagedFile> found;
    const QDir dir = db.absoluteDir();
    for (const QString& name : dir.entryList(QDir::Files | QDir::System | QDir::Hidden)) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (match.hasMatch())
            found.push_back({match.captured(2).isEmpty() ? 1 : match.captured(2).toInt(),
                             match.captured(1), dir.filePath(name)});
    }
    std::sort(found.begin(), found.end(), [](const DamagedFile& a, const DamagedFile& b) {
        return std::tie(a.number, a.stamp) > std::tie(b.number, b.stamp);
    });
    return found;
}

// The name the next damaged file goes to: numbered one above the last, and free.
QString nextDamagedName(const QString& dbPath, const QDateTime& when) {
    const std::vector<DamagedFile> earlier = findDamagedFiles(dbPath);
    int number = earlier.empty() ? 1 : earlier.front().number + 1;
    const QString base = damagedFileName(dbPath, when) + QLatin1Char('-');
    QString target = base + QString::number(number);
    while (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        target = base + QString::number(++number);
    return target;
}

void removeWithJournals(const QString& path) {
    QFile::remove(path);
    for (const char* suffix : kJournalSuffixes)
        QFile::remove(path + QLatin1String(suffix));
}

bool stopping(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load();
}

QString repairStoppedMessage() {
    return QStringLiteral("Восстановление базы данных прервано: программа завершается");
}

// Copies the file's bytes to a new file private to the user, a megabyte at a time, until
// *stop is set. Throws domiva::Error.
void copyBytes(const QString& from, const QString& to, const std::atomic<bool>* stop) {
    QFile in(from);
    QFile out(to);
    if (!in.open(QIODevice::ReadOnly))
        throw Error(from + QStringLiteral(": ") + in.errorString());
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                  QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        throw Error(to + QStringLiteral(": ") + out.errorString());
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (stopping(stop))
            throw Error(repairStoppedMessage());
        const qint64 got = in.read(chunk.data(), chunk.size());
        if (got < 0)
            throw Error(from + QStringLiteral(": ") + in.errorString());
        if (got == 0)
            break;
        if (out.write(chunk.constData(), got) != got)
            throw Error(to + QStringLiteral(": ") + out.errorString());
    }
    if (!out.flush())
        throw Error(to + QStringLiteral(": ") + out.errorString());
}

// A copy of the damaged file and its journals under the next damaged name, the file itself
// left where it is. Returns the copy's name; throws domiva::Error, leaving no copy behind.
QString copyDamagedFileAside(const QString& dbPath, const QDateTime& when,
                             const std::atomic<bool>* stop) {
    const QString target = nextDamagedName(dbPath, when);
    try {
        copyBytes(dbPath, target, stop);
        for (const char* suffix : kJournalSuffixes) {
            if (QFileInfo::exists(dbPath + QLatin1String(suffix)))
                copyBytes(dbPath + QLatin1String(suffix), target + QLatin1String(suffix), stop);
        }
    } catch (const Error&) {
        removeWithJournals(target);
        throw;
    }
    return target;
}

struct BackupFinish {
    void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};

// Makes the database at dbPath empty, with the client's two tables, in place: one write
// transaction of the engine replaces every page, so a connection another program holds on
// the file sees the new one as any change of another writer. Its log and index stay the
// file's own, and when it closes last what it removes by name is no other file's. False when
// the engine cannot write to the file (its header is too damaged): nothing was changed then.
bool emptyInPlace(const QString& dbPath, const std::atomic<bool>* stop) {
    LockWait lockWait{5000, stop, 0};
    const EngineConnection target =
        EngineConnection::tryOpen(QFile::encodeName(dbPath), SQLITE_OPEN_READWRITE);
    if (!target)
        return false;
    installLockWait(target.get(), &lockWait);
    // The page size of a file in WAL mode cannot change: the empty one is built with the
    // damaged file's.
    int pageSize = 0;
    try {
        EngineStatement size(target.get(), sql::pragmaPageSize);
        if (size.step())
            pageSize = int(size.integer(0));
    } catch (const Error&) {
    }
    if (pageSize <= 0)
        return false;

    EngineConnection empty;
    try {
        empty = EngineConnection(QByteArrayLiteral(":memory:"),
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        empty.exec(QString(sql::setPageSize).arg(pageSize));
        empty.exec(sql::createQueriesTable);
        empty.exec(sql::createOffersTable);
    } catch (const Error& error) {
        throw Error(QStringLiteral("An empty database could not be built: ") + error.message());
    }

    const std::unique_ptr<sqlite3_backup, BackupFinish> backup(
        sqlite3_backup_init(target.get(), "main", empty.get(), "main"));
    if (!backup)
        return false;
    const int copied = sqlite3_backup_step(backup.get(), -1);
    // Another program's lock held past the program's end is no damage: nothing was written.
    if ((copied == SQLITE_BUSY || copied == SQLITE_LOCKED) && stopping(stop))
        throw Error(repairStoppedMessage(), Error::Kind::Busy);
    return copied == SQLITE_DONE;
}

} // namespace

QString setDamagedFileAside(const QString& dbPath, const QDateTime& when) {
    const QString target = nextDamagedName(dbPath, when);
    QFile db(dbPath);
    if (!db.rename(target))
        throw Error(dbPath + QStringLiteral(": ") + db.errorString());
    // The journals go with it: beside the fresh file the engine would replay the old log into
    // it. One that cannot be moved fails the recovery rather than be deleted.
    for (const char* suffix : kJournalSuffixes) {
        QFile journal(dbPath + QLatin1String(suffix));
        if (journal.exists() && !journal.rename(target + QLatin1String(suffix)))
            throw Error(journal.fileName() + QStringLiteral(": ") + journal.errorString());
    }
    return target;
}

QStringList damagedFiles(const QString& dbPath) {
    QStringList paths;
    for (const DamagedFile& f : findDamagedFiles(dbPath))
        paths.append(f.path);
    return paths;
}

void pruneDamagedFiles(const QString& dbPath, int keep) {
    const QStringList files = damagedFiles(dbPath);
    for (qsizetype i = std::max(keep, 0); i < files.size(); ++i)
        removeWithJournals(files[i]);
}

namespace {

Error failureOf(const std::exception_ptr& thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const Error& error) {
        return error;
    } catch (const std::exception& error) {
        return Error(QString::fromLocal8Bit(error.what()));
    } catch (...) {
    }
    return Error(QStringLiteral("Unknown failure"));
}

} // namespace

CarriedReadMarks carryReadMarks(Database& db, const QString& damagedPath, int sliceRows,
                                const std::function<void()>& betweenSlices) noexcept {
    CarriedReadMarks result;
    try {
        const QSqlDatabase connection = db.connection();
        {
            QSqlQuery attach = prepare(connection, sql::attachDamaged);
            // Read-only: the damaged file stays exactly as it was found.
            attach.bindValue(0, fileUri(damagedPath) + QStringLiteral("?mode=ro"));
            exec(attach);
            attach.finish();
        }
        try {
            QSqlQuery last = prepare(connection, sql::lastOfferRowid);
            exec(last);
            const qint64 lastRowid = last.next() ? last.value(0).toLongLong() : 0;
            last.finish();
            QSqlQuery offers = prepare(connection, sql::carryOfferReadMarks);
            SliceRows slices(sliceRows);
            for (qint64 from = 0; from < lastRowid;) {
                slices.run([&](int rows) {
                    Transaction transaction(db);
                    offers.bindValue(0, from);
                    offers.bindValue(1, from + rows);
                    exec(offers);
                    const int marked = offers.numRowsAffected();
                    offers.finish();
                    transaction.commit();
                    result.carried += marked;
                    from += rows;
                });
                if (betweenSlices)
                    betweenSlices();
            }
            Transaction transaction(db);
            run(connection, sql::clearFlagsOfReadQueries);
            transaction.commit();
        } catch (...) {
            // Stopped or failed: the slices committed keep their marks.
            result.failure = failureOf(std::current_exception());
        }
        run(connection, sql::detachDamaged);
    } catch (...) {
        // Too damaged to read, or not there: the marks are lost, the listings are not.
        if (!result.failure)
            result.failure = failureOf(std::current_exception());
    }
    return result;
}

DamageRecovery::Action DamageRecovery::notice(const QString& message) {
    switch (m_state) {
    case State::Sound:
        m_state = State::Noticed;
        m_damage = message;
        return Action::Recover;
    case State::Rebuilt:
        m_state = State::GivenUp;
        return Action::ReportDiskFailure;
    case State::Noticed:
        break;
    case State::GivenUp:
        return Action::GivenUp;
    }
    return Action::None;
}

QString DamageRecovery::rebuild(const QString& dbPath, const QDateTime& when,
                                const std::atomic<bool>* stop) {
    if (m_state != State::Noticed)
        throw Error(QStringLiteral("No damage to repair"));
    // Given up unless it comes through: a rebuild that fails is not tried again.
    m_state = State::GivenUp;
    // Another program (the sqlite3 shell) may have the file open: the file stays where it is
    // and is emptied through the engine, a copy of its bytes kept aside. Renamed instead, the
    // file would take that program's writes with it, and its last close would remove the log
    // and index of the new file by their names.
    QString kept = copyDamagedFileAside(dbPath, when, stop);
    bool emptied = false;
    try {
        emptied = emptyInPlace(dbPath, stop);
    } catch (const Error&) {
        removeWithJournals(kept);
        throw;
    }
    if (!emptied) {
        // Too damaged for the engine to write: it goes aside by name and a new file is made.
        removeWithJournals(kept);
        kept = setDamagedFileAside(dbPath, when);
        createDatabase(dbPath);
    }
    pruneDamagedFiles(dbPath);
    m_state = State::Rebuilt;
    m_readMarksSource = kept;
    return kept;
}

} // namespace domiva
