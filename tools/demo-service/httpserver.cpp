#include "httpserver.h"

#include "core/error.h"

#include <QFile>
#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace domiva {

namespace {

QByteArray toBytes(const std::string& text) {
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

std::string toStd(const QByteArray& bytes) {
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool sameName(const QByteArray& a, QByteArrayView b) {
    return a.size() == b.size() && QByteArrayView(a).compare(b, Qt::CaseInsensitive) == 0;
}

// Any target at all, newlines of a decoded path included.
const char* const anyPath = R"([\s\S]*)";

} // namespace

QByteArray HttpServer::Request::header(QByteArrayView name) const {
    const auto it = std::find_if(headers.cbegin(), headers.cend(),
                                 [name](const Header& h) { return sameName(h.name, name); });
    return it == headers.cend() ? QByteArray() : it->value;
}

bool HttpServer::Request::hasHeader(QByteArrayView name) const {
    return headerCount(name) > 0;
}

qsizetype HttpServer::Request::headerCount(QByteArrayView name) const {
    return std::count_if(headers.cbegin(), headers.cend(),
                         [name](const Header& h) { return sameName(h.name, name); });
}

struct HttpServer::Impl {
    Handler handler;
    std::unique_ptr<httplib::Server> server; // httplib::SSLServer for TLS
    std::thread thread;
    quint16 port = 0;
    QByteArray address;

    // Delays and stalls wait on this so that stopping cuts them short.
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::atomic<bool> listenEnded{false};

    // Waits until the server stops or the time is up; true when the server stops.
    template <typename Duration> bool waitForStop(Duration duration) {
        std::unique_lock lock(mutex);
        return wake.wait_for(lock, duration, [this] { return stopping; });
    }
    void waitForStop() {
        std::unique_lock lock(mutex);
        wake.wait(lock, [this] { return stopping; });
    }

    void serve(const httplib::Request& in, const std::string& body, httplib::Response& out);
};

void HttpServer::Impl::serve(const httplib::Request& in, const std::string& body,
                             httplib::Response& out) {
    Request request;
    request.method = toBytes(in.method);
    request.target = toBytes(in.target);
    request.version = toBytes(in.version);
    request.body = toBytes(body);
    request.remoteAddress = toBytes(in.remote_addr);
    for (const auto& [name, value] : in.headers) {
        // The server adds these for itself; they were not sent.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
            name == "LOCAL_PORT") {
            continue;
        }
        request.headers.append({toBytes(name), toBytes(value)});
    }

    Response response;
    try {
        response = handler(request);
    } catch (const std::exception& e) {
        response = Response{};
        response.status = 500;
        response.body = QByteArray("handler failed: ") + e.what();
    }

    if (response.delay.count() > 0 && waitForStop(response.delay)) {
        out.status = 503;
        return;
    }

    out.status = response.status;
    for (const Header& h : response.headers) {
        out.set_header(toStd(h.name), toStd(h.value));
    }
    const std::string contentType = toStd(response.contentType);
    if (!response.stallAfter && response.pieceBytes <= 0) {
        out.set_content(toStd(response.body), contentType);
        return;
    }

    const auto content = std::make_shared<std::string>(toStd(response.body));
    const auto sent = static_cast<std::size_t>(std::clamp<qsizetype>(
        response.stallAfter.value_or(response.body.size()), 0, response.body.size()));
    const auto piece =
        response.pieceBytes > 0 ? static_cast<std::size_t>(response.pieceBytes) : sent;
    out.set_content_provider(content->size(), contentType,
                             [this, content, sent, piece, pause = response.pieceInterval](
                                 std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset < sent) {
                                     // Each piece goes out as a write of its own; the pause keeps
                                     // the client from finding two in one read.
                                     if (offset > 0 && waitForStop(pause))
                                         return false;
                                     return sink.write(content->data() + offset,
                                                       std::min(piece, sent - offset));
                                 }
                                 waitForStop();
                                 return false;
                             });
}

HttpServer::HttpServer(Handler handler, quint16 port, const QByteArray& address,
                       const std::optional<Tls>& tls)
    : d(std::make_unique<Impl>()) {
    if (tls) {
        d->server =
            std::make_unique<httplib::SSLServer>(QFile::encodeName(tls->certFile).constData(),
                                                 QFile::encodeName(tls->keyFile).constData());
        if (!d->server->is_valid())
            throw Error(QStringLiteral("Cannot serve TLS with %1").arg(tls->certFile));
        auto* ssl = static_cast<httplib::SSLServer*>(d->server.get());
        if (tls->maxVersion != 0 &&
            SSL_CTX_set_max_proto_version(ssl->ssl_context(), tls->maxVersion) != 1)
            throw Error(QStringLiteral("Cannot serve TLS below version %1").arg(tls->maxVersion));
    } else {
        d->server = std::make_unique<httplib::Server>();
    }
    d->handler = std::move(handler);
    d->address = address;
    // Short, so that stopping does not wait long for an idle kept-alive connection.
    d->server->set_keep_alive_timeout(1);

    const auto serve = [impl = d.get()](const httplib::Request& in, httplib::Response& out) {
        impl->serve(in, in.body, out);
    };
    // Requests with a body read it through a content reader: the plain handlers refuse form
    // bodies above 8 KiB.
    const auto serveWithBody = [impl = d.get()](const httplib::Request& in, httplib::Response& out,
                                                const httplib::ContentReader& reader) {
        std::string body;
        reader([&body](const char* data, std::size_t length) {
            body.append(data, length);
            return true;
        });
        impl->serve(in, body, out);
    };
    d->server->Get(anyPath, serve);
    d->server->Options(anyPath, serve);
    d->server->Post(anyPath, serveWithBody);
    d->server->Put(anyPath, serveWithBody);
    d->server->Patch(anyPath, serveWithBody);
    d->server->Delete(anyPath, serveWithBody);

    // cpp-httplib's default also sets SO_REUSEPORT, which lets a second server bind the same
    // port silently and take half of the requests. Address reuse alone is what a restart needs.
    d->server->set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });

    const std::string host = toStd(address);
    if (port == 0) {
        const int chosen = d->server->bind_to_any_port(host);
        if (chosen <= 0) {
            throw Error(QStringLiteral("Cannot listen on %1").arg(QString::fromLatin1(address)));
        }
        d->port = static_cast<quint16>(chosen);
    } else {
        if (!d->server->bind_to_port(host, port)) {
            throw Error(QStringLiteral("Cannot listen on %1:%2")
                            .arg(QString::fromLatin1(address))
                            .arg(port));
        }
        d->port = port;
    }

    d->thread = std::thread([impl = d.get()] {
        impl->server->listen_after_bind();
        impl->listenEnded = true;
    });
    // stop() only takes effect once the server runs: wait for that, so that a server
    // destroyed at once still stops.
    while (!d->server->is_running() && !d->listenEnded) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

HttpServer::~HttpServer() {
    stop();
}

quint16 HttpServer::port() const {
    return d->port;
}

QString HttpServer::hostAndPort() const {
    return QStringLiteral("%1:%2").arg(QString::fromLatin1(d->address)).arg(d->port);
}

void HttpServer::stop() {
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->wake.notify_all();
    d->server->stop();
    if (d->thread.joinable()) {
        d->thread.join();
    }
}

} // namespace domiva
