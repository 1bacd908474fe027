#include "store/earlierappearances.h"

#include "core/datetimevalue.h"
#include "store/flatkey.h"
#include "store/tablemodel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

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

QString priceTrend(QStringView price, QStringView latestEarlier) {
    const std::optional<int> order = flatkey::comparePrices(price, latestEarlier);
    if (order && *order < 0)
        return QStringLiteral("↓");
    if (order && *order > 0)
        return QStringLiteral("↑");
    return QString();
}

QString earlierAppearancesText(const std::vector<FlatHistory::Appearance>& earlier) {
    QStringList parts;
    for (const FlatHistory::Appearance& appearance : earlier) {
        QString part =
            dateTimeDisplayText(appearance.dt) + QStringLiteral(" — ") + appearance.price;
        if (appearance.opened)
            part += QStringLiteral(" (просмотрено)");
        parts.append(part);
    }
    return parts.join(QStringLiteral("; "));
}

} // namespace domiva
