#pragma once

#include "store/writeslice.h"

#include <QElapsedTimer>
#include <QLatin1String>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <QVariant>

#include <QSaveFile>

#include <cstdint>
#include <functional>

namespace domiva {

namespace sqlutil {
class EngineStatement;
}

class Database;

// How many listings a search has, and how many of them are still unread.
struct OfferCounts {
    qint64 unread = 0;
    qint64 total = 0;
    qint64 unreadReposts = 0; // unread re-posts of flats seen before (store/flathistory.h)
};

// Both counts in one statement that reads only the (qid, unreaded) index; the re-posts among
// the unread by a second one, when there are unread listings. Throws domiva::Error.
OfferCounts offerCounts(Database& db, qint32 qid);

// The user has seen all of a search: every listing of it read, the search neither updated nor
// unread. A search of hundreds of thousands of listings would hold the file for a long while:
// the listings are marked sliceRows at a time (sliceRowsByTime: as many as a transaction of
// about WriteSlice::defaultBudgetMs takes, store/writeslice.h), each slice a transaction of its
// own, with betweenSlices called after each (to let other writers in, or to throw when the work
// is no longer wanted), and the search's flags last. Throws domiva::Error; the slices committed
// before stay.
void markQueryRead(Database& db, qint32 qid, int sliceRows = sliceRowsByTime,
                   const std::function<void()>& betweenSlices = {});

// The quick filter over a search's listings. A listing passes when the text occurs in its
// transport, address, price, commission, floor, contact, comments or author, with letter case
// ignored in every script (the engine's own LIKE and NOCASE fold only ASCII letters), and
// every character taken literally ("%" and "_" included).
namespace offerfilter {

// The text as the filter compares it: case-folded, UTF-8.
QByteArray folded(QStringView text);

// Makes the filter's SQL function known on the database's connection. Throws domiva::Error.
void install(Database& db);

// The condition to add to a statement on Offers: it takes one bound value, bindValue(text).
QLatin1String condition();
QVariant bindValue(const QString& text);

// One slice of a scan over a search in the order of an index: the listings it may look at,
// counted by the condition itself, and whether the last one matched.
struct SliceProbe {
    static constexpr const char* typeName = "domiva_slice_probe";
    int rows = 0;              // at most this many listings
    std::int64_t budgetNs = 0; // for about this long on clock
    QElapsedTimer clock;
    int looked = 0;
    bool over = false; // the last listing looked at ends the slice
    bool lastMatched = false;
};
// A statement that scans a slice (sql::scanDated ...) holds for the listings that match and for
// the one at which the slice is over (the probe tells them apart); the statement is done with
// then. It takes two bound values: bindProbe, then folded(text) as UTF-8 text.
void bindProbe(sqlutil::EngineStatement& statement, int position, SliceProbe& probe);

} // namespace offerfilter

// Writes all listings of one search, newest first, to a CSV file: UTF-8 with a byte order
// mark, a header row, fields quoted as RFC 4180 says, lines ending in CR LF. Each column is a
// field of the details panel in its order (transport ... author, date as the panel shows it,
// the earlier appearances last).
// The listings are read in chunks by short statements, none of them left open between two
// calls, so the caller may let the event loop run in between. The file appears only when
// commit() succeeds; cancel() or destruction before it leave no file.
class OfferCsvExport {
public:
    // Opens the file for writing and writes the header. Throws domiva::Error.
    OfferCsvExport(Database& db, qint32 qid, const QString& path, const QStringList& header);
    ~OfferCsvExport();
    OfferCsvExport(const OfferCsvExport&) = delete;
    OfferCsvExport& operator=(const OfferCsvExport&) = delete;

    // The listings of the search when the export started (for progress).
    qint64 total() const noexcept { return m_total; }
    qint64 written() const noexcept { return m_written; }
    bool atEnd() const noexcept { return m_phase == Phase::End; }

    // Writes up to `rows` further listings; returns false once all are written. Throws
    // domiva::Error.
    bool writeChunk(int rows);
    // Makes the file permanent. Throws domiva::Error (the file is then not written).
    void commit();
    void cancel();
    // Why an export whose search changed under it wrote nothing.
    static QString searchChangedMessage();

private:
    enum class Phase { Dated, Undated, End };
    void writeLine(const QStringList& fields);

    Database& m_db;
    qint32 m_qid;
    QSaveFile m_file;
    qint64 m_total = 0;
    qint64 m_written = 0;
    Phase m_phase = Phase::Dated;
    bool m_anyRead = false;
    QVariant m_lastDate;
    QString m_lastId;
    QByteArray m_buffer;
};

// One CSV record (RFC 4180): fields joined by commas, quoted when they hold a comma, a quote or
// a line break, quotes doubled; ends in CR LF.
QString csvRecord(const QStringList& fields);

} // namespace domiva
