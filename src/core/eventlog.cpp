#include "core/eventlog.h"

#include "core/error.h"

#include <QFile>
#include <QLocale>
#include <utility>

namespace domiva {

QString timeFormatWithoutZone(const QString& format) {
    QString result;
    bool quoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'\'') {
            quoted = !quoted;
            result += c;
        } else if (!quoted && c == u't') {
            while (i + 1 < format.size() && format[i + 1] == u't')
                ++i;
            // The blanks that set the zone apart go with it.
            while (!result.isEmpty() && result.back().isSpace())
                result.chop(1);
            while (i + 1 < format.size() && format[i + 1].isSpace() && result.isEmpty())
                ++i;
        } else {
            result += c;
        }
    }
    return result.trimmed();
}

QString logTimestamp(const QDateTime& when) {
    const QLocale locale = QLocale::system();
    QString text = locale.toString(when.date(), QLocale::ShortFormat);
    const QTime time = when.time();
    if (time.hour() != 0 || time.minute() != 0 || time.second() != 0)
        text +=
            QLatin1Char(' ') +
            locale.toString(time, timeFormatWithoutZone(locale.timeFormat(QLocale::LongFormat)));
    return text;
}

QString printableText(QStringView text) {
    QString result = text.toString();
    for (QChar& c : result) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            c = QChar::ReplacementCharacter;
    }
    return result;
}

namespace {

// A message may carry line breaks of any kind (an engine's or a server's text); each one
// becomes the CR LF that ends every line of the log.
QString withLogLineEnds(const QString& message) {
    QString text = message;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return text;
}

} // namespace

void writeLog(const QString& logPath, const QString& message, bool reset, const QDateTime& now) {
    if (reset)
        QFile::remove(logPath);
    QFile file(logPath);
    if (!file.exists()) {
        // Made for the user's eyes only: the log names the searches and the server's answers.
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append,
                       QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            throw Error(file.errorString());
        file.close();
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        throw Error(file.errorString());
    const QByteArray line =
        (logTimestamp(now) + QStringLiteral(": ") + withLogLineEnds(message)).toUtf8() + "\r\n";
    if (file.write(line) != line.size())
        throw Error(file.errorString());
    if (!file.flush())
        throw Error(file.errorString());
    file.close();
    if (file.error() != QFileDevice::NoError)
        throw Error(file.errorString());
}

void writeLog(const QString& logPath, const QString& message, bool reset) {
    writeLog(logPath, message, reset, QDateTime::currentDateTime());
}

EventLog::EventLog(QString path, Clock clock)
    : m_path(std::move(path)), m_clock(std::move(clock)) {}

void EventLog::writeLog(const QString& message, bool reset) const {
    domiva::writeLog(m_path, message, reset, m_clock ? m_clock() : QDateTime::currentDateTime());
}

} // namespace domiva
