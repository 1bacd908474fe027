#pragma once

#include <QByteArray>

namespace domiva {

// Form encoding of one name or value: letters A-Z, a-z and digits stay, a space becomes "+",
// every other byte becomes "%" and two upper-case hexadecimal digits.
// formEncode(",3,17") == "%2C3%2C17"
QByteArray formEncode(const QByteArray& bytes);

// Percent-encoding of one path segment: the characters a segment may carry as they are
// (letters, digits, "-._~", "!$&'()*+,;=", ":" and "@") stay, every other byte becomes "%" and
// two upper-case hexadecimal digits. A segment of only "." or ".." has its dots encoded too,
// so that it cannot climb out of the path it is put in.
QByteArray percentEncodeSegment(const QByteArray& bytes);

// Control characters (line breaks above all) replaced by blanks, so that a text put into a
// header line cannot start another header.
QByteArray headerSafe(const QByteArray& text);

} // namespace domiva
