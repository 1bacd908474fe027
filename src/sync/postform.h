#pragma once

#include "sync/bodysink.h"
#include "sync/httplimits.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace domiva {

class CurlTransfer;

// The host of an address: "http://" (exact case) anywhere in it makes its first seven
// characters go; the host is then the text before the first "/", or all of it when that text
// is empty. hostFromUrl("http://example.org:8080/db/x") == "example.org:8080"
QString hostFromUrl(const QString& url);

// The object name: the address with everything up to and including the host that hostFromUrl
// finds removed, and the one character after it. "http://h/db/x/get20.txt" gives
// "db/x/get20.txt".
QString objectNameFromUrl(const QString& url);

struct PostFormResult {
    // The response body, byte for byte; empty on every failure, and when a sink took it.
    QByteArray body;
    // "HTTP 500" when the server answered with a status of 300 or above, and for a redirect
    // where it would have led ("HTTP 302: redirect to other.example refused"); empty otherwise.
    // Redirects are never followed.
    QString httpFailure;
    // libcurl's account of a failed exchange (no connection, stalled...); empty otherwise.
    QString transportError;
    // Set, with transportError, when the response was given up at its size limit; names the
    // limit.
    QString limitFailure;
    // Set, with transportError, when no trusted TLS connection came about; the TLS library's
    // reason.
    QString tlsFailure;
    // Set, with transportError, when the request could not be set up as it must go (libcurl
    // refused an option); nothing was sent.
    QString setupFailure;
};

// Sends formText (sent exactly as passed: nothing is encoded here) by POST to
// "http://" + hostFromUrl(url) + "/" + objectNameFromUrl(url) over HTTP/1.1, with the headers
// "Accept: text/*" and "Content-Type: application/x-www-form-urlencoded" and agentText as user
// agent. A url beginning with "https://" is sent as it is, over TLS checked against the CAs of
// caFile or the system's (CurlTransfer::requireTls). The proxy is the system's configuration
// as libcurl reads it from the environment (http_proxy, https_proxy, no_proxy); a redirect is
// not followed but fails the exchange (httpFailure). Returns once the exchange has ended
// (CurlTransfer::run(): no event loop turns meanwhile). With a sink, the body goes there as it
// arrives (an error page too) instead of into the result.
PostFormResult postForm(const QString& url, const QString& agentText, const QByteArray& formText,
                        const TransferLimits& limits = {}, BodySink* sink = nullptr,
                        const QString& caFile = {});

// The same in two halves, for a caller that drives the transfer itself (start() it on its own
// event loop): the request set up, not yet sent. Throws std::exception when it cannot be set
// up as it must go (postForm() reports that as setupFailure).
std::unique_ptr<CurlTransfer> prepareFormPost(const QString& url, const QString& agentText,
                                              const QByteArray& formText,
                                              const TransferLimits& limits = {},
                                              BodySink* sink = nullptr, const QString& caFile = {});
// ... and once it has finished, what postForm() gives.
PostFormResult formPostResult(const CurlTransfer& transfer);
// What postForm() gives when the request could not be set up.
PostFormResult formPostSetupFailure(const std::exception& failure);

} // namespace domiva
