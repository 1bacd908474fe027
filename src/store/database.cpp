#include "store/database.h"

#include "core/datetimevalue.h"
#include "core/error.h"
#include "store/checkpointer.h"
#include "store/enginestatement.h"
#include "store/flathistory.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QAtomicInteger>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace domiva {

using namespace sqlutil;

namespace {

QString newConnectionName(QLatin1String purpose) {
    static QAtomicInteger<quint64> counter;
    return QStringLiteral("domiva-%1-%2").arg(purpose).arg(counter.fetchAndAddRelaxed(1));
}

QSqlDatabase addConnection(const QString& name) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    if (!db.isValid())
        throw Error(QStringLiteral("The SQLite driver of Qt SQL is not available"));
    return db;
}

// Removes a half-built database (and whatever journal the engine left beside it) unless the
// creation got as far as renaming it.
class TemporaryFileGuard {
public:
    explicit TemporaryFileGuard(QString path) : m_path(std::move(path)) {}
    ~TemporaryFileGuard() {
        if (m_path.isEmpty())
            return;
        for (const char* suffix : {"", "-journal", "-wal", "-shm"})
            QFile::remove(m_path + QLatin1String(suffix));
    }
    TemporaryFileGuard(const TemporaryFileGuard&) = delete;
    TemporaryFileGuard& operator=(const TemporaryFileGuard&) = delete;
    void release() { m_path.clear(); }

private:
    QString m_path;
};

// What SQLite keeps beside a database file. Left behind by a crash, they belong to that
// file: beside a new file of the same name, SQLite would replay an old log into it.
constexpr std::array<const char*, 3> kCompanionSuffixes{"-wal", "-shm", "-journal"};

void removeOrphanedCompanions(const QString& dbPath) {
    const QFileInfo db(dbPath);
    if (db.exists() || db.isSymLink())
        return;
    for (const char* suffix : kCompanionSuffixes) {
        QFile companion(dbPath + QLatin1String(suffix));
        if (!companion.remove() && companion.exists())
            throw Error(companion.errorString());
    }
}

// Renames from to to unless to exists, atomically: two starts creating the database at the same
// time must not replace each other's file. Gives 0 or the errno of the failure (EEXIST when to
// is taken).
int renameWithoutReplacing(const QString& from, const QString& to) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the flag: a new hard link fails just as well when the name is taken.
    if (::link(source.constData(), target.constData()) != 0)
        return errno;
    ::unlink(source.constData());
    return 0;
}

QString nonNull(const QString& text) {
    return text.isNull() ? QStringLiteral("") : text;
}

} // namespace

