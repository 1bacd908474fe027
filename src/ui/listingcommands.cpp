#include "ui/listingcommands.h"

#include "core/error.h"
#include "store/database.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "sync/datathread.h"
#include "sync/storesession.h"
#include "ui/datagrid.h"
#include "ui/detailspanel.h"
#include "ui/earlierwording.h"
#include "ui/listingsview.h"
#include "ui/messageboxes.h"
#include "ui/offercaptions.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QProgressDialog>
#include <QToolButton>

#include <QScopedValueRollback>
#include <QVBoxLayout>
#include <memory>

#include <algorithm>
#include <array>
#include <climits>

namespace domiva {

namespace {

// The file name a search's listings are offered under: its name, without what a file name
// cannot hold.
QString suggestedFileName(const QString& searchName) {
    QString name = searchName.trimmed();
    for (QChar& c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            c = QLatin1Char('_');
    }
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')))
        name.prepend(QStringLiteral("listings"));
    return name + QStringLiteral(".csv");
}

} // namespace

// A CSV export under way on the data thread: its progress box and the flag that stops it.
struct ListingCommands::ExportRun {
    ExportRun() = default;
    ~ExportRun() {
        *cancelled = true;
        delete progress;
    }
    ExportRun(const ExportRun&) = delete;
    ExportRun& operator=(const ExportRun&) = delete;

