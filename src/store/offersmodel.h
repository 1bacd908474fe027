#pragma once

#include "store/tablemodel.h"

#include <QString>

#include <cstdint>

namespace domiva {

// The offers of one search, all fifteen columns in table order, newest first (dt_obj
// descending, then id descending so that the order is total).
//
// What it holds stays small whatever the size of the search: the row keys of the search in
// the grid's order (eight bytes an offer, read in one statement), and a few pages of rows read
// by those keys when a view asks for them; the page used longest ago is dropped when another
// one is needed. So every row count is known at once, any row is one short read away, and no
// read stays open between two turns of the event loop.
class OffersModel : public StoreTableModel {
    Q_OBJECT
public:
    static constexpr int defaultPageSize = 100;
    static constexpr int defaultPageLimit = 10;

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

    // Rows per page, and pages held at most. Changing either drops the pages held.
    void setPageSize(int rows);
    int pageSize() const noexcept { return m_pageSize; }
    void setPageLimit(int pages);
    int pageLimit() const noexcept { return m_pageLimit; }
    // Pages held now, and the memory the model holds for its keys and pages, roughly.
    int pagesHeld() const noexcept { return static_cast<int>(m_pages.size()); }
    std::size_t bytesHeld() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    // One lookup by id, then a search of the keys: no row is read for it.
    int rowOfKey(const QVariant& key) override;
    // Updates the row's copy when its page is held (a page read later is fresh anyway); a row
    // that is gone leaves the model.
    void refreshRowAt(int row) override;

protected:
    std::vector<Row> loadRows() override;
    void adoptLoadedState() override;
    void loadFailedReset() override;
    std::optional<Row> loadRow(const QVariant& key) override;
    bool sameKey(const QVariant& a, const QVariant& b) const override;
    const Row* storedRow(int row) const override;
    // Among the pages held only.
    int findLoadedRow(const QVariant& key) const override;

private:
    struct Page {
        int index = 0;
        std::uint64_t lastUse = 0;
        std::vector<Row> rows;
    };

    // The keys of the search in the grid's order. Every condition on which offers the grid
    // shows belongs here.
    std::vector<qint64> readKeys() const;
    const Page* page(int index) const;
    Page readPage(int index) const;
    void dropPages();

    qint32 m_qid = 0;
    QString m_filter;
    int m_pageSize = defaultPageSize;
    int m_pageLimit = defaultPageLimit;
    std::vector<qint64> m_keys;
    std::vector<qint64> m_loadedKeys; // what loadRows read, until adopted
    // Read on demand from const accessors: the cache is not part of what the model shows.
    mutable std::vector<Page> m_pages;
    mutable std::uint64_t m_useClock = 0;
    mutable bool m_readFailed = false; // reported once; nothing more is read until a refresh
};

} // namespace domiva
