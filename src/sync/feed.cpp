#include "sync/feed.h"

#include "core/error.h"
#include "core/eventlog.h"

#include <QFileDevice>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <limits>

namespace domiva {

namespace {

// The fields of a line: every "#" is a line break, and the pieces are the lines of the
// result, split as text (CR LF, a lone CR or a lone LF end a line; a final break opens none).
// Calls `field` with each piece in order until it returns false.
template <class Visit> void forEachField(QStringView line, Visit field) {
    const auto isBreak = [](QChar c) { return c == u'#' || c == u'\r' || c == u'\n'; };
    const auto isLf = [](QChar c) { return c == u'#' || c == u'\n'; };
    qsizetype pos = 0;
    while (pos < line.size()) {
        const qsizetype start = pos;
        while (pos < line.size() && !isBreak(line[pos]))
            ++pos;
        if (!field(line.mid(start, pos - start)))
            return;
        if (pos < line.size() && line[pos] == u'\r')
            ++pos;
        if (pos < line.size() && isLf(line[pos]))
            ++pos;
    }
}

// Feed lines can be long; the log gets enough of one to find it, and nothing of it that
// could pass for a line of its own.
QString quoted(const QString& text) {
    constexpr qsizetype maxShown = 200;
    if (text.size() <= maxShown)
        return u'"' + printableText(text) + u'"';
    return u'"' + printableText(QStringView(text).left(maxShown)) + QStringLiteral("\"…");
}

// The id goes into the Queries table's integer key: a plain decimal number or nothing.
qint32 queryId(QStringView text) {
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
        throw Error(QStringLiteral("Неверный номер запроса: %1").arg(quoted(text.toString())));
    return static_cast<qint32>(negative ? -value : value);
}

} // namespace

namespace {

// Windows-1251 has one character per byte, so a table read once from the system's decoder
// gives exactly what the decoder gives, without its cost per line.
const std::array<char16_t, 256>& windows1251() {
    static const std::array<char16_t, 256> table = [] {
        QStringDecoder decoder("windows-1251", QStringDecoder::Flag::Stateless);
        if (!decoder.isValid())
            throw Error(QStringLiteral("Кодировка windows-1251 не поддерживается"));
        std::array<char16_t, 256> codes{};
        for (int byte = 0; byte < 256; ++byte) {
            const char c = char(byte);
            const QString one = decoder.decode(QByteArrayView(&c, 1));
            codes[std::size_t(byte)] =
                one.size() == 1 ? one.front().unicode() : char16_t(QChar::ReplacementCharacter);
        }
        return codes;
    }();
    return table;
}

QString decodeWindows1251(const char* data, qsizetype size) {
    const std::array<char16_t, 256>& table = windows1251();
    QString text(size, Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(text.data());
    for (qsizetype i = 0; i < size; ++i)
        out[i] = table[static_cast<unsigned char>(data[i])];
    return text;
}

qsizetype lineEnd(const char* data, qsizetype from, qsizetype size) {
    for (qsizetype i = from; i < size; ++i) {
        if (data[i] == '\r' || data[i] == '\n')
            return i;
    }
    return size;
}

} // namespace

FeedLineReader::FeedLineReader(QByteArray body, qsizetype maxLineBytes)
    : m_maxLineBytes(maxLineBytes), m_buffer(std::move(body)) {
    windows1251();
    fillLine();
}

FeedLineReader::FeedLineReader(QIODevice& device, qsizetype chunkSize, qsizetype maxLineBytes)
    : m_device(&device), m_chunkSize(std::max<qsizetype>(chunkSize, 1)),
      m_maxLineBytes(maxLineBytes) {
    windows1251();
    m_buffer.reserve(m_chunkSize);
    fillLine();
}

bool FeedLineReader::readChunk() {
    // What was consumed goes first, so the buffer holds one chunk and the rest of a line.
    if (m_pos > 0) {
        m_buffer.remove(0, m_pos);
        m_pos = 0;
    }
    const qsizetype had = m_buffer.size();
    m_buffer.resize(had + m_chunkSize);
    const qint64 got = m_device->read(m_buffer.data() + had, m_chunkSize);
    m_buffer.resize(had + std::max<qint64>(got, 0));
    if (got < 0) {
        const auto* file = qobject_cast<const QFileDevice*>(m_device);
        throw FeedReadError((file ? file->fileName() + QStringLiteral(": ") : QString()) +
                            m_device->errorString());
    }
    if (got == 0)
        m_device = nullptr;
    return got > 0;
}

void FeedLineReader::fillLine() {
    qsizetype scanned = m_pos;
    while (m_pos < m_buffer.size() || m_device) {
        const qsizetype end = lineEnd(m_buffer.constData(), scanned, m_buffer.size());
        if (end - m_pos > m_maxLineBytes) {
            skipLine();
            scanned = m_pos;
            continue;
        }
        // A CR at the end of what is there may be the first half of a CR LF.
        if (!m_device || end + 1 < m_buffer.size() ||
            (end + 1 == m_buffer.size() && m_buffer[end] == '\n'))
            return;
        scanned = end - m_pos; // offsets move when readChunk() drops what was consumed
        readChunk();
        scanned += m_pos;
    }
}

void FeedLineReader::skipLine() {
    ++m_skipped;
    for (;;) {
        m_pos = lineEnd(m_buffer.constData(), m_pos, m_buffer.size());
        if (m_pos < m_buffer.size())
            break;
        // Nothing of the line is kept while the rest of it is read.
        if (!m_device || !readChunk())
            return;
    }
    if (m_buffer[m_pos] == '\r') {
        ++m_pos;
        if (m_pos == m_buffer.size() && m_device)
            readChunk();
    }
    if (m_pos < m_buffer.size() && m_buffer[m_pos] == '\n')
        ++m_pos;
}

QString FeedLineReader::next() {
    // CR and LF are single bytes in Windows-1251 and never part of another character, so the
    // lines can be found before decoding.
    const qsizetype size = m_buffer.size();
    const char* data = m_buffer.constData();
    const qsizetype start = m_pos;
    m_pos = lineEnd(data, start, size);
    QString line = decodeWindows1251(data + start, m_pos - start);
    if (m_pos < size && data[m_pos] == '\r')
        ++m_pos;
    if (m_pos < size && data[m_pos] == '\n')
        ++m_pos;
    fillLine();
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
    QStringList fields;
    forEachField(line, [&](QStringView field) {
        fields << field.toString();
        return true;
    });
    return fields;
}

FeedRecord readFeedRecord(const QString& line) {
    // Fields 0 to 13 are all any record reads; the rest of a line is not even split.
    constexpr qsizetype wanted = 14;
    std::array<QStringView, wanted> fields;
    qsizetype count = 0;
    forEachField(line, [&](QStringView field) {
        fields[std::size_t(count++)] = field;
        return count < wanted;
    });
    if (count < 2 || fields[0].isEmpty())
        return OtherRecord{};

    switch (fields[0].front().unicode()) {
    case u'R':
        if (count < 3)
            throw Error(QStringLiteral("Запись запроса без названия: %1").arg(quoted(line)));
        return QueryRecord{queryId(fields[1]), fields[2].toString()};
    case u'D': {
        OfferRecord offer;
        offer.line = line;
        // The same characters, seen through the record's own copy of the line.
        const QStringView own(offer.line);
        const auto view = [&](QStringView field) {
            return own.mid(field.data() - line.constData(), field.size());
        };
        offer.id = view(fields[1]);
        for (std::size_t i = 0; i < offer.fields.size(); ++i) {
            const qsizetype field = 2 + qsizetype(i);
            if (field < count)
                offer.fields[i] = view(fields[std::size_t(field)]);
        }
        if (count > 13)
            offer.dateText = view(fields[13]);
        return offer;
    }
    case u'Q':
        return RemovalRecord{queryId(fields[1])};
    case u'W':
        return VersionRecord{fields[1].toString()};
    default:
        return OtherRecord{};
    }
}

double offerDate(const OfferRecord& offer, double now) {
    return offer.dateText ? parseDateTime(offerDatePattern.toString(), offer.dateText->toString())
                          : now;
}

double offerDate(const OfferRecord& offer, double now, const DateTimeContext& ctx) {
    static const DateTimePattern pattern(offerDatePattern.toString());
    return offer.dateText ? pattern.parse(*offer.dateText, ctx) : now;
}

} // namespace domiva
