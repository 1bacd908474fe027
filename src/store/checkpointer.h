#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace domiva {

// Copies the write-ahead log of a database file back into the file, on a thread of its own
// and through a connection of its own. A long run of commits (a sync) then never waits for
// the copying and its disk flushes on the GUI thread; the writing connection leaves its
// checkpoints to this one meanwhile (Database::setAutoCheckpoint). The thread touches nothing
// but the file.
class BackgroundCheckpointer {
public:
    explicit BackgroundCheckpointer(const QString& dbPath);
    // Finishes the checkpoint asked for, then stops.
    ~BackgroundCheckpointer();
    BackgroundCheckpointer(const BackgroundCheckpointer&) = delete;
    BackgroundCheckpointer& operator=(const BackgroundCheckpointer&) = delete;

    const QString& path() const noexcept { return m_path; }
    // Asks for a checkpoint of everything committed so far; returns at once.
    void request();
    // Returns once no checkpoint is asked for or under way.
    void waitUntilIdle();

private:
    void run();

    QString m_path;
    QByteArray m_nativePath;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_requested = false;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_thread; // last: starts once everything above is set
};

} // namespace domiva
