// Pattern and text for the date-time parser: the input up to its first zero byte is the
// pattern, the rest the text (or its first and second half when there is no zero byte).
#include "core/datetimevalue.h"
#include "sync/datetimeparser.h"

#include <QString>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

const domiva::DateTimeContext& context() {
    static const domiva::DateTimeContext ctx{
        2026,
        {{"январь", "февраль", "март", "апрель", "май", "июнь", "июль", "август", "сентябрь",
          "октябрь", "ноябрь", "декабрь"},
         {"воскресенье", "понедельник", "вторник", "среда", "четверг", "пятница", "суббота"}}};
    return ctx;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const void* zero = std::memchr(bytes, 0, size);
    const std::size_t split =
        zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes) : size / 2;
    const std::size_t textStart = zero ? split + 1 : split;
    const QString pattern = QString::fromUtf8(bytes, static_cast<qsizetype>(split));
    const QString text =
        QString::fromUtf8(bytes + textStart, static_cast<qsizetype>(size - textStart));

    const double value = domiva::parseDateTime(pattern, text, context());
    // Whatever comes out is a valid value between 1 January 1 and 31 December 9999.
    if (!std::isfinite(value) || value < -693594 || value > 2958466)
        __builtin_trap();
    if (value != 0 && !domiva::fromDateTimeValue(value).date.isValid())
        __builtin_trap();
    return 0;
}
