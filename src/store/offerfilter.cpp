#include "store/offerfilter.h"

#include "core/error.h"
#include "store/database.h"
#include "store/enginestatement.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QChar>

#include <sqlite3.h>

#include <string.h> // memmem

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace domiva {

using namespace sqlutil;

namespace {

// Case folding on UTF-8, the same for the typed text and the stored one. Cyrillic and ASCII,
// which make up nearly every listing, take a short path; everything else goes through Qt's
// Unicode tables.

unsigned char* appendUtf8(unsigned char* out, char32_t cp) {
    if (cp < 0x80) {
        *out++ = static_cast<unsigned char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<unsigned char>(0xC0 | (cp >> 6));
        *out++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<unsigned char>(0xE0 | (cp >> 12));
        *out++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<unsigned char>(0xF0 | (cp >> 18));
        *out++ = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    }
    return out;
}

// Length of the UTF-8 sequence at s (n bytes left) and its code point; 0 when malformed.
int decodeUtf8(const unsigned char* s, std::size_t n, char32_t& cp) {
    const unsigned char c = s[0];
    int length = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(length) > n)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    return length;
}

// A folded code point never takes more than twice the bytes it took before folding.
constexpr std::size_t foldedCapacity(std::size_t bytes) {
    return 2 * bytes + 4;
}

// Lower-case ASCII letters of eight bytes that are all ASCII: a byte's high bit comes out set
// in geA when it is at least 'A' and in gtZ when it is above 'Z'; no sum carries into the next
// byte because each byte is below 0x80.
std::uint64_t foldAsciiWord(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101;
    const std::uint64_t geA = word + ones * (0x80 - 'A');
    const std::uint64_t gtZ = word + ones * (0x7F - 'Z');
    return word | ((geA & ~gtZ & (ones * 0x80)) >> 2);
}

// Folds n bytes of UTF-8 at s into out (foldedCapacity(n) bytes); returns the length written.
// Malformed bytes are copied as they are.
std::size_t foldUtf8(const unsigned char* s, std::size_t n, unsigned char* out) {
    constexpr std::uint64_t highBits = 0x8080808080808080;
    unsigned char* o = out;
    std::size_t i = 0;
    while (i < n) {
        if (n - i >= sizeof(std::uint64_t)) {
            std::uint64_t word;
            std::memcpy(&word, s + i, sizeof word);
            if ((word & highBits) == 0) {
                word = foldAsciiWord(word);
                std::memcpy(o, &word, sizeof word);
                o += sizeof word;
                i += sizeof word;
                continue;
            }
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            *o++ = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
            ++i;
            continue;
        }
        if (c == 0xD0 && i + 1 < n && s[i + 1] >= 0x80 && s[i + 1] <= 0xBF) {
            const unsigned char d = s[i + 1];
            if (d <= 0x8F) { // U+0400..U+040F -> U+0450..U+045F
                *o++ = 0xD1;
                *o++ = static_cast<unsigned char>(d + 0x10);
            } else if (d <= 0x9F) { // U+0410..U+041F -> U+0430..U+043F
                *o++ = 0xD0;
                *o++ = static_cast<unsigned char>(d + 0x20);
            } else if (d <= 0xAF) { // U+0420..U+042F -> U+0440..U+044F
                *o++ = 0xD1;
                *o++ = static_cast<unsigned char>(d - 0x20);
            } else { // already small
                *o++ = c;
                *o++ = d;
            }
            i += 2;
            continue;
        }
        if (c == 0xD1 && i + 1 < n && s[i + 1] >= 0x80 && s[i + 1] <= 0x9F) {
            // U+0440..U+045F: small letters already
            *o++ = c;
            *o++ = s[i + 1];
            i += 2;
            continue;
        }
        char32_t cp = 0;
        const int length = decodeUtf8(s + i, n - i, cp);
        if (length == 0) {
            *o++ = c;
            ++i;
            continue;
        }
        o = appendUtf8(o, QChar::toCaseFolded(cp));
        i += static_cast<std::size_t>(length);
    }
    return static_cast<std::size_t>(o - out);
}

// Whether the folded needle argv[0] occurs in one of the fields argv[1] ... argv[argc - 1].
// The fields are folded into one buffer, apart by a byte that valid UTF-8 never holds, so that a
// needle cannot match across two of them and the listing costs one search instead of eight.
bool containsFolded(int argc, sqlite3_value** argv) {
    constexpr unsigned char fieldSeparator = 0xFF;
    thread_local std::vector<unsigned char> buffer;
    const auto* needleText = sqlite3_value_text(argv[0]);
    const std::string_view needle(reinterpret_cast<const char*>(needleText),
                                  static_cast<std::size_t>(sqlite3_value_bytes(argv[0])));
    if (needle.empty())
        return true;
    std::size_t length = 0;
    for (int i = 1; i < argc; ++i) {
        if (sqlite3_value_type(argv[i]) == SQLITE_NULL)
            continue;
        const unsigned char* text = sqlite3_value_text(argv[i]);
        const auto bytes = static_cast<std::size_t>(sqlite3_value_bytes(argv[i]));
        if (text == nullptr)
            continue;
        // No shortcut on the stored length: a few letters take more bytes folded (Ⱥ, ⱥ).
        const std::size_t needed = length + foldedCapacity(bytes) + 1;
        if (buffer.size() < needed)
            buffer.resize(std::max(needed, 2 * buffer.size()));
        length += foldUtf8(text, bytes, buffer.data() + length);
        buffer[length++] = fieldSeparator;
    }
    // Not string_view::find: it stops at every byte equal to the needle's first, and in
    // Cyrillic that lead byte is every other one. glibc's memmem skips by pairs of bytes.
    return memmem(buffer.data(), length, needle.data(), needle.size()) != nullptr;
}

// domiva_contains(needle, field...): 1 when the folded needle occurs in one of the fields.
void containsFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
    sqlite3_result_int(context, containsFolded(argc, argv) ? 1 : 0);
}

