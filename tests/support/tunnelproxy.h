#pragma once

#include "httpserver.h"
#include "support/servingthread.h"

#include <QList>

#include <memory>

namespace domiva::test {

// A forward proxy for https, the counterpart of FakeProxy: it answers CONNECT, challenging a
// request without the expected Proxy-Authorization with 407 and `Proxy-Authenticate: Basic
// realm="x"` (when one is expected), and then relays bytes both ways between the client and
// the target. It records each request it reads; of the tunnel it sees only ciphertext. It
// serves from a thread of its own: a transfer under test turns no event loop.
class TunnelProxy {
public:
    // Throws domiva::Error when it cannot listen.
    explicit TunnelProxy(QByteArray expectedAuthorization = {});
    ~TunnelProxy();
    TunnelProxy(const TunnelProxy&) = delete;
    TunnelProxy& operator=(const TunnelProxy&) = delete;

    QList<HttpServer::Request> requests() const;
    quint16 port() const { return m_port; }

private:
    class Server;
    std::unique_ptr<ServingThread> m_serving;
    Server* m_server = nullptr; // lives on m_serving's thread
    quint16 m_port = 0;
};

} // namespace domiva::test
