#include "store/checkpointer.h"

#include <QFile>

#include <sqlite3.h>

namespace domiva {

BackgroundCheckpointer::BackgroundCheckpointer(const QString& dbPath)
    : m_path(dbPath), m_nativePath(QFile::encodeName(dbPath)), m_thread([this] { run(); }) {}

BackgroundCheckpointer::~BackgroundCheckpointer() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void BackgroundCheckpointer::request() {
    {
        std::lock_guard lock(m_mutex);
        m_requested = true;
    }
    m_changed.notify_all();
}

void BackgroundCheckpointer::waitUntilIdle() {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_requested && !m_busy; });
}

void BackgroundCheckpointer::run() {
    sqlite3* db = nullptr;
    // Never creates the file. The engine opens it at the first statement: only then does this
    // connection know the file keeps a log, and a checkpoint before would do nothing. Should
    // it not open, checkpoints are simply not made here; the writing connection makes them
    // again once it takes them back.
    if (sqlite3_open_v2(m_nativePath.constData(), &db, SQLITE_OPEN_READWRITE, nullptr) !=
            SQLITE_OK ||
        sqlite3_busy_timeout(db, 5000) != SQLITE_OK ||
        sqlite3_exec(db, "PRAGMA schema_version", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
    }
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_requested || m_stopping; });
        if (!m_requested)
            break;
        m_requested = false;
        m_busy = true;
        lock.unlock();
        // Passive: copies what no reader still needs and never waits for a lock, so the
        // writer goes on meanwhile. Its failures (the file busy) wait for the next request.
        if (db)
            sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
    lock.unlock();
    sqlite3_close(db);
}

} // namespace domiva
