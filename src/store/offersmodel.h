#pragma once

#include "store/flathistory.h"
#include "store/offerkeys.h"
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
// each slice resuming after the last listing the one before looked at: matches are shown (rows
// inserted) as they are found, so the first screen of a common word is there at once.
//
// Given a key reader (the program's data thread), the model reads no keys itself: a search or
// filter asked for empties it at once and its rows come in as the reader hands them over; the
// same search read anew keeps its rows until the new keys are there. Without one, the keys are
// read before the call returns and the filter's slices run one per turn of the event loop.
class OffersModel : public StoreTableModel {
    Q_OBJECT
public:
    static constexpr int defaultPageSize = 100;
    static constexpr int defaultPageLimit = 10;
    static constexpr int defaultSliceRows = 100000;
    static constexpr int defaultSliceMs = 8;

    // What the listing's history (store/flathistory.h) adds to a row, on any of its cells.
    enum Role {
        // int: 0 a flat seen for the first time, 1 a re-post, 2 a flat the user opened under
        // another id.
        RepostRole = Qt::UserRole + 1,
        // int, a PriceTrend (store/earlierappearances.h): the price against that of the
        // latest earlier appearance.
        PriceTrendRole,
        // std::vector<FlatHistory::Appearance>: the earlier appearances, newest first; none for
        // a flat seen for the first time. Read from the file when asked for.
        EarlierRole,
    };

    // Shows the offers of search 0 (normally none); throws domiva::Error.
    explicit OffersModel(Database& db, QObject* parent = nullptr);
    ~OffersModel() override;

    // Shows the offers of another search, from its newest; throws domiva::Error (the model is
    // then empty, showing qid).
    void setQueryId(qint32 qid);
    qint32 queryId() const noexcept { return m_qid; }
    // Narrows the offers to those the quick filter finds for text (store/offerfilter.h); an
    // empty text shows them all again. Selecting a search clears it. Throws domiva::Error.
    // Without a key reader, the first slice of the matches is found before it returns; the
    // rest follow, as long as the event loop runs, until keysComplete.
    void setFilter(const QString& text);
    const QString& filter() const noexcept { return m_filter; }
    // Whether keys are still to come beyond the rows shown (the filter still looking, or a
    // key reader not done yet).
    bool readingKeys() const noexcept { return m_scan != nullptr; }
    bool filterScanning() const noexcept { return readingKeys() && !m_filter.isEmpty(); }
    // Where the keys are read from now on (see above); takes effect with the next read.
    void setKeyReader(OfferKeyReader reader) { m_reader = std::move(reader); }
    // What one slice of the filter looks at: at most `rows` listings, for about `ms`
    // milliseconds (whichever ends first). 0 rows reads every match in one statement, holding
    // the window until it is done. Takes effect with the next filter or refresh.
    void setFilterSlice(int rows, int ms);
    // Rows per page, and pages held at most. Changing either drops the pages held.
    void setPageSize(int rows);
    int pageSize() const noexcept { return m_pageSize; }
    void setPageLimit(int pages);
    int pageLimit() const noexcept { return m_pageLimit; }
    // Pages held now, and the memory the model holds for its keys and pages, roughly.
    int pagesHeld() const noexcept { return static_cast<int>(m_pages.size()); }
    std::size_t bytesHeld() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // One lookup by id, then a search of the keys: no row is read for it.
    int rowOfKey(const QVariant& key) override;
    // Updates the row's copy when its page is held (a page read later is fresh anyway); a row
    // that is gone leaves the model.
    void refreshRowAt(int row) override;

signals:
    // The keys that were still to come are all there (the filter has looked at every listing
    // of the search), or reading them stopped on an error.
    void keysComplete();

protected:
    std::vector<Row> loadRows() override;
    bool loadInBackground() override;
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
    std::shared_ptr<OfferKeyScan> newScan() const;
    void continueScan();
    void stopScan();
    // A batch of keys from the key reader.
    void keysArrived(const std::shared_ptr<OfferKeyScan>& scan, OfferKeyBatch batch);
    // Empties the model at once, for another search or filter whose keys are read elsewhere.
    void showNothing();
    // Shows further matches below the rows shown.
    void appendKeys(const std::vector<qint64>& found);
    const Page* page(int index) const;
    // A row as a statement of selectOffersByKeys' columns reads it, history marks included.
    Row readOfferRow(const QSqlQuery& query) const;
    // The listing's earlier appearances, for the details panel or a copy.
    std::vector<FlatHistory::Appearance> earlier(const QString& id) const;
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
    std::shared_ptr<OfferKeyScan> m_scan;       // none once every key is shown
    std::shared_ptr<OfferKeyScan> m_loadedScan; // what loadRows started, until adopted
    OfferKeyReader m_reader;
    bool m_replaceKeys = false; // the reader's next batch replaces the rows shown
    QTimer m_scanTimer;
    std::uint64_t m_scanGeneration = 0;
    // Read on demand from const accessors: the cache is not part of what the model shows.
    mutable std::vector<Page> m_pages;
    mutable std::uint64_t m_useClock = 0;
    mutable bool m_readFailed = false; // reported once; nothing more is read until a refresh
};

} // namespace domiva