    std::shared_ptr<std::atomic<bool>> cancelled = std::make_shared<std::atomic<bool>>(false);
    QString path;
    // A child of the window too: whichever of the two goes first takes it along.
    QPointer<QProgressDialog> progress;
};

ListingCommands::ListingCommands(ListingsView* view, StoreSession* session, Reporter reported,
                                 QWidget* window)
    : QObject(window), m_window(window), m_view(view), m_session(session),
      m_reported(std::move(reported)) {
    setObjectName(QStringLiteral("listingCommands"));
    DataGrid* queries = view->dbgQueries;
    DataGrid* offers = view->dbgOffers;

    m_markRead = new QAction(QStringLiteral("Отметить все как прочитанные"), window);
    m_markRead->setObjectName(QStringLiteral("actMarkSearchRead"));
    m_markRead->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    m_markRead->setShortcutContext(Qt::WindowShortcut);
    window->addAction(m_markRead);
    connect(m_markRead, &QAction::triggered, this, [this] { markSearchRead(); });

    m_export = new QAction(QStringLiteral("Сохранить в CSV..."), window);
    m_export->setObjectName(QStringLiteral("actExportSearch"));
    connect(m_export, &QAction::triggered, this, [this] { exportSearch(); });

    m_copy = new QAction(QStringLiteral("Копировать"), offers);
    m_copy->setObjectName(QStringLiteral("actCopyListing"));
    m_copy->setShortcut(QKeySequence::Copy);
    m_copy->setShortcutContext(Qt::WidgetShortcut);
    offers->addAction(m_copy);
    connect(m_copy, &QAction::triggered, this, &ListingCommands::copyListing);

    m_filter = new QAction(window);
    m_filter->setObjectName(QStringLiteral("actFilterListings"));
    m_filter->setShortcut(QKeySequence::Find);
    m_filter->setShortcutContext(Qt::WindowShortcut);
    window->addAction(m_filter);
    connect(m_filter, &QAction::triggered, this, &ListingCommands::openFilter);

    queries->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(queries, &QWidget::customContextMenuRequested, this, &ListingCommands::showQueriesMenu);
    offers->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(offers, &QWidget::customContextMenuRequested, this, &ListingCommands::showOffersMenu);

    // The filter line sits above the listings, hidden until asked for.
    m_filterBar = new QWidget;
    m_filterBar->setObjectName(QStringLiteral("pnlFilter"));
    auto* barLayout = new QHBoxLayout(m_filterBar);
    barLayout->setContentsMargins(2, 2, 2, 2);
    auto* filterCaption = new QLabel(QStringLiteral("Фильтр:"), m_filterBar);
    barLayout->addWidget(filterCaption);
    m_filterEdit = new QLineEdit(m_filterBar);
    m_filterEdit->setObjectName(QStringLiteral("edtFilter"));
    m_filterEdit->setAccessibleName(QStringLiteral("Фильтр объявлений"));
    filterCaption->setBuddy(m_filterEdit);
    m_filterEdit->setClearButtonEnabled(true);
    // The line's own clear button carries only an icon: a screen reader is given its words.
    for (QToolButton* button : m_filterEdit->findChildren<QToolButton*>()) {
        button->setAccessibleName(QStringLiteral("Очистить фильтр"));
        button->setToolTip(QStringLiteral("Очистить фильтр"));
    }
    m_filterEdit->installEventFilter(this);
    barLayout->addWidget(m_filterEdit, 1);
    m_filterBar->hide();
    if (auto* layout = qobject_cast<QVBoxLayout*>(view->pnlTop->layout()))
        layout->insertWidget(0, m_filterBar);

    // A click or a key on the listings is the user's choice of row: no earlier one is put back.
    offers->installEventFilter(this);
    offers->viewport()->installEventFilter(this);

    m_filterDelay.setSingleShot(true);
    m_filterDelay.setInterval(filterDelayMs);
    connect(&m_filterDelay, &QTimer::timeout, this, &ListingCommands::applyFilter);
    connect(m_filterEdit, &QLineEdit::returnPressed, this, &ListingCommands::applyFilter);
    connect(m_filterEdit, &QLineEdit::textEdited, this, [this](const QString& text) {
        // An empty line shows everything again at once; typing waits for a pause.
        if (text.isEmpty())
            applyFilter();
        else
            m_filterDelay.start();
    });

    pickExportFile = [this](const QString& suggestedName) {
        return QFileDialog::getSaveFileName(m_window, QStringLiteral("Сохранить в CSV"),
                                            QDir::home().filePath(suggestedName),
                                            QStringLiteral("CSV (*.csv)"));
    };
}

ListingCommands::~ListingCommands() = default;

QVariant ListingCommands::targetQuery(int row) const {
    const QueriesModel* model = m_view->queriesModel();
    if (model == nullptr)
        return {};
    if (row >= 0 && row < model->rowCount())
        return model->keyOfRow(row);
    // Kept by id: rows move under an open menu when a sync adds or removes searches.
    if (!m_menuQid.isNull())
        return m_menuQid;
    return model->keyOfRow(m_view->dbgQueries->cursorRow());
}

void ListingCommands::showQueriesMenu(const QPoint& pos) {
    const QModelIndex index = m_view->dbgQueries->indexAt(pos);
    const QueriesModel* model = m_view->queriesModel();
    if (!index.isValid() || model == nullptr)
        return;
    // Shown without a loop of its own, so that nothing else (a sync) waits while it is open.
    auto* menu = new QMenu(m_view->dbgQueries);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(m_markRead);
    menu->addAction(m_export);
    m_menuQid = model->keyOfRow(index.row());
    // A chosen action runs right after the menu hides; the search is kept until then only.
    connect(menu, &QMenu::aboutToHide, this, [this] {
        QMetaObject::invokeMethod(
            this, [this] { m_menuQid = QVariant(); }, Qt::QueuedConnection);
    });
    menu->popup(m_view->dbgQueries->viewport()->mapToGlobal(pos));
}

void ListingCommands::showOffersMenu(const QPoint& pos) {
    if (m_view->dbgOffers->cursorRow() < 0)
        return;
    auto* menu = new QMenu(m_view->dbgOffers);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(m_copy);
    menu->popup(m_view->dbgOffers->viewport()->mapToGlobal(pos));
}

void ListingCommands::markSearchRead(int row) {
    m_reported([this, row] {
        // A sync changes the same flags; the user is asked to wait as for clearing the data.
        if (m_session->refuses(DataThread::Request::MarkSearchRead)) {
            messageBoxes().information(m_window, QStringLiteral("Дождитесь окончания обновления."));
            return;
        }
        QueriesModel* queries = m_view->queriesModel();
        Database* db = m_session->database();
        const QVariant qid = targetQuery(row);
        // A search gone meanwhile is not stood in for by another.
        if (queries == nullptr || db == nullptr || qid.isNull() || queries->rowOfKey(qid) < 0)
            return;
        // Hundreds of thousands of listings take a while: the data thread does it, and the
        // window goes on meanwhile.
        m_session->dataThread()->markSearchRead(m_session->dbPath(), qid.toInt());
    });
}

void ListingCommands::searchMarkedRead(qint32 qid, const std::optional<Error>& failure) {
    m_reported([this, qid, &failure] {
        if (failure)
            throw *failure;
        showSearchRead(qid);
    });
}

void ListingCommands::showSearchRead(const QVariant& qid) {
    if (QueriesModel* queries = m_view->queriesModel())
        queries->refreshRow(qid);
    OffersModel* offers = m_view->offersModel();
    if (offers != nullptr && offers->queryId() == qid.toInt()) {
        const QVariant key = offers->keyOfRow(m_view->dbgOffers->cursorRow());
        offers->refresh();
        const int restored = key.isNull() ? -1 : offers->rowOfKey(key);
        m_view->dbgOffers->placeCursor(restored >= 0 ? restored : 0);
    }
}

void ListingCommands::exportSearch(int row) {
    m_reported([this, row] {
        QueriesModel* queries = m_view->queriesModel();
        const QVariant qid = targetQuery(row);
        const int target = queries == nullptr || qid.isNull() ? -1 : queries->rowOfKey(qid);
        if (m_session->database() == nullptr || target < 0)
            return;
        const QVariantMap values = queries->rowValues(target, Qt::EditRole);
        const QString path =
            pickExportFile(suggestedFileName(values.value(QStringLiteral("qname")).toString()));
        if (path.isEmpty())
            return;
        runExport(values.value(QStringLiteral("id")).toInt(), path);
    });
}

void ListingCommands::runExport(qint32 qid, const QString& path) {
    if (m_exportRun) {
        messageBoxes().information(m_window, QStringLiteral("Дождитесь окончания сохранения."));
        return;
    }
    m_exportRun = std::make_unique<ExportRun>();
    ExportRun& run = *m_exportRun;
    run.path = path;
    // The number of listings is known once the data thread has counted them.
    run.progress = new QProgressDialog(QStringLiteral("Сохранение в CSV..."),
                                       QStringLiteral("Отмена"), 0, 0, m_window);
    run.progress->setObjectName(QStringLiteral("dlgExportProgress"));
    // Not modal: the window goes on while the data thread writes (and a modal one would turn
    // the event loop from inside every progress step).
    run.progress->setWindowModality(Qt::NonModal);
    run.progress->setMinimumDuration(300);
    run.progress->setAutoReset(false);
    run.progress->setAutoClose(false);
    connect(run.progress, &QProgressDialog::canceled, this,
            [cancelled = run.cancelled] { *cancelled = true; });
    // The data thread writes the file; the window, a sync and every dialog go on meanwhile.
    DataThread::ExportReply reply;
    reply.progress = [this](qint64 written, qint64 total) {
        if (!m_exportRun || !m_exportRun->progress)
            return;
        QProgressDialog& progress = *m_exportRun->progress;
        progress.setMaximum(static_cast<int>(std::min<qint64>(total, INT_MAX)));
        progress.setValue(static_cast<int>(std::min<qint64>(written, progress.maximum())));
    };
    reply.done = [this](const std::optional<Error>& failure) {
        m_exportRun.reset();
        if (failure)
            m_reported([&failure] { throw *failure; });
    };
    m_session->dataThread()->exportSearch(m_session->dbPath(), qid, path, csvHeader(),
                                          exportChunkRows, run.cancelled, this, std::move(reply),
                                          earlierAppearancesText);
}

bool ListingCommands::exportRunning() const {
    return m_exportRun != nullptr;
}

QString ListingCommands::cancelExport() {
    if (!m_exportRun)
        return {};
    *m_exportRun->cancelled = true;
    return m_exportRun->path;
}

QString ListingCommands::exportPath() const {
    return m_exportRun ? m_exportRun->path : QString();
}

void ListingCommands::copyListing() {
    m_reported([this] {
        const OffersModel* offers = m_view->offersModel();
        const int row = m_view->dbgOffers->cursorRow();
        if (offers == nullptr || row < 0)
            return;
        const QVariantMap shown = offers->rowValues(row, Qt::DisplayRole);
        QStringList lines;
        for (const OfferCaption& caption : offerCaptions)
            lines.append(captionLabelText(caption.caption) +
                         shown.value(QLatin1String(caption.field)).toString());
        lines.append(
            captionLabelText(earlierCaption) +
            earlierAppearancesText(offers->data(offers->index(row, 0), OffersModel::EarlierRole)
                                       .value<std::vector<FlatHistory::Appearance>>()));
        QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')));
    });
}

void ListingCommands::openFilter() {
    m_filterBar->show();
    m_filterEdit->setFocus(Qt::ShortcutFocusReason);
    m_filterEdit->selectAll();
}

void ListingCommands::closeFilter() {
    m_filterDelay.stop();
    const bool wasFiltered = !m_filterEdit->text().isEmpty();
    m_filterEdit->clear();
    m_filterBar->hide();
    m_view->dbgOffers->setFocus(Qt::OtherFocusReason);
    if (wasFiltered)
        applyFilter();
}

void ListingCommands::resetFilter() {
    m_filterDelay.stop();
    m_filterEdit->clear();
    m_filterBar->hide();
    m_pendingKey = QVariant();
    watchOffers();
}

void ListingCommands::watchOffers() {
    OffersModel* offers = m_view->offersModel();
    if (offers == nullptr)
        return;
    connect(offers, &QAbstractItemModel::modelAboutToBeReset, this,
            &ListingCommands::offersAboutToReset, Qt::UniqueConnection);
    connect(offers, &QAbstractItemModel::modelReset, this, &ListingCommands::offersReset,
            Qt::UniqueConnection);
    connect(offers, &QAbstractItemModel::rowsInserted, this, &ListingCommands::offersFound,
            Qt::UniqueConnection);
    connect(offers, &OffersModel::keysComplete, this, &ListingCommands::offersScanFinished,
            Qt::UniqueConnection);
}

void ListingCommands::offersAboutToReset() {
    // Read anew (a sync, a search marked read): the keys arrive from the data thread, and the
    // listing under the cursor may only be among a later batch of the filter's matches.
    const OffersModel* offers = m_view->offersModel();
    const QModelIndex current = m_view->dbgOffers->currentIndex();
    if (!m_applying && offers != nullptr && current.isValid())
        m_pendingKey = offers->keyOfRow(current.row());
}

void ListingCommands::offersReset() {
    OffersModel* offers = m_view->offersModel();
    if (offers == nullptr || offers->rowCount() == 0)
        return;
    placePendingCursor();
    if (!m_view->dbgOffers->currentIndex().isValid())
        m_view->dbgOffers->placeCursor(0);
}

void ListingCommands::offersFound(const QModelIndex& parent, int) {
    if (parent.isValid() || m_view->offersModel() == nullptr)
        return;
    placePendingCursor();
    // The first rows of a search or filter: the cursor starts on the first.
    if (!m_view->dbgOffers->currentIndex().isValid())
        m_view->dbgOffers->placeCursor(0);
}

void ListingCommands::placePendingCursor() {
    OffersModel* offers = m_view->offersModel();
    if (m_pendingKey.isNull() || offers == nullptr)
        return;
    const int row = offers->rowOfKey(m_pendingKey);
    if (row >= 0)
        m_view->dbgOffers->placeCursor(row);
    if (row >= 0 || !offers->readingKeys())
        m_pendingKey = QVariant();
}

void ListingCommands::offersScanFinished() {
    m_pendingKey = QVariant();
    if (m_view->offersModel() != nullptr && m_view->offersModel()->rowCount() > 0 &&
        !m_view->dbgOffers->currentIndex().isValid())
        m_view->dbgOffers->placeCursor(0);
}

void ListingCommands::applyFilter() {
    m_filterDelay.stop();
    m_reported([this] {
        OffersModel* offers = m_view->offersModel();
        const QString text = m_filterEdit->text();
        if (offers == nullptr || offers->filter() == text)
            return;
        // Back among all listings, the cursor stays on the one the user found, now seen in
        // its place; a new filter starts from its first match.
        const QModelIndex current = m_view->dbgOffers->currentIndex();
        const QVariant found =
            text.isEmpty() && current.isValid() ? offers->keyOfRow(current.row()) : QVariant();
        {
            const QScopedValueRollback applying(m_applying, true);
            offers->setFilter(text);
        }
        // The keys come from the data thread: the cursor is placed as they arrive.
        m_pendingKey = found;
        placePendingCursor();
    });
}

bool ListingCommands::eventFilter(QObject* watched, QEvent* event) {
    // Only presses matter. Other events reach the filter while the window is still being built
    // or already being taken apart, when its members must not be touched.
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const bool onListings =
        watched == m_view->dbgOffers || watched == m_view->dbgOffers->viewport();
    if (onListings)
        m_pendingKey = QVariant();
    if (event->type() != QEvent::KeyPress)
        return QObject::eventFilter(watched, event);
    const auto* key = static_cast<QKeyEvent*>(event);
    // From the filter line, Tab and Down go on to the listings it narrowed.
    if (watched == m_filterEdit && (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Down) &&
        key->modifiers() == Qt::NoModifier) {
        m_view->dbgOffers->setFocus(Qt::TabFocusReason);
        return true;
    }
    // Escape closes the filter from its line and from the listings it narrowed.
    if (key->key() == Qt::Key_Escape &&
        (watched == m_filterEdit || (onListings && m_filterBar->isVisible()))) {
        closeFilter();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace domiva
