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
#include "sync/httptransfer.h"
#include "sync/postform.h"

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

SyncCycle::SyncCycle(SyncHost& host, SyncContext context)
    : m_host(host), m_ctx(std::move(context)),
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

// One cycle's state from one step to the next. Destroyed in reverse order: the open group
// rolls back before its statements go, and the transfer and the reader before the file.
struct SyncCycle::Run {
    QString failureText;
    bool systemTransport = false;
    std::unique_ptr<FeedFileWriter> feedFile;
    std::unique_ptr<CurlTransfer> transfer;
    std::unique_ptr<FeedLineReader> lines;
    bool gridsSuspended = false;
    std::optional<qint32> currentQuery;
    // Today's year and the month names are read once per feed, not once per offer.
    DateTimeContext dates;
    // The searches already flagged in the open transaction: the user cannot have read
    // anything of them before the window's next turn, so flagging again would change nothing.
    QSet<qint32> flagged;
    std::unique_ptr<FlatHistory> history;
    qint64 now = 0;
    bool repostsRead = false;
    bool historyKeyed = false;
    bool historyPruned = false;
    bool historyFilling = false;
    bool historyReady = false; // pruned, filled, nothing staged, keyed before the feed
    std::unique_ptr<Transaction> tx;
};

template <typename Work> void SyncCycle::guarded(Work&& work) {
    try {
        work();
    } catch (const FeedReadError& e) {
        // The feed file failed while it was read: a download failure, whatever stage it is.
        m_run->failureText = QString::fromUtf16(kDownloadFailed);
        failed(e.message());
    } catch (const Error& e) {
        failed(e.message(), e.damagedFile() ? e.message() : QString());
    } catch (const std::exception& e) {
        failed(QString::fromLocal8Bit(e.what()));
    }
}

