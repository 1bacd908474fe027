#pragma once

#include "store/flathistory.h"

#include <QString>
#include <QStringView>

#include <vector>

// A listing's earlier appearances as the grid and the details panel show them.
namespace domiva {

// The earlier appearances from the JSON array a statement reads them as
// (sql::fragments::earlierAppearances); none from anything else.
std::vector<FlatHistory::Appearance> appearancesFromJson(const QString& json);

// "↓" or "↑": a price lower or higher than the latest earlier one; empty when they are equal
// or either has no digits.
QString priceTrend(QStringView price, QStringView latestEarlier);

// The earlier appearances as the details panel shows them ("Ранее: ..."): each as
// "<date> — <price>", "(просмотрено)" after those the user opened, newest first; empty for a
// flat seen for the first time.
QString earlierAppearancesText(const std::vector<FlatHistory::Appearance>& earlier);

} // namespace domiva
