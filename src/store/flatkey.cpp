#include "store/flatkey.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

namespace domiva::flatkey {

namespace {

// digitAt beyond the Latin and Cyrillic blocks: a look-up in the character tables.
[[gnu::noinline]] int otherDigitAt(QStringView text, qsizetype i, qsizetype& units) {
    const char16_t c = text[i].unicode();
    char32_t cp = c;
    if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
        QChar::isLowSurrogate(text[i + 1].unicode())) {
        cp = QChar::surrogateToUcs4(c, text[i + 1].unicode());
        units = 2;
    }
    if (QChar::category(cp) != QChar::Number_DecimalDigit) {
        units = 1;
        return -1;
    }
    return QChar::digitValue(cp);
}

// The value of the decimal digit at text[i], of any script ("５" and "٥" are 5), with the
// UTF-16 units it takes in `units`; -1 when none stands there.
inline int digitAt(QStringView text, qsizetype i, qsizetype& units) {
    const char16_t c = text[i].unicode();
    units = 1;
    // No decimal digit stands between "9" and the Arabic-Indic digits: Latin and Cyrillic text
    // needs no look-up.
    if (c < 0x0660)
        return c >= u'0' && c <= u'9' ? c - u'0' : -1;
    return otherDigitAt(text, i, units);
}

// A blank: every space separator of Unicode (the non-breaking, thin and narrow no-break
// spaces among them) and the tab.
bool isBlank(QChar c) {
    if (c.unicode() < 0x80)
        return c == u' ' || c == u'\t';
    return c.category() == QChar::Separator_Space;
}

// Characters a phone may carry between its digits.
bool isPhoneSeparator(QChar c) {
    return isBlank(c) || c == u'-' || c == u'(' || c == u')' || c == u'.' || c == u'+';
}

constexpr qsizetype kMinPhoneDigits = 7;
constexpr qsizetype kComparedPhoneDigits = 10;

// FNV-1a, 64 bits, over the UTF-16 units: fixed for good, unlike qHash, whose seed and
// algorithm may change between runs and versions, while the keys live in the file. Fed a unit
// at a time, so that a key is hashed as its text is read, never put together first.
class StableHash {
public:
    void add(char16_t unit) {
        m_hash = (m_hash ^ (unit & 0xffu)) * kPrime;
        m_hash = (m_hash ^ (unit >> 8)) * kPrime;
    }
    void add(QStringView text) {
        for (const QChar c : text)
            add(c.unicode());
    }
    qint64 value() const { return std::bit_cast<qint64>(m_hash); }

private:
    static constexpr std::uint64_t kPrime = 1099511628211ULL;
    std::uint64_t m_hash = 14695981039346656037ULL;
};

// The characters nearly every listing is written in, ASCII and the basic Cyrillic block: each
// is one unit whose lower case is one unit, and only digits and letters among them are kept.
// Texts of these alone are normalised in place; anything else goes the general way.
bool isPlainUnit(char16_t c) {
    return c < 0x80 || (c >= 0x0400 && c <= 0x045f);
}

bool isPlainText(QStringView text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return isPlainUnit(c.unicode()); });
}

// The lower case of a plain unit, as QString::toLower gives it.
char16_t plainLower(char16_t c) {
    if (c >= u'A' && c <= u'Z')
        return char16_t(c + 0x20);
    if (c >= 0x0400 && c <= 0x040f)
        return char16_t(c + 0x50);
    if (c >= 0x0410 && c <= 0x042f)
        return char16_t(c + 0x20);
    return c;
}

bool isPlainLetterOrNumber(char16_t lower) {
    return (lower >= u'a' && lower <= u'z') || (lower >= u'0' && lower <= u'9') || lower >= 0x0400;
}

// normalAddress of a plain text, into the hash; whether it had a letter or digit.
bool hashPlainAddress(QStringView address, StableHash& hash) {
    bool any = false;
    bool gap = false;
    for (const QChar c : address) {
        const char16_t lower = plainLower(c.unicode());
        if (!isPlainLetterOrNumber(lower)) {
            gap = true;
            continue;
        }
        if (gap && any)
            hash.add(u' ');
        gap = false;
        any = true;
        hash.add(lower == u'ё' ? u'е' : lower);
    }
    return any;
}

