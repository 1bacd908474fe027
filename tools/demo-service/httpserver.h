#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace domiva {

// A small HTTP/1.x server on its own thread, for the demo service and the tests' fake service.
// It hands every request to one handler and sends what the handler returns. The handler runs
// on the server's worker threads, possibly several at once: it must be thread-safe.
class HttpServer {
public:
    struct Header {
        QByteArray name;
        QByteArray value;
    };

    struct Request {
        QByteArray method;  // "POST", "GET", ...
        QByteArray target;  // the request target as sent, not decoded: "/db/demo/get5.txt"
        QByteArray version; // "HTTP/1.0" or "HTTP/1.1"
        QList<Header> headers;
        QByteArray body; // byte for byte
        QByteArray remoteAddress;

        // The first value of the header named so (names compare case-insensitively); empty
        // when the header is missing.
        QByteArray header(QByteArrayView name) const;
        bool hasHeader(QByteArrayView name) const;
        // How many headers carry this name (a header sent twice is a fault worth seeing).
        qsizetype headerCount(QByteArrayView name) const;
    };

    struct Response {
        int status = 200;
        QByteArray contentType = "text/plain";
        QByteArray body;
        QList<Header> headers; // extra headers, e.g. Location for a redirect
        // Wait this long before answering (cut short when the server stops).
        std::chrono::milliseconds delay{0};
        // When set: send the headers and this many bytes of the body, then send nothing more
        // until the server stops (a stalled server). Content-Length still announces the
        // whole body.
        std::optional<qsizetype> stallAfter;
        // When above 0: send the body in pieces of this many bytes, pieceInterval apart, so that
        // the client receives it over many reads (or, slowly, a server that drips).
        qsizetype pieceBytes = 0;
        std::chrono::milliseconds pieceInterval{5};
    };

    using Handler = std::function<Response(const Request&)>;

    // PEM files of the certificate (chain) and private key to serve HTTPS with.
    struct Tls {
        QString certFile;
        QString keyFile;
        // The newest protocol version offered (an OpenSSL TLS1_x_VERSION), 0 for the library's
        // newest: a service stuck on an old version must be refused by the client.
        int maxVersion = 0;
    };

    // Listens on address:port (port 0 = a free port chosen by the system) and serves at once,
    // over TLS when tls is set. Throws domiva::Error when it cannot listen.
    explicit HttpServer(Handler handler, quint16 port = 0, const QByteArray& address = "127.0.0.1",
                        const std::optional<Tls>& tls = std::nullopt);
    // Stops listening, cuts waiting delays and stalls short, and joins the server thread.
    ~HttpServer();

    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    quint16 port() const;
    // "127.0.0.1:<port>"
    QString hostAndPort() const;

    // Stops serving and waits for the server's threads; safe to call more than once, but not
    // from within the handler. The destructor calls it.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace domiva
