#include "app/singleinstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QtGlobal>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace domiva {

namespace {

using namespace std::chrono_literals;

// How long a later copy waits for a first copy that holds the lock but does not answer.
constexpr auto patience = 3s;
constexpr auto retryEvery = 100ms;

// Where the first copy listens: the user's runtime folder, under a name made from the working
// folder's identity (device and inode), so that every path to the folder leads there; without
// a runtime folder, inside the working folder. Both are private to the user.
QString serverName(const QString& folder, const struct stat& identity) {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
        return QDir(runtime).filePath(QStringLiteral("domiva-%1-%2.socket")
                                          .arg(quint64(identity.st_dev), 0, 16)
                                          .arg(quint64(identity.st_ino), 0, 16));
    return QDir(folder).filePath(QStringLiteral("domiva.socket"));
}

} // namespace

SingleInstance::SingleInstance(const QString& folder, QObject* parent) : QObject(parent) {
    // The folder itself is locked: no lock file to create, and nothing of the folder changes
    // for a copy that only tries. Not inherited by the programs this one opens files with.
    m_lock = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat identity {};
    if (m_lock < 0 || ::fstat(m_lock, &identity) != 0)
        return; // start-up reports what is wrong with the folder
    const QString name = serverName(folder, identity);
    const QDeadlineTimer deadline(patience);
    for (;;) {
        if (::flock(m_lock, LOCK_EX | LOCK_NB) == 0) {
            listen(name);
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            // A file system without locks (some network ones): the program runs unguarded
            // rather than not at all.
            qWarning("domiva: cannot lock %s: %s", qPrintable(folder), std::strerror(errno));
            return;
        }
        QLocalSocket first;
        first.connectToServer(name);
        if (first.waitForConnected(int(retryEvery.count())) || deadline.hasExpired()) {
            // Asked, or not answering: either way it stays the only copy.
            m_first = false;
            return;
        }
        QThread::msleep(retryEvery.count());
    }
}

SingleInstance::~SingleInstance() {
    if (m_lock >= 0)
        ::close(m_lock);
}

void SingleInstance::listen(const QString& name) {
    m_server = new QLocalServer(this);
    // A copy that crashed left its socket behind; the lock says that no copy listens there now.
    QLocalServer::removeServer(name);
    if (!m_server->listen(name)) {
        // This copy still runs alone; later copies end without bringing it forward.
        qWarning("domiva: cannot listen on %s: %s", qPrintable(name),
                 qPrintable(m_server->errorString()));
        return;
    }
    // A connection is the whole request: nothing is read from it.
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* later = m_server->nextPendingConnection())
            later->deleteLater();
        emit comeForwardRequested();
    });
}

} // namespace domiva
