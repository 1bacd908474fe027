#pragma once

#include "app/error.h"
#include "env/environment.h"
#include "settings/settings.h"
#include "sync/httplimits.h"

#include <QObject>
#include <QSemaphore>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <optional>

namespace domiva {

// What a sync needs, copied when it is asked for: the window may save new settings or replace
// its file while the sync runs.
struct SyncRequest {
    bool loadAll = false;
    // Whether the window has the file open: without it the sync fails as a download would.
    bool databaseOpen = true;
    Settings settings;
    ServiceConfig service;
    EnvironmentReport environment;
    QString workDir; // ends with "/"
    QString logPath;
    QString dbPath;
};

// How a sync ended, for the window's closing steps.
struct SyncOutcome {
    int newOffers = 0;
    QString damage;        // the file is damaged, and why; empty otherwise
    QString unloggedError; // a failure that could not be written to the log
};

// The boundary between the window's thread and the data thread: every request the window can
// make and every answer it gets back. The data thread does the work that takes long (the sync
// with its transfer, marking a whole search read, clearing the file) on connections of its
// own; the window keeps its reading connection and never waits.
//
// Requests return at once and run one at a time; while one runs, busy() is true and the window
// refuses or ignores the next (the data thread never sees a request it would have to queue).
// Answers arrive on the window's thread as signals, in the order the data thread gave them.
// Each request has a generation: forget() moves on to the next one, and whatever the running
// request answers after that is dropped, except that its end still clears busy().
class DataThread : public QObject {
    Q_OBJECT

public:
    explicit DataThread(QObject* parent = nullptr);
    // Asks the running request to stop at its next step (a sync ends at its next commit, a
    // transfer within its limits), lets it end and stops the thread. No answer follows.
    ~DataThread() override;
    DataThread(const DataThread&) = delete;
    DataThread& operator=(const DataThread&) = delete;

    // --- Requests ---------------------------------------------------------------------------
    // Downloads the feed and applies it: statusText, gridsSuspended/Resumed, trayBalloon,
    // offersChanged and versionNotice as the cycle goes, syncDone at its end.
    void sync(SyncRequest request);
    // Every listing of the search read, the search no longer marked: searchMarkedRead.
    void markSearchRead(const QString& dbPath, qint32 qid);
    // Every listing and search deleted, the file cut back: databaseCleared.
    void clearDatabase(const QString& dbPath);
    // Closes the data thread's connection to the file, which is about to be set aside and
    // replaced: databaseReleased.
    void releaseDatabase();
    // The new-version box was closed: the sync that showed it goes on.
    void versionNoticeClosed();
    // Answers of the running request are no longer wanted (the window went away).
    void forget() { ++m_generation; }

    bool busy() const { return m_busy; }
    // Tests shorten these; see SyncCycle.
    void setTransferLimits(const TransferLimits& limits) { m_limits = limits; }
    void setSliceMilliseconds(int ms) { m_sliceMs = ms; }

signals:
    // --- Answers ----------------------------------------------------------------------------
    void statusText(int panel, const QString& text);
    void gridsSuspended();
    void gridsResumed();
    void trayBalloon(const QString& text);
    void offersChanged();
    // The sync waits until versionNoticeClosed().
    void versionNotice(const QString& text);
    // busy() is false again when these come.
    void syncDone(const domiva::SyncOutcome& outcome);
    void searchMarkedRead(qint32 qid, const std::optional<domiva::Error>& failure);
    void databaseCleared(const std::optional<domiva::Error>& failure);
    void databaseReleased();

private:
    friend class DataSyncHost;
    // Runs work on the data thread with the generation of a new request.
    void start(std::function<void(quint64)> work);
    // From the data thread: runs answer on the window's thread if its request is still the
    // current one; `last` marks the answer that ends the request.
    void answer(quint64 generation, std::function<void()> answer, bool last = false);
    // From the data thread: the user's answer to a notice, or the end of the program.
    void waitForNotice();

    QThread m_thread;
    QObject* m_context = nullptr; // lives on m_thread; deleted with it
    quint64 m_generation = 0;
    bool m_busy = false;
    TransferLimits m_limits;
    int m_sliceMs = 15;
    std::atomic<bool> m_stop{false};
    QSemaphore m_noticeClosed;
};

} // namespace domiva
