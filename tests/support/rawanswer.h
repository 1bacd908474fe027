#pragma once

#include <QByteArray>
#include <QObject>
#include <QTcpServer>

namespace domiva::test {

// A loopback server that answers every request with the same bytes, sent as they are: for
// answers no proper HTTP server sends (a status line with control characters in its reason).
// It answers once the request's head and announced body are in, from the event loop of its
// thread, which the transports turn while they wait.
class RawAnswerServer : public QObject {
public:
    // Throws domiva::Error when it cannot listen.
    explicit RawAnswerServer(QByteArray answer);

    quint16 port() const { return m_server.serverPort(); }
    int requestCount() const { return m_requests; }

private:
    QTcpServer m_server;
    QByteArray m_answer;
    int m_requests = 0;
};

} // namespace domiva::test