// domiva_slice(probe, needle, field...): domiva_contains for one listing of a slice, which the
// probe counts; 1 also for the listing at which the slice is over, so that the statement
// returns it and the caller knows where to resume.
void sliceFunction(sqlite3_context* context, int argc, sqlite3_value** argv) {
    auto* probe = static_cast<offerfilter::SliceProbe*>(
        sqlite3_value_pointer(argv[0], offerfilter::SliceProbe::typeName));
    if (probe == nullptr) {
        sqlite3_result_error(context, "domiva_slice: no probe", -1);
        return;
    }
    probe->lastMatched = containsFolded(argc - 1, argv + 1);
    ++probe->looked;
    probe->over = probe->looked >= probe->rows ||
                  (probe->looked % 64 == 0 && probe->clock.nsecsElapsed() >= probe->budgetNs);
    sqlite3_result_int(context, probe->lastMatched || probe->over ? 1 : 0);
}

} // namespace

namespace offerfilter {

QByteArray folded(QStringView text) {
    // Typed "е" and a combining diaeresis are the "ё" the listings hold: a feed's code page
    // has only the composed letters.
    const QByteArray utf8 = text.toString().normalized(QString::NormalizationForm_C).toUtf8();
    QByteArray out(static_cast<qsizetype>(foldedCapacity(static_cast<std::size_t>(utf8.size()))),
                   Qt::Uninitialized);
    const std::size_t length = foldUtf8(reinterpret_cast<const unsigned char*>(utf8.constData()),
                                        static_cast<std::size_t>(utf8.size()),
                                        reinterpret_cast<unsigned char*>(out.data()));
    out.truncate(static_cast<qsizetype>(length));
    return out;
}

void install(Database& db) {
    sqlite3* handle = engineHandle(db.connection());
    if (sqlite3_create_function_v2(handle, sql::fragments::filterFunction, -1,
                                   SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                   &containsFunction, nullptr, nullptr, nullptr) != SQLITE_OK ||
        // Counts what it is called for: only our own statements may use it.
        sqlite3_create_function_v2(handle, sql::fragments::sliceFunction, -1,
                                   SQLITE_UTF8 | SQLITE_DIRECTONLY, nullptr, &sliceFunction,
                                   nullptr, nullptr, nullptr) != SQLITE_OK)
        throw engineError(handle);
}

QLatin1String condition() {
    return sql::filterCondition;
}

void bindProbe(sqlutil::EngineStatement& statement, int position, SliceProbe& probe) {
    statement.bindPointer(position, &probe, SliceProbe::typeName);
}

QVariant bindValue(const QString& text) {
    return QVariant(QString::fromUtf8(folded(text)));
}

} // namespace offerfilter

} // namespace domiva
