#pragma once

#include "store/offercounts.h"
#include "store/tablemodel.h"

#include <functional>

namespace domiva {

// The whole Queries table (id, qname, updated, unreaded) in the order its rows were stored.
// The table is small: a refresh reads it in one statement.
class QueriesModel : public StoreTableModel {
    Q_OBJECT
public:
    // Reads the table; throws domiva::Error.
    explicit QueriesModel(Database& db, QObject* parent = nullptr);

    // Qt::ToolTipRole of the name: "Непрочитанных: N из M", with ", повторов: K" when K of the
    // unread are re-posts of flats seen before, counted when asked for. Given a
    // count reader, the first ask gives no tooltip: the counts are read elsewhere, and
    // dataChanged for Qt::ToolTipRole tells when they are there, good until the file changes.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    using CountReader = std::function<void(
        qint32 qid, QObject* receiver, std::function<void(std::optional<OfferCounts>)> deliver)>;
    void setCountReader(CountReader reader) { m_countReader = std::move(reader); }

protected:
    std::vector<Row> loadRows() override;
    std::optional<Row> loadRow(const QVariant& key) override;
    bool sameKey(const QVariant& a, const QVariant& b) const override;

private:
    void countsArrived(quint64 asked, const std::optional<OfferCounts>& counts);

    CountReader m_countReader;
    // The counts last read, for one search, with the file's change stamp when they were asked.
    struct Counted {
        qint32 qid = 0;
        Database::ChangeStamp stamp;
        // Which asking this is: an answer to an earlier one (for the same search, before a
        // change) would show counts that no longer hold.
        quint64 asked = 0;
        std::optional<OfferCounts> counts; // none while they are being read
    };
    mutable std::optional<Counted> m_counted;
    mutable quint64 m_asked = 0;
};

} // namespace domiva
