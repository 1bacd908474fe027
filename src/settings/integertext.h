#pragma once

#include <QString>
#include <QtGlobal>

namespace domiva {

// An integer key of the settings file. A text longer than two characters that begins with
// "0x" or "0X" is hexadecimal; any other text must be a whole number as a whole: leading
// spaces, then an optional "+" or "-", then decimal digits or "$" and hexadecimal digits, and
// nothing after them. Hexadecimal is a number like any other ("-$10" is -16); a value outside
// the 32-bit signed range, an empty text or anything else gives defaultValue.
// So "0x3C" is 60, " 42" is 42, while "42 ", "5 min", "0x", "-0x10" and "0x1G" give the default.
qint32 profileInteger(const QString& text, qint32 defaultValue);

// The lenient conversion of the settings dialog's number fields: leading spaces, an optional
// sign, an optional "$", "0x" or "0X" for hexadecimal, then as many digits as fit; reading
// stops at the first character that does not. No digit gives 0 ("", "-", "abc", "0x").
// A number beyond the 32-bit signed range is held at the nearest end of the range.
qint32 leadingInteger(const QString& text);

} // namespace domiva
