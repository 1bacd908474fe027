#include "ui/listingsview.h"

#include "core/error.h"
#include "store/offersmodel.h"
#include "store/queriesmodel.h"
#include "sync/storesession.h"
#include "ui/detailspanel.h"
#include "ui/earlierwording.h"
#include "ui/griddelegates.h"
#include "ui/offercaptions.h"

#include <QSplitter>
#include <QVBoxLayout>

#include <array>
#include <utility>

namespace domiva {

namespace {

constexpr int leftPanelWidth = 241;
constexpr int topPanelHeight = 265;
constexpr int splitterWidth = 3;

QWidget* panel(const QString& name, QWidget* content) {
    auto* widget = new QWidget;
    widget->setObjectName(name);
    auto* layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(content);
    return widget;
}

// Reads a grid's model again through `read` (true when it read anything) and puts the cursor
// back on the row it stood on, or on the first row when that row is gone.
template <typename Read> void keepCursor(DataGrid* grid, StoreTableModel* model, const Read& read) {
    if (model == nullptr)
        return;
    const QVariant key = model->keyOfRow(grid->cursorRow());
    if (!read())
        return;
    const int row = key.isNull() ? -1 : model->rowOfKey(key);
    grid->placeCursor(row >= 0 ? row : 0);
}

} // namespace

QList<GridField> ListingsView::offerFields() {
    return {{QStringLiteral("unreaded"), 14},   {QStringLiteral("room_obj"), 17},
            {QStringLiteral("metro_obj"), 323}, {QStringLiteral("min_obj"), 24},
            {QStringLiteral("price_obj"), 44},  {QStringLiteral("info_obj"), 72},
            {QStringLiteral("cont_obj"), 155},  {QStringLiteral("dt_obj"), 110}};
}

ListingsView::ListingsView(StoreSession* session, QWidget* parent)
    : QWidget(parent), m_session(session) {
    dbgQueries = new DataGrid;
    dbgQueries->setObjectName(QStringLiteral("dbgQueries"));
    dbgQueries->setItemDelegate(new QueriesDelegate(dbgQueries));
    dbgQueries->setGridLines(DataGrid::GridLines::None);
    dbgQueries->setAccessibleName(QStringLiteral("Поиски"));
    dbgQueries->setColumnTitles({{QStringLiteral("updated"), QStringLiteral("Обновлено")},
                                 {QStringLiteral("qname"), QStringLiteral("Поиск")}});

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

    splLeft = new QSplitter(Qt::Horizontal);
    splLeft->setObjectName(QStringLiteral("splLeft"));
    splLeft->setHandleWidth(splitterWidth);
    splLeft->setChildrenCollapsible(false);
    splLeft->addWidget(pnlLeft);
    splLeft->addWidget(pnlRight);
    splLeft->setStretchFactor(0, 0);
    splLeft->setStretchFactor(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(splLeft);
}

ListingsView::~ListingsView() {
    // The grids outlive the models in the Qt parent tree: let them go first.
    dbgOffers->setModel(nullptr);
    dbgQueries->setModel(nullptr);
}

void ListingsView::placeSplitters(int outerWidth, int outerHeight) {
    // Column widths follow the grid font, so they are set once the window font is in place.
    dbgQueries->showFields({{QStringLiteral("updated"), dbgQueries->charsWidth(3)},
                            {QStringLiteral("qname"), dbgQueries->charsWidth(32)}});
    dbgOffers->showFields(offerFields());
    splLeft->setSizes({leftPanelWidth, outerWidth - leftPanelWidth - splitterWidth});
    splTop->setSizes({topPanelHeight, outerHeight - topPanelHeight});
}

void ListingsView::openQueries() {
    Database* db = m_session->database();
    if (db == nullptr)
        throw Error(QStringLiteral("База данных не открыта"));
    auto model = std::make_unique<QueriesModel>(*db);
    model->setCountReader([data = m_session->dataThread(),
                           path = m_session->dbPath()](auto qid, auto* receiver, auto deliver) {
        data->countOffers(path, qid, receiver, std::move(deliver));
    });
    connect(model.get(), &StoreTableModel::loadFailed, this, &ListingsView::modelFailed);
    m_queries = std::move(model);
    dbgQueries->setModel(m_queries.get());
    dbgQueries->placeCursor(0);
}

void ListingsView::openOffers() {
    Database* db = m_session->database();
    if (db == nullptr)
        throw Error(QStringLiteral("База данных не открыта"));
    auto model = std::make_unique<OffersModel>(*db);
    // Keys are read on the data thread from the first search on: the window never waits for
    // hundreds of thousands of them.
    model->setKeyReader(m_session->dataThread()->offerKeyReader(m_session->dbPath()));
    connect(model.get(), &StoreTableModel::loadFailed, this, &ListingsView::offersLoadFailed);
    connect(model.get(), &OffersModel::keysComplete, this, [this] { m_selectingSearch = false; });
    if (m_offersQueryId != 0)
        model->setQueryId(m_offersQueryId);
    m_offers = std::move(model);
    dbgOffers->setModel(m_offers.get());
    dbgOffers->placeCursor(0);
    emit searchShown();
}

void ListingsView::closeQueries() {
    dbgQueries->setModel(nullptr);
    m_queries.reset();
}

void ListingsView::closeOffers() {
    dbgOffers->setModel(nullptr);
    m_offers.reset();
}

void ListingsView::closeAll() {
    clearDetails();
    closeOffers();
    closeQueries();
}

void ListingsView::modelFailed(const QString& message, bool damagedFile) {
    if (damagedFile && m_session->damageFound(message))
        return;
    emit readFailed(message);
}

void ListingsView::offersLoadFailed(const QString& message, bool damagedFile) {
    if (!std::exchange(m_selectingSearch, false)) {
        modelFailed(message, damagedFile);
        return;
    }
    if (damagedFile && m_session->damageFound(message))
        return;
    // The listings stay closed until the database is cleared and reopened. Not from inside
    // the model's own signal, which the model is still in.
    QMetaObject::invokeMethod(
        this,
        [this, message] {
            closeOffers();
            emit readFailed(message);
        },
        Qt::QueuedConnection);
}

void ListingsView::selectSearch() {
    if (!m_queries || m_queries->rowCount() == 0 || !m_offers)
        return;
    const qint32 qid = m_queries->keyOfRow(dbgQueries->cursorRow()).toInt();
    m_offersQueryId = qid;
    clearDetails();
    try {
        emit searchShown();
        m_selectingSearch = true;
        m_offers->setQueryId(qid);
    } catch (const Error&) {
        // The listings stay closed until the database is cleared and reopened.
        closeOffers();
        throw;
    }
    dbgOffers->placeCursor(0);
}

void ListingsView::selectListing() {
    if (!m_offers)
        return;
    const int row = dbgOffers->cursorRow();
    const QVariantMap stored = m_offers->rowValues(row, Qt::EditRole);
    const QVariant offerId = stored.value(QStringLiteral("id"));
    // A blank row (its listing gone, or its page unreadable) is no listing to open: it marks
    // nothing, least of all search 0.
    if (row < 0 || offerId.isNull()) {
        clearDetails();
        return;
    }
    const QVariantMap shown = m_offers->rowValues(row, Qt::DisplayRole);
    // The flags are those of the listing's own search, whichever search the queries grid's
    // cursor stands on by now.
    const qint32 qid = stored.value(QStringLiteral("qid")).toInt();

    QStringList values;
    for (const OfferCaption& caption : offerCaptions)
        values.append(shown.value(QLatin1String(caption.field)).toString());
    pnlBottom->showValues(values);
    pnlBottom->showEarlier(
        earlierAppearancesText(m_offers->data(m_offers->index(row, 0), OffersModel::EarlierRole)
                                   .value<std::vector<FlatHistory::Appearance>>()));
    if (m_session->database() == nullptr) {
        m_session->log(QStringLiteral("База данных не открыта"));
        return;
    }
    // Stored by the data thread: a sync under way holds the file for one commit at a time.
    m_session->dataThread()->markOfferRead(
        m_session->dbPath(), offerId.toString(), qid, this,
        [this, offerId, qid](const std::optional<Error>& failure) {
            offerMarkedRead(offerId, qid, failure);
        });
}

void ListingsView::offerMarkedRead(const QVariant& offerId, qint32 qid,
                                   const std::optional<Error>& failure) {
    // Opening a listing reports its failures in the log only: the user just looks on.
    if (failure) {
        m_session->log(failure->message());
        m_session->damageFound(*failure);
    }
    // Whatever happened, the grids show the flags as they are now stored.
    try {
        if (m_offers)
            m_offers->refreshRow(offerId);
        if (m_queries)
            m_queries->refreshRow(QVariant(qid));
    } catch (const Error& error) {
        m_session->log(error.message());
        m_session->damageFound(error);
    }
}

void ListingsView::clearDetails() {
    pnlBottom->clearDetails();
}

void ListingsView::suspend() {
    if (m_offers)
        m_offers->beginBulkUpdate();
    if (m_queries)
        m_queries->beginBulkUpdate();
}

void ListingsView::resume() {
    // Read again only when the sync changed the database.
    keepCursor(dbgOffers, m_offers.get(), [this] { return m_offers->endBulkUpdate(); });
    keepCursor(dbgQueries, m_queries.get(), [this] { return m_queries->endBulkUpdate(); });
}

void ListingsView::refreshOffers() {
    keepCursor(dbgOffers, m_offers.get(), [this] {
        try {
            // The grids have just resumed with what the sync stored: nothing new to read then.
            return m_offers->refreshIfChanged();
        } catch (const Error& error) {
            // Called at the end of a cycle, which must run to its end.
            modelFailed(error.message(), error.damagedFile());
            return false;
        }
    });
}

} // namespace domiva
