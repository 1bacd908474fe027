#include "sync/postform.h"

#include "sync/formencoding.h"
#include "sync/httptransfer.h"

namespace domiva {

namespace {

constexpr long maxRedirects = 10;

} // namespace

QString hostFromUrl(const QString& url) {
    QString rest = url;
    if (rest.contains(QLatin1String("http://"), Qt::CaseSensitive)) {
        rest.remove(0, 7);
    }
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    const QString host = slash < 0 ? QString() : rest.left(slash);
    return host.isEmpty() ? rest : host;
}

QString objectNameFromUrl(const QString& url) {
    const QString host = hostFromUrl(url);
    // An empty host is found nowhere: nothing is removed.
    if (host.isEmpty()) {
        return url;
    }
    const qsizetype at = url.indexOf(host);
    return url.mid(at + host.size() + 1);
}

PostFormResult postForm(const QString& url, const QString& agentText, const QByteArray& formText,
                        const TransferLimits& limits, BodySink* sink) {
    PostFormResult result;
    try {
        const QByteArray target =
            "http://" + hostFromUrl(url).toUtf8() + "/" + objectNameFromUrl(url).toUtf8();
        const QByteArray agent = headerSafe(agentText.toUtf8());

        CurlTransfer transfer(limits);
        CURL* easy = transfer.handle();
        curl_easy_setopt(easy, CURLOPT_URL, target.constData());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_USERAGENT, agent.constData());
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, maxRedirects);
        // No CURLOPT_PROXY: libcurl then takes the system's proxy from the environment.
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(formText.size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, formText.constData());
        transfer.addHeader("Accept: text/*");
        transfer.addHeader("Content-Type: application/x-www-form-urlencoded");
        transfer.addHeader("Expect:");
        transfer.setBodySink(sink);

        transfer.run();

        if (!transfer.succeeded()) {
            result.transportError = transfer.errorText();
        } else if (transfer.status() >= 400) {
            result.httpFailure = QStringLiteral("HTTP %1").arg(transfer.status());
        } else {
            result.body = transfer.body();
        }
    } catch (const std::exception& e) {
        // This transport reports failure by its result only.
        result = PostFormResult{};
        result.transportError = QString::fromUtf8(e.what());
    }
    return result;
}

} // namespace domiva
