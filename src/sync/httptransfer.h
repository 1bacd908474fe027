#pragma once

#include "core/error.h"
#include "sync/bodysink.h"
#include "sync/httplimits.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <curl/curl.h>

#include <atomic>
#include <map>
#include <memory>

class QSocketNotifier;

namespace domiva {

// One HTTP exchange by libcurl. Either start() it and wait for finished(), the thread's own
// event loop driving it through socket notifiers and a timer; or run() it to its end, libcurl
// waiting on the sockets (a worker thread's steps stay steps: no nested event loop).
//
// Set the request up on handle() (URL, method, body, proxy...) and addHeader() first. One
// transfer runs once.
class CurlTransfer : public QObject {
    Q_OBJECT
public:
    explicit CurlTransfer(const TransferLimits& limits = {}, QObject* parent = nullptr);
    ~CurlTransfer() override;

    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    // The easy handle, for setting the request up before start(). The transfer owns the
    // write, header and error-buffer options: leave those alone.
    CURL* handle() const { return m_easy.get(); }
    // Sets an option of the request on handle(). libcurl refusing one (a library older than
    // the one built against, which lacks the option, or a value it rejects) throws
    // domiva::Error naming the option: a request must not go out without the protocol, redirect,
    // proxy or certificate settings it was given.
    template <typename T> void setOption(CURLoption option, T value) {
        const CURLcode code = curl_easy_setopt(m_easy.get(), option, value);
        if (code != CURLE_OK)
            throw Error(optionFailure(option, code));
    }
    // A request header line, "Name: value"; "Name:" suppresses a header libcurl would add.
    void addHeader(const QByteArray& line);
    // The body goes to `sink` instead of body(); the sink must outlive the transfer.
    void setBodySink(BodySink* sink) { m_sink = sink; }
    // The exchange goes over TLS 1.2 or newer, with the server's certificate chain and its
    // host name (or address) checked, against the CAs of the PEM file caFile or, when that is
    // empty, the system's store. Only an https URL is allowed. Throws domiva::Error when
    // libcurl refuses any of it.
    void requireTls(const QString& caFile);
    // The form POST both transports send: to url (https: over TLS as requireTls says, else
    // plain HTTP only), the path as it is, the HTTP version and user agent given, no redirect
    // followed, body as the form. Throws domiva::Error when libcurl refuses any of it.
    void setUpFormPost(const QByteArray& url, bool tls, const QString& caFile, long httpVersion,
                       const QByteArray& agent, const QByteArray& body);

    void start();
    // Every transfer made on the calling thread from now on is aborted once *cancel is set
    // (checked at least every 50 ms).
    static void cancelOnThreadWhen(const std::atomic<bool>* cancel);
    // Runs the transfer to its end on the calling thread and returns then: libcurl waits on
    // the sockets itself, and no event loop turns meanwhile (a worker thread's other work
    // never runs from inside a request). The limits and the cancel flag end it early.
    void run();
    // Ends a running transfer as failed with the given reason; emits finished().
    void abort(const QString& reason);

