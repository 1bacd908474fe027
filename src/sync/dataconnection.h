#pragma once

// What the data thread and the reading thread share: each thread's own connection to the file,
// kept from one piece of work to the next, and how such a thread is started and ended.

#include "core/error.h"

#include <QString>

#include <sys/types.h>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

class QObject;
class QThread;

namespace domiva {

class Database;

// The failure work ended with, if any.
template <typename Work> std::optional<Error> failureOf(Work&& work) {
    try {
        work();
    } catch (const Error& error) {
        return error;
    } catch (const std::exception& error) {
        return Error(QString::fromLocal8Bit(error.what()));
    }
    return std::nullopt;
}

// The file's identity: a file set aside and replaced under the same name is another file.
std::optional<ino_t> fileIdOf(const QString& path);

// A data thread's own connection, kept from one request to the next so that its checkpointer
// copies the log once the writes stop. Used on its own thread only.
struct DataConnection {
    std::unique_ptr<Database> db;
    QString path;
    std::optional<ino_t> fileId;
    // Which opening this is, unique in the program: work that spans several turns holds on to
    // the connection only as long as this stays the same.
    quint64 opening = 0;
    // Set when the program ends: a wait for another program's lock gives up then.
    const std::atomic<bool>* stop = nullptr;
    // The file let go of, about to be repaired: not opened again until admitted (repaired
    // where it is), since should it be set aside instead, closing a connection to it after it
    // moved would remove the log of the file now under its name.
    std::optional<ino_t> released;

    DataConnection();
    ~DataConnection();
    DataConnection(DataConnection&&) noexcept;
    DataConnection& operator=(DataConnection&&) noexcept;

    // The connection to dbPath, opened anew when the file is another one (throws Error).
    Database& open(const QString& dbPath);
    // Lets go of the file for a repair.
    void release(const QString& dbPath);
    // Whether the file is let go of for a repair: what must not be lost waits for it.
    bool isReleased(const QString& dbPath) const;
};

// The calling thread's connection: one of each data thread's, between its start and its end.
DataConnection& threadConnection();

// Starts a thread with a connection of its own, at a lower priority than the window's; returns
// the object its work is posted to (deleted with the thread). atEnd runs on the thread as it
// ends, before its connection closes.
QObject* startWithConnection(QThread& thread, const QString& name, const std::atomic<bool>* stop,
                             std::function<void()> atEnd);

} // namespace domiva
