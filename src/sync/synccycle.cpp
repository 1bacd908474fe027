#include "sync/synccycle.h"

#include "app/datetimevalue.h"
#include "app/error.h"
#include "app/eventlog.h"
#include "env/environment.h"
#include "settings/settings.h"
#include "store/database.h"
#include "sync/feed.h"
#include "sync/formclient.h"
#include "sync/formencoding.h"
#include "sync/postform.h"
#include "sync/refreshtimer.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QSet>
#include <QStringEncoder>

#include <optional>
#include <type_traits>
#include <utility>

namespace domiva {

namespace {

QByteArray toWindows1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    if (!encoder.isValid())
        throw Error(QStringLiteral("Нет кодировки windows-1251"));
    return encoder.encode(text);
}

// The system transport stores the body as lines, each ended by CR LF, whatever line ends the
// server used.
QByteArray asCrLfLines(const QByteArray& body) {
    QByteArray out;
    out.reserve(body.size() + body.size() / 16);
    qsizetype start = 0;
    const qsizetype n = body.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = body.at(i);
        if (c != '\r' && c != '\n')
            continue;
        out.append(body.constData() + start, i - start).append("\r\n");
        if (c == '\r' && i + 1 < n && body.at(i + 1) == '\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        out.append(body.constData() + start, n - start).append("\r\n");
    return out;
}

QString newVersionText(const QString& site) {
    return QStringLiteral("Вышла новая версия программы!\r\n"
                          "Сильно рекомендуем произвести обновление с сайта ") +
           site;
}

} // namespace

SyncCycle::SyncCycle(SyncHost& host, RefreshTimer& timer, SyncContext context)
    : m_host(host), m_timer(timer), m_ctx(std::move(context)) {}

SyncCycle::~SyncCycle() = default;

QString SyncCycle::feedFilePath() const {
    return m_ctx.workDir + QString::fromUtf16(kFeedFileName);
}

QString SyncCycle::requestPath(bool loadAll) const {
    const Settings& s = *m_ctx.settings;
    return QStringLiteral("/db/") +
           QString::fromLatin1(percentEncodeSegment(toWindows1251(s.login))) +
           QStringLiteral("/get") + (loadAll ? QStringLiteral("all") : QString()) +
           QString::number(s.countQueries) + QStringLiteral(".txt");
}

void SyncCycle::downloadAndParse(bool loadAll) {
    if (m_busy)
        return;
    m_host.setWaitCursor(true);
    m_timer.setEnabled(false);
    m_busy = true;
    m_newOffers = 0;

    QString failureText;
    QString unloggedError;
    const auto fail = [&](const QString& message) {
        m_host.setStatusText(0, failureText);
        try {
            writeLog(m_ctx.logPath, message, false);
        } catch (const Error& e) {
            unloggedError = e.message();
        }
    };

    QFile::remove(feedFilePath());
    try {
        m_host.setStatusText(0, QString::fromUtf16(kStageChecking));
        m_host.processEvents();
        const QString url = QStringLiteral("http://") + m_ctx.service->host + requestPath(loadAll);

        // Reading the stored ids already belongs to the download: a failure there ends the
        // cycle like a failed download instead of leaving it half run.
        failureText = QString::fromUtf16(kDownloadFailed);
        if (!m_db)
            throw Error(QStringLiteral("База данных не открыта"));
        QByteArray rd;
        for (const qint32 id : m_db->queryIds())
            rd += ',' + QByteArray::number(id);

        m_host.setStatusText(0, QString::fromUtf16(kStageDownloading));
        m_host.processEvents();
        // Read once: the settings may be saved while the window has its turns.
        const bool systemTransport = m_ctx.settings->proxyFromIE;
        QByteArray body = download(url, rd, systemTransport);
        m_host.processEvents();
        // The system transport stores the answer as lines, each ended by CR LF; the other
        // stores it byte for byte.
        if (systemTransport)
            body = asCrLfLines(body);
        writeFeedFile(body);
        body.clear();
        m_host.processEvents();
        FeedLineReader lines(readFeedFile());
        m_host.processEvents();

        failureText = QString::fromUtf16(kParseFailed);
        m_host.setStatusText(0, QString::fromUtf16(kStageParsing));
        m_host.processEvents();
        m_host.suspendGrids();
        try {
            applyLines(lines);
        } catch (...) {
            m_host.resumeGrids();
            throw;
        }
        m_host.resumeGrids();
        m_host.setStatusText(0, QString::fromUtf16(kStageDone));
    } catch (const Error& e) {
        fail(e.message());
    } catch (const std::exception& e) {
        fail(QString::fromLocal8Bit(e.what()));
    }

    m_host.setStatusText(1, QStringLiteral("Последнее обновление: ") +
                                QLocale::system().toString(QDateTime::currentDateTime(),
                                                           QStringLiteral("hh:mm:ss d MMM yyyy")));
    QFile::remove(feedFilePath());
    if (m_newOffers > 0) {
        m_host.showTrayBalloon(QString::number(m_newOffers) + QStringLiteral(" новых объявлений"));
        m_host.requeryOffers();
    }
    m_timer.setInterval(RefreshTimer::intervalFromSeconds(m_ctx.settings->refreshTime));
    m_busy = false;
    m_timer.setEnabled(true);
    m_host.setWaitCursor(false);
    m_host.syncFinished();
    if (!unloggedError.isEmpty())
        throw Error(unloggedError);
}

QByteArray SyncCycle::download(const QString& url, const QByteArray& rd, bool systemTransport) {
    const Settings& s = *m_ctx.settings;
    const QByteArray password = toWindows1251(s.password);
    if (systemTransport) {
        const QByteArray form = "pass=" + formEncode(password) + "&rd=" + rd;
        const PostFormResult result =
            postForm(url, clientIdString(*m_ctx.environment, kWinInetSuffix), form, m_limits);
        if (!result.httpFailure.isEmpty())
            throw Error(result.httpFailure);
        if (!result.limitFailure.isEmpty())
            throw Error(result.limitFailure);
        if (result.body.isEmpty())
            throw Error(QString::fromUtf16(kEmptyUpdate));
        return result.body;
    }
    FormClient client;
    client.setProxyServer(s.proxyServer);
    client.setProxyPort(s.proxyPort);
    client.setProxyLogin(s.proxyLogin);
    client.setProxyPassword(s.proxyPassword);
    client.setUserAgent(clientIdString(*m_ctx.environment, kIndySuffix));
    client.setLimits(m_limits);
    return client.post(url, {{"pass", password}, {"rd", rd}});
}

void SyncCycle::writeFeedFile(const QByteArray& bytes) {
    QFile file(feedFilePath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush())
        throw Error(file.fileName() + QStringLiteral(": ") + file.errorString());
    file.close();
}

QByteArray SyncCycle::readFeedFile() {
    QFile file(feedFilePath());
    if (!file.open(QIODevice::ReadOnly))
        throw Error(file.fileName() + QStringLiteral(": ") + file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw Error(file.fileName() + QStringLiteral(": ") + file.errorString());
    return bytes;
}

void SyncCycle::commitGroup(std::unique_ptr<Transaction>& tx) {
    try {
        tx->commit();
    } catch (...) {
        // The group is lost (the engine may have rolled it back already): roll back what is
        // left and count none of its listings.
        tx.reset();
        m_uncommittedOffers = 0;
        throw;
    }
    tx.reset();
    m_newOffers += std::exchange(m_uncommittedOffers, 0);
}

void SyncCycle::giveWindowATurn(std::unique_ptr<Transaction>& tx) {
    // Committed before the window gets control: other connections see the rows at once, a
    // crash loses at most one slice, and nothing is held open while the user works.
    commitGroup(tx);
    m_host.processEvents();
    tx = std::make_unique<Transaction>(*m_db);
    m_slice.restart();
}

void SyncCycle::applyLines(FeedLineReader& lines) {
    std::optional<qint32> currentQuery;
    // Today's year and the month names are read once per feed, not once per offer.
    const DateTimeContext dates = DateTimeContext::system();
    // The searches already flagged in the open transaction: the user cannot have read
    // anything of them before the window's next turn, so flagging again would change nothing.
    QSet<qint32> flagged;
    m_uncommittedOffers = 0;
    auto tx = std::make_unique<Transaction>(*m_db);
    m_slice.start();
    try {
        while (!lines.atEnd()) {
            const FeedRecord record = readFeedRecord(lines.next());
            std::visit(
                [&](const auto& r) {
                    using T = std::decay_t<decltype(r)>;
                    if constexpr (std::is_same_v<T, QueryRecord>) {
                        currentQuery = r.id;
                        m_db->storeQuery(r.id, r.name);
                    } else if constexpr (std::is_same_v<T, OfferRecord>) {
                        if (!currentQuery) {
                            // A listing already stored would write nothing: no search needed.
                            if (m_db->offerExists(r.id))
                                return;
                            throw Error(QStringLiteral("Объявление \"%1\" без запроса").arg(r.id));
                        }
                        OfferRow row;
                        row.id = r.id;
                        row.qid = *currentQuery;
                        row.texts = r.fields;
                        row.dt_obj = r.dateText ? offerDate(r, 0, dates) : dateTimeNow();
                        if (m_db->insertOffer(row)) {
                            if (!flagged.contains(*currentQuery)) {
                                m_db->markQueryUnread(*currentQuery);
                                flagged.insert(*currentQuery);
                            }
                            ++m_uncommittedOffers;
                        }
                    } else if constexpr (std::is_same_v<T, RemovalRecord>) {
                        m_db->removeQuery(r.id);
                        flagged.remove(r.id);
                    } else if constexpr (std::is_same_v<T, VersionRecord>) {
                        if (isNewVersion(r)) {
                            commitGroup(tx);
                            flagged.clear();
                            m_host.showNewVersionMessage(newVersionText(m_ctx.service->site));
                            tx = std::make_unique<Transaction>(*m_db);
                            m_slice.restart();
                        }
                    }
                },
                record);
            if (m_slice.elapsed() >= m_sliceMs) {
                giveWindowATurn(tx);
                flagged.clear();
            }
        }
        commitGroup(tx);
    } catch (...) {
        // The lines before the failing one stay applied. When it was their commit that failed
        // there is nothing left to commit, and the first error is the one to report.
        if (tx) {
            try {
                commitGroup(tx);
            } catch (const Error&) {
            }
        }
        throw;
    }
}

} // namespace domiva