    bool isRunning() const { return m_state == State::Running; }
    bool isFinished() const { return m_state == State::Finished; }
    // Finished and libcurl reported no error (whatever the HTTP status).
    bool succeeded() const { return isFinished() && m_code == CURLE_OK; }
    CURLcode resultCode() const { return m_code; }
    // What went wrong, as libcurl words it; empty after success.
    QString errorText() const { return m_errorText; }
    // Status code of the last response received; 0 when none came.
    long status() const { return m_status; }
    // Reason phrase of the last status line ("Internal Server Error").
    QByteArray reasonPhrase() const { return m_reason; }
    // The host (and port, when the address names one) that the last response's Location
    // sends the request to; empty when it names none. Redirects are never followed.
    QString redirectHost() const { return m_redirectHost; }
    // The last response's status as the reason it is no feed, the server's words made
    // printable: "HTTP 500 Internal Server Error", and for a redirect where it would have led,
    // "HTTP 307 Temporary Redirect: redirect to other.example:8080 refused". Without
    // withReason the reason phrase is left out ("HTTP 500").
    QString statusFailure(bool withReason = true) const;
    // The body of the last response, byte for byte (empty when a sink took it).
    const QByteArray& body() const { return m_body; }
    // The transfer failed because the body grew beyond the limit; errorText() names the limit.
    bool bodyTooLarge() const { return m_bodyTooLarge; }
    // The transfer failed because no trusted TLS connection came about (certificate, host
    // name, handshake, CA file); errorText() is the TLS library's reason.
    bool tlsFailed() const;

signals:
    // Emitted once, when the transfer ends in any way. Do not delete the transfer directly in
    // a slot connected here (deleteLater() is fine).
    void finished();

private:
    struct EasyCleanup {
        void operator()(CURL* h) const { curl_easy_cleanup(h); }
    };
    struct MultiCleanup {
        void operator()(CURLM* h) const { curl_multi_cleanup(h); }
    };
    struct ListCleanup {
        void operator()(curl_slist* l) const { curl_slist_free_all(l); }
    };
    // Disables a notifier at once and deletes it once control is back in the event loop: it
    // may be the very notifier whose signal is being delivered.
    struct NotifierCleanup {
        void operator()(QSocketNotifier* n) const;
    };
    using NotifierPtr = std::unique_ptr<QSocketNotifier, NotifierCleanup>;
    struct SocketWatch {
        NotifierPtr read;
        NotifierPtr write;
    };
    enum class State { Idle, Running, Finished };

    static QString optionFailure(CURLoption option, CURLcode code);
    static int socketCallback(CURL* easy, curl_socket_t socket, int what, void* self, void*);
    static int timerCallback(CURLM* multi, long timeoutMs, void* self);
    static size_t writeCallback(char* data, size_t size, size_t count, void* self);
    static size_t headerCallback(char* data, size_t size, size_t count, void* self);
    static int progressCallback(void* self, curl_off_t, curl_off_t downloaded, curl_off_t,
                                curl_off_t uploaded);

    void watchSocket(curl_socket_t socket, int what);
    void drive(curl_socket_t socket, int events);
    void collectDone();
    void finish(CURLcode code);
    void fail(CURLcode code, const QString& reason);
    void poll();
    // The limits and the cancel flag: false (and finished) once one of them ends the transfer.
    bool withinLimits();

    // Declaration order matters for destruction: the header list and the easy handle outlive
    // the multi handle's use of them (the destructor detaches the easy handle first).
    std::unique_ptr<curl_slist, ListCleanup> m_headers;
    std::unique_ptr<CURL, EasyCleanup> m_easy;
    std::unique_ptr<CURLM, MultiCleanup> m_multi;
    std::map<curl_socket_t, SocketWatch> m_sockets;
    QTimer m_timeout;    // libcurl's own time-out requests
    QTimer m_safetyPoll; // in case a socket event goes unnoticed
    // libcurl's own low-speed check averages over several seconds; this one counts from the
    // last byte that moved.
    std::chrono::milliseconds m_stallTime;
    QElapsedTimer m_sinceActivity;
    curl_off_t m_bytesMoved = 0;
    qint64 m_minBytesPerSecond;
    std::chrono::milliseconds m_rateWindow;
    QElapsedTimer m_sinceWindow;
    curl_off_t m_bytesAtWindow = 0;
    const std::atomic<bool>* m_cancel;
    qint64 m_maxBodyBytes;
    bool m_bodyTooLarge = false;
    qint64 m_bodyBytes = 0; // of the current response
    State m_state = State::Idle;
    CURLcode m_code = CURLE_OK;
    QString m_errorText;
    long m_status = 0;
    QByteArray m_reason;
    QString m_redirectHost;
    QByteArray m_body;
    BodySink* m_sink = nullptr;
    char m_errorBuffer[CURL_ERROR_SIZE] = {};
};

} // namespace domiva
