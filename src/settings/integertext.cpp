#include "settings/integertext.h"

#include <limits>

namespace domiva {

namespace {

constexpr qint64 kMaxMagnitude = qint64(std::numeric_limits<qint32>::max()) + 1;

int digitValue(QChar c, int base) {
    const char16_t u = c.unicode();
    int digit = -1;
    if (u >= u'0' && u <= u'9')
        digit = u - u'0';
    else if (u >= u'a' && u <= u'z')
        digit = u - u'a' + 10;
    else if (u >= u'A' && u <= u'Z')
        digit = u - u'A' + 10;
    return digit >= 0 && digit < base ? digit : -1;
}

// The common part of both conversions: spaces, sign, prefix and digits from the start of
// the text. The magnitude saturates just past the 32-bit range, so it never overflows.
struct Scan {
    bool negative = false;
    qint64 magnitude = 0;
    qsizetype digits = 0;
    qsizetype end = 0; // where reading stopped
};

Scan scanInteger(QStringView text, bool allowZeroX) {
    Scan scan;
    qsizetype i = 0;
    while (i < text.size() && text[i] == u' ')
        ++i;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        scan.negative = text[i] == u'-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == u'$') {
        base = 16;
        ++i;
    } else if (allowZeroX && i + 1 < text.size() && text[i] == u'0' &&
               (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        base = 16;
        i += 2;
    }
    for (; i < text.size(); ++i) {
        const int digit = digitValue(text[i], base);
        if (digit < 0)
            break;
        scan.magnitude = qMin(scan.magnitude * base + digit, kMaxMagnitude + 1);
        ++scan.digits;
    }
    scan.end = i;
    return scan;
}

} // namespace

qint32 profileInteger(const QString& text, qint32 defaultValue) {
    // The "0x" form is taken as "$" followed by the rest, so "0x-5" or "0x 5" are no numbers.
    const QString whole = text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')
                              ? QLatin1Char('$') + text.mid(2)
                              : text;
    const Scan scan = scanInteger(whole, false);
    if (scan.digits == 0 || scan.end != whole.size())
        return defaultValue;
    if (scan.negative)
        return scan.magnitude <= kMaxMagnitude ? qint32(-scan.magnitude) : defaultValue;
    return scan.magnitude < kMaxMagnitude ? qint32(scan.magnitude) : defaultValue;
}

qint32 leadingInteger(const QString& text) {
    const Scan scan = scanInteger(text, true);
    if (scan.negative)
        return qint32(-qMin(scan.magnitude, kMaxMagnitude));
    return qint32(qMin(scan.magnitude, kMaxMagnitude - 1));
}

} // namespace domiva
