#include "sync/feedfile.h"

#include "core/error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace domiva {

FeedFileWriter::FeedFileWriter(const QString& path, bool crLfLines)
    : m_path(path), m_file(path), m_crLfLines(crLfLines) {}

// The file is made once the answer comes (or, when none came, at the end), as a download that
// never reached the server leaves none.
bool FeedFileWriter::open() {
    if (m_file.isOpen())
        return true;
    // The server's answer goes nowhere but into this file, private to the user: a symbolic
    // link planted under its name is not followed, and a file found there loses the rights
    // of others before anything is written.
    const int fd = ::open(QFile::encodeName(m_path).constData(),
                          O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0 || ::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        if (m_error.isEmpty())
            m_error = m_path + QStringLiteral(": ") + qt_error_string(error);
        return false;
    }
    return m_file.open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle) || fail();
}

bool FeedFileWriter::fail() {
    if (m_error.isEmpty())
        m_error = m_path + QStringLiteral(": ") + m_file.errorString();
    return false;
}

bool FeedFileWriter::write(const char* data, qsizetype size) {
    if (!m_error.isEmpty() || !open())
        return false;
    m_received += size;
    if (!m_crLfLines)
        return m_file.write(data, size) == size || fail();

    m_out.clear();
    qsizetype i = 0;
    while (i < size) {
        if (m_afterCr) {
            m_afterCr = false;
            if (data[i] == '\n') { // the second half of a CR LF
                ++i;
                continue;
            }
        }
        const qsizetype start = i;
        while (i < size && data[i] != '\r' && data[i] != '\n')
            ++i;
        if (i > start) {
            m_out.append(data + start, i - start);
            m_lineOpen = true;
        }
        if (i == size)
            break;
        m_out.append("\r\n", 2);
        m_lineOpen = false;
        m_afterCr = data[i] == '\r';
        ++i;
    }
    return m_file.write(m_out) == m_out.size() || fail();
}

bool FeedFileWriter::restart() {
    if (!m_error.isEmpty() || !open())
        return false;
    m_received = 0;
    m_afterCr = false;
    m_lineOpen = false;
    return (m_file.flush() && m_file.seek(0) && m_file.resize(0)) || fail();
}

QIODevice& FeedFileWriter::finish() {
    if (m_error.isEmpty())
        open();
    if (m_error.isEmpty() && m_crLfLines && m_lineOpen && m_file.write("\r\n", 2) != 2)
        fail();
    m_lineOpen = false;
    if (m_error.isEmpty() && !(m_file.flush() && m_file.seek(0)))
        fail();
    if (!m_error.isEmpty()) {
        m_file.close();
        throw Error(m_error);
    }
    return m_file;
}

} // namespace domiva
