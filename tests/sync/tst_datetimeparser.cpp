#include "core/datetimevalue.h"
#include "sync/datetimeparser.h"

#include <QDate>
#include <QLocale>
#include <QTest>

using namespace domiva;

namespace {

const QStringList englishMonths{"January",   "February", "March",    "April",
                                "May",       "June",     "July",     "August",
                                "September", "October",  "November", "December"};
const QStringList englishDays{"Sunday",   "Monday", "Tuesday", "Wednesday",
                              "Thursday", "Friday", "Saturday"};
// Nominative, as the regional settings list them (not the genitive "декабря").
const QStringList russianMonths{"январь", "февраль", "март",     "апрель",  "май",    "июнь",
                                "июль",   "август",  "сентябрь", "октябрь", "ноябрь", "декабрь"};
const QStringList russianDays{"воскресенье", "понедельник", "вторник", "среда",
                              "четверг",     "пятница",     "суббота"};

DateTimeContext context(int year, const QString& names) {
    if (names == QLatin1String("ru"))
        return {year, {russianMonths, russianDays}};
    return {year, {englishMonths, englishDays}};
}

// "yyyy-MM-dd HH:mm:ss.zzz" as the value it stands for, "0" as 0.
double expectedValue(const QString& expected) {
    if (expected == QLatin1String("0"))
        return 0;
    const double value = dateTimeValueFromText(expected);
    if (value == 0)
        qFatal("bad expected value in the test table: %s", qPrintable(expected));
    return value;
}

} // namespace

class TestDateTimeParser : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void systemContextUsesLocaleNames();
    void systemContextUsesTodaysCentury();
    void namesFromLocale();
    void firstMatchingNameWins();
};

