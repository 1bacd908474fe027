#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace domiva {

// The one error type of the program: a message for the log or the error box.
class Error : public std::exception {
public:
    // DamagedFile: the database engine found its file damaged or not a database at all. The
    // local database is only a copy of the service's data, so such a file is rebuilt instead of
    // being reported over and over.
    // Busy: another connection held the file locked for longer than the engine waited.
    enum class Kind { General, DamagedFile, Busy };

    explicit Error(QString message, Kind kind = Kind::General)
        : m_message(std::move(message)), m_utf8(m_message.toUtf8()), m_kind(kind) {}
    const QString& message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }
    Kind kind() const noexcept { return m_kind; }
    bool damagedFile() const noexcept { return m_kind == Kind::DamagedFile; }
    bool busy() const noexcept { return m_kind == Kind::Busy; }

private:
    QString m_message;
    QByteArray m_utf8;
    Kind m_kind;
};

// The error box ends its text with a full stop when the last character sorts after "."
// in character code order, so "Нет файла" becomes "Нет файла." while "готово!" stays.
QString withFullStop(const QString& text);

} // namespace domiva
