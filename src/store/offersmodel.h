#pragma once

#include "store/tablemodel.h"

#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>

namespace domiva {

// The offers of one search, all fifteen columns in table order, newest first (dt_obj
// descending, then id descending so that the order is total).
//
// What it holds stays small whatever the size of the search: the row keys of the search in
// the grid's order (eight bytes an offer, read in one statement), and a few pages of rows read
// by those keys when a view asks for them; the page used longest ago is dropped when another
// one is needed. So every row count is known at once, any row is one short read away, and no
// read stays open between two turns of the event loop.
//
// With the quick filter on, the keys are found a slice at a time instead, in the grid's order,
// one slice per turn of the event loop, each resuming after the last listing the one before
// looked at: matches are shown (rows inserted) as they are found, so the first screen of a
// common word is there at once, and the window is never held for longer than a slice.
class OffersModel : public StoreTableModel {
    Q_OBJECT
public:
    static constexpr int defaultPageSize = 100;
    static constexpr int defaultPageLimit = 10;
    static constexpr int defaultSliceRows = 100000;
    static constexpr int defaultSliceMs = 8;

    // Shows the offers of search 0 (normally none); throws domiva::Error.
    explicit OffersModel(Database& db, QObject* parent = nullptr);
    ~OffersModel() override;

    // Shows the offers of another search, from its newest; throws domiva::Error (the model is
    // then empty, showing qid).
    void setQueryId(qint32 qid);
    qint32 queryId() const noexcept { return m_qid; }
    // Narrows the offers to those the quick filter finds for text (store/listingtools.h); an
    // empty text shows them all again. Selecting a search clears it. Throws domiva::Error.
    // The first slice of the matches is found before it returns; the rest follow, as long as
    // the event loop runs, until filterScanFinished.
    void setFilter(const QString& text);
    const QString& filter() const noexcept { return m_filter; }
    // Whether the filter is still looking for matches beyond the rows shown.
    bool filterScanning() const noexcept;
    // What one slice of the filter looks at: at most `rows` listings, for about `ms`
    // milliseconds (whichever ends first). 0 rows reads every match in one statement, holding
    // the window until it is done. Takes effect with the next filter or refresh.
    void setFilterSlice(int rows, int ms);
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

signals:
    // The filter has looked at every listing of the search (or stopped on an error).
    void filterScanFinished();

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
    struct FilterScan;

    // One slice of the filter: appends the keys of the matches to found; stops early once
    // found holds enoughMatches. Returns whether the search has been looked at to its end.
    bool scanSlice(FilterScan& scan, std::vector<qint64>& found, std::size_t enoughMatches) const;
    void continueScan();
    void stopScan();
    // Shows further matches below the rows shown.
    void appendKeys(const std::vector<qint64>& found);

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
    int m_sliceRows = defaultSliceRows;
    int m_sliceMs = defaultSliceMs;
    std::unique_ptr<FilterScan> m_scan;       // none once every match is shown
    std::unique_ptr<FilterScan> m_loadedScan; // what loadRows started, until adopted
    QTimer m_scanTimer;
    std::uint64_t m_scanGeneration = 0;
    // Read on demand from const accessors: the cache is not part of what the model shows.
    mutable std::vector<Page> m_pages;
    mutable std::uint64_t m_useClock = 0;
    mutable bool m_readFailed = false; // reported once; nothing more is read until a refresh
};

} // namespace domiva
