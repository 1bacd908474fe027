#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace domiva {

// The one error type of the program: a message for the log or the error box.
class Error : public std::exception {
public:
    explicit Error(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}
    const QString& message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// The error box ends its text with a full stop when the last character sorts after "."
// in character code order, so "Нет файла" becomes "Нет файла." while "готово!" stays.
QString withFullStop(const QString& text);

} // namespace domiva
