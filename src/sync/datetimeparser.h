#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

namespace domiva {

// The long month and weekday names the name tokens (MMM, MMMM, DDDD) match against.
struct DateTimeNames {
    QStringList longMonths; // 12 names, January first
    QStringList longDays;   // 7 names, Sunday first

    // Nominative ("январь", not the genitive "января"), as the regional settings list them.
    static DateTimeNames fromLocale(const QLocale& locale);
};

// What the parser takes from its surroundings: today's year (for the century of a
// two-digit year) and the name lists. Injected so that results do not depend on the
// machine's clock and locale.
struct DateTimeContext {
    int currentYear = 0;
    DateTimeNames names;

    // Today's year and the names of the user's locale.
    static DateTimeContext system();
};

// Reads `text` under a pattern of letter tokens (DD, MM, YY, YYYY, HH, NN, SS, ZZZ, MMM,
// MMMM, DDDD, AM/PM...; letters in any case, other characters are skipped one for one
// without comparing them) and returns the date-time value (see core/datetimevalue.h).
// Never throws: a text that does not give a valid date and time gives 0.
double parseDateTime(QString pattern, QString text);
double parseDateTime(const QString& pattern, const QString& text, const DateTimeContext& ctx);

// A pattern read once into its steps, for the many texts of a feed that share it; parse()
// gives what parseDateTime gives for the same pattern.
class DateTimePattern {
public:
    explicit DateTimePattern(const QString& pattern);
    double parse(QStringView text, const DateTimeContext& ctx) const;

private:
    // A literal, a lone token letter (which reads nothing), or one of the tokens.
    struct Step {
        enum class Kind : quint8 { Literal, Letter, Token } kind = Kind::Literal;
        quint8 token = 0;
    };
    std::vector<Step> m_steps;
};

} // namespace domiva