CurlTransfer* SyncCycle::begin(bool loadAll) {
    if (m_step != Step::Idle)
        return nullptr;
    m_step = Step::Transferring;
    m_run = std::make_unique<Run>();
    m_newOffers = 0;
    m_quietOffers = 0;
    m_unloggedError.clear();

    QFile::remove(feedFilePath());
    guarded([&] {
        m_host.setStatusText(0, QString::fromUtf16(kStageChecking));
        Run& run = *m_run;
        // Reading the stored ids already belongs to the download: a failure there ends the
        // cycle like a failed download instead of leaving it half run. So does a host whose
        // scheme no transport speaks.
        run.failureText = QString::fromUtf16(kDownloadFailed);
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
        run.systemTransport = m_ctx.settings->proxyFromIE;
        // The answer goes to the feed file as it arrives. The system transport stores it as
        // lines, each ended by CR LF; the other stores it byte for byte.
        run.feedFile = std::make_unique<FeedFileWriter>(feedFilePath(), run.systemTransport);
        const Settings& s = *m_ctx.settings;
        const QByteArray password = toWindows1251(s.password);
        if (run.systemTransport) {
            const QByteArray form = "pass=" + formEncode(password) + "&rd=" + rd;
            run.transfer =
                prepareFormPost(url, clientIdString(*m_ctx.environment, kWinInetSuffix), form,
                                m_limits, run.feedFile.get(), m_ctx.service->caFile);
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
        run.transfer = client.prepare(url, {{"pass", password}, {"rd", rd}}, run.feedFile.get());
    });
    return m_step == Step::Transferring ? m_run->transfer.get() : nullptr;
}

void SyncCycle::transferEnded() {
    if (m_step != Step::Transferring)
        return;
    guarded([&] {
        Run& run = *m_run;
        if (!run.transfer->isFinished())
            throw Error(QStringLiteral("Обмен с сервером не завершен"));
        FeedFileWriter& feedFile = *run.feedFile;
        if (run.systemTransport) {
            const PostFormResult result = formPostResult(*run.transfer);
            if (!result.httpFailure.isEmpty())
                throw Error(result.httpFailure);
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
        } else {
            try {
                FormClient::result(*run.transfer);
            } catch (const Error&) {
                // The file's own failure ended the exchange: that is what went wrong.
                if (!feedFile.error().isEmpty())
                    throw Error(feedFile.error());
                throw;
            }
        }
        // Read back through the same handle: what is parsed is what this sync wrote.
        run.lines = std::make_unique<FeedLineReader>(feedFile.finish());

        run.failureText = QString::fromUtf16(kParseFailed);
        m_host.setStatusText(0, QString::fromUtf16(kStageParsing));
        m_host.suspendGrids();
        run.gridsSuspended = true;
        m_uncommittedOffers = 0;
        m_uncommittedQuiet = 0;
        run.dates = DateTimeContext::system();
        run.history = std::make_unique<FlatHistory>(*m_db);
        run.history->stageKeysFrom(m_stageKeysFrom);
        run.now = m_clock();
        run.repostsRead = m_ctx.settings->repostsRead;
        // The first slice opens its transaction itself: none stays open while the thread's
        // event loop turns.
        m_step = Step::Applying;
    });
}

void SyncCycle::applySlice() {
    if (m_step != Step::Applying)
        return;
    guarded([&] {
        beginSlice();
        if (!prepareHistory())
            return;
        Run& run = *m_run;
        while (!run.lines->atEnd()) {
            applyRecord(run.lines->next());
            if (m_step != Step::Applying)
                return;
            if (m_slice.due()) {
                endSlice();
                return;
            }
        }
        // The grids read again once the cycle ends: by then they find the new listings'
        // earlier appearances.
        if (!storePendingKeys())
            return;
        commitGroup();
        m_host.resumeGrids();
        run.gridsSuspended = false;
        logSkipped();
        m_host.setStatusText(0, QString::fromUtf16(kStageDone));
        end();
    });
}

void SyncCycle::noticeClosed() {
    if (m_step != Step::WaitingForNotice)
        return;
    // The next slice opens its transaction itself.
    m_step = Step::Applying;
}

void SyncCycle::cancel(const QString& reason) {
    if (m_step == Step::Idle)
        return;
    // Dropped, not aborted: its finished() would come back to a cycle that has ended.
    m_run->transfer.reset();
    failed(reason);
}

void SyncCycle::failed(const QString& message, const QString& damage) {
    Run& run = *m_run;
    if (run.gridsSuspended) {
        keepApplied();
        m_host.resumeGrids();
        run.gridsSuspended = false;
        try {
            logSkipped();
        } catch (const Error&) {
            // What ended the cycle is the failure to report.
        }
    }
    if (run.historyFilling) {
        try {
            m_db->setCacheKiB(Database::defaultCacheKiB);
        } catch (const Error&) {
        }
    }
    m_host.setStatusText(0, run.failureText);
    try {
        writeLog(m_ctx.logPath, message, false);
    } catch (const Error& e) {
        m_unloggedError = e.message();
    }
    end(damage);
}

void SyncCycle::end(const QString& damage) {
    // The file, the transfer and the open group go before anyone hears of the end: the host
    // may start the next cycle from there.
    m_run.reset();
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
    m_step = Step::Idle;
    if (!damage.isEmpty())
        m_host.databaseDamaged(damage);
}

void SyncCycle::logSkipped() {
    // One line for the sync, however many records were too long, whatever came after.
    const FeedLineReader& lines = *m_run->lines;
    if (lines.skippedLines() > 0)
        writeLog(m_ctx.logPath,
                 QStringLiteral("Пропущено записей длиннее %1 MiB: %2")
                     .arg(lines.maxLineBytes() >> 20)
                     .arg(lines.skippedLines()),
                 false);
}

void SyncCycle::commitGroup() {
    std::unique_ptr<Transaction>& tx = m_run->tx;
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

void SyncCycle::keepApplied() {
    // The lines before the failing one stay applied. When it was their commit that failed
    // there is nothing left to commit, and the first error is the one to report.
    if (m_run->tx) {
        try {
            commitGroup();
        } catch (const Error&) {
        }
    }
}

void SyncCycle::beginSlice() {
    if (m_run->tx)
        return;
    m_run->tx = std::make_unique<Transaction>(*m_db);
    m_slice.start();
}

void SyncCycle::endSlice() {
    // Committed every few milliseconds: the window's connection sees the rows at once, a
    // crash loses at most one slice, and no write of the window waits long for the lock. The
    // host lets the read marks waiting for the lock in before anything else is written.
    m_slice.commit([&] { commitGroup(); });
    m_run->flagged.clear();
    m_host.sliceCommitted();
    if (m_stop && m_stop->load())
        throw Error(QStringLiteral("Обновление прервано: программа завершается"));
    if (m_db->logIsLong())
        m_db->letLogCatchUp();
}

void SyncCycle::nextSlice() {
    endSlice();
    beginSlice();
}

bool SyncCycle::prepareHistory() {
    Run& run = *m_run;
    if (run.historyReady)
        return true;
    FlatHistory& history = *run.history;
    if (!run.historyPruned) {
        // Between two slices of the history the records so far are committed, as between
        // lines.
        history.prune(
            run.now,
            [&] {
                if (m_slice.due())
                    nextSlice();
            },
            m_historySliceRows);
        run.historyPruned = true;
        if (!history.filled()) {
            // Once, for a file that held listings before the client kept a history: a listing
            // of those posted again must be known for what it is. The window reads beside it
            // and never waits for it; the pages of the growing tables stay in memory meanwhile.
            m_db->setCacheKiB(FlatHistory::fillCacheKiB);
            run.historyFilling = true;
        }
    }
    while (run.historyFilling) {
        if (history.fillSome(run.now, FlatHistory::fillChunkRows)) {
            run.historyFilling = false;
            m_db->setCacheKiB(Database::defaultCacheKiB);
        } else if (m_slice.due()) {
            endSlice();
            return false;
        }
    }
    // Keys that a sync which did not end left staged are stored before the feed is applied:
    // its re-posts look for opened flats among the stored keys only.
    if (!storePendingKeys())
        return false;
    // Keys made by an earlier way of making them are made again first, a slice at a time.
    while (!run.historyKeyed) {
        if (history.keyedNow() || history.rekeySome(FlatHistory::rekeyChunkRows)) {
            run.historyKeyed = true;
        } else if (m_slice.due()) {
            nextSlice();
            return false;
        }
    }
    run.historyReady = true;
    return true;
}

bool SyncCycle::storePendingKeys() {
    FlatHistory& history = *m_run->history;
    while (!history.storePendingKeys(FlatHistory::storeChunkKeys)) {
        if (m_slice.due()) {
            endSlice();
            return false;
        }
    }
    return true;
}

void SyncCycle::applyRecord(const QString& line) {
    Run& run = *m_run;
    const FeedRecord record = readFeedRecord(line);
    std::visit(
        [&](const auto& r) {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, QueryRecord>) {
                run.currentQuery = r.id;
                m_db->storeQuery(r.id, r.name);
            } else if constexpr (std::is_same_v<T, OfferRecord>) {
                if (!run.currentQuery) {
                    // A listing already stored would write nothing: no search needed.
                    if (m_db->offerExists(r.id.toString()))
                        return;
                    throw Error(
                        QStringLiteral("Объявление \"%1\" без запроса").arg(printableText(r.id)));
                }
                const qint32 qid = *run.currentQuery;
                const double date = r.dateText ? offerDate(r, 0, run.dates) : dateTimeNow();
                // The listing and its history are applied together or not at all.
                FlatHistory::Line applied(*run.history);
                if (m_db->insertOffer(r.id, qid, r.fields, date)) {
                    const FlatHistory::Arrival arrival = run.history->record(
                        r.id, qid,
                        {r.fields[MetroObj], r.fields[RoomObj], r.fields[FlatObj],
                         r.fields[ContObj]},
                        r.fields[PriceObj], date, run.now, false, run.repostsRead);
                    if (run.repostsRead && arrival.flatOpened) {
                        run.history->markArrivedRead(r.id);
                        applied.commit();
                        ++m_uncommittedQuiet;
                        return;
                    }
                    if (!run.flagged.contains(qid)) {
                        m_db->markQueryUnread(qid);
                        run.flagged.insert(qid);
                    }
                    applied.commit();
                    ++m_uncommittedOffers;
                } else {
                    applied.commit();
                }
            } else if constexpr (std::is_same_v<T, RemovalRecord>) {
                // A big search goes a slice at a time, its listings first, so that it never
                // holds the lock for long; the search itself goes last.
                while (m_db->removeOffersOfQuery(r.id, removalChunkRows) > 0) {
                    if (m_slice.due())
                        nextSlice();
                }
                m_db->removeQuery(r.id);
                run.flagged.remove(r.id);
            } else if constexpr (std::is_same_v<T, VersionRecord>) {
                if (isNewVersion(r)) {
                    // What came before is stored whatever the user does with the box.
                    commitGroup();
                    run.flagged.clear();
                    m_step = Step::WaitingForNotice;
                    m_host.showNewVersionMessage(newVersionText(m_ctx.service->site));
                }
            }
        },
        record);
}

} // namespace domiva
