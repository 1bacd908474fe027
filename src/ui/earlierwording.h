#pragma once

#include "store/earlierappearances.h"
#include "store/flathistory.h"

#include <QString>

#include <vector>

// The words the window gives a listing's history: the arrow before a price, and the earlier
// appearances of the details panel, a copy and a CSV export.
namespace domiva {

// "↓" or "↑" for a price lower or higher than at the latest earlier appearance; empty for none.
QString priceTrendMark(PriceTrend trend);

// The earlier appearances as the details panel shows them ("Ранее: ..."): each as
// "<date> — <price>", "(просмотрено)" after those the user opened, newest first; empty for a
// flat seen for the first time. Touches nothing but its argument (a CSV export calls it on the
// reading thread).
QString earlierAppearancesText(const std::vector<FlatHistory::Appearance>& earlier);

} // namespace domiva
