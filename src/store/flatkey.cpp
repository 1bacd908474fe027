#include "store/flatkey.h"

#include <algorithm>
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
// algorithm may change between runs and versions, while the keys live in the file.
qint64 stableHash(QStringView text) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        for (const unsigned byte : {unsigned(unit & 0xff), unsigned(unit >> 8)}) {
            hash ^= byte;
            hash *= 1099511628211ULL;
        }
    }
    return std::bit_cast<qint64>(hash);
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

QStringList phones(QStringView contact) {
    QStringList found;
    const qsizetype size = contact.size();
    qsizetype i = 0;
    while (i < size) {
        if (!isAsciiDigit(contact[i])) {
            ++i;
            continue;
        }
        QString digits;
        while (i < size) {
            if (isAsciiDigit(contact[i])) {
                digits.append(contact[i++]);
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
        if (digits.size() >= kMinPhoneDigits)
            found.append(digits.right(kComparedPhoneDigits));
    }
    return found;
}

std::vector<qint64> keys(const FlatFields& flat) {
    const QString address = normalAddress(flat.address);
    if (address.isEmpty())
        return {};
    const QString base =
        address + u'\x1f' + normalRooms(flat.rooms) + u'\x1f' + normalFloor(flat.floor) + u'\x1f';
    const QStringList numbers = phones(flat.contact);
    std::vector<qint64> result;
    if (numbers.isEmpty()) {
        result.push_back(stableHash(base + QStringLiteral("c:") + normalAddress(flat.contact)));
        return result;
    }
    for (const QString& number : numbers)
        result.push_back(stableHash(base + QStringLiteral("p:") + number));
    std::sort(result.begin(), result.end());
    result.erase(std::unique(result.begin(), result.end()), result.end());
    return result;
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
