#include "support/fakeproxy.h"

#include <httplib.h>

#include <QUrl>

namespace domiva::test {

namespace {

std::string toStd(const QByteArray& bytes) {
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

QByteArray toBytes(const std::string& text) {
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

HttpServer::Response plain(int status, const QByteArray& body) {
    HttpServer::Response response;
    response.status = status;
    response.body = body;
    return response;
}

bool isHopByHop(const QByteArray& name) {
    const QByteArray lower = name.toLower();
    return lower.startsWith("proxy-") || lower == "connection" || lower == "keep-alive" ||
           lower == "content-length" || lower == "transfer-encoding";
}

HttpServer::Response forward(const HttpServer::Request& request) {
    const QUrl target(QString::fromUtf8(request.target), QUrl::StrictMode);
    if (!target.isValid() || target.scheme() != QLatin1String("http") || target.host().isEmpty()) {
        return plain(400, "proxy: not an absolute http target: " + request.target);
    }
    // The path and query exactly as sent: everything after scheme and authority.
    const qsizetype authorityEnd = request.target.indexOf('/', 7);
    const QByteArray pathAndQuery = authorityEnd < 0 ? "/" : request.target.mid(authorityEnd);

    httplib::Client client(toStd(target.host().toUtf8()), target.port(80));
    client.set_connection_timeout(5);
    client.set_read_timeout(30);

    httplib::Request out;
    out.method = toStd(request.method);
    out.path = toStd(pathAndQuery);
    out.body = toStd(request.body);
    for (const HttpServer::Header& h : request.headers) {
        if (!isHopByHop(h.name)) {
            out.headers.emplace(toStd(h.name), toStd(h.value));
        }
    }
    httplib::Response in;
    httplib::Error error = httplib::Error::Success;
    if (!client.send(out, in, error)) {
        return plain(502, "proxy: forwarding failed: " + toBytes(httplib::to_string(error)));
    }
    HttpServer::Response response;
    response.status = in.status;
    response.body = toBytes(in.body);
    response.contentType = toBytes(in.get_header_value("Content-Type"));
    for (const auto& [name, value] : in.headers) {
        const QByteArray n = toBytes(name);
        if (!isHopByHop(n) && n.compare("Content-Type", Qt::CaseInsensitive) != 0) {
            response.headers.append(HttpServer::Header{n, toBytes(value)});
        }
    }
    return response;
}

} // namespace

FakeProxy::FakeProxy()
    : m_server(std::make_unique<HttpServer>(
          [this](const Request& request) { return handle(request); })) {}

FakeProxy::~FakeProxy() {
    m_server.reset();
}

HttpServer::Response FakeProxy::handle(const Request& request) {
    std::optional<HttpServer::Response> own;
    {
        std::lock_guard lock(m_mutex);
        m_requests.append(request);
        const QByteArray authorization = request.header("Proxy-Authorization");
        const bool authorised =
            !m_requireAuth ||
            (request.hasHeader("Proxy-Authorization") &&
             (!m_expectedAuthorization || authorization == *m_expectedAuthorization));
        if (!authorised) {
            HttpServer::Response challenge = plain(407, "proxy authentication required");
            challenge.headers.append(HttpServer::Header{"Proxy-Authenticate", "Basic realm=\"x\""});
            return challenge;
        }
        own = m_ownAnswer;
    }
    return own ? *own : forward(request);
}

void FakeProxy::setRequireAuth(bool require) {
    std::lock_guard lock(m_mutex);
    m_requireAuth = require;
}

void FakeProxy::setExpectedAuthorization(std::optional<QByteArray> value) {
    std::lock_guard lock(m_mutex);
    m_expectedAuthorization = std::move(value);
}

void FakeProxy::setOwnAnswer(std::optional<HttpServer::Response> answer) {
    std::lock_guard lock(m_mutex);
    m_ownAnswer = std::move(answer);
}

QList<FakeProxy::Request> FakeProxy::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

qsizetype FakeProxy::requestCount() const {
    std::lock_guard lock(m_mutex);
    return m_requests.size();
}

quint16 FakeProxy::port() const {
    return m_server->port();
}

QString FakeProxy::hostAndPort() const {
    return m_server->hostAndPort();
}

QString FakeProxy::url() const {
    return QStringLiteral("http://") + hostAndPort();
}

} // namespace domiva::test
