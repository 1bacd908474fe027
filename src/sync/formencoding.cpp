#include "sync/formencoding.h"

namespace domiva {

namespace {

bool isAsciiLetterOrDigit(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

void appendEscaped(QByteArray& out, char c) {
    static constexpr char hex[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(c);
    out.append('%');
    out.append(hex[byte >> 4]);
    out.append(hex[byte & 0x0F]);
}

bool staysInSegment(char c) {
    if (isAsciiLetterOrDigit(c)) {
        return true;
    }
    switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
    case ':':
    case '@':
        return true;
    default:
        return false;
    }
}

} // namespace

QByteArray formEncode(const QByteArray& bytes) {
    QByteArray out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        if (isAsciiLetterOrDigit(c)) {
            out.append(c);
        } else if (c == ' ') {
            out.append('+');
        } else {
            appendEscaped(out, c);
        }
    }
    return out;
}

QByteArray percentEncodeSegment(const QByteArray& bytes) {
    const bool onlyDots = bytes == "." || bytes == "..";
    QByteArray out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        if (staysInSegment(c) && !onlyDots) {
            out.append(c);
        } else {
            appendEscaped(out, c);
        }
    }
    return out;
}

QByteArray headerSafe(const QByteArray& text) {
    QByteArray out = text;
    for (char& c : out) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            c = ' ';
        }
    }
    return out;
}

} // namespace domiva
