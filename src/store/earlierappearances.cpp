#include "store/earlierappearances.h"

#include "store/flatkey.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <optional>

namespace domiva {

std::vector<FlatHistory::Appearance> appearancesFromJson(const QString& json) {
    std::vector<FlatHistory::Appearance> result;
    const QJsonArray rows = QJsonDocument::fromJson(json.toUtf8()).array();
    for (const QJsonValue& row : rows) {
        const QJsonArray values = row.toArray();
        result.push_back(
            {values.at(0).toDouble(), values.at(1).toString(), values.at(2).toInteger() != 0});
    }
    return result;
}

PriceTrend priceTrend(QStringView price, QStringView latestEarlier) {
    const std::optional<int> order = flatkey::comparePrices(price, latestEarlier);
    if (order && *order < 0)
        return PriceTrend::Lower;
    if (order && *order > 0)
        return PriceTrend::Higher;
    return PriceTrend::None;
}

} // namespace domiva
