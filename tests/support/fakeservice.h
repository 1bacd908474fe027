#pragma once

#include "httpserver.h"

#include <QList>
#include <QString>

#include <deque>
#include <memory>
#include <mutex>
#include <optional>

namespace domiva::test {

// An in-process stand-in for the listings service: records every request it receives and
// answers with what the test has set up. Thread-safe: the server answers on its own threads.
class FakeService {
public:
    using Request = HttpServer::Request;
    using Answer = HttpServer::Response;

    // Over TLS when tls is set.
    explicit FakeService(quint16 port = 0, const std::optional<HttpServer::Tls>& tls = {});
    ~FakeService();

    FakeService(const FakeService&) = delete;
    FakeService& operator=(const FakeService&) = delete;

    // Answers given in order, one per request, before anything else.
    void queueAnswer(Answer answer);
    // Consulted once the queue is empty; it runs on a server thread.
    void setHandler(HttpServer::Handler handler);
    // Given when the queue is empty and no handler is set (at first: 200, empty body).
    void setDefaultAnswer(Answer answer);

    QList<Request> requests() const;
    qsizetype requestCount() const;
    // The last request received; a default Request when none came.
    Request lastRequest() const;
    void clearRequests();

    quint16 port() const;
    // "127.0.0.1:<port>"
    QString hostAndPort() const;
    // "http://127.0.0.1:<port>" + path, "https://" over TLS
    QString url(const QString& path) const;

private:
    Answer answer(const Request& request);

    mutable std::mutex m_mutex;
    QList<Request> m_requests;
    std::deque<Answer> m_queue;
    HttpServer::Handler m_handler;
    Answer m_default;
    QString m_scheme;
    // Last, so that it stops (and its threads end) before the state above goes.
    std::unique_ptr<HttpServer> m_server;
};

} // namespace domiva::test
