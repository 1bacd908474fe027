#pragma once

#include "store/tablemodel.h"

#include <QString>

namespace domiva {

// The offers of one search, all fifteen columns in table order, newest first (dt_obj
// descending, then id descending so that the order is total). Rows are read in short pages
// keyed on that order, through canFetchMore()/fetchMore(), so a search with a hundred
// thousand offers opens at once and no read stays open between pages.
class OffersModel : public StoreTableModel {
    Q_OBJECT
public:
    static constexpr int defaultPageSize = 200;

    // Shows the offers of search 0 (normally none); throws domiva::Error.
    explicit OffersModel(Database& db, QObject* parent = nullptr);

    // Shows the offers of another search, from its newest; throws domiva::Error (the model is
    // then empty, showing qid).
    void setQueryId(qint32 qid);
    qint32 queryId() const noexcept { return m_qid; }
    // Narrows the offers to those the quick filter finds for text (store/listingtools.h); an
    // empty text shows them all again. Selecting a search clears it. Throws domiva::Error.
    void setFilter(const QString& text);
    const QString& filter() const noexcept { return m_filter; }
    // Runs the command again (after new offers arrived).
    void requery() { refresh(); }

    void setPageSize(int rows);
    int pageSize() const noexcept { return m_pageSize; }

    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    // Reads further pages when the offer lies beyond the rows read so far, but only as far
    // as its place in the order: an offer of another search or one that is gone costs one
    // lookup.
    int rowOfKey(const QVariant& key) override;

    // Where the next page starts.
    struct PageCursor {
        enum class Phase { DatedFirst, DatedNext, UndatedFirst, UndatedNext, End };
        Phase phase = Phase::DatedFirst;
        bool anyRead = false;
        QVariant lastDate; // dt_obj of the last row read, as stored
        QString lastId;
    };

protected:
    std::vector<Row> loadRows() override;
    void adoptLoadedState() override;
    void loadFailedReset() override;
    std::optional<Row> loadRow(const QVariant& key) override;
    bool sameKey(const QVariant& a, const QVariant& b) const override;

private:
    std::vector<Row> readPage(PageCursor& cursor, int limit) const;
    // fetchMore that throws domiva::Error.
    void fetchPage();

    qint32 m_qid = 0;
    QString m_filter;
    int m_pageSize = defaultPageSize;
    PageCursor m_cursor;
    PageCursor m_loadedCursor; // the cursor of rows that loadRows returned, until adopted
};

} // namespace domiva
