#include "ui/mainwindow.h"

#include "ui/uifont.h"

#include "core/error.h"
#include "core/eventlog.h"
#include "settings/integertext.h"
#include "store/database.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "ui/aboutdialog.h"
#include "ui/datagrid.h"
#include "ui/desktopnotifier.h"
#include "ui/detailspanel.h"
#include "ui/griddelegates.h"
#include "ui/icons.h"
#include "ui/listingcommands.h"
#include "ui/messageboxes.h"
#include "ui/newlistingssound.h"
#include "ui/panecycle.h"
#include "ui/screenplacement.h"
#include "ui/setupdialog.h"
#include "ui/trayicon.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScopeGuard>
#include <QScreen>
#include <QShowEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QWindow>

#include <array>
#include <memory>
#include <optional>
#include <utility>

namespace domiva {

namespace {

constexpr int leftPanelWidth = 241;
constexpr int topPanelHeight = 265;
constexpr int splitterWidth = 3;
constexpr int statusPanelWidth = 600;

// The fields of the details panel, top to bottom.
constexpr std::array<const char*, DetailsPanel::lineCount> detailFields{
    "min_obj",  "metro_obj", "room_obj", "kitch_obj",  "price_obj", "perc_obj",
    "flat_obj", "info_obj",  "cont_obj", "owntxt_obj", "publ_obj",  "dt_obj"};

QWidget* panel(const QString& name, QWidget* content) {
    auto* widget = new QWidget;
    widget->setObjectName(name);
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(content);
    return widget;
}

QLabel* statusPanel(const QString& name, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setLineWidth(1);
    label->setIndent(2);
    return label;
}

// Puts the cursor back on the row with this key after the grid's rows were read again, or
// on the first row when that row is gone.
void restoreCursor(DataGrid* grid, StoreTableModel* model, const QVariant& key) {
    const int row = key.isNull() ? -1 : model->rowOfKey(key);
    grid->placeCursor(row >= 0 ? row : 0);
}

// Runs then() once, from the event loop, after the window is next exposed.
void onFirstExpose(QWindow* window, std::function<void()> then) {
    class Watch : public QObject {
    public:
        Watch(QWindow* window, std::function<void()> then)
            : QObject(window), m_then(std::move(then)) {
            window->installEventFilter(this);
        }

    protected:
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Expose && static_cast<QWindow*>(watched)->isExposed()) {
                watched->removeEventFilter(this);
                QMetaObject::invokeMethod(watched, m_then, Qt::QueuedConnection);
                deleteLater();
            }
            return false;
        }

    private:
        std::function<void()> m_then;
    };
    new Watch(window, std::move(then));
}

} // namespace

QFont TfrmMain::windowFont() {
    return uiFont();
}

QList<GridField> TfrmMain::offerFields() {
    return {{QStringLiteral("unreaded"), 14},   {QStringLiteral("room_obj"), 17},
            {QStringLiteral("metro_obj"), 323}, {QStringLiteral("min_obj"), 24},
            {QStringLiteral("price_obj"), 44},  {QStringLiteral("info_obj"), 72},
            {QStringLiteral("cont_obj"), 155},  {QStringLiteral("dt_obj"), 110}};
}

TfrmMain::TfrmMain(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Домива - BETA"));
    setWindowIcon(appIcon());
    setFont(windowFont());
    buildLayout();
    buildMenus();
    buildStatusBar();
    m_listingCommands = new ListingCommands(this);
    // The keyboard's way between searches, listings and details (Tab stays inside a grid).
    new PaneCycle(this, {{pnlLeft, dbgQueries}, {pnlTop, dbgOffers}, {pnlBottom, pnlBottom}});
    resize(outerWidth, outerHeight);

    m_tray = new TrayIcon(this);
    connect(m_tray, &TrayIcon::restoreRequested, this, &TfrmMain::restoreFromTray);
    connect(m_tray, &TrayIcon::aboutRequested, this, &TfrmMain::mnuAboutClick);
    m_notifier = new DesktopNotifier(
        [this](const QString& message) {
            try {
                writeLog(m_logPath, message, false);
            } catch (const Error&) {
                // The log is the only place this is reported.
            }
        },
        this);
    connect(m_notifier, &DesktopNotifier::activated, this, &TfrmMain::restoreFromTray);
    connect(m_tray, &TrayIcon::noTray, this, [this] {
        try {
            writeLog(m_logPath,
                     QStringLiteral("No tray on this desktop: new listings are announced as "
                                    "desktop notifications, and the icon goes up if a tray "
                                    "appears"),
                     false);
        } catch (const Error&) {
            // Nothing is wrong: a log that cannot take this line is reported elsewhere.
        }
    });
    m_sound = std::make_unique<CanberraSound>();
    connectDataThread();

    tRefresh.setObjectName(QStringLiteral("tRefresh"));
    tRefresh.setInterval(initialRefreshInterval);
    connect(&tRefresh, &RefreshTimer::timeout, this, &TfrmMain::tRefreshTimer);

    // The end of the event loop is the orderly end of the program, however it came about.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &TfrmMain::formDestroy);
}

