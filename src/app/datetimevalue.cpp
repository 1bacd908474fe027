#include "app/datetimevalue.h"

#include <cmath>

namespace domiva {

namespace {
constexpr qint64 msPerDay = 24LL * 60 * 60 * 1000;
const QDate epoch(1899, 12, 30);
} // namespace

double toDateTimeValue(const QDate& date, const QTime& time) {
    if (!date.isValid())
        return 0;
    const double days = static_cast<double>(epoch.daysTo(date));
    const double fraction = time.isValid() ? time.msecsSinceStartOfDay() / double(msPerDay) : 0;
    return days >= 0 ? days + fraction : days - fraction;
}

DateTimeParts fromDateTimeValue(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 3.0e6)
        return {};
    // Work in whole milliseconds so that 0.9999999 of a day does not show as 23:59:59.999
    // plus a stray rounding error.
    const qint64 totalMs = std::llround(std::fabs(value) * msPerDay);
    qint64 days = totalMs / msPerDay;
    const qint64 ms = totalMs % msPerDay;
    if (value < 0)
        days = -days;
    return {epoch.addDays(days), QTime::fromMSecsSinceStartOfDay(static_cast<int>(ms))};
}

double dateTimeNow() {
    return toDateTimeValue(QDateTime::currentDateTime());
}

QString dateTimeValueToText(double value) {
    const DateTimeParts parts = fromDateTimeValue(value);
    if (!parts.date.isValid())
        return dateTimeValueToText(0);
    return QStringLiteral("%1-%2-%3 %4")
        .arg(parts.date.year(), 4, 10, QLatin1Char('0'))
        .arg(parts.date.month(), 2, 10, QLatin1Char('0'))
        .arg(parts.date.day(), 2, 10, QLatin1Char('0'))
        .arg(parts.time.toString(QStringLiteral("HH:mm:ss.zzz")));
}

double dateTimeValueFromText(const QString& text) {
    if (text.size() != 23 || text.at(10) != QLatin1Char(' '))
        return 0;
    const QDate date = QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd"));
    const QTime time = QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss.zzz"));
    if (!date.isValid() || !time.isValid())
        return 0;
    return toDateTimeValue(date, time);
}

} // namespace domiva
