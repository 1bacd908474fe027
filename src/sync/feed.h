#pragma once

#include "core/error.h"
#include "sync/datetimeparser.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <array>
#include <cstddef>
#include <optional>
#include <variant>

namespace domiva {

// The version this client is; a version notice carrying anything else announces a new one.
inline constexpr QStringView clientVersion = u"0.0.1";

// How the feed writes an offer's date and time.
inline constexpr QStringView offerDatePattern = u"dd.mm.yy hh:nn";

// The feed is Windows-1251 text, one record per line. Lines end at CR LF, a lone CR or a
// lone LF; LF CR is two line ends. A line end closes its line and opens none, so a final
// line break adds no empty line ("a\r\n" is one line, "a\r\n\r\n" is "a" and ""), and an
// empty body has no lines. Throws domiva::Error when the system has no Windows-1251 decoder.
QStringList decodeFeedLines(const QByteArray& body);

// The feed could not be read from its device.
class FeedReadError : public Error {
public:
    using Error::Error;
};

// No record of the feed is anywhere near this long; one that is would take memory without
// bound (its bytes, then its text at twice the size), so it is skipped.
inline constexpr qsizetype maxFeedLineBytes = qsizetype(1) << 20;

// The same lines one at a time, decoded as they are read, so that a long feed is never held
// decoded all at once and the reading can pause between lines. Read from a device (the feed
// file), only a chunk of the feed and one line of at most maxLineBytes are held at any time.
// A line longer than that is skipped whole, unread, and counted.
class FeedLineReader {
public:
    explicit FeedLineReader(QByteArray body, qsizetype maxLineBytes = maxFeedLineBytes);
    // Reads `device` from where it stands, chunkSize bytes at a time. Throws FeedReadError
    // when the device cannot be read, here or in next().
    explicit FeedLineReader(QIODevice& device, qsizetype chunkSize = 64 * 1024,
                            qsizetype maxLineBytes = maxFeedLineBytes);
    bool atEnd() const { return m_pos >= m_buffer.size() && !m_device; }
    QString next();
    // The lines skipped so far for their length.
    int skippedLines() const { return m_skipped; }
    qsizetype maxLineBytes() const { return m_maxLineBytes; }

private:
    // Reads on until the buffer holds a whole line from m_pos (or the device is exhausted),
    // skipping the lines that are too long on the way.
    void fillLine();
    // Drops the line at m_pos, reading on to its end.
    void skipLine();
    bool readChunk();

    QIODevice* m_device = nullptr; // null once exhausted
    qsizetype m_chunkSize = 0;
    qsizetype m_maxLineBytes = maxFeedLineBytes;
    QByteArray m_buffer;
    qsizetype m_pos = 0;
    int m_skipped = 0;
};

// Fields are separated by "#", without escapes or trimming. Inner empty fields count, one
// "#" at the end of the line opens no field: "D#5#" is [D, 5], "D#5##" is [D, 5, ""], and
// "" has no fields.
QStringList splitFeedFields(const QString& line);

// Field positions of OfferRecord::fields (feed fields 2 to 12), with their columns.
enum OfferField : std::size_t {
    MinObj,
    MetroObj,
    RoomObj,
    KitchObj,
    PriceObj,
    PercObj,
    FlatObj,
    InfoObj,
    ContObj,
    OwntxtObj,
    PublObj,
    OfferFieldCount
};
inline constexpr std::array<const char*, OfferFieldCount> offerFieldColumns{
    "min_obj",  "metro_obj", "room_obj", "kitch_obj",  "price_obj", "perc_obj",
    "flat_obj", "info_obj",  "cont_obj", "owntxt_obj", "publ_obj"};

// R: a saved search; it becomes the query the following offers belong to.
struct QueryRecord {
    qint32 id = 0;
    QString name;
};

// D: a listing of the current query. Fields the line does not carry are empty: values are
// never carried over from an earlier offer. The texts are views into `line`, the record's own
// (shared) copy of its line, so a listing costs no text of its own; they stay valid as long as
// the record or a copy of it lives and its `line` is left alone.
struct OfferRecord {
    QString line;
    QStringView id;
    std::array<QStringView, OfferFieldCount> fields;
    std::optional<QStringView> dateText; // field 13, when the line has one
};

// Q: the saved search is to be removed with its offers.
struct RemovalRecord {
    qint32 id = 0;
};

// W: the client version the service offers.
struct VersionRecord {
    QString version;
};

// Anything that changes nothing: other record types, lines with fewer than two fields,
// lines whose first field is empty.
struct OtherRecord {};

using FeedRecord =
    std::variant<OtherRecord, QueryRecord, OfferRecord, RemovalRecord, VersionRecord>;

// Reads one line of the feed as a record, when the record is about to be applied. The type
// is the first character of field 0, case-sensitive ("Dummy#77" is an offer, "d#77" is
// skipped). Throws domiva::Error for a query record with fewer than three fields and for a
// query id (R, Q) that is not a whole number in the 32-bit signed range (optional sign, then
// decimal digits only).
FeedRecord readFeedRecord(const QString& line);

// The offer's date: field 13 read with offerDatePattern (0 when it is no valid date and
// time), or `now` when the line has no field 13.
double offerDate(const OfferRecord& offer, double now);
double offerDate(const OfferRecord& offer, double now, const DateTimeContext& ctx);

// Any difference from clientVersion, byte for byte, older versions included.
inline bool isNewVersion(const VersionRecord& record) {
    return QStringView(record.version) != clientVersion;
}

} // namespace domiva
