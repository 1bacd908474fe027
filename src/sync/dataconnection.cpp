#include "sync/dataconnection.h"

#include "store/database.h"

#include <QFile>
#include <QObject>
#include <QThread>

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace domiva {

namespace {

thread_local std::unique_ptr<DataConnection> t_connection;

} // namespace

std::optional<ino_t> fileIdOf(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return info.st_ino;
}

DataConnection::DataConnection() = default;
DataConnection::~DataConnection() = default;
DataConnection::DataConnection(DataConnection&&) noexcept = default;
DataConnection& DataConnection::operator=(DataConnection&&) noexcept = default;

Database& DataConnection::open(const QString& dbPath) {
    static std::atomic<quint64> openings{0};
    const std::optional<ino_t> id = fileIdOf(dbPath);
    if (id && id == released)
        throw Error(QStringLiteral("База данных не открыта"));
    if (!db || path != dbPath || !id || id != fileId) {
        db.reset();
        opening = ++openings;
        db = openDatabase(dbPath);
        db->setStopFlag(stop);
        path = dbPath;
        fileId = id;
    }
    return *db;
}

void DataConnection::release(const QString& dbPath) {
    const std::atomic<bool>* const stopFlag = stop;
    *this = DataConnection{};
    stop = stopFlag;
    released = fileIdOf(dbPath);
}

bool DataConnection::isReleased(const QString& dbPath) const {
    return released && fileIdOf(dbPath) == released;
}

DataConnection& threadConnection() {
    return *t_connection;
}

QObject* startWithConnection(QThread& thread, const QString& name, const std::atomic<bool>* stop,
                             std::function<void()> atEnd) {
    thread.setObjectName(name);
    auto* context = new QObject;
    context->moveToThread(&thread);
    // Set up and taken down on the thread itself: a connection belongs to its thread.
    QObject::connect(
        &thread, &QThread::started, context,
        [stop] {
            t_connection = std::make_unique<DataConnection>();
            t_connection->stop = stop;
            // On a busy machine the window's thread goes first: it has a frame to draw, the
            // data can wait a little. Linux gives each thread its own nice value.
            errno = 0;
            const int nice = ::getpriority(PRIO_PROCESS, 0);
            if (errno == 0)
                ::setpriority(PRIO_PROCESS, 0, std::min(nice + 5, 19));
        },
        Qt::DirectConnection);
    QObject::connect(
        &thread, &QThread::finished, context,
        [context, atEnd = std::move(atEnd)] {
            if (atEnd)
                atEnd();
            if (t_connection && t_connection->db)
                t_connection->db->leaveLogAtClose();
            t_connection.reset();
            delete context;
        },
        Qt::DirectConnection);
    thread.start();
    return context;
}

} // namespace domiva
