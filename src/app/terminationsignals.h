#pragma once

#include <QObject>

#include <array>
#include <csignal>

class QSocketNotifier;

namespace domiva {

// Turns the signals that ask a process to end (SIGTERM, SIGINT, SIGHUP: the session or the
// terminal going away) into a Qt signal on the GUI thread, so they end the program the same
// orderly way as the exit command. The handler only writes the signal number into a pipe;
// the event loop reads it there. One instance at a time; the previous handlers come back
// when it is destroyed.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    static constexpr std::array<int, 3> handledSignals{SIGTERM, SIGINT, SIGHUP};

    // Throws domiva::Error when the pipe or a handler cannot be set up, or when another
    // instance exists.
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

signals:
    // Emitted once for every signal received, from the event loop.
    void terminationRequested(int signal);

private:
    void readPipe();

    std::array<int, 2> m_pipe{-1, -1};
    std::array<struct sigaction, handledSignals.size()> m_previous{};
    QSocketNotifier* m_notifier = nullptr; // child of this object
};

} // namespace domiva
