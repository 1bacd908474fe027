#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace domiva {

struct Settings;
struct EnvironmentReport;
struct ServiceConfig;
class RefreshTimer;
class Store;

// What the sync cycle needs of the window. The window implements it; tests implement it
// without one.
class SyncHost {
public:
    virtual ~SyncHost() = default;
    // Panel 0 carries stage and failure texts, panel 1 the time of the last sync.
    virtual void setStatusText(int panel, const QString& text) = 0;
    virtual void setWaitCursor(bool on) = 0;
    // Lets the window handle what is waiting (repaint, input, menu commands).
    virtual void processEvents() = 0;
    virtual void showTrayBalloon(const QString& text) = 0;
    // Modal: returns when the user has closed the box.
    virtual void showNewVersionMessage(const QString& text) = 0;
    // The grids stop following the tables while a feed is applied ...
    virtual void suspendGrids() = 0;
    // ... and afterwards show what the tables now hold, keeping the user's current rows.
    virtual void resumeGrids() = 0;
    // The offers grid runs its query again (new offers were stored).
    virtual void requeryOffers() = 0;
    // Called last, after the cycle has cleared its busy flag.
    virtual void syncFinished() {}
};

// Everything a cycle reads, owned by the caller for the life of the process.
struct SyncContext {
    const Settings* settings = nullptr;
    const EnvironmentReport* environment = nullptr;
    const ServiceConfig* service = nullptr;
    QString workDir; // ends with "/"
    QString logPath;
};

} // namespace domiva