SqlConnection::~SqlConnection() {
    if (!QSqlDatabase::contains(m_name))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

void createDatabase(const QString& dbPath) {
    const QString temporaryPath = dbPath + QStringLiteral(".creating-") +
                                  QString::number(QRandomGenerator::system()->generate64(), 16);
    TemporaryFileGuard guard(temporaryPath);
    {
        // Made empty and private before the engine opens it: the engine gives its journals the
        // rights of the file, and would make the file itself readable by everyone.
        QFile file(temporaryPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                       QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            throw Error(temporaryPath + QStringLiteral(": ") + file.errorString());
    }
    {
        SqlConnection connection(newConnectionName(QLatin1String("create")));
        QSqlDatabase db = addConnection(connection.name());
        db.setDatabaseName(temporaryPath);
        if (!db.open())
            throw engineError(db.lastError());
        run(db, sql::createQueriesTable);
        run(db, sql::createOffersTable);
        {
            QSqlQuery check = prepare(db, sql::countTables);
            if (scalar(check) != 2)
                throw Error(QStringLiteral("The new database lacks a table"));
        }
        db.close();
    }
    removeOrphanedCompanions(dbPath);
    const int error = renameWithoutReplacing(temporaryPath, dbPath);
    // Another start made the file first: that one is used, ours goes with the guard.
    if (error == EEXIST && QFileInfo(dbPath).isFile())
        return;
    if (error != 0)
        throw Error(qt_error_string(error));
    guard.release();
}

Database::Database(const QString& dbPath)
    : m_lockWait(std::make_unique<LockWait>()),
      m_connection(newConnectionName(QLatin1String("store"))), m_path(dbPath) {
    QSqlDatabase db = addConnection(m_connection.name());
    db.setDatabaseName(fileUri(dbPath) + QStringLiteral("?mode=rw"));
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
    if (!db.open())
        throw engineError(db.lastError());
    installLockWait(engineHandle(db), m_lockWait.get());
    // Nothing is written before the file has shown to be ours: an empty file or another
    // program's database fails here, as it was. Not a database at all fails at the first read.
    run(db, sql::checkQueriesTable);
    run(db, sql::checkOffersTable);
    {
        QSqlQuery journal = prepare(db, sql::pragmaJournalWal);
        exec(journal);
        const QString mode = journal.next() ? journal.value(0).toString() : QString();
        journal.finish();
        // The engine answers with the mode it kept when it cannot switch.
        if (mode.compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0)
            throw Error(QStringLiteral("The database cannot be switched to WAL mode (journal "
                                       "mode \"%1\")")
                            .arg(mode));
    }
    run(db, sql::pragmaSynchronousNormal);
    run(db, sql::pragmaSecureDeleteFast);
    run(db, sql::pragmaJournalSizeLimit);
    run(db, sql::createOffersByQueryIndex);
    run(db, sql::createOffersUnreadIndex);
    FlatHistory::bringUpToDate(*this);
    // Commits leave the log to the checkpointer's thread. Should its connection fail to open,
    // this one copies the log inside its own commits, so the log never grows without bound.
    m_checkpointer = std::make_unique<BackgroundCheckpointer>(dbPath);
    if (m_checkpointer->isOpen())
        sqlite3_wal_hook(engineHandle(db), &Database::logGrew, this);
    else
        run(db, sql::pragmaAutoCheckpoint);
}

void Database::refuseWrites() {
    run(connection(), sql::pragmaQueryOnly);
}

Database::~Database() {
    // No commit may reach the checkpointer once it is gone; it goes before this connection
    // closes, so the close, the last one on the file, copies whatever is left and removes the
    // log, unless the program ends (leaveLogAtClose()).
    try {
        sqlite3* db = engineHandle(connection());
        sqlite3_wal_hook(db, nullptr, nullptr);
        if (m_leaveLog)
            sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    } catch (const Error&) {
    }
    if (m_leaveLog && m_checkpointer)
        m_checkpointer->leaveLogAtClose();
    m_checkpointer.reset();
    if (!m_leaveLog)
        return;
    // The log is flushed to the disk instead, so that nothing committed is lost when the
    // machine goes down after the program has ended.
    const QByteArray log = QFile::encodeName(m_path + QStringLiteral("-wal"));
    const int fd = ::open(log.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        ::fdatasync(fd);
        ::close(fd);
    }
}

int Database::logGrew(void* database, sqlite3*, const char*, int pages) {
    auto* self = static_cast<Database*>(database);
    // Once per so many new pages, not after every commit: each copy costs the file two
    // flushes, and waking the thread for a handful of pages costs a click more than the copy
    // saves it.
    self->m_checkpointer->noteCommit();
    self->m_logPages = pages;
    if (pages < self->m_logPagesAtRequest)
        self->m_logPagesAtRequest = 0; // the log started again from its beginning
    if (pages >= self->m_logPagesAtRequest + sql::checkpointPages) {
        self->m_logPagesAtRequest = pages;
        self->m_checkpointer->request();
    }
    return SQLITE_OK;
}

bool Database::logIsLong() const noexcept {
    return m_logPages >= sql::longLogPages;
}

void Database::letLogCatchUp() {
    if (!m_checkpointer || !m_checkpointer->isOpen())
        return;
    if (!m_logKeptWhole) {
        // A log that starts again is cut back to the size limit inside the commit that starts
        // it: for a log of 270 MB that took 200 to 300 ms, with the lock held. A long write
        // reuses the log's room instead; the checkpointer cuts it once the writes stop.
        run(connection(), sql::pragmaJournalSizeUnlimited);
        m_logKeptWhole = true;
    }
    m_checkpointer->request();
    m_checkpointer->waitUntilIdle();
    m_logPages = 0;
}

QSqlDatabase Database::connection() const {
    return QSqlDatabase::database(m_connection.name(), false);
}

std::unique_ptr<Database> openDatabase(const QString& dbPath) {
    return std::make_unique<Database>(dbPath);
}

namespace {

// Resets a kept statement however the operation ends, releasing its read snapshot.
class FinishOnExit {
public:
    explicit FinishOnExit(QSqlQuery& query) : m_query(query) {}
    ~FinishOnExit() { m_query.finish(); }
    FinishOnExit(const FinishOnExit&) = delete;
    FinishOnExit& operator=(const FinishOnExit&) = delete;

private:
    QSqlQuery& m_query;
};

} // namespace

QSqlQuery& Database::statement(QLatin1String text) {
    const auto found = m_statements.find(text.data());
    if (found != m_statements.end())
        return found->second;
    return m_statements.emplace(text.data(), prepare(connection(), text)).first->second;
}

QList<qint32> Database::queryIds() {
    QSqlQuery& query = statement(sql::selectQueryIds);
    FinishOnExit finish(query);
    exec(query);
    QList<qint32> ids;
    while (query.next())
        ids.append(query.value(0).toInt());
    if (query.lastError().isValid())
        throw engineError(query.lastError());
    return ids;
}

void Database::storeQuery(qint32 id, const QString& name) {
    QSqlQuery& query = statement(sql::storeQuery);
    FinishOnExit finish(query);
    query.bindValue(0, id);
    query.bindValue(1, nonNull(name));
    exec(query);
}

void Database::markQueryUnread(qint32 id) {
    QSqlQuery& query = statement(sql::markQueryUnread);
    FinishOnExit finish(query);
    query.bindValue(0, id);
    exec(query);
}

void Database::removeQuery(qint32 id) {
    Transaction transaction(*this);
    for (const QLatin1String text : {sql::deleteQuery, sql::deleteOffersOfQuery}) {
        QSqlQuery& query = statement(text);
        FinishOnExit finish(query);
        query.bindValue(0, id);
        exec(query);
    }
    transaction.commit();
}

int Database::removeOffersOfQuery(qint32 id, int limit) {
    QSqlQuery& query = statement(sql::deleteSomeOffersOfQuery);
    FinishOnExit finish(query);
    query.bindValue(0, id);
    query.bindValue(1, limit);
    exec(query);
    return query.numRowsAffected();
}

bool Database::offerExists(const QString& id) {
    QSqlQuery& query = statement(sql::selectOfferById);
    FinishOnExit finish(query);
    query.bindValue(0, nonNull(id));
    exec(query);
    return query.next();
}

bool Database::insertOffer(const OfferRow& offer) {
    std::array<QStringView, 11> texts;
    std::copy(offer.texts.begin(), offer.texts.end(), texts.begin());
    return insertOffer(offer.id, offer.qid, texts, offer.dt_obj);
}

bool Database::insertOffer(QStringView id, qint32 qid, const std::array<QStringView, 11>& rowTexts,
                           double dt_obj) {
    if (!m_insertOffer)
        m_insertOffer =
            std::make_unique<EngineStatement>(engineHandle(connection()), sql::insertOffer);
    EngineStatement& insert = *m_insertOffer;
    const QString date = dateTimeValueToText(dt_obj);
    // Reset however it ends: a statement left stepping would hold a read snapshot.
    EngineStatement::Use use(insert);
    int position = 1;
    insert.bindText(position++, id);
    insert.bindInt(position++, qid);
    for (const QStringView text : rowTexts)
        insert.bindText(position++, text);
    insert.bindText(position, date);
    insert.step();
    return insert.changes() == 1;
}

bool Database::hasUnreadOffers(qint32 qid) {
    QSqlQuery& query = statement(sql::anyUnreadOffer);
    FinishOnExit finish(query);
    query.bindValue(0, qid);
    exec(query);
    const bool found = query.next();
    if (query.lastError().isValid())
        throw engineError(query.lastError());
    return found;
}

Database::ChangeStamp Database::changeStamp() {
    QSqlQuery& query = statement(sql::pragmaDataVersion);
    FinishOnExit finish(query);
    ChangeStamp stamp;
    stamp.others = scalar(query);
    stamp.own = sqlite3_total_changes64(engineHandle(connection()));
    return stamp;
}

bool Database::markOfferRead(const QString& offerId, qint32 qid) {
    Transaction transaction(*this);
    {
        QSqlQuery& offer = statement(sql::markOfferRead);
        FinishOnExit finish(offer);
        offer.bindValue(0, nonNull(offerId));
        exec(offer);
    }
    {
        QSqlQuery& opened = statement(sql::markHistoryOpened);
        FinishOnExit finish(opened);
        opened.bindValue(0, nonNull(offerId));
        exec(opened);
    }
    {
        QSqlQuery& keys = statement(sql::markKeysOpened);
        FinishOnExit finish(keys);
        keys.bindValue(0, nonNull(offerId));
        exec(keys);
    }
    {
        QSqlQuery& updated = statement(sql::clearQueryUpdated);
        FinishOnExit finish(updated);
        updated.bindValue(0, qid);
        exec(updated);
    }
    const bool unread = hasUnreadOffers(qid);
    if (!unread) {
        QSqlQuery& unreaded = statement(sql::clearQueryUnread);
        FinishOnExit finish(unreaded);
        unreaded.bindValue(0, qid);
        exec(unreaded);
    }
    transaction.commit();
    return unread;
}

void Database::setBusyTimeout(int milliseconds) {
    m_lockWait->timeoutMs = milliseconds;
}

void Database::setStopFlag(const std::atomic<bool>* stop) {
    m_lockWait->stop = stop;
}

void Database::setCacheKiB(int kib) {
    run(connection(), QString(sql::pragmaCacheKiB).arg(std::max(kib, m_cacheFloorKiB)));
    m_cacheKiB = kib;
}

void Database::setCacheFloorKiB(int kib) {
    m_cacheFloorKiB = kib;
    setCacheKiB(m_cacheKiB);
}

void clearDatabaseFile(const QString& dbPath, const std::atomic<bool>* stop) {
    LockWait lockWait{5000, stop, 0};
    EngineConnection db(fileUri(dbPath).toUtf8() + "?mode=rw",
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI);
    installLockWait(db.get(), &lockWait);
    // The engine would otherwise zero every freed page, writing the whole table once more into
    // the log (hundreds of megabytes for a million listings). Deleting every row of a table
    // only hands its pages to the free list.
    db.exec(sql::pragmaSecureDeleteOff);
    db.exec(sql::beginImmediate);
    try {
        db.exec(sql::deleteAllOffers);
        db.exec(sql::deleteAllQueries);
        db.exec(sql::commit);
    } catch (const Error&) {
        db.tryExec(sql::rollback);
        throw;
    }
    // No VACUUM: it would copy the history kept beside the listings through the log, taking
    // time and room in proportion to the history, and twice the file's size on the disk. The
    // free pages are the next download's.
    // The program's own checkpointer may be copying the log right now; this one then waits
    // for it a little (the engine's busy time-out does not cover another checkpoint). Another
    // program's reader may hold the log for as long as it likes: after about a second the log
    // is left to the checkpointer, which cuts it once that reader lets go.
    lockWait.timeoutMs = 0;
    for (int attempt = 0; attempt < 50 && !(stop != nullptr && stop->load()); ++attempt) {
        const int copied = sqlite3_wal_checkpoint_v2(db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE,
                                                     nullptr, nullptr);
        // The tables are empty whatever happens to the log (committed above): a copy that
        // fails for another reason than a lock is the checkpointer's to try again.
        if (copied != SQLITE_BUSY && copied != SQLITE_LOCKED)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

namespace {
QString savepointStatement(QLatin1String pattern, int level) {
    return QString(pattern).arg(level);
}
} // namespace

Transaction::Transaction(Database& db) : m_db(db), m_level(db.m_transactionDepth + 1) {
    if (m_level == 1)
        run(m_db.connection(), sql::beginImmediate);
    else
        run(m_db.connection(), savepointStatement(sql::savepoint, m_level));
    m_db.m_transactionDepth = m_level;
    m_open = true;
}

Transaction::~Transaction() {
    if (!m_open)
        return;
    // Nothing may escape a destructor; a rollback that fails leaves the engine to undo the
    // transaction when the connection closes.
    try {
        if (m_level == 1) {
            run(m_db.connection(), sql::rollback);
        } else {
            run(m_db.connection(), savepointStatement(sql::rollbackToSavepoint, m_level));
            run(m_db.connection(), savepointStatement(sql::releaseSavepoint, m_level));
        }
    } catch (const Error&) {
    }
    m_db.m_transactionDepth = m_level - 1;
}

void Transaction::commit() {
    if (!m_open)
        throw Error(QStringLiteral("The transaction is no longer open"));
    if (m_db.m_transactionDepth != m_level)
        throw Error(QStringLiteral("An inner transaction is still open"));
    if (m_level == 1)
        run(m_db.connection(), sql::commit);
    else
        run(m_db.connection(), savepointStatement(sql::releaseSavepoint, m_level));
    m_open = false;
    m_db.m_transactionDepth = m_level - 1;
}

} // namespace domiva
