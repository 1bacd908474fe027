#pragma once

#include "store/flathistory.h"

#include <QByteArray>
#include <QSaveFile>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <vector>

namespace domiva {

class Database;

// A listing's earlier appearances as one field of an export, in the window's words.
using EarlierWording = std::function<QString(const std::vector<FlatHistory::Appearance>&)>;

// Writes all listings of one search, newest first, to a CSV file: UTF-8 with a byte order
// mark, a header row, fields quoted as RFC 4180 says, lines ending in CR LF. Each column is a
// field of the details panel in its order (transport ... author, date as the panel shows it,
// the earlier appearances last, as `earlier` words them; empty without it). The header and
// that wording are the caller's: the store only reads.
// The listings are read in chunks by short statements, none of them left open between two
// calls, so the caller may let the event loop run in between. The file appears only when
// commit() succeeds; cancel() or destruction before it leave no file.
class OfferCsvExport {
public:
    // Opens the file for writing and writes the header. Throws domiva::Error.
    OfferCsvExport(Database& db, qint32 qid, const QString& path, const QStringList& header,
                   EarlierWording earlier = {});
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
    EarlierWording m_earlier;
};

// One CSV record (RFC 4180): fields joined by commas, quoted when they hold a comma, a quote or
// a line break, quotes doubled; ends in CR LF.
QString csvRecord(const QStringList& fields);

} // namespace domiva
