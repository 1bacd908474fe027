#pragma once

#include <QDateTime>
#include <QString>
#include <functional>

namespace domiva {

// The event log: one plain-text file of the current run, one line per event,
// "<local date and time>: <message>" ended by CR LF, UTF-8. The file is opened, appended
// and closed for every line, so a viewer can open it at any time and a file deleted while
// the program runs comes back with the next line.

// The date-time text of a line: the regional short date, a blank and the regional long time
// without its time-zone name; the time (and the blank) are left out when hours, minutes and
// seconds are all zero, whatever the milliseconds.
QString logTimestamp(const QDateTime& when);

// A time format of the regional settings without its time-zone letters (and the blanks that
// separated them), e.g. "HH:mm:ss t" -> "HH:mm:ss". Quoted literal text is kept.
QString timeFormatWithoutZone(const QString& format);

// Text that came from elsewhere (a server's status line, error text or feed line) made fit to
// be logged or shown: every control character, line and paragraph separators included, becomes
// U+FFFD, so that such text can neither start a line of its own in the log nor rewrite what a
// terminal shows. The text is never read as line breaks of the message it goes into.
QString printableText(QStringView text);

// Appends one line stamped with the current local time. With reset the old file is deleted
// first (whether that works is not looked at). Every failure to create, open, write, flush
// or close the file raises domiva::Error with the system's reason.
void writeLog(const QString& logPath, const QString& message, bool reset);
// The same with the time of the line given.
void writeLog(const QString& logPath, const QString& message, bool reset, const QDateTime& now);

// The log of a run: its path and the clock its lines are stamped with.
class EventLog {
public:
    using Clock = std::function<QDateTime()>;

    // Without a clock the current local time is used.
    explicit EventLog(QString path = {}, Clock clock = {});

    const QString& path() const { return m_path; }
    void writeLog(const QString& message, bool reset = false) const;

private:
    QString m_path;
    Clock m_clock;
};

} // namespace domiva
