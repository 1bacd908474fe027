#pragma once

#include "sync/datathread.h"
#include "sync/refreshtimer.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace domiva {

class Database;
class Error;

// The open database as the window works with it, without any widget: the window's own
// reading connection, the data thread that does every write and long read, the refresh timer
// and when it runs, and the steps of clearing and repairing the file. The window calls it
// and listens to its signals; it never reaches into the data thread's order of requests.
class StoreSession : public QObject {
    Q_OBJECT

public:
    // The first sync follows start-up after this long.
    static constexpr int initialRefreshInterval = 1500;

    explicit StoreSession(QObject* parent = nullptr);
    // The data thread ends before the connection its answers would touch.
    ~StoreSession() override;

    // Where the files are and what a sync needs, as start-up found them or the settings
    // dialog changed them. Nothing is synced before a log path is known.
    void configure(const SyncRequest& context);
    const QString& dbPath() const { return m_context.dbPath; }

    // The window's connection, which only reads; null while closed (before start-up got that
    // far, during a repair, or after a failed reopening).
    Database* database() const { return m_db.get(); }
    // Null once the data threads have ended for good.
    DataThread* dataThread() const { return m_data.get(); }
    RefreshTimer& refreshTimer() { return m_timer; }

    // Opens the configured file for reading (throws Error); the read marks the last end kept
    // are stored by the data threads.
    void openDatabase();
    // Start-up is done: the first sync follows shortly.
    void startRefreshing();
    // One sync, as the data thread's order of requests has it: taken by a sync, a clear or a
    // repair that runs (their own download stands for it), after other work that runs.
    void sync(bool loadAll);
    // Ctrl+F2, or the clear after a change of account (throws when the file is not open).
    void clear(DataThread::Request kind);

    // Whether the data thread has a request under way (or a damaged file waits).
    bool busy() const;
    // Whether the data thread would refuse the request now: the command says "try later".
    bool refuses(DataThread::Request request) const;

    // A statement found the file damaged: true when the data thread repairs it and nothing
    // more is to be reported.
    bool damageFound(const Error& error);
    bool damageFound(const QString& message);

    // The program ends: what runs stops at its next step.
    void cancelAll();
    // Ends the data threads for good: the window goes, and no answer may reach it.
    void endDataThreads() { m_data.reset(); }
    // Ends the data threads and lets the log of the window's connection stay for the next
    // start, so that the end never waits for a checkpoint.
    void finish();

    // A line for the log; a log that cannot take it says so elsewhere.
    void log(const QString& line) const;

signals:
    // The data thread's answers, after the session did its part (see DataThread).
    void syncStarted();
    void statusText(int panel, const QString& text);
    void gridsSuspended();
    void gridsResumed();
    void trayBalloon(const QString& text);
    void offersChanged();
    // The sync waits until versionNoticeClosed().
    void versionNotice(const QString& text);
    void syncDone(const domiva::SyncOutcome& outcome);
    void searchMarkedRead(qint32 qid, const std::optional<domiva::Error>& failure);
    void readMarksCarried();
    // The file is about to be emptied or set aside: whatever reads it lets go now.
    void clearing();
    void databaseCleared(const std::optional<domiva::Error>& failure);
    void databaseRepaired(const domiva::DamageRecovery& recovery, const QString& kept,
                          const std::optional<domiva::Error>& failure);
    void diskFailing(const QString& message);

public slots:
    // The new-version box was closed: the sync that showed it goes on.
    void versionNoticeClosed();

private:
    SyncRequest request(bool loadAll) const;

    SyncRequest m_context;
    std::unique_ptr<Database> m_db;
    RefreshTimer m_timer;
    // Last: it goes first, before anything its answers would touch.
    std::unique_ptr<DataThread> m_data;
};

} // namespace domiva