void TestDateTimeParser::parse_data() {
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("currentYear");
    QTest::addColumn<QString>("names");
    QTest::addColumn<QString>("expected");

    const QString feed = "dd.mm.yy hh:nn";
    auto row = [](const char* name, const QString& pattern, const QString& text,
                  const QString& expected, int year = 2026, const QString& names = "en") {
        QTest::newRow(name) << pattern << text << year << names << expected;
    };

    // The feed's own pattern.
    row("plain", feed, "06.12.26 14:05", "2026-12-06 14:05:00.000");
    row("last century", feed, "31.12.99 23:59", "1999-12-31 23:59:00.000");
    row("blank before one-digit day", feed, " 6.12.26 14:05", "2026-12-06 14:05:00.000");
    row("tab before one-digit day", feed, "\t6.12.26 14:05", "2026-12-06 14:05:00.000");
    row("one-digit day reads '6.'", feed, "6.12.26 14:05", "0");
    row("other separators", feed, "06-12-26 14.05", "2026-12-06 14:05:00.000");
    row("separators not compared", feed, "06x12y26z14w05", "2026-12-06 14:05:00.000");
    row("31 February", feed, "31.02.26 10:00", "0");
    row("hour 24", feed, "06.12.26 24:00", "0");
    row("minute 60", feed, "06.12.26 23:60", "0");
    row("day 0", feed, "00.12.26 14:05", "0");
    row("month 0", feed, "06.00.26 14:05", "0");
    row("month 13", feed, "06.13.26 14:05", "0");
    row("seconds ignored", feed, "06.12.26 14:05:59", "2026-12-06 14:05:00.000");
    row("upper-case pattern", "DD.MM.YY HH:NN", "06.12.26 14:05", "2026-12-06 14:05:00.000");
    row("mixed-case pattern", "Dd.mM.yY hH:Nn", "06.12.26 14:05", "2026-12-06 14:05:00.000");
    row("trailing blank in hour", feed, "06.12.26 4 :05", "2026-12-06 04:05:00.000");
    row("leap day", feed, "29.02.24 00:00", "2024-02-29 00:00:00.000");
    row("leap day 2000", feed, "29.02.00 12:00", "2000-02-29 12:00:00.000");
    row("no leap day", feed, "29.02.25 00:00", "0");
    row("day of 31 in a 30-day month", feed, "31.04.26 00:00", "0");
    row("last minute of the day", feed, "31.12.26 23:59", "2026-12-31 23:59:00.000");

    // The text runs out: the walk stops and the fields read so far are validated.
    row("text ends before the time", feed, "06.12.26", "0");
    row("text ends after the hour", feed, "06.12.26 14", "0");
    row("empty text", feed, "", "0");
    row("text ends inside the month", feed, "06.1", "0");
    row("text ends with a bad day", feed, "0", "0");

    // Century rule: B is the first year of the current century.
    row("00 in 2026", feed, "01.01.00 00:00", "2000-01-01 00:00:00.000");
    row("49 in 2026", feed, "01.01.49 00:00", "2049-01-01 00:00:00.000");
    row("50 in 2026", feed, "01.01.50 00:00", "1950-01-01 00:00:00.000");
    row("99 in 2026", feed, "01.01.99 00:00", "1999-01-01 00:00:00.000");
    row("00 in 2101", feed, "01.01.00 00:00", "2100-01-01 00:00:00.000", 2101);
    row("49 in 2101", feed, "01.01.49 00:00", "2149-01-01 00:00:00.000", 2101);
    row("50 in 2101", feed, "01.01.50 00:00", "2050-01-01 00:00:00.000", 2101);
    row("99 in 2101", feed, "01.01.99 00:00", "2099-01-01 00:00:00.000", 2101);
    row("26 in 1999", feed, "01.01.26 00:00", "1926-01-01 00:00:00.000", 1999);
    row("60 in year 30", feed, "01.01.60 00:00", "0", 30); // year -40: 16-bit 65496
    row("year not a number gives B", feed, "06.12.ab 14:05", "2000-12-06 14:05:00.000");
    row("year not a number in 2101", feed, "06.12.ab 14:05", "2100-12-06 14:05:00.000", 2101);

    // Two-digit year is read untrimmed: a leading blank is fine, a trailing one is not.
    row("year with leading blank", feed, "06.12. 5 14:05", "2005-12-06 14:05:00.000");
    row("year with trailing blank", feed, "06.12.5  14:05", "2000-12-06 14:05:00.000");
    row("year with plus sign", feed, "06.12.+5 14:05", "2005-12-06 14:05:00.000");

    // Negative numbers keep their low 16 bits.
    row("year -1 wraps to 1899", feed, "06.12.-1 14:05", "1899-12-06 14:05:00.000");
    row("year -9 wraps to 1891", feed, "06.12.-9 14:05", "1891-12-06 14:05:00.000");
    row("day -1", feed, "-1.12.26 14:05", "0");
    row("hour -1", feed, "06.12.26 -1:05", "0");
    row("day with plus sign", feed, "+5.12.26 14:05", "2026-12-05 14:05:00.000");
    row("lone minus", feed, "06.12.26 14:- ", "2026-12-06 14:00:00.000");

    // Four-digit year, untrimmed.
    row("yyyy", "dd.mm.yyyy", "06.12.2026", "2026-12-06 00:00:00.000");
    row("yyyy 9999", "dd.mm.yyyy", "31.12.9999", "9999-12-31 00:00:00.000");
    row("yyyy year 0", "dd.mm.yyyy", "06.12.0000", "0");
    row("yyyy -001", "dd.mm.yyyy", "06.12.-001", "0");
    row("yyyy leading blank", "dd.mm.yyyy", "06.12. 999", "0999-12-06 00:00:00.000");
    row("yyyy trailing blank", "dd.mm.yyyy", "06.12.999 ", "0");
    row("yyyy leading tab", "dd.mm.yyyy", "06.12.\t999", "0");
    row("yyyy 1900 not leap", "dd.mm.yyyy", "29.02.1900", "0");
    row("yyyy 1600 leap", "dd.mm.yyyy", "29.02.1600", "1600-02-29 00:00:00.000");
    row("yyyyy is yyyy and a lone y", "yyyyy", "2026", "2026-01-01 00:00:00.000");

    // YYY reads nothing.
    row("yyy reads nothing", "yyydd", "15", "0001-01-15 00:00:00.000");

    // Seconds and milliseconds (ZZ takes three characters as ZZZ does).
    row("ss", "hh:nn:ss", "14:05:59", "0001-01-01 14:05:59.000");
    row("ss 60", "hh:nn:ss", "14:05:60", "0");
    row("zzz", "hh:nn:ss.zzz", "14:05:59.123", "0001-01-01 14:05:59.123");
    row("zzz 999", "hh:nn:ss.zzz", "14:05:59.999", "0001-01-01 14:05:59.999");
    row("zz takes three", "hh:nn:ss.zz", "14:05:59.123", "0001-01-01 14:05:59.123");
    row("zz two digits", "hh:nn:ss.zz", "14:05:59.12", "0001-01-01 14:05:59.012");
    row("zzz -01", "hh:nn:ss.zzz", "14:05:59.-01", "0");
    row("zzzz is zzz and a lone z", "zzzzss", "12345", "0001-01-01 00:00:45.123");

    // Day names: DDD skips three characters, DDDD the whole matched name.
    row("ddd skips three", "ddd dd.mm.yyyy", "Sun 06.12.2026", "2026-12-06 00:00:00.000");
    row("ddd does not check", "ddd dd.mm.yyyy", "xyz 06.12.2026", "2026-12-06 00:00:00.000");
    row("dddd whole name", "dddd dd.mm.yyyy", "Sunday 06.12.2026", "2026-12-06 00:00:00.000");
    row("dddd lower case", "dddd dd.mm.yyyy", "sunday 06.12.2026", "2026-12-06 00:00:00.000");
    row("dddd other weekday", "dddd dd.mm.yyyy", "Wednesday 06.12.2026", "2026-12-06 00:00:00.000");
    row("dddd abbreviation removes the whole name", "dddd dd.mm.yyyy", "Sun 06.12.2026", "0");
    row("dddd no match removes nothing", "dddd dd.mm.yyyy", "Xyz 06.12.2026", "0");
    row("ddddd is dddd and a lone d", "ddddd mm.yyyy", "Sunday 12.2026", "2026-12-01 00:00:00.000");
    row("dddd russian", "dddd dd.mm.yyyy", "воскресенье 06.12.2026", "2026-12-06 00:00:00.000",
        2026, "ru");
    row("dddd russian short day name", "dddd dd.mm.yyyy", "среда 06.12.2026",
        "2026-12-06 00:00:00.000", 2026, "ru");

    // Month names: both MMM and MMMM match the first three letters of the long names.
    row("mmm", "dd mmm yyyy", "06 Dec 2026", "2026-12-06 00:00:00.000");
    row("mmm lower case", "dd mmm yyyy", "06 dec 2026", "2026-12-06 00:00:00.000");
    row("mmm full name", "dd mmm yyyy", "06 December 2026", "0");
    row("mmm no match", "dd mmm yyyy", "06 Foo 2026", "0");
    row("mmm june, not july", "dd mmm yyyy", "06 Jun 2026", "2026-06-06 00:00:00.000");
    row("mmmm", "dd mmmm yyyy", "06 December 2026", "2026-12-06 00:00:00.000");
    row("mmmm short name", "dd mmmm yyyy", "06 May 2026", "2026-05-06 00:00:00.000");
    row("mmmm abbreviation removes the whole name", "dd mmmm yyyy", "06 Dec 2026", "0");
    row("mmm russian", "dd mmm yyyy", "06 дек 2026", "2026-12-06 00:00:00.000", 2026, "ru");
    row("mmm russian may", "dd mmm yyyy", "06 май 2026", "2026-05-06 00:00:00.000", 2026, "ru");
    row("mmm russian capital not folded", "dd mmm yyyy", "06 Дек 2026", "0", 2026, "ru");
    row("mmmm russian", "dd mmmm yyyy", "06 декабрь 2026", "2026-12-06 00:00:00.000", 2026, "ru");
    row("mmmm russian genitive", "dd mmmm yyyy", "06 марта 2026", "0202-03-06 00:00:00.000", 2026,
        "ru");
    row("mmm english text russian names", "dd mmm yyyy", "06 Dec 2026", "0", 2026, "ru");

    // Half-day markers.
    row("am pm", "hh:nn am", "09:30 PM", "0001-01-01 21:30:00.000");
    row("am am", "hh:nn am", "09:30 AM", "0001-01-01 09:30:00.000");
    row("am lower-case pm", "hh:nn am", "09:30 pm", "0001-01-01 21:30:00.000");
    row("am anything else is pm", "hh:nn am", "09:30 XM", "0001-01-01 21:30:00.000");
    row("am one character left", "hh:nn am", "09:30 A", "0001-01-01 21:30:00.000");
    row("am 12 pm", "hh:nn am", "12:30 PM", "0");
    row("am 12 am", "hh:nn am", "12:30 AM", "0001-01-01 12:30:00.000");
    row("amp", "hh:nn amp", "09:30 PM", "0001-01-01 21:30:00.000");
    row("ampm", "hh:nn ampm", "09:30 PM", "0001-01-01 21:30:00.000");
    row("ampm am", "hh:nn ampm", "09:30 AM", "0001-01-01 09:30:00.000");
    row("ap a", "hh:nn ap", "09:30 A", "0001-01-01 09:30:00.000");
    row("ap p", "hh:nn ap", "09:30 P", "0001-01-01 21:30:00.000");
    row("ap lower-case a", "hh:nn ap", "09:30 a", "0001-01-01 09:30:00.000");
    row("ap anything else", "hh:nn ap", "09:30 x", "0001-01-01 21:30:00.000");
    row("ap takes one character", "ap hh:nn", "P 09:30", "0001-01-01 21:30:00.000");
    row("text ran out after the half-day marker", "ap hh:nn", "P", "0");
    row("pm hour stays 16 bits", "hh:nn ap", "-5:30 P", "0001-01-01 07:30:00.000");
    row("ampm before a final letter", "hh:nnampma", "09:30PM", "0001-01-01 21:30:00.000");

    // Lone token letters read nothing and remove nothing; a literal removes one character.
    row("lone p", "hhpnn", "0930", "0001-01-01 09:30:00.000");
    row("literal instead", "hhxnn", "0930", "0001-01-01 09:00:00.000");
    row("lone d", "hhdnn", "0930", "0001-01-01 09:30:00.000");
    row("lone m", "mhh", "09", "0001-01-01 09:00:00.000");
    row("lone a", "ahh", "09", "0001-01-01 09:00:00.000");
    row("hhh is hh and a lone h", "hhh:nn", "09:30", "0001-01-01 09:30:00.000");
    row("two literals", "hh::nn", "09:30", "0001-01-01 09:00:00.000");
    row("cyrillic literal", "hhчnn", "09:30", "0001-01-01 09:30:00.000");

    // The last character of the text is never removed by a literal.
    row("literal keeps the last character", "hh:nn", "9:5", "0001-01-01 00:05:00.000");
    row("literals at the end of the text", "dd...hh", "0612", "0001-01-06 02:00:00.000");
    // The last character of the pattern never starts a step.
    row("pattern of one letter", "d", "06", "0001-01-01 00:00:00.000");
    row("pattern ends with a literal", "dd.", "06", "0001-01-06 00:00:00.000");
    row("empty pattern", "", "06.12.26 14:05", "0001-01-01 00:00:00.000");
}

