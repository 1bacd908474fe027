#include "ui/mainwindow.h"

#include "ui/uifont.h"

#include "core/error.h"
#include "core/eventlog.h"
#include "store/database.h"
#include "ui/aboutdialog.h"
#include "ui/desktopnotifier.h"
#include "ui/detailspanel.h"
#include "ui/icons.h"
#include "ui/listingcommands.h"
#include "ui/messageboxes.h"
#include "ui/newlistingssound.h"
#include "ui/panecycle.h"
#include "ui/screenplacement.h"
#include "ui/setupdialog.h"
#include "ui/trayicon.h"
#include "ui/traypresence.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QScopeGuard>
#include <QShowEvent>
#include <QStatusBar>
#include <QSystemTrayIcon>

#include <memory>
#include <optional>
#include <utility>

namespace domiva {

namespace {

constexpr int statusPanelWidth = 600;

QLabel* statusPanel(const QString& name, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setLineWidth(1);
    label->setIndent(2);
    return label;
}

} // namespace

QFont TfrmMain::windowFont() {
    return uiFont();
}

TfrmMain::TfrmMain(QWidget* parent)
    : QMainWindow(parent), m_session(std::make_unique<StoreSession>()) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Домива - BETA"));
    setWindowIcon(appIcon());
    setFont(windowFont());

    m_view = new ListingsView(m_session.get(), this);
    setCentralWidget(m_view);
    splLeft = m_view->splLeft;
    pnlLeft = m_view->pnlLeft;
    dbgQueries = m_view->dbgQueries;
    pnlRight = m_view->pnlRight;
    splTop = m_view->splTop;
    pnlTop = m_view->pnlTop;
    dbgOffers = m_view->dbgOffers;
    pnlBottom = m_view->pnlBottom;
    m_view->placeSplitters(outerWidth, outerHeight);
    connect(dbgQueries, &DataGrid::colEnter, this, &TfrmMain::dbgQueriesColEnter);
    connect(dbgOffers, &DataGrid::colEnter, this, &TfrmMain::dbgOffersColEnter);
    connect(m_view, &ListingsView::readFailed, this, &TfrmMain::showReadFailure);

    buildMenus();
    buildStatusBar();
    m_listingCommands = new ListingCommands(
        m_view, m_session.get(),
        [this](const std::function<void()>& handler) { reported(handler); }, this);
    connect(m_view, &ListingsView::searchShown, m_listingCommands, &ListingCommands::resetFilter);
    // The keyboard's way between searches, listings and details (Tab stays inside a grid).
    new PaneCycle(this, {{pnlLeft, dbgQueries}, {pnlTop, dbgOffers}, {pnlBottom, pnlBottom}});
    resize(outerWidth, outerHeight);

    m_presence = new TrayPresence(this, [this](const QString& line) { m_session->log(line); });
    connect(m_presence, &TrayPresence::aboutRequested, this, &TfrmMain::mnuAboutClick);
    connectSession();

    // The end of the event loop is the orderly end of the program, however it came about.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &TfrmMain::formDestroy);
}

TfrmMain::~TfrmMain() {
    // Whatever the data thread still does ends before the window it would answer goes.
    m_session->endDataThreads();
    formDestroy();
    // The models read the session's file: they go with the view, before the session.
    delete m_view;
}

TrayIcon* TfrmMain::trayIcon() const {
    return m_presence->trayIcon();
}

DesktopNotifier* TfrmMain::desktopNotifier() const {
    return m_presence->notifier();
}

void TfrmMain::setNewListingsSound(std::unique_ptr<NewListingsSound> sound) {
    m_presence->setSound(std::move(sound));
}

