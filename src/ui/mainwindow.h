#pragma once

#include "core/lifecycle.h"
#include "env/environment.h"
#include "settings/settings.h"
#include "store/recovery.h"
#include "sync/storesession.h"
#include "ui/listingsview.h"

#include <QMainWindow>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QLabel;
class QMenu;
class QSplitter;

namespace domiva {

class Database;
class DesktopNotifier;
class NewListingsSound;
class DetailsPanel;
class DialogCloser;
class Error;
class ListingCommands;
class OffersModel;
class QueriesModel;
class TrayIcon;
class TrayPresence;

// The main window: the menus, the status bar with the sync's progress, and the listings view
// (searches, listings, details) in the middle. It holds the values start-up found and the
// states from start-up to shut-down, and turns user actions into calls of the store session
// (the file and its data thread), the listings view, the tray presence and the dialogs; it
// holds no SQL and no network code of its own.
class TfrmMain : public QMainWindow {
    Q_OBJECT

public:
    // The outer size of the window when it first appears.
    static constexpr int outerWidth = 1045;
    static constexpr int outerHeight = 694;
    // The first sync follows start-up after this long.
    static constexpr int initialRefreshInterval = StoreSession::initialRefreshInterval;

    // The font of the window and everything in it: a sans-serif face 11 pixels high.
    static QFont windowFont();
    // The fields the listings grid shows, with their widths.
    static QList<GridField> offerFields() { return ListingsView::offerFields(); }

    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Brings the program up in its fixed order (working folder, log, environment, settings,
    // database, timer, tray icon). An error stops the sequence where it happens and is shown
    // in the error box; the window is usable all the same.
    void formCreate();
    // Removes the tray icon and logs "Shutdown". Runs once, however often it is called (at
    // the end of the event loop and from the destructor).
    void formDestroy();

    // The values found at start-up, for the about box and the tests.
    const QString& workDir() const { return m_workDir; }
    const QString& logPath() const { return m_logPath; }
    const QString& settingsPath() const { return m_settingsPath; }
    const QString& dbPath() const { return m_dbPath; }
    const EnvironmentReport& environment() const { return m_environment; }
    const Settings& settings() const { return m_settings; }
    const ServiceConfig& serviceConfig() const { return m_service; }

    // The open database and grid models; null while closed (before start-up got that far,
    // or after a failed reopening).
    Database* database() const { return m_session->database(); }
    QueriesModel* queriesModel() const { return m_view->queriesModel(); }
    OffersModel* offersModel() const { return m_view->offersModel(); }
    RefreshTimer& refreshTimer() { return m_session->refreshTimer(); }
    DataThread* dataThread() const { return m_session->dataThread(); }
    StoreSession* session() const { return m_session.get(); }
    ListingsView* listingsView() const { return m_view; }
    TrayIcon* trayIcon() const;
    ListingCommands* listingCommands() const { return m_listingCommands; }
    // Announces new listings where the desktop has no tray.
    DesktopNotifier* desktopNotifier() const;
    // Tests listen to the sound instead of playing it.
    void setNewListingsSound(std::unique_ptr<NewListingsSound> sound);

    // Runs a handler of the window: whatever error escapes it goes to the error box, except a
    // damaged database file, which is repaired instead.
    void reported(const std::function<void()>& handler);

    // True while the data thread works (a sync, the database being cleared, a search being
    // marked read) or a damaged file waits to be set aside: commands wait for the next turn.
    bool syncBusy() const { return m_session->busy(); }
    // Whether the program has been asked to end and is waiting for the moment it can.
    bool terminationRequested() const { return m_lifecycle.terminationRequested(); }
    // The texts of the two status-bar panels.
    QString statusText(int panel) const;

    // Widgets of the window, owned through the Qt parent tree (the panels, grids and splitters
    // are the listings view's).
    QMenu* mnuFile = nullptr;
    QAction* mnuRefresh = nullptr;
    QAction* mnuClearDB = nullptr;
    QAction* mnuSep2 = nullptr;
    QAction* mnuSetup = nullptr;
    QAction* mnuSep1 = nullptr;
    QAction* mnuExit = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuAbout = nullptr;
    QSplitter* splLeft = nullptr; // pnlLeft | pnlRight
    QWidget* pnlLeft = nullptr;
    DataGrid* dbgQueries = nullptr;
    QWidget* pnlRight = nullptr;
    QSplitter* splTop = nullptr; // pnlTop over pnlBottom
    QWidget* pnlTop = nullptr;
    DataGrid* dbgOffers = nullptr;
    DetailsPanel* pnlBottom = nullptr;
    QLabel* sbPanel0 = nullptr;
    QLabel* sbPanel1 = nullptr;

public slots:
    // Ends the program the orderly way (tray icon removed, "Shutdown" logged) as soon as it
    // can: at once when idle, after the running sync otherwise, and once the event loop runs
    // when asked during start-up. The exit command and closing the window come here.
    void requestTermination();
    // The system or the desktop session asks the program to end (SIGTERM, SIGINT, SIGHUP):
    // the same orderly end, but nobody may be there to answer a box, so every box and dialog
    // is closed, those open now and those that open later (inside a sync or in start-up),
    // and a failure at shut-down is not shown.
    void endSession();

    // Menu commands.
    void mnuRefreshClick();
    void mnuClearDBClick();
    void mnuSetupClick();
    void mnuExitClick();
    void mnuAboutClick();

    // The user entered a column of a grid.
    void dbgQueriesColEnter();
    void dbgOffersColEnter();

    void tRefreshTimer();
    void clearDetails() { m_view->clearDetails(); }

    // Shows the window again in the state it had before it was minimised or hidden, and brings
    // it forward: a click on the tray icon or on a notification, or a second start.
    void restoreFromTray();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

    // Whether the tray icon is there to bring a hidden window back at this moment (a tray
    // host may have quit since the icon went up). Tests of the minimise rule replace it.
    virtual bool trayIconShown() const;

private:
    // Ctrl+F2, or the clear that follows a change of account once what runs has ended.
    void clearDatabase(DataThread::Request kind);
    void buildMenus();
    void buildStatusBar();
    void connectSession();
    void startUp();
    void createDatabaseFile();
    // The database and the two grids.
    void openDatabase();
    // What a sync needs of the window's settings and paths, as they are now.
    void configureSession();
    // The sync: asks the data thread for one cycle (ignored while it works).
    void downloadAndParse(bool loadAll);
    // The closing steps of a cycle, once the data thread has ended it.
    void syncDone(const SyncOutcome& outcome);
    // The second half of clearing the database, once the tables are empty (or failed to be).
    void databaseCleared(const std::optional<Error>& failure);
    void showReadFailure(const QString& message);

    // A damaged database file: the session hands it to the data thread (true: nothing more to
    // report), and the window shows what came of the repair.
    bool damageFound(const Error& error) { return m_session->damageFound(error); }
    void databaseRepaired(const DamageRecovery& recovery, const QString& kept,
                          const std::optional<Error>& failure);
    void diskFailing(const QString& message);

    // Moves the lifecycle on by one event and does what it says.
    void lifecycleEvent(Lifecycle::Event event);

    void setStatusText(int panel, const QString& text);
    void setWaitCursor(bool on);
    // The data thread is idle again: an end asked for meanwhile is due.
    void syncFinished();

    // Start-up values of the process.
    QString m_workDir;
    QString m_logPath;
    QString m_settingsPath;
    QString m_dbPath;
    EnvironmentReport m_environment;
    Settings m_settings;
    ServiceConfig m_service;

    // The file and its data thread; goes after the view (a child widget) whose models read it.
    std::unique_ptr<StoreSession> m_session;
    ListingsView* m_view = nullptr;               // the central widget
    TrayPresence* m_presence = nullptr;           // child of this window
    ListingCommands* m_listingCommands = nullptr; // child of this window

    Lifecycle m_lifecycle;
    DialogCloser* m_dialogCloser = nullptr; // child of this window, once the system asks to end

    bool m_waitCursor = false;
    bool m_placed = false;
};

} // namespace domiva
