#pragma once

#include "core/lifecycle.h"
#include "env/environment.h"
#include "settings/settings.h"
#include "store/recovery.h"
#include "sync/datathread.h"
#include "sync/refreshtimer.h"
#include "ui/datagrid.h"

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
class StoreTableModel;
class TrayIcon;

// The main window: searches on the left, the listings of the selected search on the right
// with the details of the selected listing below, the status bar with the sync's progress.
// It owns everything that lives as long as the program (database, grid models, timer, sync
// cycle, tray icon) and turns user actions into calls of the store, the sync cycle and the
// dialogs; it holds no SQL and no network code of its own.
class TfrmMain : public QMainWindow {
    Q_OBJECT

public:
    // The outer size of the window when it first appears.
    static constexpr int outerWidth = 1045;
    static constexpr int outerHeight = 694;
    // The first sync follows start-up after this long.
    static constexpr int initialRefreshInterval = 1500;

    // The font of the window and everything in it: a sans-serif face 11 pixels high.
    static QFont windowFont();
    // The fields the listings grid shows, with their widths.
    static QList<GridField> offerFields();

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
    Database* database() const { return adoConn.get(); }
    QueriesModel* queriesModel() const { return adoTblQueries.get(); }
    OffersModel* offersModel() const { return adoDSOffers.get(); }
    RefreshTimer& refreshTimer() { return tRefresh; }
    DataThread* dataThread() const { return m_data.get(); }
    TrayIcon* trayIcon() const { return m_tray; }
    ListingCommands* listingCommands() const { return m_listingCommands; }
    // Announces new listings where the desktop has no tray.
    DesktopNotifier* desktopNotifier() const { return m_notifier; }
    // Tests listen to the sound instead of playing it.
    void setNewListingsSound(std::unique_ptr<NewListingsSound> sound);

    // Runs a handler of the window: whatever error escapes it goes to the error box, except a
    // damaged database file, which is repaired instead.
    void reported(const std::function<void()>& handler);

    // True while the data thread works (a sync, the database being cleared, a search being
    // marked read) or a damaged file waits to be set aside: commands wait for the next turn.
    bool syncBusy() const;
    // Whether the data thread would refuse the request now (or a damaged file waits for its
    // repair): the command that asks for it says "try later".
    bool refuses(DataThread::Request request) const;
    // Whether the program has been asked to end and is waiting for the moment it can.
    bool terminationRequested() const { return m_lifecycle.terminationRequested(); }
    // The texts of the two status-bar panels.
    QString statusText(int panel) const;

    // Widgets of the window, owned through the Qt parent tree.
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
    void clearDetails();

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
    // Whether the data thread has a request under way.
    bool dataBusy() const;
    // Ctrl+F2, or the clear that follows a change of account once what runs has ended.
    void clearDatabase(DataThread::Request kind);
    void clearingStarts();
    void buildLayout();
    void buildMenus();
    void buildStatusBar();
    void startUp();
    void createDatabaseFile();

    // The sync: asks the data thread for one cycle (ignored while it works).
    void downloadAndParse(bool loadAll);
    // What a sync needs of the window's settings and paths, as they are now.
    SyncRequest syncRequest(bool loadAll) const;
    void syncStarts();
    // The closing steps of a cycle, once the data thread has ended it.
    void syncDone(const SyncOutcome& outcome);
    void connectDataThread();
    // The second half of clearing the database, once the tables are empty (or failed to be).
    void databaseCleared(const std::optional<Error>& failure);

    // The database and the two grid models.
    void openDatabase();
    void openQueries();
    void openOffers();
    void closeQueries();
    void closeOffers();
    void showModelFailure(const QString& message, bool damagedFile);
    // The listings' model failed; when it failed to read the keys of a search just selected,
    // the listings are closed as well.
    void offersLoadFailed(const QString& message, bool damagedFile);
    // The data thread's answer to opening a listing.
    void offerMarkedRead(const QVariant& offerId, qint32 qid, const std::optional<Error>& failure);

    // dbgOffersColEnter without its report of errors that escape the log.
    void selectOffer();

    // A damaged database file. Whoever finds the damage calls damageFound (true: the data
    // thread repairs it, nothing more to report); the window lets go of the file when the
    // repair starts, and shows what came of it.
    bool damageFound(const Error& error);
    bool damageFound(const QString& message);
    void repairStarts();
    void databaseRepaired(const DamageRecovery& recovery, const QString& kept,
                          const std::optional<Error>& failure);
    void diskFailing(const QString& message);

    void applicationMinimize();
    // Moves the lifecycle on by one event and does what it says.
    void lifecycleEvent(Lifecycle::Event event);

    // What the data thread's answers do to the window.
    void setStatusText(int panel, const QString& text);
    void setWaitCursor(bool on);
    void showTrayBalloon(const QString& text);
    void showNewVersionMessage(const QString& text);
    void suspendGrids();
    void resumeGrids();
    void requeryOffers();
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

    // Declared in the order they may be built; destroyed the other way round, so the models
    // go before the database they read.
    std::unique_ptr<Database> adoConn;
    std::unique_ptr<QueriesModel> adoTblQueries;
    std::unique_ptr<OffersModel> adoDSOffers;
    // The search whose listings the offers grid shows ("the command text" of the offers):
    // kept across closing and reopening the offers.
    qint32 m_offersQueryId = 0;
    // A search was selected and its listings' keys have not all arrived yet.
    bool m_selectingSearch = false;

    RefreshTimer tRefresh;
    TrayIcon* m_tray = nullptr;            // child of this window
    DesktopNotifier* m_notifier = nullptr; // child of this window
    std::unique_ptr<NewListingsSound> m_sound;
    ListingCommands* m_listingCommands = nullptr; // child of this window

    Lifecycle m_lifecycle;
    DialogCloser* m_dialogCloser = nullptr; // child of this window, once the system asks to end

    bool m_minimizeHook = false;
    // What the window was, apart from minimised, when it went to the tray.
    Qt::WindowStates m_stateInTray;
    // Brought back from the tray, and not yet shown by the window manager.
    bool m_restoring = false;
    bool m_waitCursor = false;
    bool m_placed = false;
    // Last: it goes first, before anything its answers would touch.
    std::unique_ptr<DataThread> m_data;
};

} // namespace domiva
