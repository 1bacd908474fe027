#include "support/tunnelproxy.h"

#include "core/error.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace domiva::test {

class TunnelProxy::Server : public QObject {
public:
    explicit Server(QByteArray expectedAuthorization)
        : m_expectedAuthorization(std::move(expectedAuthorization)) {
        if (!m_server.listen(QHostAddress::LocalHost))
            return;
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* client = m_server.nextPendingConnection())
                connect(client, &QTcpSocket::readyRead, this, [this, client] { readHead(client); });
        });
    }

    void readHead(QTcpSocket* client);

    QTcpServer m_server;
    QByteArray m_expectedAuthorization;
    QList<HttpServer::Request> m_requests;
};

TunnelProxy::TunnelProxy(QByteArray expectedAuthorization)
    : m_serving(std::make_unique<ServingThread>()) {
    m_server = m_serving->make<Server>(std::move(expectedAuthorization));
    QString failure;
    m_serving->run([&] {
        m_port = m_server->m_server.serverPort();
        if (!m_server->m_server.isListening())
            failure = m_server->m_server.errorString();
    });
    if (!failure.isEmpty())
        throw Error(QStringLiteral("TunnelProxy cannot listen: ") + failure);
}

TunnelProxy::~TunnelProxy() = default;

QList<HttpServer::Request> TunnelProxy::requests() const {
    QList<HttpServer::Request> requests;
    m_serving->run([&] { requests = m_server->m_requests; });
    return requests;
}

void TunnelProxy::Server::readHead(QTcpSocket* client) {
    const qsizetype end = client->peek(client->bytesAvailable()).indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = client->read(end + 4).trimmed().split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    HttpServer::Request request;
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    request.version = requestLine.value(2);
    for (const QByteArray& line : lines.mid(1)) {
        const qsizetype colon = line.indexOf(':');
        request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    m_requests.append(request);
    if (request.header("Proxy-Authorization") != m_expectedAuthorization) {
        client->write("HTTP/1.1 407 Proxy Authentication Required\r\n"
                      "Proxy-Authenticate: Basic realm=\"x\"\r\nContent-Length: 0\r\n\r\n");
        return;
    }
    // From here on the connection is the tunnel.
    disconnect(client, nullptr, this, nullptr);
    auto* target = new QTcpSocket(client);
    const qsizetype colon = request.target.lastIndexOf(':');
    connect(target, &QTcpSocket::connected, client,
            [client] { client->write("HTTP/1.1 200 Connection established\r\n\r\n"); });
    connect(client, &QTcpSocket::readyRead, target,
            [client, target] { target->write(client->readAll()); });
    connect(target, &QTcpSocket::readyRead, client,
            [client, target] { client->write(target->readAll()); });
    connect(target, &QTcpSocket::errorOccurred, client, &QTcpSocket::disconnectFromHost);
    connect(client, &QTcpSocket::disconnected, target, &QTcpSocket::disconnectFromHost);
    target->connectToHost(QString::fromLatin1(request.target.left(colon)),
                          request.target.mid(colon + 1).toUShort());
}

} // namespace domiva::test
