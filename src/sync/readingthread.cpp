#include "sync/readingthread.h"

#include "core/eventlog.h"
#include "store/database.h"
#include "sync/dataconnection.h"

#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <deque>
#include <iterator>
#include <utility>

namespace domiva {

namespace {

// A listing the user opened, its read mark not stored yet. On the reading thread only.
struct PendingMark {
    QString dbPath;
    QString offerId;
    qint32 qid = 0;
    QPointer<QObject> receiver; // read on the window's thread only
    std::function<void(const std::optional<Error>&)> done;
};
thread_local std::deque<PendingMark> t_marks;
thread_local bool t_marksRetrying = false;

// A line of the file of kept marks: the search, a tab, the listing's id percent-encoded (an id
// is the service's text and may hold any character).
QByteArray keptMarkLine(const PendingMark& mark) {
    return QByteArray::number(mark.qid) + '\t' + mark.offerId.toUtf8().toPercentEncoding() + '\n';
}

// Adds the mark to the file of kept marks; false when it could not be written.
bool keepMark(const PendingMark& mark) {
    QFile file(ReadingThread::keptMarksPath(mark.dbPath));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    const QByteArray line = keptMarkLine(mark);
    return file.write(line) == line.size() && file.flush();
}

// The marks of a file of kept marks; lines that do not read as one are passed over.
std::deque<PendingMark> keptMarks(const QString& dbPath, const QByteArray& text) {
    std::deque<PendingMark> marks;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 2)
            continue;
        bool isNumber = false;
        const qint32 qid = fields[0].toInt(&isNumber);
        const QString offerId = QString::fromUtf8(QByteArray::fromPercentEncoding(fields[1]));
        if (isNumber && !offerId.isEmpty())
            marks.push_back(PendingMark{dbPath, offerId, qid, {}, {}});
    }
    return marks;
}

} // namespace

ReadingThread::ReadingThread(const std::atomic<bool>* stop) : m_stop(stop) {
    m_context =
        startWithConnection(m_thread, QStringLiteral("data-read"), stop, [] { t_marks.clear(); });
}

ReadingThread::~ReadingThread() {
    finish({});
}

