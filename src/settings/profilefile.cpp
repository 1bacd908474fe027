#include "settings/profilefile.h"

#include "core/error.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace domiva {

namespace {

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f';
}

QStringView trimBlanks(QStringView text) {
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.mid(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

bool sameName(QStringView a, QStringView b) {
    return trimBlanks(a).compare(trimBlanks(b), Qt::CaseInsensitive) == 0;
}

bool hasLineBreak(const QString& text) {
    return text.contains(u'\n') || text.contains(u'\r');
}

// What a reader sees of a stored value: blanks around it and one pair of matching quotes go.
QString readableValue(QStringView stored) {
    QStringView value = trimBlanks(stored);
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    if (value.size() > ProfileFile::kMaxValueLength) {
        value = value.left(ProfileFile::kMaxValueLength);
        // Never leave half of a character that needs two UTF-16 units.
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value.toString();
}

} // namespace

ProfileFile::ProfileFile(const QByteArray& content) {
    static const QByteArray bom("\xEF\xBB\xBF");
    qsizetype start = 0;
    if (content.startsWith(bom)) {
        m_bom = bom;
        start = bom.size();
    }
    bool eolKnown = false;
    while (start < content.size()) {
        const qsizetype newline = content.indexOf('\n', start);
        QByteArray bytes;
        QByteArray eol;
        if (newline < 0) {
            bytes = content.mid(start);
            start = content.size();
        } else {
            bytes = content.mid(start, newline - start);
            eol = "\n";
            if (bytes.endsWith('\r')) {
                bytes.chop(1);
                eol = "\r\n";
            }
            start = newline + 1;
        }
        if (!eolKnown && !eol.isEmpty()) {
            m_eol = eol;
            eolKnown = true;
        }
        m_lines.push_back(parseLine(std::move(bytes), std::move(eol)));
    }
}

ProfileFile::Line ProfileFile::parseLine(QByteArray bytes, QByteArray eol) {
    Line line;
    line.bytes = std::move(bytes);
    line.eol = std::move(eol);
    const QString decoded = QString::fromUtf8(line.bytes);
    const QStringView text = trimBlanks(decoded);
    if (text.isEmpty()) {
        line.kind = Kind::Blank;
    } else if (text.front() == u'[' && text.indexOf(u']') > 0) {
        line.kind = Kind::Section;
        line.name = trimBlanks(text.mid(1, text.indexOf(u']') - 1)).toString();
    } else if (text.front() == u';') {
        line.kind = Kind::Comment;
    } else if (const qsizetype equals = text.indexOf(u'='); equals >= 0) {
        line.kind = Kind::Key;
        line.name = trimBlanks(text.left(equals)).toString();
        line.value = text.mid(equals + 1).toString();
    } else {
        line.kind = Kind::Other;
    }
    return line;
}

ProfileFile ProfileFile::fromFile(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    // A device or a pipe under the settings name would never end or never answer.
    if (!info.isFile())
        throw Error(QStringLiteral("Not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(file.errorString());
    const QByteArray content = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw Error(file.errorString());
    return ProfileFile(content);
}

qsizetype ProfileFile::findSection(QStringView section) const {
    for (qsizetype i = 0; i < qsizetype(m_lines.size()); ++i) {
        if (m_lines[i].kind == Kind::Section && sameName(m_lines[i].name, section))
            return i;
    }
    return -1;
}

qsizetype ProfileFile::sectionEnd(qsizetype header) const {
    qsizetype i = header + 1;
    while (i < qsizetype(m_lines.size()) && m_lines[i].kind != Kind::Section)
        ++i;
    return i;
}

std::optional<QString> ProfileFile::value(QStringView section, QStringView key) const {
    const qsizetype header = findSection(section);
    if (header < 0)
        return std::nullopt;
    const qsizetype end = sectionEnd(header);
    for (qsizetype i = header + 1; i < end; ++i) {
        const Line& line = m_lines[i];
        if (line.kind == Kind::Key && sameName(line.name, key))
            return readableValue(line.value);
    }
    return std::nullopt;
}

void ProfileFile::insertLine(qsizetype position, const QString& text) {
    // Only the last line of a file can lack an ending; it needs one before a line follows.
    if (position > 0 && m_lines[position - 1].eol.isEmpty())
        m_lines[position - 1].eol = m_eol;
    m_lines.insert(m_lines.begin() + position, parseLine(text.toUtf8(), m_eol));
}

void ProfileFile::setValue(const QString& section, const QString& key, const QString& value) {
    if (hasLineBreak(section) || section.contains(u']') || trimBlanks(section).isEmpty())
        throw Error(QStringLiteral("Invalid section name \"%1\"").arg(section));
    if (hasLineBreak(key) || key.contains(u'=') || trimBlanks(key).isEmpty())
        throw Error(QStringLiteral("Invalid key name \"%1\"").arg(key));
    if (hasLineBreak(value))
        throw Error(QStringLiteral("The value of \"%1\" holds a line break").arg(key));

    // A value the reader would change (blanks or a quote at either end) goes inside one pair
    // of double quotes, which the reader takes off again.
    const QString stored =
        readableValue(value) == value ? value : QLatin1Char('"') + value + QLatin1Char('"');

    qsizetype header = findSection(section);
    if (header < 0) {
        header = qsizetype(m_lines.size());
        insertLine(header, QLatin1Char('[') + trimBlanks(section).toString() + QLatin1Char(']'));
    }
    const qsizetype end = sectionEnd(header);
    qsizetype insertAt = header + 1;
    for (qsizetype i = header + 1; i < end; ++i) {
        Line& line = m_lines[i];
        if (line.kind == Kind::Key && sameName(line.name, key)) {
            line = parseLine((line.name + QLatin1Char('=') + stored).toUtf8(), line.eol);
            return;
        }
        // New keys follow the section's last entry, not the blank lines or comments that
        // usually introduce the next section.
        if (line.kind == Kind::Key || line.kind == Kind::Other)
            insertAt = i + 1;
    }
    insertLine(insertAt, trimBlanks(key).toString() + QLatin1Char('=') + stored);
}

QByteArray ProfileFile::toByteArray() const {
    QByteArray out = m_bom;
    for (const Line& line : m_lines) {
        out += line.bytes;
        out += line.eol;
    }
    return out;
}

void ProfileFile::writeFile(const QString& path) const {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw Error(file.errorString());
    // Before the first byte: the file may hold passwords.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        throw Error(file.errorString());
    const QByteArray bytes = toByteArray();
    if (file.write(bytes) != bytes.size())
        throw Error(file.errorString());
    if (!file.commit())
        throw Error(file.errorString());
}

} // namespace domiva