void TestDateTimeParser::parse() {
    QFETCH(QString, pattern);
    QFETCH(QString, text);
    QFETCH(int, currentYear);
    QFETCH(QString, names);
    QFETCH(QString, expected);

    const double value = parseDateTime(pattern, text, context(currentYear, names));
    if (expected == QLatin1String("0"))
        QCOMPARE(value, 0.0);
    else
        QCOMPARE(dateTimeValueToText(value), expected);
    QCOMPARE(value, expectedValue(expected));
}

// The variant without a context reads the user's locale (the tests run with ru_RU).
void TestDateTimeParser::systemContextUsesLocaleNames() {
    QCOMPARE(QLocale::system().language(), QLocale::Russian);
    QCOMPARE(dateTimeValueToText(parseDateTime("dd mmmm yyyy", "06 декабрь 2026")),
             QStringLiteral("2026-12-06 00:00:00.000"));
    QCOMPARE(dateTimeValueToText(parseDateTime("dddd dd.mm.yyyy", "воскресенье 06.12.2026")),
             QStringLiteral("2026-12-06 00:00:00.000"));
    QCOMPARE(parseDateTime("dd mmm yyyy", "06 Dec 2026"), 0.0);
}

void TestDateTimeParser::systemContextUsesTodaysCentury() {
    const int century = QDate::currentDate().year() / 100 * 100;
    const double value = parseDateTime("dd.mm.yy hh:nn", "06.12.49 14:05");
    QCOMPARE(value, toDateTimeValue(QDate(century + 49, 12, 6), QTime(14, 5)));
    QCOMPARE(DateTimeContext::system().currentYear, QDate::currentDate().year());
}

