#pragma once

#include "sync/bodysink.h"

#include <QByteArray>
#include <QFile>
#include <QString>

namespace domiva {

// Writes the server's answer to the feed file as it arrives, so the feed is never held in
// memory whole. With crLfLines every line is stored ended by CR LF, whatever line ends the
// server used (CR LF, a lone CR, a lone LF), and a last line without one gets it; otherwise
// the bytes are stored as they came. The feed is read back through the handle that wrote it, so
// what is read is what was written even if the file's name comes to stand for another file.
class FeedFileWriter : public BodySink {
public:
    // The file is created (or emptied) with the first bytes, or by finish(), readable by the
    // user only; a symbolic link under its name fails the writing instead of being followed.
    FeedFileWriter(const QString& path, bool crLfLines);

    bool write(const char* data, qsizetype size) override;
    bool restart() override;
    // Ends the last line, flushes the file and returns it turned back to its start, for reading.
    // Throws domiva::Error with the first failure of the file, here or earlier.
    QIODevice& finish();

    // Bytes of the body received, before line ends were rewritten.
    qint64 bodySize() const { return m_received; }
    // The first failure of the file ("path: reason"); empty when none.
    const QString& error() const { return m_error; }

private:
    bool open();
    bool fail();

    QString m_path;
    QFile m_file;
    bool m_crLfLines = false;
    bool m_afterCr = false;  // the last byte was a CR: an LF now belongs to it
    bool m_lineOpen = false; // bytes were written since the last line end
    qint64 m_received = 0;
    QString m_error;
    QByteArray m_out;
};

} // namespace domiva
