#pragma once

#include "store/enginestatement.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace domiva {

// Copies the write-ahead log of a database file back into the file, on a thread of its own
// and through a connection of its own, so that no commit of the program (a sync group, a click,
// marking a search read) waits for the copying and its disk flushes on the GUI thread. The
// writing connection asks for a checkpoint after its commits and copies nothing itself (see
// Database). The thread touches nothing but the file.
class BackgroundCheckpointer {
public:
    // Opens the file (never creates it) on the calling thread; isOpen() tells whether that
    // worked. Without a connection, requests are ignored.
    explicit BackgroundCheckpointer(const QString& dbPath);
    // Abandons a checkpoint under way (a passive one leaves the file and the log consistent
    // wherever it stops; the last connection to close copies the rest), then stops.
    ~BackgroundCheckpointer();
    BackgroundCheckpointer(const BackgroundCheckpointer&) = delete;
    BackgroundCheckpointer& operator=(const BackgroundCheckpointer&) = delete;

    bool isOpen() const noexcept { return bool(m_db); }
    // Closing leaves the log as it is (see Database::leaveLogAtClose()).
    void leaveLogAtClose() noexcept { m_leaveLog = true; }
    // Asks for a checkpoint of everything committed so far; returns at once. Cheap enough for
    // a commit hook: one lock and a wake-up.
    void request();
    // Called after every commit: once commits stop for a moment, the last pages are copied
    // too and the log is cut back, so a burst leaves no log behind. Cheap: one lock.
    void noteCommit();
    // Returns once no checkpoint is asked for or under way.
    void waitUntilIdle();

private:
    void run();

    QByteArray m_uri;
    sqlutil::EngineConnection m_db; // used by the thread only once it runs
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_requested = false;
    bool m_busy = false;
    bool m_stopping = false;
    bool m_leaveLog = false;
    bool m_tailPending = false;
    std::chrono::steady_clock::time_point m_tailDue;
    std::thread m_thread; // last: starts once everything above is set
};

} // namespace domiva
