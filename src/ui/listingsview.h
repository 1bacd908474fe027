#pragma once

#include "ui/datagrid.h"

#include <QString>
#include <QVariant>
#include <QWidget>

#include <memory>
#include <optional>

class QSplitter;

namespace domiva {

class DetailsPanel;
class Error;
class OffersModel;
class QueriesModel;
class StoreSession;

// The work of the open database: the searches on the left, the selected search's listings on
// the right with the details of the selected listing below. It owns both grid models for as
// long as the file is open, and turns a choice of search or listing into what the grids and
// the details show (and a listing's read mark, stored by the session's data thread).
class ListingsView : public QWidget {
    Q_OBJECT

public:
    // The fields the listings grid shows, with their widths.
    static QList<GridField> offerFields();

    explicit ListingsView(StoreSession* session, QWidget* parent = nullptr);
    ~ListingsView() override;

    // The splitters share out a window of this outer size.
    void placeSplitters(int outerWidth, int outerHeight);

    QueriesModel* queriesModel() const { return m_queries.get(); }
    OffersModel* offersModel() const { return m_offers.get(); }

    // The grid models over the session's database; both throw when it is not open.
    void openQueries();
    void openOffers();
    // Lets go of both models and empties the details (the file is about to be cleared or
    // repaired, or was cleared).
    void closeAll();

    // The search under the queries grid's cursor now fills the listings grid.
    void selectSearch();
    // The listing under the cursor fills the details and is marked read.
    void selectListing();
    void clearDetails();

    // A sync writes: the grids hold still until it is done, and then read again only when it
    // changed something, keeping the cursor on the row it stood on.
    void suspend();
    void resume();
    // The listings grid reads again if the file changed, keeping the cursor.
    void refreshOffers();

    // The widgets, owned through the Qt parent tree.
    QSplitter* splLeft = nullptr; // pnlLeft | pnlRight
    QWidget* pnlLeft = nullptr;
    DataGrid* dbgQueries = nullptr;
    QWidget* pnlRight = nullptr;
    QSplitter* splTop = nullptr; // pnlTop over pnlBottom
    QWidget* pnlTop = nullptr;
    DataGrid* dbgOffers = nullptr;
    DetailsPanel* pnlBottom = nullptr;

signals:
    // The listings grid is about to show another search, or was opened anew: whatever narrowed
    // the last one no longer applies.
    void searchShown();
    // A model could not read the file; not yet shown to anyone. A damaged file has been handed
    // to the session for repair before this is said.
    void readFailed(const QString& message);

private:
    void closeQueries();
    void closeOffers();
    void modelFailed(const QString& message, bool damagedFile);
    // The listings' model failed; when it failed to read the keys of a search just selected,
    // the listings are closed as well.
    void offersLoadFailed(const QString& message, bool damagedFile);
    void offerMarkedRead(const QVariant& offerId, qint32 qid, const std::optional<Error>& failure);

    StoreSession* m_session;
    // Declared after nothing they read: the session's database outlives them.
    std::unique_ptr<QueriesModel> m_queries;
    std::unique_ptr<OffersModel> m_offers;
    // The search whose listings the offers grid shows: kept across closing and reopening.
    qint32 m_offersQueryId = 0;
    // A search was selected and its listings' keys have not all arrived yet.
    bool m_selectingSearch = false;
};

} // namespace domiva
