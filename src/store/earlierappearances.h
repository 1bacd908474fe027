#pragma once

#include "store/flathistory.h"

#include <QString>
#include <QStringView>

#include <vector>

// A listing's earlier appearances as the store reads them; the window words them
// (ui/earlierwording.h).
namespace domiva {

// The earlier appearances from the JSON array a statement reads them as
// (sql::fragments::earlierAppearances); none from anything else.
std::vector<FlatHistory::Appearance> appearancesFromJson(const QString& json);

// A listing's price against that of its flat's latest earlier appearance.
enum class PriceTrend {
    None, // equal, either has no digits, or no earlier appearance
    Lower,
    Higher,
};
PriceTrend priceTrend(QStringView price, QStringView latestEarlier);

} // namespace domiva
