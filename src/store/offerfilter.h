#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QLatin1String>
#include <QString>
#include <QStringView>
#include <QVariant>

#include <cstdint>

namespace domiva {

class Database;

namespace sqlutil {
class EngineStatement;
}

// The quick filter over a search's listings. A listing passes when the text occurs in its
// transport, address, price, commission, floor, contact, comments or author, with letter case
// ignored in every script (the engine's own LIKE and NOCASE fold only ASCII letters), and
// every character taken literally ("%" and "_" included).
namespace offerfilter {

// The text as the filter compares it: in NFC, case-folded, UTF-8.
QByteArray folded(QStringView text);

// Makes the filter's SQL function known on the database's connection. Throws domiva::Error.
void install(Database& db);

// The condition to add to a statement on Offers: it takes one bound value, bindValue(text).
QLatin1String condition();
QVariant bindValue(const QString& text);

// One slice of a scan over a search in the order of an index: the listings it may look at,
// counted by the condition itself, and whether the last one matched.
struct SliceProbe {
    static constexpr const char* typeName = "domiva_slice_probe";
    int rows = 0;              // at most this many listings
    std::int64_t budgetNs = 0; // for about this long on clock
    QElapsedTimer clock;
    int looked = 0;
    bool over = false; // the last listing looked at ends the slice
    bool lastMatched = false;
};
// A statement that scans a slice (sql::scanDated ...) holds for the listings that match and for
// the one at which the slice is over (the probe tells them apart); the statement is done with
// then. It takes two bound values: bindProbe, then folded(text) as UTF-8 text.
void bindProbe(sqlutil::EngineStatement& statement, int position, SliceProbe& probe);

} // namespace offerfilter

} // namespace domiva
