#include "sync/datathread.h"

#include "store/database.h"
#include "store/listingtools.h"
#include "sync/refreshtimer.h"
#include "sync/synccycle.h"

#include <QFile>

#include <sys/stat.h>

#include <memory>
#include <utility>

namespace domiva {

namespace {

// The file's identity: a file set aside and replaced under the same name is another file.
std::optional<ino_t> fileIdOf(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return info.st_ino;
}

template <typename Work> std::optional<Error> failureOf(Work&& work) {
    try {
        work();
    } catch (const Error& error) {
        return error;
    } catch (const std::exception& error) {
        return Error(QString::fromLocal8Bit(error.what()));
    }
    return std::nullopt;
}

// The data thread's own connection, kept from one request to the next so that its
// checkpointer copies the log once the writes stop. Used on the data thread only.
struct DataConnection {
    std::unique_ptr<Database> db;
    QString path;
    std::optional<ino_t> fileId;

    Database& open(const QString& dbPath) {
        const std::optional<ino_t> id = fileIdOf(dbPath);
        if (!db || path != dbPath || !id || id != fileId) {
            db.reset();
            db = openDatabase(dbPath);
            path = dbPath;
            fileId = id;
        }
        return *db;
    }
};

thread_local std::unique_ptr<DataConnection> t_connection;

} // namespace

// The sync's view of the window, from the data thread: every call becomes an answer.
class DataSyncHost final : public SyncHost {
public:
    DataSyncHost(DataThread& owner, quint64 generation)
        : m_owner(owner), m_generation(generation) {}

    void setStatusText(int panel, const QString& text) override {
        send([o = &m_owner, panel, text] { emit o->statusText(panel, text); });
    }
    // The window shows its own wait cursor for as long as it counts as busy.
    void setWaitCursor(bool) override {}
    void showTrayBalloon(const QString& text) override {
        send([o = &m_owner, text] { emit o->trayBalloon(text); });
    }
    void showNewVersionMessage(const QString& text) override {
        send([o = &m_owner, text] { emit o->versionNotice(text); });
        m_owner.waitForNotice();
    }
    void suspendGrids() override {
        send([o = &m_owner] { emit o->gridsSuspended(); });
    }
    void resumeGrids() override {
        send([o = &m_owner] { emit o->gridsResumed(); });
    }
    void requeryOffers() override {
        send([o = &m_owner] { emit o->offersChanged(); });
    }
    void databaseDamaged(const QString& message) override { damage = message; }

    QString damage;

private:
    void send(std::function<void()> answer) { m_owner.answer(m_generation, std::move(answer)); }

    DataThread& m_owner;
    quint64 m_generation;
};

DataThread::DataThread(QObject* parent) : QObject(parent) {
    m_thread.setObjectName(QStringLiteral("data"));
    m_context = new QObject;
    m_context->moveToThread(&m_thread);
    // Set up and taken down on the data thread itself: a connection belongs to its thread.
    connect(
        &m_thread, &QThread::started, m_context,
        [] { t_connection = std::make_unique<DataConnection>(); }, Qt::DirectConnection);
    connect(
        &m_thread, &QThread::finished, m_context,
        [context = m_context] {
            t_connection.reset();
            delete context;
        },
        Qt::DirectConnection);
    m_thread.start();
}

DataThread::~DataThread() {
    forget();
    m_stop = true;
    m_noticeClosed.release();
    // Also ends a transfer's wait: the transfer is aborted and the sync ends as failed.
    m_thread.quit();
    m_thread.wait();
}

void DataThread::start(std::function<void(quint64)> work) {
    m_busy = true;
    const quint64 generation = ++m_generation;
    QMetaObject::invokeMethod(
        m_context, [work = std::move(work), generation] { work(generation); },
        Qt::QueuedConnection);
}

void DataThread::answer(quint64 generation, std::function<void()> answer, bool last) {
    QMetaObject::invokeMethod(
        this,
        [this, generation, answer = std::move(answer), last] {
            if (last)
                m_busy = false;
            if (generation == m_generation)
                answer();
        },
        Qt::QueuedConnection);
}

void DataThread::waitForNotice() {
    while (!m_noticeClosed.tryAcquire(1, 100)) {
        if (m_stop)
            return;
    }
}

void DataThread::versionNoticeClosed() {
    m_noticeClosed.release();
}

void DataThread::sync(SyncRequest request) {
    start([this, request = std::move(request), limits = m_limits,
           sliceMs = m_sliceMs](quint64 generation) {
        DataSyncHost host(*this, generation);
        SyncOutcome outcome;
        SyncCycle cycle(host, nullptr,
                        SyncContext{&request.settings, &request.environment, &request.service,
                                    request.workDir, request.logPath});
        cycle.setTransferLimits(limits);
        cycle.setSliceMilliseconds(sliceMs);
        cycle.setStopFlag(&m_stop);
        if (request.databaseOpen) {
            // A file that cannot be opened fails the sync where it reads the file first.
            if (const auto opening =
                    failureOf([&] { cycle.setDatabase(&t_connection->open(request.dbPath)); }))
                cycle.setDatabaseFailure(*opening);
        }
        const std::optional<Error> failure =
            failureOf([&] { cycle.downloadAndParse(request.loadAll); });
        outcome.newOffers = cycle.lastNewOfferCount();
        outcome.damage = host.damage;
        if (failure)
            outcome.unloggedError = failure->message();
        answer(
            generation, [this, outcome] { emit syncDone(outcome); }, true);
    });
}

void DataThread::markSearchRead(const QString& dbPath, qint32 qid) {
    start([this, dbPath, qid](quint64 generation) {
        const std::optional<Error> failure =
            failureOf([&] { markQueryRead(t_connection->open(dbPath), qid); });
        answer(
            generation, [this, qid, failure] { emit searchMarkedRead(qid, failure); }, true);
    });
}

void DataThread::clearDatabase(const QString& dbPath) {
    start([this, dbPath](quint64 generation) {
        const std::optional<Error> failure = failureOf([&] { clearDatabaseFile(dbPath); });
        answer(
            generation, [this, failure] { emit databaseCleared(failure); }, true);
    });
}

void DataThread::releaseDatabase() {
    start([this](quint64 generation) {
        *t_connection = DataConnection{};
        answer(
            generation, [this] { emit databaseReleased(); }, true);
    });
}

} // namespace domiva
