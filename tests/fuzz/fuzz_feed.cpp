// Feed bytes as the server might send them: decoded, split into lines and fields, each line
// read as a record and every offer's date worked out.
#include "core/error.h"
#include "sync/feed.h"

#include <QByteArray>
#include <QLocale>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <variant>

namespace {

const domiva::DateTimeContext& context() {
    static const domiva::DateTimeContext ctx{
        2026, domiva::DateTimeNames::fromLocale(QLocale(QLocale::Russian))};
    return ctx;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QStringList lines = domiva::decodeFeedLines(body);
    for (const QString& line : lines) {
        if (line.contains(u'\r') || line.contains(u'\n'))
            __builtin_trap();
        const QStringList fields = domiva::splitFeedFields(line);
        for (const QString& field : fields) {
            if (field.contains(u'#'))
                __builtin_trap();
        }
        try {
            const domiva::FeedRecord record = domiva::readFeedRecord(line);
            if (const auto* offer = std::get_if<domiva::OfferRecord>(&record)) {
                const double date = domiva::offerDate(*offer, 1.5, context());
                if (!offer->dateText && date != 1.5)
                    __builtin_trap();
            } else if (const auto* version = std::get_if<domiva::VersionRecord>(&record)) {
                (void)domiva::isNewVersion(*version);
            }
            // Every record but "other" needs at least two fields.
            if (!std::holds_alternative<domiva::OtherRecord>(record) && fields.size() < 2)
                __builtin_trap();
        } catch (const domiva::Error&) {
            // A query record the cycle refuses: expected for random input.
        }
    }
    return 0;
}
