#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>

namespace domiva {

// The date-time value used throughout: days since 30 December 1899, 00:00 local wall time,
// with the time of day as the fraction. Days before that date are negative and keep the time
// as a positive fraction subtracted from the (negative) day number, so that the whole part is
// always the day. The value 0 stands for "no valid date".
struct DateTimeParts {
    QDate date;
    QTime time;
};

double toDateTimeValue(const QDate& date, const QTime& time);
inline double toDateTimeValue(const QDateTime& local) {
    return toDateTimeValue(local.date(), local.time());
}

// Rounded to the millisecond; an out-of-range value gives an invalid date.
DateTimeParts fromDateTimeValue(double value);

// Local wall-clock time now.
double dateTimeNow();

// The stored form of a date-time value: "yyyy-MM-dd HH:mm:ss.zzz" (0 is
// "1899-12-30 00:00:00.000"). Calendar arithmetic only: no time-zone conversion, so a time
// that falls into a daylight-saving gap is kept as written.
QString dateTimeValueToText(double value);
// Inverse of dateTimeValueToText; a text that is not in that form gives 0.
double dateTimeValueFromText(const QString& text);

} // namespace domiva
