#include "app/terminationsignals.h"

#include "core/error.h"

#include <QSocketNotifier>
#include <QString>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace domiva {

namespace {

// The write end of the pipe of the one instance, for the signal handler.
std::atomic<int> signalPipe{-1};

extern "C" void onTerminationSignal(int signal) {
    const int saved = errno;
    const int fd = signalPipe.load();
    if (fd >= 0) {
        const unsigned char number = static_cast<unsigned char>(signal);
        // Nothing can be done about a full pipe here; the signals already in it will do.
        [[maybe_unused]] const ssize_t written = ::write(fd, &number, 1);
    }
    errno = saved;
}

Error systemError(const char* what) {
    return Error(QString::fromLatin1(what) + QStringLiteral(": ") +
                 QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (signalPipe.load() >= 0)
        throw Error(QStringLiteral("Signal handlers are already installed"));
    if (::pipe2(m_pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        throw systemError("pipe");
    signalPipe.store(m_pipe[1]);

    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPipe);

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // Interrupted system calls go on: the event loop, not the handler, deals with the signal.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < handledSignals.size(); ++i) {
        if (::sigaction(handledSignals[i], &action, &m_previous[i]) != 0) {
            const Error error = systemError("sigaction");
            for (std::size_t j = 0; j < i; ++j)
                ::sigaction(handledSignals[j], &m_previous[j], nullptr);
            signalPipe.store(-1);
            ::close(m_pipe[0]);
            ::close(m_pipe[1]);
            throw error;
        }
    }
}

TerminationSignals::~TerminationSignals() {
    for (std::size_t i = 0; i < handledSignals.size(); ++i)
        ::sigaction(handledSignals[i], &m_previous[i], nullptr);
    signalPipe.store(-1);
    // Off before its descriptor goes; the object itself goes with this one.
    m_notifier->setEnabled(false);
    ::close(m_pipe[0]);
    ::close(m_pipe[1]);
}

void TerminationSignals::readPipe() {
    unsigned char buffer[16];
    for (;;) {
        const ssize_t count = ::read(m_pipe[0], buffer, sizeof buffer);
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i)
            emit terminationRequested(buffer[i]);
    }
}

} // namespace domiva
