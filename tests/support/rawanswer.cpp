#include "support/rawanswer.h"

#include "app/error.h"

#include <QTcpSocket>

namespace domiva::test {

RawAnswerServer::RawAnswerServer(QByteArray answer) : m_answer(std::move(answer)) {
    if (!m_server.listen(QHostAddress::LocalHost))
        throw Error(QStringLiteral("RawAnswerServer cannot listen: ") + m_server.errorString());
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* client = m_server.nextPendingConnection()) {
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QTcpSocket::readyRead, this, [this, client] {
                const QByteArray in = client->peek(client->bytesAvailable());
                const qsizetype end = in.indexOf("\r\n\r\n");
                if (end < 0)
                    return;
                const qsizetype length = in.indexOf("Content-Length:");
                const qsizetype body =
                    length < 0 ? 0
                               : in.mid(length + 15, in.indexOf('\r', length) - length - 15)
                                     .trimmed()
                                     .toLongLong();
                if (in.size() < end + 4 + body)
                    return;
                client->readAll();
                ++m_requests;
                client->write(m_answer);
                client->disconnectFromHost();
            });
        }
    });
}

} // namespace domiva::test