bool hashAddress(QStringView address, StableHash& hash) {
    if (isPlainText(address))
        return hashPlainAddress(address, hash);
    const QString normal = normalAddress(address);
    hash.add(normal);
    return !normal.isEmpty();
}

// QChar::isSpace of a plain unit.
bool isPlainSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

void hashRooms(QStringView rooms, StableHash& hash) {
    if (!isPlainText(rooms)) {
        hash.add(normalRooms(rooms));
        return;
    }
    qsizetype begin = 0;
    qsizetype end = rooms.size();
    while (begin < end && isPlainSpace(rooms[begin].unicode()))
        ++begin;
    while (end > begin && isPlainSpace(rooms[end - 1].unicode()))
        --end;
    for (qsizetype i = begin; i < end; ++i)
        hash.add(plainLower(rooms[i].unicode()));
}

// Calls add(unit) for each unit of normalFloor(floor); whether it holds a digit. NFC is not
// applied: composing never makes or takes away a digit or "/".
template <typename Add> bool forEachFloorUnit(QStringView floor, Add&& add) {
    bool anyDigit = false;
    for (qsizetype i = 0; i < floor.size(); ++i) {
        qsizetype units = 1;
        if (const int digit = digitAt(floor, i, units); digit >= 0) {
            add(char16_t(u'0' + digit));
            anyDigit = true;
            i += units - 1;
        } else if (floor[i] == u'/') {
            add(u'/');
        }
    }
    return anyDigit;
}

// The digits of a price without leading zeros; empty when it has none but zeros, nullopt
// when it has no digit at all.
std::optional<QString> priceDigits(QStringView price) {
    QString digits;
    bool any = false;
    for (qsizetype i = 0; i < price.size(); ++i) {
        qsizetype units = 1;
        const int digit = digitAt(price, i, units);
        i += units - 1;
        if (digit < 0)
            continue;
        any = true;
        if (digit != 0 || !digits.isEmpty())
            digits.append(QChar(u'0' + digit));
    }
    if (!any)
        return std::nullopt;
    return digits;
}

// `text` with every decimal digit of another script as its ASCII digit.
QString withAsciiDigits(const QString& text) {
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        qsizetype units = 1;
        if (const int digit = digitAt(text, i, units); digit >= 0) {
            result.append(QChar(u'0' + digit));
            i += units - 1;
        } else {
            result.append(text[i]);
        }
    }
    return result;
}

} // namespace

QString normalAddress(QStringView address) {
    // Composed first, so that "е" followed by a combining diaeresis is the "ё" it shows.
    const QString text = address.toString().normalized(QString::NormalizationForm_C).toLower();
    QString result;
    result.reserve(text.size());
    bool gap = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        qsizetype units = 1;
        const int digit = digitAt(text, i, units);
        if (digit < 0 && !c.isLetterOrNumber()) {
            gap = true;
            continue;
        }
        if (gap && !result.isEmpty())
            result.append(u' ');
        gap = false;
        if (digit >= 0) {
            result.append(QChar(u'0' + digit));
            i += units - 1;
        } else {
            result.append(c == u'ё' ? QChar(u'е') : c);
        }
    }
    return result;
}

QString normalRooms(QStringView rooms) {
    return withAsciiDigits(
        rooms.toString().normalized(QString::NormalizationForm_C).trimmed().toLower());
}

QString normalFloor(QStringView floor) {
    QString result;
    if (!forEachFloorUnit(floor, [&result](char16_t unit) { result.append(QChar(unit)); }))
        return {};
    return result;
}