void TestDateTimeParser::namesFromLocale() {
    const DateTimeNames russian = DateTimeNames::fromLocale(QLocale(QLocale::Russian));
    QCOMPARE(russian.longMonths, russianMonths);
    QCOMPARE(russian.longDays, russianDays);
    const DateTimeNames english = DateTimeNames::fromLocale(QLocale(QLocale::English));
    QCOMPARE(english.longMonths, englishMonths);
    QCOMPARE(english.longDays, englishDays);
}

// Names are told apart by three characters; the earlier one in the list wins.
void TestDateTimeParser::firstMatchingNameWins() {
    const DateTimeContext ctx{2026, {{"Alpha", "Alpine", "Gamma"}, {"Alpine", "Alpha"}}};
    QCOMPARE(dateTimeValueToText(parseDateTime("mmm", "alp", ctx)),
             QStringLiteral("0001-01-01 00:00:00.000"));
    QCOMPARE(dateTimeValueToText(parseDateTime("mmm", "gam", ctx)),
             QStringLiteral("0001-03-01 00:00:00.000"));
    // DDDD removes the first match's length: "Alpine" is six characters.
    QCOMPARE(dateTimeValueToText(parseDateTime("ddddmm", "Alpha12", ctx)),
             QStringLiteral("0001-02-01 00:00:00.000"));
}

QTEST_GUILESS_MAIN(TestDateTimeParser)
#include "tst_datetimeparser.moc"
