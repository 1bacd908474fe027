#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <optional>
#include <vector>

namespace domiva {

// A profile (INI) text file read and changed the way the classic profile functions do it, so
// that a file edited by hand or shared with other tools keeps working:
// - section and key names match regardless of letter case; the first section of a name and
//   the first key of a name in it are the ones used;
// - a value loses its surrounding blanks and then one matching pair of enclosing quotes
//   (' or "), and is read up to 2047 characters;
// - a value that would not read back as it was written is stored inside one pair of double
//   quotes;
// - a written key replaces its line in place (the key keeps its spelling in the file); a new
//   key goes after the last entry of its section, a new section at the end of the file;
// - every other line (other sections and keys, comments, blank lines, bytes that are not
//   UTF-8) is written back byte for byte.
// Text is UTF-8 (a leading byte order mark is kept). Lines may end in LF or CR LF; each line
// keeps its own ending and new lines take the ending of the file's first line, LF in a new file.
class ProfileFile {
public:
    // The longest value text that is read; longer values are cut.
    static constexpr qsizetype kMaxValueLength = 2047;

    ProfileFile() = default;
    explicit ProfileFile(const QByteArray& content);

    // A missing file reads as an empty profile. An existing file that cannot be read raises
    // domiva::Error with the system's reason: writing over it would lose what it holds.
    static ProfileFile fromFile(const QString& path);

    // The value of a key; nothing when the section or the key is missing.
    std::optional<QString> value(QStringView section, QStringView key) const;

    // A value holding a line break cannot be stored in a line-based file (it would turn into
    // keys of its own) and raises domiva::Error, as do such names and names with "]" or "=".
    void setValue(const QString& section, const QString& key, const QString& value);

    QByteArray toByteArray() const;

    // Writes the whole file or nothing (a temporary file renamed over the old one), readable
    // and writable by the owner only. Raises domiva::Error with the system's reason.
    void writeFile(const QString& path) const;

private:
    enum class Kind { Blank, Comment, Section, Key, Other };
    struct Line {
        QByteArray bytes; // the line as stored, without its ending
        QByteArray eol;   // "\n", "\r\n", or empty for a last line without an ending
        Kind kind = Kind::Other;
        QString name;  // section or key name, blanks stripped
        QString value; // for a key: the text after the first "=", as stored
    };

    static Line parseLine(QByteArray bytes, QByteArray eol);
    qsizetype findSection(QStringView section) const;
    qsizetype sectionEnd(qsizetype header) const;
    void insertLine(qsizetype position, const QString& text);

    QByteArray m_bom;
    QByteArray m_eol = "\n";
    std::vector<Line> m_lines;
};

} // namespace domiva
