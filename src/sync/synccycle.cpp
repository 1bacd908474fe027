#include "sync/synccycle.h"

#include "core/datetimevalue.h"
#include "core/error.h"
#include "core/eventlog.h"
#include "env/environment.h"
#include "settings/settings.h"
#include "store/database.h"
#include "store/flathistory.h"
#include "sync/feed.h"
#include "sync/feedfile.h"
#include "sync/formclient.h"
#include "sync/formencoding.h"
#include "sync/postform.h"
#include "sync/refreshtimer.h"

#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QSet>
#include <QStringEncoder>

#include <algorithm>
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

QString newVersionText(const QString& site) {
    return QStringLiteral("Вышла новая версия программы!\r\n"
                          "Сильно рекомендуем произвести обновление с сайта ") +
           site;
}

} // namespace

SyncCycle::SyncCycle(SyncHost& host, RefreshTimer* timer, SyncContext context)
    : m_host(host), m_timer(timer), m_ctx(std::move(context)),
      m_clock([] { return QDateTime::currentSecsSinceEpoch(); }) {}

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
    if (m_timer)
        m_timer->setEnabled(false);
    m_busy = true;
    m_newOffers = 0;
    m_quietOffers = 0;

    QString failureText;
    QString unloggedError;
    QString damage;
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

        // Reading the stored ids already belongs to the download: a failure there ends the
        // cycle like a failed download instead of leaving it half run. So does a host whose
        // scheme no transport speaks.
        failureText = QString::fromUtf16(kDownloadFailed);
        const QString url = serviceUrl(*m_ctx.service, requestPath(loadAll));
        if (m_dbFailure)
            throw *m_dbFailure;
        if (!m_db)
            throw Error(QStringLiteral("База данных не открыта"));
        QByteArray rd;
        for (const qint32 id : m_db->queryIds())
            rd += ',' + QByteArray::number(id);

        m_host.setStatusText(0, QString::fromUtf16(kStageDownloading));
        // Read once for the whole exchange.
        const bool systemTransport = m_ctx.settings->proxyFromIE;
        // The answer goes to the feed file as it arrives. The system transport stores it as
        // lines, each ended by CR LF; the other stores it byte for byte.
        FeedFileWriter feedFile(feedFilePath(), systemTransport);
        download(url, rd, systemTransport, feedFile);
        // Read back through the same handle: what is parsed is what this sync wrote.
        QIODevice& feed = feedFile.finish();
        FeedLineReader lines(feed);

        failureText = QString::fromUtf16(kParseFailed);
        m_host.setStatusText(0, QString::fromUtf16(kStageParsing));
        m_host.suspendGrids();
        // One line for the sync, however many records were too long, whatever came after.
        const auto logSkipped = [&] {
            if (lines.skippedLines() > 0)
                writeLog(m_ctx.logPath,
                         QStringLiteral("Пропущено записей длиннее %1 MiB: %2")
                             .arg(lines.maxLineBytes() >> 20)
                             .arg(lines.skippedLines()),
                         false);
        };
        try {
            applyLines(lines);
        } catch (...) {
            m_host.resumeGrids();
            try {
                logSkipped();
            } catch (const Error&) {
                // What ended the cycle is the failure to report.
            }
            throw;
        }
        m_host.resumeGrids();
        logSkipped();
        m_host.setStatusText(0, QString::fromUtf16(kStageDone));
    } catch (const FeedReadError& e) {
        // The feed file failed while it was read: a download failure, whatever stage it is.
        failureText = QString::fromUtf16(kDownloadFailed);
        fail(e.message());
    } catch (const Error& e) {
        if (e.damagedFile())
            damage = e.message();
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
    } else if (m_quietOffers > 0) {
        m_host.requeryOffers();
    }
    if (m_timer)
        m_timer->setInterval(RefreshTimer::intervalFromSeconds(m_ctx.settings->refreshTime));
    m_busy = false;
    if (m_timer)
        m_timer->setEnabled(true);
    m_host.setWaitCursor(false);
    if (!damage.isEmpty())
        m_host.databaseDamaged(damage);
    m_host.syncFinished();
    if (!unloggedError.isEmpty())
        throw Error(unloggedError);
}

void SyncCycle::download(const QString& url, const QByteArray& rd, bool systemTransport,
                         FeedFileWriter& feedFile) {
    const Settings& s = *m_ctx.settings;
    const QByteArray password = toWindows1251(s.password);
    if (systemTransport) {
        const QByteArray form = "pass=" + formEncode(password) + "&rd=" + rd;
        const PostFormResult result =
            postForm(url, clientIdString(*m_ctx.environment, kWinInetSuffix), form, m_limits,
                     &feedFile, m_ctx.service->caFile);
        if (!result.httpFailure.isEmpty())
            throw Error(result.httpFailure);
        if (!result.setupFailure.isEmpty())
            throw Error(result.setupFailure);
        if (!result.limitFailure.isEmpty())
            throw Error(result.limitFailure);
        // Why the service could not be trusted is worth more than an empty answer.
        if (!result.tlsFailure.isEmpty())
            throw Error(result.tlsFailure);
        if (!feedFile.error().isEmpty())
            throw Error(feedFile.error());
        // This transport knows only its answer's text: a failed exchange is an empty one.
        if (!result.transportError.isEmpty() || feedFile.bodySize() == 0)
            throw Error(QString::fromUtf16(kEmptyUpdate));
        return;
    }
    FormClient client;
    client.setProxyServer(s.proxyServer);
    client.setProxyPort(s.proxyPort);
    client.setProxyLogin(s.proxyLogin);
    client.setProxyPassword(s.proxyPassword);
    client.setUserAgent(clientIdString(*m_ctx.environment, kIndySuffix));
    client.setLimits(m_limits);
    client.setCaFile(m_ctx.service->caFile);
    try {
        client.post(url, {{"pass", password}, {"rd", rd}}, &feedFile);
    } catch (const Error&) {
        // The file's own failure ended the exchange: that is what went wrong.
        if (!feedFile.error().isEmpty())
            throw Error(feedFile.error());
        throw;
    }
}

