#include "ui/earlierwording.h"

#include "store/tablemodel.h"

#include <QStringList>

namespace domiva {

QString priceTrendMark(PriceTrend trend) {
    switch (trend) {
    case PriceTrend::Lower:
        return QStringLiteral("↓");
    case PriceTrend::Higher:
        return QStringLiteral("↑");
    case PriceTrend::None:
        break;
    }
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
