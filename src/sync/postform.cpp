#include "sync/postform.h"

#include "sync/formencoding.h"
#include "sync/httptransfer.h"

namespace domiva {

namespace {

// The address as hostFromUrl reads it (without "http://" when it holds one) and the end of the
// host in that text.
struct HostSplit {
    QString rest;
    qsizetype hostEnd = 0;
};

HostSplit splitAtHost(const QString& url) {
    HostSplit split{url};
    if (split.rest.contains(QLatin1String("http://"), Qt::CaseSensitive)) {
        split.rest.remove(0, 7);
    }
    const qsizetype slash = split.rest.indexOf(QLatin1Char('/'));
    // No text before the first "/": the whole rest is the host.
    split.hostEnd = slash > 0 ? slash : split.rest.size();
    return split;
}

} // namespace

QString hostFromUrl(const QString& url) {
    const HostSplit split = splitAtHost(url);
    return split.rest.left(split.hostEnd);
}

QString objectNameFromUrl(const QString& url) {
    const HostSplit split = splitAtHost(url);
    // An empty host is found nowhere: nothing is removed.
    if (split.hostEnd == 0) {
        return url;
    }
    // What follows the host where hostFromUrl found it, not where its text first occurs: a
    // host "h" or "http" also matches inside "http://".
    return split.rest.mid(split.hostEnd + 1);
}

std::unique_ptr<CurlTransfer> prepareFormPost(const QString& url, const QString& agentText,
                                              const QByteArray& formText,
                                              const TransferLimits& limits, BodySink* sink,
                                              const QString& caFile) {
    const bool tls = url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
    // An https address is taken as it is: the rules above are those of plain addresses.
    const QByteArray target =
        tls ? "https://" + url.mid(8).toUtf8()
            : "http://" + hostFromUrl(url).toUtf8() + "/" + objectNameFromUrl(url).toUtf8();
    const QByteArray agent = headerSafe(agentText.toUtf8());

    auto transfer = std::make_unique<CurlTransfer>(limits);
    // No CURLOPT_PROXY: libcurl then takes the system's proxy from the environment.
    transfer->setUpFormPost(target, tls, caFile, CURL_HTTP_VERSION_1_1, agent, formText);
    transfer->addHeader("Accept: text/*");
    transfer->addHeader("Content-Type: application/x-www-form-urlencoded");
    transfer->addHeader("Expect:");
    transfer->setBodySink(sink);
    return transfer;
}

PostFormResult formPostResult(const CurlTransfer& transfer) {
    PostFormResult result;
    if (!transfer.succeeded()) {
        result.transportError = transfer.errorText();
        if (transfer.bodyTooLarge()) {
            result.limitFailure = result.transportError;
        }
        if (transfer.tlsFailed()) {
            result.tlsFailure = result.transportError;
        }
    } else if (transfer.status() >= 300) {
        result.httpFailure = transfer.statusFailure(false);
    } else {
        result.body = transfer.body();
    }
    return result;
}

PostFormResult formPostSetupFailure(const std::exception& failure) {
    // This transport reports failure by its result only.
    PostFormResult result;
    result.transportError = QString::fromUtf8(failure.what());
    result.setupFailure = result.transportError;
    return result;
}

PostFormResult postForm(const QString& url, const QString& agentText, const QByteArray& formText,
                        const TransferLimits& limits, BodySink* sink, const QString& caFile) {
    std::unique_ptr<CurlTransfer> transfer;
    try {
        transfer = prepareFormPost(url, agentText, formText, limits, sink, caFile);
    } catch (const std::exception& e) {
        return formPostSetupFailure(e);
    }
    transfer->run();
    return formPostResult(*transfer);
}

} // namespace domiva
