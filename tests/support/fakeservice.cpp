#include "support/fakeservice.h"

namespace domiva::test {

FakeService::FakeService(quint16 port, const std::optional<HttpServer::Tls>& tls)
    : m_scheme(tls ? QStringLiteral("https://") : QStringLiteral("http://")),
      m_server(std::make_unique<HttpServer>(
          [this](const Request& request) { return answer(request); }, port, "127.0.0.1", tls)) {}

FakeService::~FakeService() {
    m_server.reset();
}

FakeService::Answer FakeService::answer(const Request& request) {
    HttpServer::Handler handler;
    {
        std::lock_guard lock(m_mutex);
        m_requests.append(request);
        if (!m_queue.empty()) {
            Answer next = std::move(m_queue.front());
            m_queue.pop_front();
            return next;
        }
        if (!m_handler) {
            return m_default;
        }
        handler = m_handler;
    }
    return handler(request);
}

void FakeService::queueAnswer(Answer answer) {
    std::lock_guard lock(m_mutex);
    m_queue.push_back(std::move(answer));
}

void FakeService::setHandler(HttpServer::Handler handler) {
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

void FakeService::setDefaultAnswer(Answer answer) {
    std::lock_guard lock(m_mutex);
    m_default = std::move(answer);
}

QList<FakeService::Request> FakeService::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

qsizetype FakeService::requestCount() const {
    std::lock_guard lock(m_mutex);
    return m_requests.size();
}

FakeService::Request FakeService::lastRequest() const {
    std::lock_guard lock(m_mutex);
    return m_requests.isEmpty() ? Request{} : m_requests.last();
}

void FakeService::clearRequests() {
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

quint16 FakeService::port() const {
    return m_server->port();
}

QString FakeService::hostAndPort() const {
    return m_server->hostAndPort();
}

QString FakeService::url(const QString& path) const {
    return m_scheme + hostAndPort() + path;
}

} // namespace domiva::test
