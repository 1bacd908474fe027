#include "sync/formclient.h"

#include "core/error.h"
#include "sync/formencoding.h"
#include "sync/httptransfer.h"

#include <QStringEncoder>

namespace domiva {

namespace {

QByteArray toWindows1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    if (!encoder.isValid()) {
        throw Error(QStringLiteral("The Windows-1251 encoding is not available"));
    }
    return encoder.encode(text);
}

} // namespace

QByteArray FormClient::formBody(const QList<FormField>& fields) {
    QByteArray body;
    for (const FormField& field : fields) {
        body += formEncode(field.name) + '=' + formEncode(field.value) + '&';
    }
    return body;
}

std::unique_ptr<CurlTransfer>
FormClient::prepare(const QString& url, const QList<FormField>& fields, BodySink* sink) const {
    const QByteArray target = url.toUtf8();
    const QByteArray body = formBody(fields);
    const QByteArray agent = headerSafe(m_userAgent.toUtf8());

    auto transfer = std::make_unique<CurlTransfer>(m_limits);
    const bool tls = url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
    transfer->setUpFormPost(target, tls, m_caFile, CURL_HTTP_VERSION_1_0, agent, body);
    transfer->addHeader("Content-Type: application/x-www-form-urlencoded");
    transfer->addHeader("Accept: text/html, */*");
    transfer->addHeader("Expect:");
    transfer->setBodySink(sink);

    // The proxy of the settings and nothing else: an empty proxy means direct even when the
    // environment names one, and no_proxy must not send around an explicit proxy.
    const QByteArray proxy = m_proxyServer.toUtf8();
    transfer->setOption(CURLOPT_PROXY, proxy.constData());
    transfer->setOption(CURLOPT_NOPROXY, "");
    if (!m_proxyServer.isEmpty()) {
        if (m_proxyPort < 1 || m_proxyPort > 65535) {
            throw Error(QStringLiteral("Invalid proxy port %1").arg(m_proxyPort));
        }
        transfer->setOption(CURLOPT_PROXYPORT, static_cast<long>(m_proxyPort));
        // The proxy relays the encrypted bytes and never reads the request.
        transfer->setOption(CURLOPT_HTTPPROXYTUNNEL, tls ? 1L : 0L);
        if (!m_proxyLogin.isEmpty()) {
            const QByteArray login = toWindows1251(m_proxyLogin);
            const QByteArray password = toWindows1251(m_proxyPassword);
            transfer->setOption(CURLOPT_PROXYUSERNAME, login.constData());
            transfer->setOption(CURLOPT_PROXYPASSWORD, password.constData());
            // Credentials go only in answer to the proxy's challenge.
            transfer->setOption(CURLOPT_PROXYAUTH, CURLAUTH_ANY);
        }
    }
    return transfer;
}

QByteArray FormClient::result(const CurlTransfer& transfer) {
    if (!transfer.succeeded()) {
        throw Error(transfer.errorText());
    }
    const long status = transfer.status();
    if (status < 200 || status >= 300)
        throw Error(transfer.statusFailure());
    return transfer.body();
}

QByteArray FormClient::post(const QString& url, const QList<FormField>& fields,
                            BodySink* sink) const {
    const std::unique_ptr<CurlTransfer> transfer = prepare(url, fields, sink);
    transfer->run();
    return result(*transfer);
}

} // namespace domiva
