#pragma once

#include "httpserver.h"

#include <QList>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

namespace domiva::test {

// A plain-HTTP forward proxy for tests. It records each request as it arrived (request line
// with its absolute-form target, headers, body), challenges requests that carry no
// Proxy-Authorization with 407 and `Proxy-Authenticate: Basic realm="x"` (unless told not to),
// and otherwise forwards the request to its target or answers itself.
class FakeProxy {
public:
    using Request = HttpServer::Request;

    FakeProxy();
    ~FakeProxy();

    FakeProxy(const FakeProxy&) = delete;
    FakeProxy& operator=(const FakeProxy&) = delete;

    // Whether a request without Proxy-Authorization gets the 407 challenge (default: yes).
    void setRequireAuth(bool require);
    // When set, only this exact Proxy-Authorization value passes; others get 407 again.
    void setExpectedAuthorization(std::optional<QByteArray> value);
    // When set, the proxy answers with this itself instead of forwarding.
    void setOwnAnswer(std::optional<HttpServer::Response> answer);

    QList<Request> requests() const;
    qsizetype requestCount() const;

    quint16 port() const;
    QString hostAndPort() const;
    // "http://127.0.0.1:<port>", for http_proxy
    QString url() const;

private:
    HttpServer::Response handle(const Request& request);

    mutable std::mutex m_mutex;
    QList<Request> m_requests;
    bool m_requireAuth = true;
    std::optional<QByteArray> m_expectedAuthorization;
    std::optional<HttpServer::Response> m_ownAnswer;
    std::unique_ptr<HttpServer> m_server;
};

} // namespace domiva::test
