#include "sync/httptransfer.h"

#include "core/error.h"
#include "core/eventlog.h"

#include <QFile>
#include <QSocketNotifier>
#include <QUrl>

#include <algorithm>

namespace domiva {

namespace {

// libcurl's global set-up is not thread-safe; do it once, before the first handle.
void initCurlOnce() {
    static const bool done = [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw Error(QStringLiteral("libcurl could not be initialised"));
        }
        return true;
    }();
    (void)done;
}

constexpr int safetyPollMs = 50;

thread_local const std::atomic<bool>* t_cancel = nullptr;

QString sizeText(qint64 bytes) {
    constexpr qint64 mebibyte = qint64(1) << 20;
    return bytes % mebibyte == 0 && bytes > 0 ? QStringLiteral("%1 MiB").arg(bytes / mebibyte)
                                              : QStringLiteral("%1 bytes").arg(bytes);
}

} // namespace

void CurlTransfer::NotifierCleanup::operator()(QSocketNotifier* n) const {
    n->setEnabled(false);
    n->deleteLater();
}

CurlTransfer::CurlTransfer(const TransferLimits& limits, QObject* parent)
    : QObject(parent), m_stallTime(limits.stallTime), m_minBytesPerSecond(limits.minBytesPerSecond),
      m_rateWindow(limits.rateWindow), m_cancel(t_cancel), m_maxBodyBytes(limits.maxBodyBytes) {
    initCurlOnce();
    m_easy.reset(curl_easy_init());
    m_multi.reset(curl_multi_init());
    if (!m_easy || !m_multi) {
        throw Error(QStringLiteral("libcurl could not create a transfer"));
    }

    setOption(CURLOPT_NOSIGNAL, 1L);
    // A name lookup that never answers is left to itself when the transfer goes: without this,
    // removing the handle waits for the resolver's thread, and the end of the program with it.
    setOption(CURLOPT_QUICK_EXIT, 1L);
    setOption(CURLOPT_ERRORBUFFER, m_errorBuffer);
    setOption(CURLOPT_WRITEFUNCTION, &CurlTransfer::writeCallback);
    setOption(CURLOPT_WRITEDATA, this);
    setOption(CURLOPT_HEADERFUNCTION, &CurlTransfer::headerCallback);
    setOption(CURLOPT_HEADERDATA, this);
    setOption(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max<std::chrono::milliseconds::rep>(
                                             limits.connectTimeout.count(), 1)));
    // libcurl's own check stays as a backstop to poll().
    setOption(CURLOPT_LOW_SPEED_LIMIT, 1L);
    setOption(CURLOPT_LOW_SPEED_TIME,
              static_cast<long>(std::max<std::chrono::seconds::rep>(
                  std::chrono::ceil<std::chrono::seconds>(limits.stallTime).count(), 1)));
    setOption(CURLOPT_NOPROGRESS, 0L);
    setOption(CURLOPT_XFERINFOFUNCTION, &CurlTransfer::progressCallback);
    setOption(CURLOPT_XFERINFODATA, this);

    CURLM* multi = m_multi.get();
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &CurlTransfer::socketCallback);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &CurlTransfer::timerCallback);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);

    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] { drive(CURL_SOCKET_TIMEOUT, 0); });
    m_safetyPoll.setInterval(safetyPollMs);
    connect(&m_safetyPoll, &QTimer::timeout, this, &CurlTransfer::poll);
}

CurlTransfer::~CurlTransfer() {
    if (m_state == State::Running) {
        curl_multi_remove_handle(m_multi.get(), m_easy.get());
    }
    // Closing the multi handle closes its cached connections; nothing of this half-destroyed
    // object may be called back for that.
    curl_multi_setopt(m_multi.get(), CURLMOPT_SOCKETFUNCTION,
                      static_cast<curl_socket_callback>(nullptr));
    curl_multi_setopt(m_multi.get(), CURLMOPT_TIMERFUNCTION,
                      static_cast<curl_multi_timer_callback>(nullptr));
    m_sockets.clear();
    m_multi.reset();
}