void SyncCycle::commitGroup(std::unique_ptr<Transaction>& tx) {
    try {
        tx->commit();
    } catch (...) {
        // The group is lost (the engine may have rolled it back already): roll back what is
        // left and count none of its listings.
        tx.reset();
        m_uncommittedOffers = 0;
        m_uncommittedQuiet = 0;
        throw;
    }
    tx.reset();
    m_newOffers += std::exchange(m_uncommittedOffers, 0);
    m_quietOffers += std::exchange(m_uncommittedQuiet, 0);
}

void SyncCycle::nextSlice(std::unique_ptr<Transaction>& tx) {
    // Committed every few milliseconds: the window's connection sees the rows at once, a
    // crash loses at most one slice, and no write of the window waits long for the lock.
    commitGroup(tx);
    m_host.sliceCommitted();
    if (m_stop && m_stop->load())
        throw Error(QStringLiteral("Обновление прервано: программа завершается"));
    tx = std::make_unique<Transaction>(*m_db);
    m_slice.restart();
}

void SyncCycle::prepareHistory(FlatHistory& history, qint64 now, std::unique_ptr<Transaction>& tx) {
    // Between two slices of the history the records so far are committed, as between lines.
    history.prune(
        now,
        [&] {
            if (m_slice.elapsed() >= m_sliceMs)
                nextSlice(tx);
        },
        m_historySliceRows);
    if (history.filled())
        return;
    // Once, for a file that held listings before the client kept a history: a listing of
    // those posted again must be known for what it is. The window reads beside it and never
    // waits for it, so the groups are longer than a sync's, and the pages of the growing
    // indexes stay in memory meanwhile: a million listings take seconds, not minutes.
    m_db->setCacheKiB(FlatHistory::fillCacheKiB);
    while (!history.fillSome(now, FlatHistory::fillChunkRows)) {
        if (m_slice.elapsed() >= std::max(m_sliceMs, FlatHistory::fillSliceMs))
            nextSlice(tx);
    }
    m_db->setCacheKiB(Database::defaultCacheKiB);
}

void SyncCycle::applyLines(FeedLineReader& lines) {
    std::optional<qint32> currentQuery;
    // Today's year and the month names are read once per feed, not once per offer.
    const DateTimeContext dates = DateTimeContext::system();
    // The searches already flagged in the open transaction: the user cannot have read
    // anything of them before the window's next turn, so flagging again would change nothing.
    QSet<qint32> flagged;
    m_uncommittedOffers = 0;
    m_uncommittedQuiet = 0;
    FlatHistory history(*m_db);
    const qint64 now = m_clock();
    const bool repostsRead = m_ctx.settings->repostsRead;
    auto tx = std::make_unique<Transaction>(*m_db);
    m_slice.start();
    try {
        prepareHistory(history, now, tx);
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
                            if (m_db->offerExists(r.id.toString()))
                                return;
                            throw Error(QStringLiteral("Объявление \"%1\" без запроса")
                                            .arg(printableText(r.id)));
                        }
                        const double date = r.dateText ? offerDate(r, 0, dates) : dateTimeNow();
                        if (m_db->insertOffer(r.id, *currentQuery, r.fields, date)) {
                            const FlatHistory::Arrival arrival =
                                history.record(r.id, *currentQuery,
                                               {r.fields[MetroObj], r.fields[RoomObj],
                                                r.fields[FlatObj], r.fields[ContObj]},
                                               r.fields[PriceObj], date, now, false, repostsRead);
                            if (repostsRead && arrival.flatOpened) {
                                history.markArrivedRead(r.id);
                                ++m_uncommittedQuiet;
                                return;
                            }
                            if (!flagged.contains(*currentQuery)) {
                                m_db->markQueryUnread(*currentQuery);
                                flagged.insert(*currentQuery);
                            }
                            ++m_uncommittedOffers;
                        }
                    } else if constexpr (std::is_same_v<T, RemovalRecord>) {
                        // A big search goes a slice at a time, its listings first, so that it
                        // never holds the lock for long; the search itself goes last.
                        while (m_db->removeOffersOfQuery(r.id, removalChunkRows) > 0) {
                            if (m_slice.elapsed() >= m_sliceMs) {
                                nextSlice(tx);
                                flagged.clear();
                            }
                        }
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
                nextSlice(tx);
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