void TfrmMain::connectSession() {
    StoreSession* session = m_session.get();
    connect(session, &StoreSession::statusText, this, &TfrmMain::setStatusText);
    connect(session, &StoreSession::gridsSuspended, m_view, &ListingsView::suspend);
    connect(session, &StoreSession::gridsResumed, m_view, &ListingsView::resume);
    connect(session, &StoreSession::trayBalloon, this,
            [this](const QString& text) { m_presence->announce(text, m_settings.playSound); });
    connect(session, &StoreSession::offersChanged, m_view, &ListingsView::refreshOffers);
    connect(session, &StoreSession::versionNotice, this, [this](const QString& text) {
        // The sync waits for the box to be closed, however it is closed.
        const auto goOn = qScopeGuard([this] { m_session->versionNoticeClosed(); });
        reported([this, &text] { messageBoxes().information(this, text); });
    });
    connect(session, &StoreSession::syncStarted, this, [this] { setWaitCursor(true); });
    connect(session, &StoreSession::syncDone, this, &TfrmMain::syncDone);
    connect(session, &StoreSession::searchMarkedRead, this,
            [this](qint32 qid, const std::optional<Error>& failure) {
                m_listingCommands->searchMarkedRead(qid, failure);
                syncFinished();
            });
    connect(session, &StoreSession::databaseRepaired, this, &TfrmMain::databaseRepaired);
    connect(session, &StoreSession::diskFailing, this, &TfrmMain::diskFailing);
    connect(session, &StoreSession::readMarksCarried, this, [this] {
        m_view->resume();
        syncFinished();
    });
    connect(session, &StoreSession::clearing, m_view, &ListingsView::closeAll);
    connect(session, &StoreSession::databaseCleared, this,
            [this](const std::optional<Error>& failure) {
                databaseCleared(failure);
                syncFinished();
            });
    connect(&session->refreshTimer(), &RefreshTimer::timeout, this, &TfrmMain::tRefreshTimer);
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

    // 3. From now on minimising may take the window off the task bar. The setting is read at
    // that moment, so a change in the settings dialog applies at once.
    m_presence->takeMinimized(
        [this] { return hideOnMinimize(m_settings.minimizeToTray, trayIconShown()); });

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
    configureSession();

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
    m_session->startRefreshing();

    // 18. Tray icon.
    trayIcon()->addTrayIcon();
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
    if (!m_lifecycle.handle(Lifecycle::Event::ShutDown, syncBusy()).shutDown)
        return;
    const auto shutDown = [this] {
        trayIcon()->deleteTrayIcon();
        // An export cut short leaves no file behind, and the log says so; one that was done
        // by then is there whole. The data threads end first, so that nothing of theirs
        // follows "Shutdown".
        const QString exported = m_listingCommands->cancelExport();
        m_session->finish();
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
    const Lifecycle::Actions actions = m_lifecycle.handle(event, syncBusy());
    // The end abandons what the data thread does: a transfer is not waited out, whatever the
    // server does; what was committed stays.
    if (m_lifecycle.terminationRequested())
        m_session->cancelAll();
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
    if (syncBusy())
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
// Database and grids

void TfrmMain::openDatabase() {
    m_session->openDatabase();
    m_view->openQueries();
    m_view->openOffers();
}

void TfrmMain::showReadFailure(const QString& message) {
    // Rows are read while a grid paints or scrolls: the box waits for the next turn of the
    // event loop instead of opening inside the view.
    QMetaObject::invokeMethod(
        this, [this, message] { messageBoxes().error(this, message); }, Qt::QueuedConnection);
}

void TfrmMain::dbgQueriesColEnter() {
    reported([this] { m_view->selectSearch(); });
}

void TfrmMain::dbgOffersColEnter() {
    reported([this] { m_view->selectListing(); });
}

// ---------------------------------------------------------------------------------------------
// Commands

void TfrmMain::tRefreshTimer() {
    reported([this] { downloadAndParse(false); });
}

void TfrmMain::mnuRefreshClick() {
    reported([this] { downloadAndParse(false); });
}

void TfrmMain::configureSession() {
    m_session->configure(SyncRequest{false, false, m_settings, m_service, m_environment, m_workDir,
                                     m_logPath, m_dbPath});
}

void TfrmMain::downloadAndParse(bool loadAll) {
    m_session->sync(loadAll);
}

void TfrmMain::syncDone(const SyncOutcome& outcome) {
    setWaitCursor(false);
    syncFinished();
    if (!outcome.unloggedError.isEmpty())
        reported([&outcome] { throw Error(outcome.unloggedError); });
}

void TfrmMain::mnuClearDBClick() {
    clearDatabase(DataThread::Request::Clear);
}

void TfrmMain::clearDatabase(DataThread::Request kind) {
    reported([this, kind] {
        const auto refused = [this, kind] {
            if (!m_session->refuses(kind))
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
        m_session->clear(kind);
    });
}

void TfrmMain::databaseCleared(const std::optional<Error>& failure) {
    reported([this, &failure] {
        if (failure)
            throw *failure;
        // Asked to end meanwhile: nothing more to show.
        if (m_lifecycle.terminationRequested())
            return;
        // The full download has started already.
        m_view->openOffers();
        m_view->openQueries();
    });
}

void TfrmMain::mnuSetupClick() {
    reported([this] {
        const QString oldLogin = m_settings.login;
        const QString oldPassword = m_settings.password;

        TfrmSetup dialog(this);
        dialog.showSettings(m_settings);
        if (dialog.exec() != QDialog::Accepted)
            return;
        dialog.applyTo(m_settings);
        configureSession();
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
// The tray and the status bar

void TfrmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        m_presence->windowStateChanged();
}

bool TfrmMain::trayIconShown() const {
    return trayIcon()->isShown() && QSystemTrayIcon::isSystemTrayAvailable();
}

void TfrmMain::restoreFromTray() {
    m_presence->restore();
}

QString TfrmMain::statusText(int panel) const {
    const QLabel* label = panel == 0 ? sbPanel0 : panel == 1 ? sbPanel1 : nullptr;
    return label != nullptr ? label->text() : QString();
}

void TfrmMain::setStatusText(int panel, const QString& text) {
    if (QLabel* label = panel == 0 ? sbPanel0 : panel == 1 ? sbPanel1 : nullptr)
        label->setText(text);
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

void TfrmMain::syncFinished() {
    // An end asked for during the sync is due now.
    if (m_lifecycle.terminationRequested())
        QMetaObject::invokeMethod(
            this, [this] { lifecycleEvent(Lifecycle::Event::Check); }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------------
// A damaged database file

void TfrmMain::diskFailing(const QString& message) {
    m_session->log(QStringLiteral("Database damaged again (%1): the disk seems to fail, no "
                                  "further repair")
                       .arg(message));
    messageBoxes().error(this,
                         QStringLiteral("База данных снова повреждена. Похоже, неисправен диск: "
                                        "проверьте его. Программа больше не восстанавливает "
                                        "базу сама."));
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
