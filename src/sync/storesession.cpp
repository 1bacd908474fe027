#include "sync/storesession.h"

#include "core/error.h"
#include "core/eventlog.h"
#include "store/database.h"

namespace domiva {

StoreSession::StoreSession(QObject* parent)
    : QObject(parent), m_data(std::make_unique<DataThread>()) {
    DataThread* data = m_data.get();
    connect(data, &DataThread::statusText, this, &StoreSession::statusText);
    connect(data, &DataThread::gridsSuspended, this, &StoreSession::gridsSuspended);
    connect(data, &DataThread::gridsResumed, this, &StoreSession::gridsResumed);
    connect(data, &DataThread::trayBalloon, this, &StoreSession::trayBalloon);
    connect(data, &DataThread::offersChanged, this, &StoreSession::offersChanged);
    connect(data, &DataThread::versionNotice, this, &StoreSession::versionNotice);
    connect(data, &DataThread::syncStarted, this, [this] {
        m_timer.setEnabled(false);
        emit syncStarted();
    });
    connect(data, &DataThread::syncDone, this, [this](const SyncOutcome& outcome) {
        m_timer.setInterval(RefreshTimer::intervalFromSeconds(m_context.settings.refreshTime));
        m_timer.setEnabled(true);
        emit syncDone(outcome);
    });
    connect(data, &DataThread::searchMarkedRead, this, &StoreSession::searchMarkedRead);
    connect(data, &DataThread::readMarksCarried, this, [this] { emit readMarksCarried(); });
    connect(data, &DataThread::clearing, this, [this] {
        m_timer.setEnabled(false);
        emit clearing();
    });
    connect(data, &DataThread::databaseCleared, this, &StoreSession::databaseCleared);
    // The data threads repair the file: the window shows nothing of it meanwhile, as during a
    // clear, and lets go of it.
    connect(data, &DataThread::repairing, this, [this] {
        m_timer.setEnabled(false);
        emit clearing();
        m_db.reset();
    });
    connect(data, &DataThread::databaseRepaired, this, &StoreSession::databaseRepaired);
    connect(data, &DataThread::diskFailing, this, &StoreSession::diskFailing);
    data->setSyncSource([this] { return request(true); });

    m_timer.setObjectName(QStringLiteral("tRefresh"));
    m_timer.setInterval(initialRefreshInterval);
}

StoreSession::~StoreSession() {
    m_data.reset();
}

void StoreSession::configure(const SyncRequest& context) {
    m_context = context;
}

SyncRequest StoreSession::request(bool loadAll) const {
    SyncRequest request = m_context;
    request.loadAll = loadAll;
    request.databaseOpen = m_db != nullptr;
    return request;
}

void StoreSession::openDatabase() {
    m_db = domiva::openDatabase(m_context.dbPath);
    // The data threads write; the window only reads, and in WAL mode never waits for them.
    m_db->refuseWrites();
    // The listings the user opened just before the last end, if their marks could not be
    // stored then.
    if (m_data)
        m_data->storeKeptMarks(m_context.dbPath);
}

void StoreSession::startRefreshing() {
    m_timer.setInterval(initialRefreshInterval);
    m_timer.setEnabled(true);
}

void StoreSession::sync(bool loadAll) {
    // Not before start-up has its log. There is never a second sync: one asked for while a
    // sync, a clear or a repair runs is taken by it (those two start their own full download
    // once done).
    if (m_context.logPath.isEmpty() || !m_data)
        return;
    m_data->sync(request(loadAll));
}

void StoreSession::clear(DataThread::Request kind) {
    if (!m_db)
        throw Error(QStringLiteral("База данных не открыта"));
    // A million listings take a while to delete: the data thread does it (clearing once it
    // begins), the session counts as busy meanwhile, and the full download follows once the
    // tables are empty.
    m_data->clearDatabase(m_context.dbPath, kind);
}

bool StoreSession::busy() const {
    return m_data && m_data->busy();
}

bool StoreSession::refuses(DataThread::Request request) const {
    return !m_data || m_data->wouldDecide(request) == DataThread::Decision::Refuse;
}

bool StoreSession::damageFound(const Error& error) {
    return error.damagedFile() && damageFound(error.message());
}

bool StoreSession::damageFound(const QString& message) {
    return m_data && m_data->damageFound(message);
}

void StoreSession::cancelAll() {
    if (m_data)
        m_data->cancelAll();
}

void StoreSession::finish() {
    if (m_data)
        m_data->finish();
    if (m_db)
        m_db->leaveLogAtClose();
}

void StoreSession::versionNoticeClosed() {
    if (m_data)
        m_data->versionNoticeClosed();
}

void StoreSession::log(const QString& line) const {
    if (m_context.logPath.isEmpty())
        return;
    try {
        writeLog(m_context.logPath, line, false);
    } catch (const Error&) {
        // The log is where this would have gone; what failed is reported where it happened.
    }
}

} // namespace domiva
