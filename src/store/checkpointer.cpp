#include "store/checkpointer.h"

#include "store/sqlutil.h"
#include "store/statements.h"

#include <sqlite3.h>

#include <chrono>

namespace domiva {

namespace {
// A checkpoint held back by a reader's snapshot (another program in a long transaction) is
// tried again this often, so the log is copied once the reader lets go even when nothing more
// is committed meanwhile.
constexpr std::chrono::seconds retryAfterReader{1};
// The pages a burst added after its last request are copied once no commit has come for this
// long, and the log is then cut back to nothing.
constexpr std::chrono::milliseconds quietBeforeTail{1000};
} // namespace

BackgroundCheckpointer::BackgroundCheckpointer(const QString& dbPath)
    : m_uri(sqlutil::fileUri(dbPath).toUtf8() + "?mode=rw") {
    // The engine opens the file itself at the first statement: only then does this connection
    // know the file keeps a log, and a checkpoint before would do nothing.
    sqlutil::EngineConnection db =
        sqlutil::EngineConnection::tryOpen(m_uri, SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI);
    if (db && sqlite3_busy_timeout(db.get(), 5000) == SQLITE_OK &&
        db.tryExec(sql::readSchemaVersion))
        m_db = std::move(db);
    m_thread = std::thread([this] { run(); });
}

BackgroundCheckpointer::~BackgroundCheckpointer() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        // The connection stays open until the thread has seen m_stopping, so the call is safe.
        if (m_busy)
            sqlite3_interrupt(m_db.get());
    }
    m_changed.notify_all();
    m_thread.join();
    if (m_leaveLog)
        sqlite3_db_config(m_db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

void BackgroundCheckpointer::request() {
    if (!m_db)
        return;
    {
        std::lock_guard lock(m_mutex);
        m_requested = true;
    }
    m_changed.notify_all();
}

void BackgroundCheckpointer::noteCommit() {
    if (!m_db)
        return;
    std::lock_guard lock(m_mutex);
    m_tailDue = std::chrono::steady_clock::now() + quietBeforeTail;
    m_tailPending = true;
    // The thread sleeps until the time it last saw; it looks again then, finds this later one
    // and sleeps on: no wake-up per commit.
}

void BackgroundCheckpointer::waitUntilIdle() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_requested && !m_busy; });
}

void BackgroundCheckpointer::run() {
    std::unique_lock lock(m_mutex);
    bool heldBack = false;
    for (;;) {
        const auto wakes = [this] { return m_requested || m_stopping; };
        if (heldBack)
            m_changed.wait_for(lock, retryAfterReader, wakes);
        else if (m_tailPending)
            m_changed.wait_until(lock, m_tailDue, wakes);
        else
            m_changed.wait(lock, wakes);
        if (m_stopping)
            break;
        const bool tail = m_tailPending && std::chrono::steady_clock::now() >= m_tailDue;
        if (!m_requested && !tail && !heldBack)
            continue; // a later commit moved the quiet moment on
        m_requested = false;
        m_tailPending = m_tailPending && !tail;
        m_busy = true;
        lock.unlock();
        // Passive: copies what no reader still needs and never waits for a lock, so the
        // writer goes on meanwhile. A failure (the file busy) waits for the next request.
        int logFrames = 0;
        int copiedFrames = 0;
        int rc = sqlite3_wal_checkpoint_v2(m_db.get(), nullptr, SQLITE_CHECKPOINT_PASSIVE,
                                           &logFrames, &copiedFrames);
        heldBack = rc == SQLITE_OK && copiedFrames < logFrames;
        if (tail && rc == SQLITE_OK && !heldBack) {
            // Everything is in the file: the log is cut to nothing. This mode holds the
            // writer's lock, so it is tried only without waiting: a writer or a reader busy
            // right now means another try a little later.
            sqlite3_busy_timeout(m_db.get(), 0);
            rc = sqlite3_wal_checkpoint_v2(m_db.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                           nullptr);
            sqlite3_busy_timeout(m_db.get(), 5000);
            heldBack = rc != SQLITE_OK;
        }
        lock.lock();
        if (heldBack && tail)
            m_tailPending = true; // the tail is tried again with the retry
        m_busy = false;
        m_changed.notify_all();
    }
}

} // namespace domiva
