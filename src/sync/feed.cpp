#include "sync/feed.h"

#include "app/error.h"

#include <QStringDecoder>

#include <limits>

namespace domiva {

namespace {

QStringList splitTextLines(QStringView text) {
    QStringList lines;
    qsizetype pos = 0;
    while (pos < text.size()) {
        const qsizetype start = pos;
        while (pos < text.size() && text[pos] != u'\r' && text[pos] != u'\n')
            ++pos;
        lines << text.mid(start, pos - start).toString();
        if (pos < text.size() && text[pos] == u'\r')
            ++pos;
        if (pos < text.size() && text[pos] == u'\n')
            ++pos;
    }
    return lines;
}

// Feed lines can be long; the log gets enough of one to find it.
QString quoted(const QString& text) {
    constexpr qsizetype maxShown = 200;
    if (text.size() <= maxShown)
        return u'"' + text + u'"';
    return u'"' + text.left(maxShown) + QStringLiteral("\"…");
}

// The id goes into the Queries table's integer key: a plain decimal number or nothing.
qint32 queryId(const QString& text) {
    qsizetype pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
        negative = text[pos] == u'-';
        ++pos;
    }
    const qint64 limit = negative ? -qint64(std::numeric_limits<qint32>::min())
                                  : qint64(std::numeric_limits<qint32>::max());
    qint64 value = 0;
    bool valid = pos < text.size();
    for (; valid && pos < text.size(); ++pos) {
        const char16_t c = text[pos].unicode();
        valid = c >= u'0' && c <= u'9';
        if (valid) {
            value = value * 10 + (c - u'0');
            valid = value <= limit;
        }
    }
    if (!valid)
        throw Error(QStringLiteral("Неверный номер запроса: %1").arg(quoted(text)));
    return static_cast<qint32>(negative ? -value : value);
}

} // namespace

FeedLineReader::FeedLineReader(QByteArray body)
    : m_body(std::move(body)), m_decoder("windows-1251") {
    if (!m_decoder.isValid())
        throw Error(QStringLiteral("Кодировка windows-1251 не поддерживается"));
}

QString FeedLineReader::next() {
    // CR and LF are single bytes in Windows-1251 and never part of another character, so the
    // lines can be found before decoding.
    const qsizetype size = m_body.size();
    const char* data = m_body.constData();
    const qsizetype start = m_pos;
    while (m_pos < size && data[m_pos] != '\r' && data[m_pos] != '\n')
        ++m_pos;
    QString line = m_decoder.decode(QByteArrayView(data + start, m_pos - start));
    if (m_pos < size && data[m_pos] == '\r')
        ++m_pos;
    if (m_pos < size && data[m_pos] == '\n')
        ++m_pos;
    return line;
}

QStringList decodeFeedLines(const QByteArray& body) {
    FeedLineReader reader(body);
    QStringList lines;
    while (!reader.atEnd())
        lines << reader.next();
    return lines;
}

QStringList splitFeedFields(const QString& line) {
    QString text = line;
    text.replace(u'#', u'\n');
    return splitTextLines(text);
}

FeedRecord readFeedRecord(const QString& line) {
    const QStringList fields = splitFeedFields(line);
    if (fields.size() < 2 || fields.front().isEmpty())
        return OtherRecord{};

    switch (fields.front().front().unicode()) {
    case u'R':
        if (fields.size() < 3)
            throw Error(QStringLiteral("Запись запроса без названия: %1").arg(quoted(line)));
        return QueryRecord{queryId(fields.at(1)), fields.at(2)};
    case u'D': {
        OfferRecord offer;
        offer.id = fields.at(1);
        for (std::size_t i = 0; i < offer.fields.size(); ++i) {
            const qsizetype field = 2 + qsizetype(i);
            if (field < fields.size())
                offer.fields[i] = fields.at(field);
        }
        if (fields.size() > 13)
            offer.dateText = fields.at(13);
        return offer;
    }
    case u'Q':
        return RemovalRecord{queryId(fields.at(1))};
    case u'W':
        return VersionRecord{fields.at(1)};
    default:
        return OtherRecord{};
    }
}

double offerDate(const OfferRecord& offer, double now) {
    return offer.dateText ? parseDateTime(offerDatePattern.toString(), *offer.dateText) : now;
}

double offerDate(const OfferRecord& offer, double now, const DateTimeContext& ctx) {
    return offer.dateText ? parseDateTime(offerDatePattern.toString(), *offer.dateText, ctx) : now;
}

} // namespace domiva
