#include "sync/datetimeparser.h"

#include "core/datetimevalue.h"

#include <QDate>
#include <QStringView>
#include <QTime>

#include <algorithm>
#include <array>
#include <limits>
#include <optional>

namespace domiva {

DateTimeNames DateTimeNames::fromLocale(const QLocale& locale) {
    DateTimeNames names;
    for (int month = 1; month <= 12; ++month)
        names.longMonths << locale.standaloneMonthName(month, QLocale::LongFormat);
    // Qt counts Monday as 1 and Sunday as 7; the list starts with Sunday.
    names.longDays << locale.standaloneDayName(Qt::Sunday, QLocale::LongFormat);
    for (int day = Qt::Monday; day <= Qt::Saturday; ++day)
        names.longDays << locale.standaloneDayName(day, QLocale::LongFormat);
    return names;
}

DateTimeContext DateTimeContext::system() {
    return {QDate::currentDate().year(), DateTimeNames::fromLocale(QLocale::system())};
}

namespace {

enum class Token {
    DD,
    DDD,
    DDDD,
    MM,
    MMM,
    MMMM,
    YY,
    YYY,
    YYYY,
    HH,
    NN,
    SS,
    ZZ,
    ZZZ,
    AP,
    AM,
    AMP,
    AMPM,
};

struct TokenName {
    QStringView text;
    Token token;
};

constexpr std::array<TokenName, 18> tokenNames{{
    {u"DD", Token::DD},
    {u"DDD", Token::DDD},
    {u"DDDD", Token::DDDD},
    {u"MM", Token::MM},
    {u"MMM", Token::MMM},
    {u"MMMM", Token::MMMM},
    {u"YY", Token::YY},
    {u"YYY", Token::YYY},
    {u"YYYY", Token::YYYY},
    {u"HH", Token::HH},
    {u"NN", Token::NN},
    {u"SS", Token::SS},
    {u"ZZ", Token::ZZ},
    {u"ZZZ", Token::ZZZ},
    {u"AP", Token::AP},
    {u"AM", Token::AM},
    {u"AMP", Token::AMP},
    {u"AMPM", Token::AMPM},
}};

std::optional<Token> findToken(QStringView text) {
    for (const TokenName& name : tokenNames) {
        if (name.text == text)
            return name.token;
    }
    return std::nullopt;
}

// P is a token letter although no token starts with it: a P of its own is swallowed
// silently instead of skipping a character of the text as a literal would.
bool isTokenLetter(QChar c) {
    switch (c.unicode()) {
    case u'A':
    case u'D':
    case u'H':
    case u'M':
    case u'N':
    case u'P':
    case u'S':
    case u'Y':
    case u'Z':
        return true;
    default:
        return false;
    }
}

// Only a to z: Cyrillic month names keep their case and so match only as written.
QString upperAscii(QString text) {
    for (QChar& c : text) {
        if (c >= u'a' && c <= u'z')
            c = QChar(c.unicode() - (u'a' - u'A'));
    }
    return text;
}

// Blanks and control characters, as a plain trim of single-byte text removes them.
QStringView trimControl(QStringView text) {
    while (!text.isEmpty() && text.front().unicode() <= 32)
        text = text.mid(1);
    while (!text.isEmpty() && text.back().unicode() <= 32)
        text.chop(1);
    return text;
}

// Leading spaces, an optional sign, then decimal digits and nothing else; anything else
// (an empty text too) reads as 0.
qint64 wholeNumberOrZero(QStringView text) {
    qsizetype pos = 0;
    while (pos < text.size() && text[pos] == u' ')
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
        negative = text[pos] == u'-';
        ++pos;
    }
    if (pos == text.size())
        return 0;
    qint64 value = 0;
    for (; pos < text.size(); ++pos) {
        const char16_t c = text[pos].unicode();
        if (c < u'0' || c > u'9')
            return 0;
        if (value > (std::numeric_limits<qint64>::max() - 9) / 10)
            return 0;
        value = value * 10 + (c - u'0');
    }
    return negative ? -value : value;
}

// The working fields are 16 bits wide: only the low 16 bits of a value are kept, so -1
// becomes 65535 (and the date then fails validation).
quint16 low16(qint64 value) {
    return static_cast<quint16>(value);
}

QChar upperAscii(QChar c) {
    return c >= u'a' && c <= u'z' ? QChar(c.unicode() - (u'a' - u'A')) : c;
}

// The text still to be read, looked at as upper case (ASCII letters only) where case matters.
class Reader {
public:
    Reader(QStringView text, const DateTimeContext& ctx) : m_text(text), m_ctx(ctx) {}

    bool atEnd() const { return m_text.isEmpty(); }

    // A literal of the pattern stands for one character of the text, whatever it is; the
    // last character of the text is never consumed by a literal.
    void skipLiteral() {
        if (m_text.size() >= 2)
            m_text = m_text.mid(1);
    }

    void skip(qsizetype count) { m_text = m_text.mid(std::min(count, m_text.size())); }

    quint16 number(qsizetype count, bool trimmed) {
        QStringView head = m_text.left(count);
        if (trimmed)
            head = trimControl(head);
        const quint16 value = low16(wholeNumberOrZero(head));
        skip(count);
        return value;
    }