TfrmMain::~TfrmMain() {
    // Whatever the data thread still does ends before the window it would answer goes.
    m_data.reset();
    formDestroy();
    // The grids outlive the models in the Qt parent tree: let them go first.
    dbgOffers->setModel(nullptr);
    dbgQueries->setModel(nullptr);
}

void TfrmMain::connectDataThread() {
    m_data = std::make_unique<DataThread>();
    DataThread* data = m_data.get();
    connect(data, &DataThread::statusText, this, &TfrmMain::setStatusText);
    connect(data, &DataThread::gridsSuspended, this, &TfrmMain::suspendGrids);
    connect(data, &DataThread::gridsResumed, this, &TfrmMain::resumeGrids);
    connect(data, &DataThread::trayBalloon, this, &TfrmMain::showTrayBalloon);
    connect(data, &DataThread::offersChanged, this, &TfrmMain::requeryOffers);
    connect(data, &DataThread::versionNotice, this, [this](const QString& text) {
        // The sync waits for the box to be closed, however it is closed.
        const auto goOn = qScopeGuard([this] { m_data->versionNoticeClosed(); });
        reported([this, &text] { showNewVersionMessage(text); });
    });
    connect(data, &DataThread::syncStarted, this, &TfrmMain::syncStarts);
    connect(data, &DataThread::syncDone, this, &TfrmMain::syncDone);
    connect(data, &DataThread::searchMarkedRead, this,
            [this](qint32 qid, const std::optional<Error>& failure) {
                m_listingCommands->searchMarkedRead(qid, failure);
                syncFinished();
            });
    data->setSyncSource([this] { return syncRequest(true); });
    connect(data, &DataThread::repairing, this, &TfrmMain::repairStarts);
    connect(data, &DataThread::databaseRepaired, this, &TfrmMain::databaseRepaired);
    connect(data, &DataThread::diskFailing, this, &TfrmMain::diskFailing);
    connect(data, &DataThread::readMarksCarried, this, [this] {
        resumeGrids();
        syncFinished();
    });
    connect(data, &DataThread::clearing, this, &TfrmMain::clearingStarts);
    connect(data, &DataThread::databaseCleared, this, [this](const std::optional<Error>& failure) {
        databaseCleared(failure);
        syncFinished();
    });
}

void TfrmMain::buildLayout() {
    dbgQueries = new DataGrid;
    dbgQueries->setObjectName(QStringLiteral("dbgQueries"));
    dbgQueries->setItemDelegate(new QueriesDelegate(dbgQueries));
    dbgQueries->setGridLines(DataGrid::GridLines::None);
    dbgQueries->setAccessibleName(QStringLiteral("Поиски"));
    dbgQueries->setColumnTitles({{QStringLiteral("updated"), QStringLiteral("Обновлено")},
                                 {QStringLiteral("qname"), QStringLiteral("Поиск")}});
    connect(dbgQueries, &DataGrid::colEnter, this, &TfrmMain::dbgQueriesColEnter);

    dbgOffers = new DataGrid;
    dbgOffers->setObjectName(QStringLiteral("dbgOffers"));
    dbgOffers->setItemDelegate(new OffersDelegate(dbgOffers));
    dbgOffers->setGridLines(DataGrid::GridLines::BetweenRows);
    dbgOffers->setAccessibleName(QStringLiteral("Объявления"));
    dbgOffers->setColumnTitles({{QStringLiteral("unreaded"), QStringLiteral("Непрочитано")},
                                {QStringLiteral("room_obj"), QStringLiteral("Комнат")},
                                {QStringLiteral("metro_obj"), QStringLiteral("Адрес")},
                                {QStringLiteral("min_obj"), QStringLiteral("Трансп.")},
                                {QStringLiteral("price_obj"), QStringLiteral("Цена")},
                                {QStringLiteral("info_obj"), QStringLiteral("м/т")},
                                {QStringLiteral("cont_obj"), QStringLiteral("Контакт")},
                                {QStringLiteral("dt_obj"), QStringLiteral("Дата/время")}});
    connect(dbgOffers, &DataGrid::colEnter, this, &TfrmMain::dbgOffersColEnter);

    pnlBottom = new DetailsPanel;
    pnlBottom->setObjectName(QStringLiteral("pnlBottom"));

    pnlLeft = panel(QStringLiteral("pnlLeft"), dbgQueries);
    pnlTop = panel(QStringLiteral("pnlTop"), dbgOffers);

    splTop = new QSplitter(Qt::Vertical);
    splTop->setObjectName(QStringLiteral("splTop"));
    splTop->setHandleWidth(splitterWidth);
    splTop->setChildrenCollapsible(false);
    splTop->addWidget(pnlTop);
    splTop->addWidget(pnlBottom);
    // The offers keep their height when the window grows; the details take the rest.
    splTop->setStretchFactor(0, 0);
    splTop->setStretchFactor(1, 1);
    pnlRight = panel(QStringLiteral("pnlRight"), splTop);

    splLeft = new QSplitter(Qt::Horizontal, this);
    splLeft->setObjectName(QStringLiteral("splLeft"));
    splLeft->setHandleWidth(splitterWidth);
    splLeft->setChildrenCollapsible(false);
    splLeft->addWidget(pnlLeft);
    splLeft->addWidget(pnlRight);
    splLeft->setStretchFactor(0, 0);
    splLeft->setStretchFactor(1, 1);
    setCentralWidget(splLeft);

    // Column widths follow the grid font, so they are set once the window font is in place.
    dbgQueries->showFields({{QStringLiteral("updated"), dbgQueries->charsWidth(3)},
                            {QStringLiteral("qname"), dbgQueries->charsWidth(32)}});
    dbgOffers->showFields(offerFields());

    splLeft->setSizes({leftPanelWidth, outerWidth - leftPanelWidth - splitterWidth});
    splTop->setSizes({topPanelHeight, outerHeight - topPanelHeight});
}