void CurlTransfer::addHeader(const QByteArray& line) {
    // The list head changes only when the list was empty; on failure the list is untouched.
    curl_slist* head = curl_slist_append(m_headers.get(), line.constData());
    if (!head) {
        throw Error(QStringLiteral("libcurl could not add a request header"));
    }
    if (!m_headers) {
        m_headers.reset(head);
    }
}

void CurlTransfer::requireTls(const QString& caFile) {
    setOption(CURLOPT_PROTOCOLS_STR, "https");
    setOption(CURLOPT_REDIR_PROTOCOLS_STR, "https");
    setOption(CURLOPT_SSL_VERIFYPEER, 1L);
    setOption(CURLOPT_SSL_VERIFYHOST, 2L);
    setOption(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (!caFile.isEmpty()) {
        // These CAs instead of the system's: the built-in folder of certificates goes too.
        setOption(CURLOPT_CAINFO, QFile::encodeName(caFile).constData());
        setOption(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
}

QString CurlTransfer::optionFailure(CURLoption option, CURLcode code) {
    const curl_easyoption* known = curl_easy_option_by_id(option);
    return QStringLiteral("libcurl refused the option CURLOPT_%1: %2")
        .arg(known ? QString::fromLatin1(known->name) : QString::number(int(option)),
             QString::fromUtf8(curl_easy_strerror(code)));
}

QString CurlTransfer::statusFailure(bool withReason) const {
    QString text = QStringLiteral("HTTP %1").arg(m_status);
    if (withReason && !m_reason.isEmpty())
        text += QLatin1Char(' ') + printableText(QString::fromLatin1(m_reason));
    if (m_status >= 300 && m_status < 400)
        text += m_redirectHost.isEmpty()
                    ? QStringLiteral(": redirect refused")
                    : QStringLiteral(": redirect to %1 refused").arg(m_redirectHost);
    return text;
}

bool CurlTransfer::tlsFailed() const {
    switch (isFinished() ? m_code : CURLE_OK) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_INITFAILED:
        return true;
    default:
        return false;
    }
}

void CurlTransfer::start() {
    if (m_state != State::Idle) {
        return;
    }
    m_state = State::Running;
    try {
        setOption(CURLOPT_HTTPHEADER, m_headers.get());
    } catch (const Error& error) {
        fail(CURLE_FAILED_INIT, error.message());
        return;
    }
    m_sinceActivity.start();
    m_sinceWindow.start();
    m_safetyPoll.start();
    // Adding the handle asks for a time-out of 0 through timerCallback: the exchange begins
    // on the next turn of the event loop.
    const CURLMcode added = curl_multi_add_handle(m_multi.get(), m_easy.get());
    if (added != CURLM_OK) {
        m_state = State::Finished;
        m_safetyPoll.stop();
        m_code = CURLE_FAILED_INIT;
        m_errorText = QString::fromUtf8(curl_multi_strerror(added));
        emit finished();
    }
}

void CurlTransfer::run() {
    if (m_state != State::Idle)
        return;
    CURLM* multi = m_multi.get();
    // libcurl's own waiting, not an event loop: nothing else of the thread runs from inside
    // the request.
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, static_cast<curl_socket_callback>(nullptr));
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION,
                      static_cast<curl_multi_timer_callback>(nullptr));
    start();
    m_safetyPoll.stop();
    while (m_state == State::Running) {
        int running = 0;
        curl_multi_perform(multi, &running);
        collectDone();
        if (m_state != State::Running || !withinLimits())
            break;
        curl_multi_poll(multi, nullptr, 0, safetyPollMs, nullptr);
    }
}

void CurlTransfer::abort(const QString& reason) {
    fail(CURLE_ABORTED_BY_CALLBACK, reason);
}

void CurlTransfer::fail(CURLcode code, const QString& reason) {
    if (m_state != State::Running) {
        return;
    }
    curl_multi_remove_handle(m_multi.get(), m_easy.get());
    m_timeout.stop();
    m_safetyPoll.stop();
    m_sockets.clear();
    m_state = State::Finished;
    m_code = code;
    m_errorText = reason;
    emit finished();
}