    quint16 yearOfTwoDigits() {
        const quint16 twoDigits = number(2, false);
        const int century = 100 * (m_ctx.currentYear / 100);
        return low16(twoDigits < 50 ? century + twoDigits : century - 100 + twoDigits);
    }

    // Names are told apart by their first three characters only. Returns the 0-based index
    // of the first name that matches, and how long that name is.
    std::optional<std::pair<int, qsizetype>> matchName(const QStringList& names) const {
        const QString head = upperAscii(m_text.left(3).toString());
        for (int i = 0; i < names.size(); ++i) {
            const QString name = upperAscii(names.at(i));
            if (QStringView(name).left(3) == head)
                return std::pair{i, name.size()};
        }
        return std::nullopt;
    }

    // The half-day marker: -1 for AM, +1 for anything else.
    int halfDay(qsizetype count) {
        const QStringView am = QStringView(u"AM").left(count);
        const QStringView head = m_text.left(count);
        bool isAm = head.size() == am.size();
        for (qsizetype i = 0; isAm && i < head.size(); ++i)
            isAm = upperAscii(head[i]) == am[i];
        skip(count);
        return isAm ? -1 : 1;
    }

private:
    QStringView m_text;
    const DateTimeContext& m_ctx;
};

} // namespace

double parseDateTime(QString pattern, QString text) {
    return parseDateTime(pattern, text, DateTimeContext::system());
}

double parseDateTime(const QString& pattern, const QString& text, const DateTimeContext& ctx) {
    return DateTimePattern(pattern).parse(text, ctx);
}

DateTimePattern::DateTimePattern(const QString& patternIn) {
    const QString pattern = upperAscii(patternIn);
    // The last character of the pattern never starts a step; it can only end a token.
    qsizetype pos = 0;
    while (pos + 1 < pattern.size()) {
        if (!isTokenLetter(pattern.at(pos))) {
            m_steps.push_back({Step::Kind::Literal, 0});
            ++pos;
            continue;
        }
        qsizetype length = 1;
        while (pos + length < pattern.size() &&
               findToken(QStringView(pattern).mid(pos, length + 1)))
            ++length;
        const std::optional<Token> token = findToken(QStringView(pattern).mid(pos, length));
        pos += length;
        if (token)
            m_steps.push_back({Step::Kind::Token, static_cast<quint8>(*token)});
        else
            m_steps.push_back({Step::Kind::Letter, 0}); // a lone letter such as "D" or "P"
    }
}

double DateTimePattern::parse(QStringView text, const DateTimeContext& ctx) const {
    Reader reader(text, ctx);

    quint16 year = 1;
    quint16 month = 1;
    quint16 day = 1;
    quint16 hour = 0;
    quint16 minute = 0;
    quint16 second = 0;
    quint16 millisecond = 0;
    int halfDay = 0;

    for (const Step& step : m_steps) {
        if (step.kind == Step::Kind::Literal) {
            reader.skipLiteral();
            continue;
        }
        // A text shorter than its pattern is no valid date and time: an empty or cut-off date
        // field must not come out as some date of the year 1.
        if (reader.atEnd())
            return 0;
        if (step.kind == Step::Kind::Letter)
            continue; // reads nothing

        switch (static_cast<Token>(step.token)) {
        case Token::DD:
            day = reader.number(2, true);
            break;
        case Token::DDD:
            reader.skip(3);
            break;
        case Token::DDDD:
            if (const auto match = reader.matchName(ctx.names.longDays))
                reader.skip(match->second);
            break;
        case Token::MM:
            month = reader.number(2, true);
            break;
        case Token::MMM:
            if (const auto match = reader.matchName(ctx.names.longMonths)) {
                month = low16(match->first + 1);
                reader.skip(3);
            }
            break;
        case Token::MMMM:
            if (const auto match = reader.matchName(ctx.names.longMonths)) {
                month = low16(match->first + 1);
                reader.skip(match->second);
            }
            break;
        case Token::YY:
            year = reader.yearOfTwoDigits();
            break;
        case Token::YYY:
            break;
        case Token::YYYY:
            year = reader.number(4, false);
            break;
        case Token::HH:
            hour = reader.number(2, true);
            break;
        case Token::NN:
            minute = reader.number(2, true);
            break;
        case Token::SS:
            second = reader.number(2, true);
            break;
        case Token::ZZ:
        case Token::ZZZ:
            millisecond = reader.number(3, true);
            break;
        case Token::AP:
            halfDay = reader.halfDay(1);
            break;
        case Token::AM:
        case Token::AMP:
        case Token::AMPM:
            halfDay = reader.halfDay(2);
            break;
        }
    }

    // PM adds 12 to whatever hour was read, 12 included (12 PM fails validation); the sum
    // stays a 16-bit field.
    if (halfDay == 1)
        hour = low16(hour + 12);

    if (year < 1 || year > 9999 || !QDate::isValid(year, month, day))
        return 0;
    if (hour > 23 || minute > 59 || second > 59 || millisecond > 999)
        return 0;
    return toDateTimeValue(QDate(year, month, day), QTime(hour, minute, second, millisecond));
}

} // namespace domiva