void TfrmMain::buildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("mnuMain"));

    const auto command = [this](QMenu* menu, const QString& name, const QString& caption,
                                const QKeySequence& shortcut, void (TfrmMain::*handler)()) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(name);
        if (!shortcut.isEmpty()) {
            action->setShortcut(shortcut);
            // Wherever the focus is in the window, the menu's keys work.
            action->setShortcutContext(Qt::WindowShortcut);
        }
        connect(action, &QAction::triggered, this, handler);
        return action;
    };
    const auto separator = [](QMenu* menu, const QString& name) {
        QAction* action = menu->addSeparator();
        action->setObjectName(name);
        return action;
    };

    mnuFile = bar->addMenu(QStringLiteral("Действия"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuRefresh = command(mnuFile, QStringLiteral("mnuRefresh"), QStringLiteral("Обновить"),
                         QKeySequence(Qt::Key_F5), &TfrmMain::mnuRefreshClick);
    mnuClearDB = command(mnuFile, QStringLiteral("mnuClearDB"),
                         QStringLiteral("Очистить БД и перегрузить данные"),
                         QKeySequence(Qt::CTRL | Qt::Key_F2), &TfrmMain::mnuClearDBClick);
    mnuSep2 = separator(mnuFile, QStringLiteral("mnuSep2"));
    mnuSetup = command(mnuFile, QStringLiteral("mnuSetup"), QStringLiteral("Настройки..."), {},
                       &TfrmMain::mnuSetupClick);
    mnuSep1 = separator(mnuFile, QStringLiteral("mnuSep1"));
    mnuExit = command(mnuFile, QStringLiteral("mnuExit"), QStringLiteral("Выход"), {},
                      &TfrmMain::mnuExitClick);

    mnuHelp = bar->addMenu(QStringLiteral("Помощь"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuAbout = command(mnuHelp, QStringLiteral("mnuAbout"), QStringLiteral("О программе..."), {},
                       &TfrmMain::mnuAboutClick);

    // Shortcuts of a menu bar's actions are live only while the actions belong to the window.
    addActions({mnuRefresh, mnuClearDB, mnuSetup, mnuExit, mnuAbout});
}

void TfrmMain::buildStatusBar() {
    QStatusBar* sb = statusBar();
    sb->setObjectName(QStringLiteral("sb"));
    sbPanel0 = statusPanel(QStringLiteral("sbPanel0"), QStringLiteral("..."), sb);
    sbPanel0->setFixedWidth(statusPanelWidth);
    sbPanel1 = statusPanel(QStringLiteral("sbPanel1"), QStringLiteral("Последнее обновление:"), sb);
    // Permanent, so that no transient message of a widget ever covers the sync's texts.
    sb->addPermanentWidget(sbPanel0, 0);
    sb->addPermanentWidget(sbPanel1, 1);
}

// ---------------------------------------------------------------------------------------------
// Start-up and shut-down

void TfrmMain::formCreate() {
    reported([this] { startUp(); });
    // Start-up runs before the event loop (its boxes run loops of their own); this comes
    // through once the loop that follows it runs.
    QMetaObject::invokeMethod(
        this, [this] { lifecycleEvent(Lifecycle::Event::LoopStarted); }, Qt::QueuedConnection);
}

void TfrmMain::startUp() {
    // 1. Working folder.
    m_workDir = workingFolder();
    createWorkingFolder(m_workDir);

    // 2. Event log, emptied at every start.
    m_logPath = m_workDir + QStringLiteral("domiva.log");
    writeLog(m_logPath, QStringLiteral("Start"), true);
    // Whatever of the folder others could read (made by hand, copied in) is theirs no more.
    if (const QStringList tightened = tightenWorkingFolder(m_workDir); !tightened.isEmpty())
        writeLog(m_logPath,
                 QStringLiteral("Права доступа сужены до 0700 (папка) и 0600 (файлы): ") +
                     tightened.join(QStringLiteral(", ")),
                 false);

    // 3. From now on minimising may take the window off the task bar.
    m_minimizeHook = true;

    // 4 - 7. Versions of the program and its surroundings.
    m_environment = gatherEnvironment();

    // 8. The identification line.
    writeLog(m_logPath, clientIdString(m_environment, appVerFileSuffix(m_environment.appVersion)),
             false);

    // 9. Settings defaults.
    m_settings = Settings{};

    // 10. Details panel.
    clearDetails();

    // 11. File names.
    m_settingsPath = m_workDir + QStringLiteral("settings.ini");
    m_dbPath = m_workDir + QStringLiteral("db");

    // 12. A missing settings file is written with the defaults; an existing one is never
    // rewritten here, even when keys are missing from it.
    if (!QFileInfo::exists(m_settingsPath))
        saveSettings(m_settingsPath, m_settings);

    // 13. Settings, and where the service is.
    m_settings = loadSettings(m_settingsPath);
    m_service = loadServiceConfig(m_settingsPath);

    // 15. Database file.
    if (!QFileInfo::exists(m_dbPath))
        createDatabaseFile();

    // 16. Database and the two grids. A damaged file is repaired once the event loop runs;
    // start-up goes on meanwhile.
    try {
        openDatabase();
    } catch (const Error& error) {
        if (!damageFound(error))
            throw;
    }

    // 17. The first sync follows shortly.
    tRefresh.setInterval(initialRefreshInterval);
    tRefresh.setEnabled(true);

    // 18. Tray icon.
    m_tray->addTrayIcon();
}

void TfrmMain::createDatabaseFile() {
    try {
        createDatabase(m_dbPath);
    } catch (const Error& error) {
        if (error.message().isEmpty())
            return;
        writeLog(m_logPath, error.message(), false);
        messageBoxes().information(this, QStringLiteral("Cannot create DB!"));
        // The rest of start-up still runs (and may still have something to say); the program
        // ends once its event loop runs.
        lifecycleEvent(Lifecycle::Event::QuitRequested);
    }
}

void TfrmMain::formDestroy() {
    // Nobody may be there to answer a box: a failure to log the end then goes unreported
    // rather than keep the program from ending.
    const bool unattended = m_lifecycle.unattended();
    if (!m_lifecycle.handle(Lifecycle::Event::ShutDown, dataBusy()).shutDown)
        return;
    const auto shutDown = [this] {
        m_tray->deleteTrayIcon();
        // An export cut short leaves no file behind, and the log says so; one that was done
        // by then is there whole. The data threads end first, so that nothing of theirs
        // follows "Shutdown".
        const QString exported =
            m_listingCommands != nullptr ? m_listingCommands->exportPath() : QString();
        if (!exported.isEmpty())
            m_listingCommands->cancelExport();
        if (m_data)
            m_data->finish();
        if (adoConn)
            adoConn->leaveLogAtClose();
        if (!exported.isEmpty() && !QFileInfo::exists(exported) && !m_logPath.isEmpty())
            writeLog(
                m_logPath,
                QStringLiteral("CSV export to %1 not finished: the program ended").arg(exported),
                false);
        if (!m_logPath.isEmpty())
            writeLog(m_logPath, QStringLiteral("Shutdown"), false);
    };
    if (!unattended) {
        reported(shutDown);
        return;
    }
    try {
        shutDown();
    } catch (const Error&) {
    }
}

void TfrmMain::endSession() {
    lifecycleEvent(Lifecycle::Event::SessionEnded);
}

void TfrmMain::requestTermination() {
    lifecycleEvent(Lifecycle::Event::QuitRequested);
}

void TfrmMain::lifecycleEvent(Lifecycle::Event event) {
    const Lifecycle::Actions actions = m_lifecycle.handle(event, dataBusy());
    // The end abandons what the data thread does: a transfer is not waited out, whatever the
    // server does; what was committed stays.
    if (m_lifecycle.terminationRequested() && m_data)
        m_data->cancelAll();
    // Asked to end, the window leaves the screen at once; a running sync and the shut-down
    // are finished out of sight.
    if (m_lifecycle.terminationRequested() && event != Lifecycle::Event::LoopStarted)
        hide();
    if (actions.closeBoxes && m_dialogCloser == nullptr)
        m_dialogCloser = new DialogCloser(this);
    if (actions.checkLater) {
        QMetaObject::invokeMethod(
            this, [this] { lifecycleEvent(Lifecycle::Event::Check); }, Qt::QueuedConnection);
    }
    if (actions.quitLoop)
        QCoreApplication::quit();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    // Closed during a sync, the window only hides; the program ends once the sync has finished.
    if (dataBusy())
        event->ignore();
    else
        event->accept();
    requestTermination();
}

void TfrmMain::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_placed)
        return;
    m_placed = true;
    // The size is that of the whole window, frame included, where a window manager draws one.
    placeOnScreen(this, QSize(outerWidth, outerHeight));
}

// ---------------------------------------------------------------------------------------------
// Database and grid models

void TfrmMain::openDatabase() {
    adoConn = domiva::openDatabase(m_dbPath);
    // The data threads write; the window only reads, and in WAL mode never waits for them.
    adoConn->refuseWrites();
    openQueries();
    openOffers();
}

void TfrmMain::openQueries() {
    if (!adoConn)
        throw Error(QStringLiteral("База данных не открыта"));
    auto model = std::make_unique<QueriesModel>(*adoConn);
    model->setCountReader(
        [data = m_data.get(), path = m_dbPath](auto qid, auto* receiver, auto deliver) {
            data->countOffers(path, qid, receiver, std::move(deliver));
        });
    connect(model.get(), &StoreTableModel::loadFailed, this, &TfrmMain::showModelFailure);
    adoTblQueries = std::move(model);
    dbgQueries->setModel(adoTblQueries.get());
    dbgQueries->placeCursor(0);
}

void TfrmMain::openOffers() {
    if (!adoConn)
        throw Error(QStringLiteral("База данных не открыта"));
    auto model = std::make_unique<OffersModel>(*adoConn);
    // Keys are read on the data thread from the first search on: the window never waits for
    // hundreds of thousands of them.
    model->setKeyReader(m_data->offerKeyReader(m_dbPath));
    connect(model.get(), &StoreTableModel::loadFailed, this, &TfrmMain::offersLoadFailed);
    connect(model.get(), &OffersModel::keysComplete, this, [this] { m_selectingSearch = false; });
    if (m_offersQueryId != 0)
        model->setQueryId(m_offersQueryId);
    adoDSOffers = std::move(model);
    dbgOffers->setModel(adoDSOffers.get());
    dbgOffers->placeCursor(0);
    m_listingCommands->resetFilter();
}

void TfrmMain::closeQueries() {
    dbgQueries->setModel(nullptr);
    adoTblQueries.reset();
}

void TfrmMain::closeOffers() {
    dbgOffers->setModel(nullptr);
    adoDSOffers.reset();
}

void TfrmMain::offersLoadFailed(const QString& message, bool damagedFile) {
    if (!std::exchange(m_selectingSearch, false)) {
        showModelFailure(message, damagedFile);
        return;
    }
    if (damagedFile && damageFound(message))
        return;
    // The listings stay closed until the database is cleared and reopened. Not from inside
    // the model's own signal, which the model is still in.
    QMetaObject::invokeMethod(
        this,
        [this, message] {
            closeOffers();
            messageBoxes().error(this, message);
        },
        Qt::QueuedConnection);
}

void TfrmMain::showModelFailure(const QString& message, bool damagedFile) {
    if (damagedFile && damageFound(message))
        return;
    // Rows are read while a grid paints or scrolls: the box waits for the next turn of the
    // event loop instead of opening inside the view.
    QMetaObject::invokeMethod(
        this, [this, message] { messageBoxes().error(this, message); }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// Grids

void TfrmMain::dbgQueriesColEnter() {
    reported([this] {
        if (!adoTblQueries || adoTblQueries->rowCount() == 0 || !adoDSOffers)
            return;
        const qint32 qid = adoTblQueries->keyOfRow(dbgQueries->cursorRow()).toInt();
        m_offersQueryId = qid;
        clearDetails();
        try {
            m_listingCommands->resetFilter();
            m_selectingSearch = true;
            adoDSOffers->setQueryId(qid);
        } catch (const Error&) {
            // The listings stay closed until the database is cleared and reopened.
            closeOffers();
            throw;
        }
        dbgOffers->placeCursor(0);
    });
}

void TfrmMain::dbgOffersColEnter() {
    reported([this] { selectOffer(); });
}

void TfrmMain::selectOffer() {
    if (!adoDSOffers)
        return;
    const int row = dbgOffers->cursorRow();
    const QVariantMap stored = adoDSOffers->rowValues(row, Qt::EditRole);
    const QVariant offerId = stored.value(QStringLiteral("id"));
    // A blank row (its listing gone, or its page unreadable) is no listing to open: it marks
    // nothing, least of all search 0.
    if (row < 0 || offerId.isNull()) {
        clearDetails();
        return;
    }
    const QVariantMap shown = adoDSOffers->rowValues(row, Qt::DisplayRole);
    // The flags are those of the listing's own search, whichever search the queries grid's
    // cursor stands on by now.
    const qint32 qid = stored.value(QStringLiteral("qid")).toInt();

    QStringList values;
    for (const char* field : detailFields)
        values.append(shown.value(QLatin1String(field)).toString());
    pnlBottom->showValues(values);
    pnlBottom->showEarlier(
        adoDSOffers->data(adoDSOffers->index(row, 0), OffersModel::EarlierRole).toString());
    if (!adoConn) {
        writeLog(m_logPath, QStringLiteral("База данных не открыта"), false);
        return;
    }
    // Stored by the data thread: a sync under way holds the file for one commit at a time.
    m_data->markOfferRead(m_dbPath, offerId.toString(), qid, this,
                          [this, offerId, qid](const std::optional<Error>& failure) {
                              offerMarkedRead(offerId, qid, failure);
                          });
}

void TfrmMain::offerMarkedRead(const QVariant& offerId, qint32 qid,
                               const std::optional<Error>& failure) {
    // Opening a listing reports its failures in the log only: the user just looks on.
    if (failure) {
        writeLog(m_logPath, failure->message(), false);
        damageFound(*failure);
    }
    // Whatever happened, the grids show the flags as they are now stored.
    try {
        if (adoDSOffers)
            adoDSOffers->refreshRow(offerId);
        if (adoTblQueries)
            adoTblQueries->refreshRow(QVariant(qid));
    } catch (const Error& error) {
        writeLog(m_logPath, error.message(), false);
        damageFound(error);
    }
}

void TfrmMain::clearDetails() {
    pnlBottom->clearDetails();
}

// ---------------------------------------------------------------------------------------------
// Commands

void TfrmMain::tRefreshTimer() {
    reported([this] { downloadAndParse(false); });
}

void TfrmMain::mnuRefreshClick() {
    reported([this] { downloadAndParse(false); });
}

SyncRequest TfrmMain::syncRequest(bool loadAll) const {
    return SyncRequest{loadAll,       adoConn != nullptr, m_settings, m_service,
                       m_environment, m_workDir,          m_logPath,  m_dbPath};
}

void TfrmMain::downloadAndParse(bool loadAll) {
    // Not before start-up has its log. While the data thread works, the request is taken by
    // what runs: there is never a second sync, and clearing or a repair starts its own full
    // download once it is done.
    if (m_logPath.isEmpty())
        return;
    m_data->sync(syncRequest(loadAll));
}

void TfrmMain::syncStarts() {
    setWaitCursor(true);
    tRefresh.setEnabled(false);
}

void TfrmMain::syncDone(const SyncOutcome& outcome) {
    tRefresh.setInterval(RefreshTimer::intervalFromSeconds(m_settings.refreshTime));
    tRefresh.setEnabled(true);
    setWaitCursor(false);
    syncFinished();
    if (!outcome.unloggedError.isEmpty())
        reported([&outcome] { throw Error(outcome.unloggedError); });
}

bool TfrmMain::syncBusy() const {
    // A damaged file waiting to be set aside is as busy as a sync: the data thread counts it.
    return dataBusy();
}

bool TfrmMain::dataBusy() const {
    return m_data && m_data->busy();
}

bool TfrmMain::refuses(DataThread::Request request) const {
    return !m_data || m_data->wouldDecide(request) == DataThread::Decision::Refuse;
}

void TfrmMain::mnuClearDBClick() {
    clearDatabase(DataThread::Request::Clear);
}

void TfrmMain::clearDatabase(DataThread::Request kind) {
    reported([this, kind] {
        const auto refused = [this, kind] {
            if (!refuses(kind))
                return false;
            messageBoxes().information(this, QStringLiteral("Попробуйте пожалуйста позднее."));
            return true;
        };
        if (refused())
            return;
        if (!messageBoxes().warningYesNo(this, QStringLiteral("Подтверждение"),
                                         QStringLiteral("Вы уверены?"), true))
            return;
        // A sync may have started while the question was open.
        if (refused())
            return;
        if (!adoConn)
            throw Error(QStringLiteral("База данных не открыта"));
        // A million listings take a while to delete: the data thread does it (clearingStarts
        // once it begins), the window counts as busy meanwhile, and the full download follows
        // once the tables are empty.
        m_data->clearDatabase(m_dbPath, kind);
    });
}

void TfrmMain::clearingStarts() {
    clearDetails();
    tRefresh.setEnabled(false);
    closeOffers();
    closeQueries();
}

void TfrmMain::databaseCleared(const std::optional<Error>& failure) {
    reported([this, &failure] {
        if (failure)
            throw *failure;
        // Asked to end meanwhile: nothing more to show.
        if (m_lifecycle.terminationRequested())
            return;
        // The full download has started already.
        openOffers();
        openQueries();
    });
}

void TfrmMain::mnuSetupClick() {
    reported([this] {
        const QString oldLogin = m_settings.login;
        const QString oldPassword = m_settings.password;

        TfrmSetup dialog(this);
        dialog.setFields({m_settings.login, m_settings.password, m_settings.minimizeToTray,
                          m_settings.playSound, QString::number(m_settings.countQueries),
                          m_settings.proxyServer, QString::number(m_settings.proxyPort),
                          m_settings.proxyLogin, m_settings.proxyPassword, m_settings.proxyFromIE,
                          m_settings.repostsRead});
        if (dialog.exec() != QDialog::Accepted)
            return;

        const SetupFields fields = dialog.fields();
        m_settings.login = fields.login;
        m_settings.password = fields.password;
        m_settings.minimizeToTray = fields.minimizeToTray;
        m_settings.playSound = fields.playSound;
        m_settings.countQueries = leadingInteger(fields.countQueries);
        m_settings.proxyServer = fields.proxyServer;
        m_settings.proxyPort = leadingInteger(fields.proxyPort);
        m_settings.proxyLogin = fields.proxyLogin;
        m_settings.proxyPassword = fields.proxyPassword;
        m_settings.proxyFromIE = fields.proxyFromIE;
        m_settings.repostsRead = fields.repostsRead;
        // A failed save keeps the new values for this run and skips the account check.
        saveSettings(m_settingsPath, m_settings);

        // The old account's searches and listings go, as soon as what runs now has ended.
        if (m_settings.login != oldLogin || m_settings.password != oldPassword)
            clearDatabase(DataThread::Request::ClearWhenFree);
    });
}

void TfrmMain::mnuExitClick() {
    requestTermination();
}

void TfrmMain::mnuAboutClick() {
    reported([this] {
        TfrmAbout dialog(this);
        dialog.setTexts(QStringLiteral("версия ") + kClientVersion, m_environment.jetVersion,
                        m_environment.mdacVersion, m_environment.osVersion, m_logPath);
        dialog.exec();
    });
}

void TfrmMain::reported(const std::function<void()>& handler) {
    runReported(this, [this, &handler] {
        try {
            handler();
        } catch (const Error& error) {
            if (!damageFound(error))
                throw;
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Tray icon and minimising

void TfrmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && m_restoring && !isMinimized())
        m_restoring = false;
    if (event->type() == QEvent::WindowStateChange && m_minimizeHook && isMinimized()) {
        // Hidden only once the minimise has been carried out.
        QMetaObject::invokeMethod(
            this, [this] { reported([this] { applicationMinimize(); }); }, Qt::QueuedConnection);
    }
}

bool TfrmMain::trayIconShown() const {
    return m_tray->isShown() && QSystemTrayIcon::isSystemTrayAvailable();
}

void TfrmMain::applicationMinimize() {
    // Until the window manager has shown the window brought back, a minimised state it reports
    // is the one the window had, not the user's.
    if (!isMinimized() || m_restoring)
        return;
    // The setting is read now, so a change in the settings dialog applies at once; without a
    // tray icon a hidden window could never be brought back.
    if (hideOnMinimize(m_settings.minimizeToTray, trayIconShown())) {
        m_stateInTray = windowState() & ~Qt::WindowMinimized;
        hide();
    }
}

void TfrmMain::restoreFromTray() {
    // Back in the state it had before it was minimised: a maximised window stays maximised.
    if (isHidden() && !isMinimized()) {
        // The window manager forgets the state of a window taken off the screen, and Qt takes
        // its word; but the hint to start iconic, set when the window was minimised, stays on
        // the window. Only a change of state that Qt carries out resets the hint, so the window
        // goes through one before it is mapped, already in the state it left in.
        setWindowState(m_stateInTray ^ Qt::WindowMaximized);
        setWindowState(m_stateInTray);
        show();
    } else if (isHidden()) {
        // Not yet let go by the window manager, which may still hold the window iconic.
        // Leaving the minimised state maps the window at once: the window manager either shows
        // it in the state it kept, or takes it on anew and may miss the state. Once the window
        // is on the screen, the state is asked for once more.
        const Qt::WindowStates wanted = m_stateInTray;
        setWindowState(wanted);
        show();
        m_restoring = true;
        onFirstExpose(windowHandle(), [this, wanted] {
            m_restoring = false;
            const Qt::WindowStates normal = wanted & ~(Qt::WindowMaximized | Qt::WindowFullScreen);
            if (isHidden() || isMinimized() || wanted == normal)
                return;
            setWindowState(normal);
            setWindowState(wanted);
        });
    } else if (isMinimized()) {
        // Iconic on the task bar: only the minimised state goes, the window manager kept the
        // rest. The window knows that rest; the widget keeps, while minimised, the state from
        // before, which misses what the window manager changed meanwhile.
        setWindowState(windowHandle()->windowStates() & ~Qt::WindowMinimized);
    }
    raise();
    activateWindow();
}

// ---------------------------------------------------------------------------------------------
// What the sync cycle asks of the window

QString TfrmMain::statusText(int panel) const {
    if (panel == 0)
        return sbPanel0->text();
    if (panel == 1)
        return sbPanel1->text();
    return {};
}

void TfrmMain::setStatusText(int panel, const QString& text) {
    if (panel == 0)
        sbPanel0->setText(text);
    else if (panel == 1)
        sbPanel1->setText(text);
}

void TfrmMain::setWaitCursor(bool on) {
    if (on == m_waitCursor)
        return;
    m_waitCursor = on;
    if (on)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TfrmMain::showTrayBalloon(const QString& text) {
    if (m_tray->showsBalloons())
        m_tray->showTrayBalloon(text);
    else
        m_notifier->notify(TrayIcon::balloonText(text));
    // The cycle asks for the balloon exactly when it stored new listings.
    if (m_settings.playSound && m_sound)
        m_sound->play();
}

void TfrmMain::setNewListingsSound(std::unique_ptr<NewListingsSound> sound) {
    m_sound = std::move(sound);
}

void TfrmMain::showNewVersionMessage(const QString& text) {
    messageBoxes().information(this, text);
}

void TfrmMain::suspendGrids() {
    if (adoDSOffers)
        adoDSOffers->beginBulkUpdate();
    if (adoTblQueries)
        adoTblQueries->beginBulkUpdate();
}

void TfrmMain::resumeGrids() {
    const auto resume = [](DataGrid* grid, StoreTableModel* model) {
        if (model == nullptr)
            return;
        const QVariant key = model->keyOfRow(grid->cursorRow());
        // Read again only when the sync changed the database.
        if (model->endBulkUpdate())
            restoreCursor(grid, model, key);
    };
    resume(dbgOffers, adoDSOffers.get());
    resume(dbgQueries, adoTblQueries.get());
}

void TfrmMain::requeryOffers() {
    if (!adoDSOffers)
        return;
    const QVariant key = adoDSOffers->keyOfRow(dbgOffers->cursorRow());
    try {
        // The grids have just resumed with what the sync stored: nothing new to read then.
        if (!adoDSOffers->refreshIfChanged())
            return;
    } catch (const Error& error) {
        // Called at the end of a cycle, which must run to its end.
        showModelFailure(error.message(), error.damagedFile());
        return;
    }
    restoreCursor(dbgOffers, adoDSOffers.get(), key);
}

void TfrmMain::syncFinished() {
    // An end asked for during the sync is due now.
    if (m_lifecycle.terminationRequested()) {
        QMetaObject::invokeMethod(
            this, [this] { lifecycleEvent(Lifecycle::Event::Check); }, Qt::QueuedConnection);
        return;
    }
}

// ---------------------------------------------------------------------------------------------
// A damaged database file. Kept together, so that it can move with the database.

bool TfrmMain::damageFound(const Error& error) {
    return error.damagedFile() && damageFound(error.message());
}

bool TfrmMain::damageFound(const QString& message) {
    return m_data && m_data->damageFound(message);
}

void TfrmMain::diskFailing(const QString& message) {
    try {
        writeLog(m_logPath,
                 QStringLiteral("Database damaged again (%1): the disk seems to fail, no "
                                "further repair")
                     .arg(message),
                 false);
    } catch (const Error&) {
        // The box says what matters.
    }
    messageBoxes().error(this,
                         QStringLiteral("База данных снова повреждена. Похоже, неисправен диск: "
                                        "проверьте его. Программа больше не восстанавливает "
                                        "базу сама."));
}

void TfrmMain::repairStarts() {
    // The data threads repair the file: the window shows nothing of it meanwhile, as during a
    // clear, and lets go of it.
    clearingStarts();
    adoConn.reset();
}

void TfrmMain::databaseRepaired(const DamageRecovery& recovery, const QString& kept,
                                const std::optional<Error>& failure) {
    if (m_lifecycle.terminationRequested()) {
        syncFinished();
        return;
    }
    reported([this, &recovery, &kept, &failure] {
        if (failure) {
            writeLog(m_logPath,
                     QStringLiteral("Database damaged (%1), and it cannot be replaced: %2")
                         .arg(recovery.damage(), failure->message()),
                     false);
            throw *failure;
        }
        writeLog(m_logPath,
                 QStringLiteral("Database damaged (%1): kept as %2, a new one is downloaded")
                     .arg(recovery.damage(), kept),
                 false);
        openDatabase();
        // The download runs already: the box holds nothing up while nobody reads it.
        messageBoxes().information(
            this, QStringLiteral("База данных была повреждена и создана заново, все данные "
                                 "загружаются с сервера. Поврежденный файл сохранен как %1")
                      .arg(QFileInfo(kept).fileName()));
    });
}

} // namespace domiva