void CurlTransfer::setUpFormPost(const QByteArray& url, bool tls, const QString& caFile,
                                 long httpVersion, const QByteArray& agent,
                                 const QByteArray& body) {
    setOption(CURLOPT_URL, url.constData());
    if (tls) {
        requireTls(caFile);
    } else {
        setOption(CURLOPT_PROTOCOLS_STR, "http");
        setOption(CURLOPT_REDIR_PROTOCOLS_STR, "http");
    }
    setOption(CURLOPT_PATH_AS_IS, 1L);
    setOption(CURLOPT_HTTP_VERSION, httpVersion);
    setOption(CURLOPT_USERAGENT, agent.constData());
    // Nothing in the exchange needs a redirect, and one would take the password elsewhere.
    setOption(CURLOPT_FOLLOWLOCATION, 0L);
    setOption(CURLOPT_POST, 1L);
    setOption(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    setOption(CURLOPT_COPYPOSTFIELDS, body.constData());
}

void CurlTransfer::cancelOnThreadWhen(const std::atomic<bool>* cancel) {
    t_cancel = cancel;
}

void CurlTransfer::poll() {
    if (withinLimits())
        drive(CURL_SOCKET_TIMEOUT, 0);
}

bool CurlTransfer::withinLimits() {
    if (m_state != State::Running)
        return false;
    if (m_cancel != nullptr && m_cancel->load()) {
        fail(CURLE_ABORTED_BY_CALLBACK, QStringLiteral("Transfer cancelled"));
        return false;
    }
    if (m_sinceActivity.hasExpired(m_stallTime.count())) {
        fail(CURLE_OPERATION_TIMEDOUT, QStringLiteral("Operation too slow: no data moved for %1 ms")
                                           .arg(m_sinceActivity.elapsed()));
        return false;
    }
    if (m_sinceWindow.hasExpired(m_rateWindow.count())) {
        const qint64 seconds = std::max<qint64>(1, m_sinceWindow.elapsed() / 1000);
        const qint64 moved = m_bytesMoved - m_bytesAtWindow;
        if (moved < m_minBytesPerSecond * seconds) {
            fail(CURLE_OPERATION_TIMEDOUT,
                 QStringLiteral("Operation too slow: %1 bytes in %2 s, below the limit of %3 "
                                "bytes/s")
                     .arg(moved)
                     .arg(seconds)
                     .arg(m_minBytesPerSecond));
            return false;
        }
        m_bytesAtWindow = m_bytesMoved;
        m_sinceWindow.restart();
    }
    return true;
}

int CurlTransfer::socketCallback(CURL*, curl_socket_t socket, int what, void* self, void*) {
    static_cast<CurlTransfer*>(self)->watchSocket(socket, what);
    return 0;
}

int CurlTransfer::timerCallback(CURLM*, long timeoutMs, void* self) {
    auto* transfer = static_cast<CurlTransfer*>(self);
    if (timeoutMs < 0) {
        transfer->m_timeout.stop();
    } else {
        // Never drive libcurl from inside its own callback: let the timer call back.
        transfer->m_timeout.start(static_cast<int>(std::min<long>(timeoutMs, safetyPollMs)));
    }
    return 0;
}

size_t CurlTransfer::writeCallback(char* data, size_t size, size_t count, void* self) {
    const size_t bytes = size * count;
    auto* transfer = static_cast<CurlTransfer*>(self);
    // Counted as it arrives: with a sink the body is not kept here.
    if (qint64(bytes) > transfer->m_maxBodyBytes - transfer->m_bodyBytes) {
        // Anything but the full count makes libcurl end the transfer.
        transfer->m_bodyTooLarge = true;
        return 0;
    }
    transfer->m_bodyBytes += qint64(bytes);
    if (transfer->m_sink)
        return transfer->m_sink->write(data, static_cast<qsizetype>(bytes)) ? bytes : 0;
    transfer->m_body.append(data, static_cast<qsizetype>(bytes));
    return bytes;
}

size_t CurlTransfer::headerCallback(char* data, size_t size, size_t count, void* self) {
    const size_t bytes = size * count;
    auto* transfer = static_cast<CurlTransfer*>(self);
    transfer->m_sinceActivity.restart();
    const QByteArray line(data, static_cast<qsizetype>(bytes));
    if (line.startsWith("HTTP/")) {
        // A new response begins (after a proxy's challenge or an interim answer): only the
        // last one's body and reason count.
        const QList<QByteArray> parts = line.trimmed().split(' ');
        transfer->m_reason = parts.size() > 2
                                 ? line.trimmed().mid(parts[0].size() + parts[1].size() + 2)
                                 : QByteArray();
        transfer->m_body.clear();
        transfer->m_bodyBytes = 0;
        if (transfer->m_sink && !transfer->m_sink->restart())
            return 0;
    }
    return bytes;
}

int CurlTransfer::progressCallback(void* self, curl_off_t, curl_off_t downloaded, curl_off_t,
                                   curl_off_t uploaded) {
    auto* transfer = static_cast<CurlTransfer*>(self);
    // The counters start again after a redirect or a proxy's challenge: any change is traffic.
    if (downloaded + uploaded != transfer->m_bytesMoved) {
        transfer->m_bytesMoved = downloaded + uploaded;
        transfer->m_sinceActivity.restart();
    }
    return 0;
}

void CurlTransfer::watchSocket(curl_socket_t socket, int what) {
    if (what == CURL_POLL_REMOVE) {
        m_sockets.erase(socket);
        return;
    }
    SocketWatch& watch = m_sockets[socket];
    const auto ensure = [this, socket](NotifierPtr& notifier, QSocketNotifier::Type type,
                                       int event) {
        if (!notifier) {
            notifier.reset(new QSocketNotifier(static_cast<qintptr>(socket), type, this));
            connect(notifier.get(), &QSocketNotifier::activated, this,
                    [this, socket, event] { drive(socket, event); });
        }
    };
    const bool wantRead = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool wantWrite = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    if (wantRead) {
        ensure(watch.read, QSocketNotifier::Read, CURL_CSELECT_IN);
    }
    if (watch.read) {
        watch.read->setEnabled(wantRead);
    }
    if (wantWrite) {
        ensure(watch.write, QSocketNotifier::Write, CURL_CSELECT_OUT);
    }
    if (watch.write) {
        watch.write->setEnabled(wantWrite);
    }
}

void CurlTransfer::drive(curl_socket_t socket, int events) {
    if (m_state != State::Running) {
        return;
    }
    int running = 0;
    curl_multi_socket_action(m_multi.get(), socket, events, &running);
    collectDone();
}

void CurlTransfer::collectDone() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(m_multi.get(), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == m_easy.get()) {
            finish(message->data.result);
            return;
        }
    }
}

