#pragma once

#include "sync/bodysink.h"
#include "sync/httplimits.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

namespace domiva {

class CurlTransfer;

struct FormField {
    QByteArray name;
    QByteArray value; // bytes as they are to be encoded (a password already in Windows-1251)
};

// HTTP client that posts forms over HTTP/1.0 through the proxy of the settings, or directly
// when no proxy server is set; the environment's proxy variables play no part. An https URL
// goes over TLS (CurlTransfer::requireTls), through a CONNECT tunnel when there is a proxy.
class FormClient {
public:
    // An empty server means a direct connection.
    void setProxyServer(const QString& server) { m_proxyServer = server; }
    void setProxyPort(int port) { m_proxyPort = port; }
    // Login and password go to the proxy in Windows-1251, and only when it asks for them.
    void setProxyLogin(const QString& login) { m_proxyLogin = login; }
    void setProxyPassword(const QString& password) { m_proxyPassword = password; }
    void setUserAgent(const QString& agent) { m_userAgent = agent; }
    void setLimits(const TransferLimits& limits) { m_limits = limits; }
    // The CAs an https server is checked against; empty for the system's store.
    void setCaFile(const QString& caFile) { m_caFile = caFile; }

    QString proxyServer() const { return m_proxyServer; }
    int proxyPort() const { return m_proxyPort; }
    QString proxyLogin() const { return m_proxyLogin; }
    QString proxyPassword() const { return m_proxyPassword; }
    QString userAgent() const { return m_userAgent; }
    TransferLimits limits() const { return m_limits; }
    QString caFile() const { return m_caFile; }

    // POSTs the fields as a form and gives the response body, byte for byte (empty is fine).
    // Throws domiva::Error on a connection or TLS failure (libcurl's reason), a redirect or an
    // error status ("HTTP 500 Internal Server Error"). Returns once the exchange has ended
    // (CurlTransfer::run(): no event loop turns meanwhile). With a sink, the body goes there as it
    // arrives and post() gives an empty array.
    QByteArray post(const QString& url, const QList<FormField>& fields,
                    BodySink* sink = nullptr) const;
    // The same in two halves, for a caller that drives the transfer itself (start() it on its
    // own event loop): the request set up, not yet sent; throws as post() does when it cannot be.
    std::unique_ptr<CurlTransfer> prepare(const QString& url, const QList<FormField>& fields,
                                          BodySink* sink = nullptr) const;
    // ... and once it has finished, what post() gives or throws.
    static QByteArray result(const CurlTransfer& transfer);

    // name=value& for each field, both encoded by formEncode: "pass=kvax&rd=%2C3%2C17&".
    static QByteArray formBody(const QList<FormField>& fields);

private:
    QString m_proxyServer;
    int m_proxyPort = 0;
    QString m_proxyLogin;
    QString m_proxyPassword;
    QString m_userAgent;
    TransferLimits m_limits;
    QString m_caFile;
};

} // namespace domiva
