#include "core/datetimevalue.h"

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
    // Written digit by digit: every stored listing goes through here.
    char16_t text[23];
    const auto put = [&](int at, int number, int width) {
        for (int i = width - 1; i >= 0; --i, number /= 10)
            text[at + i] = char16_t(u'0' + number % 10);
    };
    put(0, parts.date.year(), 4);
    text[4] = u'-';
    put(5, parts.date.month(), 2);
    text[7] = u'-';
    put(8, parts.date.day(), 2);
    text[10] = u' ';
    put(11, parts.time.hour(), 2);
    text[13] = u':';
    put(14, parts.time.minute(), 2);
    text[16] = u':';
    put(17, parts.time.second(), 2);
    text[19] = u'.';
    put(20, parts.time.msec(), 3);
    return QString(reinterpret_cast<const QChar*>(text), 23);
}

double dateTimeValueFromText(const QString& text) {
    // Read by hand: the grids convert every row they load, and QDate::fromString is slow.
    if (text.size() != 23)
        return 0;
    const auto digits = [&](int from, int count, int& out) {
        out = 0;
        for (int i = from; i < from + count; ++i) {
            const char16_t c = text.at(i).unicode();
            if (c < u'0' || c > u'9')
                return false;
            out = out * 10 + (c - u'0');
        }
        return true;
    };
    const auto is = [&](int at, char16_t c) { return text.at(at).unicode() == c; };
    int y, mo, d, h, mi, sec, ms;
    if (!digits(0, 4, y) || !is(4, u'-') || !digits(5, 2, mo) || !is(7, u'-') || !digits(8, 2, d) ||
        !is(10, u' ') || !digits(11, 2, h) || !is(13, u':') || !digits(14, 2, mi) ||
        !is(16, u':') || !digits(17, 2, sec) || !is(19, u'.') || !digits(20, 3, ms))
        return 0;
    const QDate date(y, mo, d);
    const QTime time(h, mi, sec, ms);
    if (!date.isValid() || !time.isValid())
        return 0;
    return toDateTimeValue(date, time);
}

} // namespace domiva