void CurlTransfer::finish(CURLcode code) {
    m_code = code;
    curl_easy_getinfo(m_easy.get(), CURLINFO_RESPONSE_CODE, &m_status);
    const char* location = nullptr;
    if (m_status >= 300 && m_status < 400 &&
        curl_easy_getinfo(m_easy.get(), CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location) {
        const QUrl target(QString::fromUtf8(location));
        m_redirectHost = printableText(target.port() < 0 ? target.host()
                                                         : target.host() + QLatin1Char(':') +
                                                               QString::number(target.port()));
    }
    if (m_bodyTooLarge) {
        m_body.clear();
        m_errorText = QStringLiteral("The response is larger than the limit of %1: given up")
                          .arg(sizeText(m_maxBodyBytes));
    } else if (code != CURLE_OK) {
        // libcurl's words may quote the server's (a certificate's name, a header).
        m_errorText =
            printableText(m_errorBuffer[0] != '\0' ? QString::fromUtf8(m_errorBuffer)
                                                   : QString::fromUtf8(curl_easy_strerror(code)));
    }
    curl_multi_remove_handle(m_multi.get(), m_easy.get());
    m_timeout.stop();
    m_safetyPoll.stop();
    // The connection may stay open in libcurl's cache; nothing here is waiting for it.
    m_sockets.clear();
    m_state = State::Finished;
    emit finished();
}

} // namespace domiva
