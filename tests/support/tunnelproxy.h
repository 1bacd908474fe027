#pragma once

#include "httpserver.h"

#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

namespace domiva::test {

// A forward proxy for https, the counterpart of FakeProxy: it answers CONNECT, challenging a
// request without the expected Proxy-Authorization with 407 and `Proxy-Authenticate: Basic
// realm="x"` (when one is expected), and then relays bytes both ways between the client and
// the target. It records each request it reads; of the tunnel it sees only ciphertext. It
// serves from the event loop of its thread, which the transports turn while they wait.
class TunnelProxy : public QObject {
public:
    // Throws domiva::Error when it cannot listen.
    explicit TunnelProxy(QByteArray expectedAuthorization = {});

    QList<HttpServer::Request> requests() const { return m_requests; }
    quint16 port() const { return m_server.serverPort(); }

private:
    void readHead(QTcpSocket* client);

    QTcpServer m_server;
    QByteArray m_expectedAuthorization;
    QList<HttpServer::Request> m_requests;
};

} // namespace domiva::test
