#include "store/flatkey.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>

namespace domiva::flatkey {

namespace {

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Characters a phone may carry between its digits.
bool isPhoneSeparator(QChar c) {
    return c == u' ' || c == u'-' || c == u'(' || c == u')' || c == u'.' || c == u'+' ||
           c == QChar::Nbsp || c == u'\t';
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

// The digits of a price without leading zeros; empty when it has none but zeros, nullopt
// when it has no digit at all.
std::optional<QString> priceDigits(QStringView price) {
    QString digits;
    bool any = false;
    for (const QChar c : price) {
        if (!isAsciiDigit(c))
            continue;
        any = true;
        if (c != u'0' || !digits.isEmpty())
            digits.append(c);
    }
    if (!any)
        return std::nullopt;
    return digits;
}

} // namespace

QString normalAddress(QStringView address) {
    QString result;
    result.reserve(address.size());
    bool gap = false;
    for (const QChar c : address.toString().toLower()) {
        if (c.isLetterOrNumber()) {
            if (gap && !result.isEmpty())
                result.append(u' ');
            gap = false;
            result.append(c == u'ё' ? QChar(u'е') : c);
        } else {
            gap = true;
        }
    }
    return result;
}

QString normalRooms(QStringView rooms) {
    return rooms.trimmed().toString().toLower();
}

QString normalFloor(QStringView floor) {
    QString result;
    for (const QChar c : floor)
        if (isAsciiDigit(c) || c == u'/')
            result.append(c);
    return result;
}

namespace {

// Finds the phones of a contact: digit(c) for each digit of one, then phoneEnd(n) with the
// number of its digits (a run shorter than a phone included; the caller tells).
template <typename Digit, typename PhoneEnd>
void scanPhones(QStringView contact, Digit&& digit, PhoneEnd&& phoneEnd) {
    const qsizetype size = contact.size();
    qsizetype i = 0;
    while (i < size) {
        if (!isAsciiDigit(contact[i])) {
            ++i;
            continue;
        }
        qsizetype digits = 0;
        while (i < size) {
            if (isAsciiDigit(contact[i])) {
                digit(contact[i++]);
                ++digits;
                continue;
            }
            // Separators belong to the phone only when another digit follows them.
            qsizetype next = i;
            while (next < size && isPhoneSeparator(contact[next]))
                ++next;
            if (next == i || next == size || !isAsciiDigit(contact[next]))
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
    for (const QChar c : flat.floor)
        if (isAsciiDigit(c) || c == u'/')
            base.add(c.unicode());
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