namespace {

// The digits of a full phone number: 11 when it starts with 7 or 8 (the country's code or the
// trunk prefix), 10 otherwise.
qsizetype fullPhoneDigits(int firstDigit) {
    return firstDigit == 7 || firstDigit == 8 ? 11 : 10;
}

// Finds the phones of a contact: digit(c) for each digit of one (as its ASCII digit), then
// phoneEnd(n) with the number of its digits (a run shorter than a phone included; the caller
// tells). NFC is not applied: composing never makes or takes away a digit or a separator.
template <typename Digit, typename PhoneEnd>
void scanPhones(QStringView contact, Digit&& digit, PhoneEnd&& phoneEnd) {
    const qsizetype size = contact.size();
    qsizetype i = 0;
    qsizetype units = 1;
    while (i < size) {
        const int first = digitAt(contact, i, units);
        if (first < 0) {
            ++i;
            continue;
        }
        const qsizetype full = fullPhoneDigits(first);
        qsizetype digits = 0;
        while (i < size) {
            if (const int value = digitAt(contact, i, units); value >= 0) {
                digit(QChar(u'0' + value));
                i += units;
                ++digits;
                continue;
            }
            // A full number ends at its first separator: what follows is another one.
            if (digits >= full)
                break;
            // Separators belong to the phone only when another digit follows them.
            qsizetype next = i;
            while (next < size && isPhoneSeparator(contact[next]))
                ++next;
            if (next == i || next == size || digitAt(contact, next, units) < 0)
                break;
            i = next;
        }
        phoneEnd(digits);
    }
}

} // namespace

QStringList phones(QStringView contact) {
    QStringList found;
    QString digits;
    scanPhones(
        contact, [&](QChar c) { digits.append(c); },
        [&](qsizetype) {
            if (digits.size() >= kMinPhoneDigits)
                found.append(digits.right(kComparedPhoneDigits));
            digits.clear();
        });
    return found;
}

std::vector<qint64> keys(const FlatFields& flat) {
    std::vector<qint64> result;
    keys(flat, result);
    return result;
}

void keys(const FlatFields& flat, std::vector<qint64>& result) {
    result.clear();
    // The key is the hash of "address US rooms US floor US" followed by "p:" and a phone, or
    // by "c:" and the contact's text when it holds none (US: the unit separator, 0x1f).
    StableHash base;
    if (!hashAddress(flat.address, base))
        return;
    base.add(u'\x1f');
    hashRooms(flat.rooms, base);
    base.add(u'\x1f');
    if (!forEachFloorUnit(flat.floor, [&base](char16_t unit) { base.add(unit); }))
        return;
    base.add(u'\x1f');

    // The phones as phones() finds them, each hashed from its last kComparedPhoneDigits digits.
    const QStringView contact = flat.contact;
    std::array<char16_t, kComparedPhoneDigits> last{};
    qsizetype seen = 0;
    scanPhones(
        contact, [&](QChar c) { last[std::size_t(seen++ % kComparedPhoneDigits)] = c.unicode(); },
        [&](qsizetype digits) {
            seen = 0;
            if (digits < kMinPhoneDigits)
                return;
            StableHash key = base;
            key.add(u'p');
            key.add(u':');
            const qsizetype kept = std::min(digits, kComparedPhoneDigits);
            for (qsizetype d = digits - kept; d < digits; ++d)
                key.add(last[std::size_t(d % kComparedPhoneDigits)]);
            result.push_back(key.value());
        });
    if (result.empty()) {
        StableHash key = base;
        key.add(u'c');
        key.add(u':');
        hashAddress(contact, key);
        result.push_back(key.value());
        return;
    }
    if (result.size() > 1) {
        std::sort(result.begin(), result.end());
        result.erase(std::unique(result.begin(), result.end()), result.end());
    }
}

std::optional<int> comparePrices(QStringView a, QStringView b) {
    const std::optional<QString> left = priceDigits(a);
    const std::optional<QString> right = priceDigits(b);
    if (!left || !right)
        return std::nullopt;
    if (left->size() != right->size())
        return left->size() < right->size() ? -1 : 1;
    const int order = left->compare(*right);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

} // namespace domiva::flatkey