void ReadingThread::finish(const QString& logPath) {
    // The user's read marks are not dropped at the end: those still waiting (for another
    // program's lock, or asked for during a repair) are stored now, or logged.
    if (m_context != nullptr && m_thread.isRunning())
        QMetaObject::invokeMethod(
            m_context, [this, logPath] { storeMarksLeft(logPath); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    // Deleted with its thread; reads asked for from now on go nowhere.
    m_context = nullptr;
}

void ReadingThread::release(const QString& dbPath) {
    QMetaObject::invokeMethod(
        m_context, [dbPath] { threadConnection().release(dbPath); }, Qt::BlockingQueuedConnection);
}

void ReadingThread::admit() {
    // The read marks asked for meanwhile go to the file again.
    QMetaObject::invokeMethod(
        m_context,
        [this] {
            threadConnection().released.reset();
            storeMarks();
        },
        Qt::BlockingQueuedConnection);
}

// From the data thread, between two short transactions of a long write: a listing the user
// opened meanwhile is marked first (its thread looks at the lock every few milliseconds).
void ReadingThread::letMarksIn() {
    QElapsedTimer waited;
    waited.start();
    while (m_marksWaiting.load() > 0 && !m_stop->load() && !waited.hasExpired(1000))
        QThread::msleep(1);
}

void ReadingThread::read(std::function<void()> work) {
    if (m_context != nullptr)
        QMetaObject::invokeMethod(m_context, std::move(work), Qt::QueuedConnection);
}

void ReadingThread::deliver(QPointer<QObject> receiver, std::function<void()> answer,
                            std::optional<quint64> readOn) {
    QMetaObject::invokeMethod(
        this,
        [this, receiver = std::move(receiver), answer = std::move(answer), readOn] {
            // Read from the file before a clear or a repair: what the window shows now is not
            // what it was read from.
            if (readOn && *readOn != m_fileGeneration.load())
                return;
            if (receiver)
                answer();
        },
        Qt::QueuedConnection);
}

// One listings grid's keys being read: a slice a turn of the reading thread.
struct ReadingThread::KeyRead {
    ReadingThread* owner;
    QString dbPath;
    std::shared_ptr<OfferKeyScan> scan;
    QPointer<QObject> receiver; // read on the window's thread only
    std::function<void(OfferKeyBatch)> deliver;

    static void slice(std::shared_ptr<KeyRead> read) {
        if (read->scan->cancelled())
            return;
        const quint64 readOn = read->owner->m_fileGeneration.load();
        OfferKeyBatch batch;
        try {
            batch.finished = read->scan->next(threadConnection().open(read->dbPath), batch.keys);
        } catch (const Error& error) {
            batch.failure = error;
            batch.finished = true;
        }
        const bool finished = batch.finished;
        read->owner->deliver(
            read->receiver,
            [read, batch = std::move(batch)]() mutable {
                if (!read->scan->cancelled())
                    read->deliver(std::move(batch));
            },
            readOn);
        if (!finished)
            read->owner->read([read] { slice(read); });
    }
};

void ReadingThread::readOfferKeys(const QString& dbPath, std::shared_ptr<OfferKeyScan> scan,
                                  QObject* receiver, std::function<void(OfferKeyBatch)> deliver) {
    auto keyRead = std::make_shared<KeyRead>(
        KeyRead{this, dbPath, std::move(scan), QPointer<QObject>(receiver), std::move(deliver)});
    read([keyRead] { KeyRead::slice(keyRead); });
}

void ReadingThread::countOffers(const QString& dbPath, qint32 qid, QObject* receiver,
                                std::function<void(std::optional<OfferCounts>)> counted) {
    read([this, dbPath, qid, receiver = QPointer<QObject>(receiver),
          counted = std::move(counted)]() mutable {
        const quint64 readOn = m_fileGeneration.load();
        std::optional<OfferCounts> counts;
        failureOf([&] { counts = offerCounts(threadConnection().open(dbPath), qid); });
        deliver(
            receiver, [counted = std::move(counted), counts] { counted(counts); }, readOn);
    });
}

void ReadingThread::markOfferRead(const QString& dbPath, const QString& offerId, qint32 qid,
                                  QObject* receiver,
                                  std::function<void(const std::optional<Error>&)> done) {
    ++m_marksWaiting;
    read([this, mark = PendingMark{dbPath, offerId, qid, QPointer<QObject>(receiver),
                                   std::move(done)}]() mutable {
        t_marks.push_back(std::move(mark));
        storeMarks();
    });
}

// On the reading thread. The user's mark is never given up for a lock: another program's
// transaction ends some time, and the data thread lets marks in between two slices of its own.
// A mark that finds the lock taken is tried again a little later, and the reads asked for
// meanwhile go in between; so is one asked for while a repair has the file. Once the program
// ends the marks left wait for storeMarksLeft().
void ReadingThread::storeMarks() {
    // Long enough for a slice of a long write to commit (WriteSlice::defaultBudgetMs), short
    // enough for the reads that wait behind it.
    constexpr int lockWaitMs = 50;
    constexpr int retryMs = 5;
    constexpr int usualWaitMs = 5000;
    while (!t_marks.empty()) {
        PendingMark& mark = t_marks.front();
        if (threadConnection().isReleased(mark.dbPath))
            return; // the repair stores them once the file is back
        const std::optional<Error> failure = failureOf([&] {
            Database& db = threadConnection().open(mark.dbPath);
            db.setBusyTimeout(lockWaitMs);
            const auto restore = qScopeGuard([&db] { db.setBusyTimeout(usualWaitMs); });
            db.markOfferRead(mark.offerId, mark.qid);
        });
        if (failure && failure->busy()) {
            if (!m_stop->load() && !t_marksRetrying) {
                t_marksRetrying = true;
                QTimer::singleShot(retryMs, m_context, [this] {
                    t_marksRetrying = false;
                    storeMarks();
                });
            }
            return;
        }
        --m_marksWaiting;
        // A mark kept from the last end has nobody to answer.
        if (mark.done)
            deliver(mark.receiver, [done = std::move(mark.done), failure] { done(failure); });
        t_marks.pop_front();
    }
}

QString ReadingThread::keptMarksPath(const QString& dbPath) {
    return dbPath + QStringLiteral(".marks");
}

void ReadingThread::storeKeptMarks(const QString& dbPath) {
    read([this, dbPath] {
        QFile file(keptMarksPath(dbPath));
        if (!file.open(QIODevice::ReadOnly))
            return;
        // A few lines at most; a file grown beyond any end's marks is not the client's.
        constexpr qint64 longest = 1 << 20;
        std::deque<PendingMark> marks = keptMarks(dbPath, file.read(longest));
        file.close();
        // Gone before they are stored: should the program end first, the end keeps them again.
        QFile::remove(file.fileName());
        m_marksWaiting += int(marks.size());
        std::move(marks.begin(), marks.end(), std::back_inserter(t_marks));
        storeMarks();
    });
}

void ReadingThread::storeMarksLeft(const QString& logPath) {
    // Within the program's bound for its end, whatever another program holds.
    constexpr qint64 boundMs = 1000;
    QElapsedTimer clock;
    clock.start();
    for (const PendingMark& mark : t_marks) {
        const std::optional<Error> failure = failureOf([&] {
            if (threadConnection().isReleased(mark.dbPath))
                throw Error(QStringLiteral("База данных не открыта"));
            Database& db = threadConnection().open(mark.dbPath);
            db.setStopFlag(nullptr);
            db.setBusyTimeout(int(std::max<qint64>(boundMs - clock.elapsed(), 0)));
            db.markOfferRead(mark.offerId, mark.qid);
        });
        if (failure) {
            // Not dropped: stored at the next start.
            const bool kept = keepMark(mark);
            if (!logPath.isEmpty()) {
                failureOf([&] {
                    writeLog(
                        logPath,
                        QStringLiteral("Read mark of listing %1 not stored: %2%3")
                            .arg(printableText(mark.offerId), failure->message(),
                                 kept ? QStringLiteral("; kept for the next start") : QString()),
                        false);
                });
            }
        }
        --m_marksWaiting;
    }
    t_marks.clear();
}

// A CSV export under way: a chunk a turn of the reading thread, so that other reads go in
// between. The file is made, written and dropped on the reading thread only.
struct ReadingThread::ExportJob {
    ReadingThread* owner;
    QString dbPath;
    qint32 qid;
    QString path;
    QStringList header;
    EarlierWording earlier;
    int chunkRows;
    std::shared_ptr<std::atomic<bool>> cancelled;
    QPointer<QObject> receiver; // read on the window's thread only
    // Shared with the answers, which must not hold the file.
    std::shared_ptr<ExportReply> reply;
    std::unique_ptr<OfferCsvExport> csv;
    quint64 opening = 0;
    quint64 readOn = 0; // the file's generation when the export began

    static void step(std::shared_ptr<ExportJob> job) {
        bool finished = true;
        qint64 written = 0;
        qint64 total = 0;
        std::optional<Error> failure;
        if (!*job->cancelled) {
            failure = failureOf([&] {
                DataConnection& connection = threadConnection();
                Database& db = connection.open(job->dbPath);
                if (!job->csv) {
                    job->readOn = job->owner->m_fileGeneration.load();
                    job->csv = std::make_unique<OfferCsvExport>(db, job->qid, job->path,
                                                                job->header, job->earlier);
                    job->opening = connection.opening;
                } else if (connection.opening != job->opening ||
                           job->owner->m_fileGeneration.load() != job->readOn) {
                    // The file was cleared, or set aside and replaced: its listings are gone from
                    // here.
                    throw Error(OfferCsvExport::searchChangedMessage());
                }
                finished = !job->csv->writeChunk(job->chunkRows);
                if (finished)
                    job->csv->commit();
                written = job->csv->written();
                total = job->csv->total();
            });
        }
        if (failure || *job->cancelled)
            finished = true;
        if (finished)
            job->csv.reset(); // a file not committed is removed
        job->owner->deliver(job->receiver, [reply = job->reply, finished, written, total, failure] {
            if (finished)
                reply->done(failure);
            else
                reply->progress(written, total);
        });
        if (!finished)
            job->owner->read([job] { step(job); });
    }
};

void ReadingThread::exportSearch(const QString& dbPath, qint32 qid, const QString& path,
                                 const QStringList& header, int chunkRows,
                                 std::shared_ptr<std::atomic<bool>> cancelled, QObject* receiver,
                                 ExportReply reply, EarlierWording earlier) {
    auto job = std::make_shared<ExportJob>(ExportJob{
        this, dbPath, qid, path, header, std::move(earlier), chunkRows, std::move(cancelled),
        QPointer<QObject>(receiver), std::make_shared<ExportReply>(std::move(reply)), nullptr, 0});
    read([job] { ExportJob::step(job); });
}

} // namespace domiva
