#include "core/datetimevalue.h"
#include "core/error.h"
#include "sync/feed.h"
#include "sync/feedfile.h"

#include <QBuffer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <optional>
#include <variant>

using namespace domiva;

namespace {

template <class... Ts> struct Overloaded : Ts... { using Ts::operator()...; };
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

// One line per record, so that the tables can state what a line reads as.
QString describe(const FeedRecord& record) {
    return std::visit(
        Overloaded{
            [](const OtherRecord&) { return QStringLiteral("other"); },
            [](const QueryRecord& r) { return QStringLiteral("R|%1|%2").arg(r.id).arg(r.name); },
            [](const OfferRecord& r) {
                QStringList parts{"D", r.id.toString()};
                for (const QStringView field : r.fields)
                    parts << field.toString();
                parts << (r.dateText ? "date:" + r.dateText->toString() : QStringLiteral("nodate"));
                return parts.join(u'|');
            },
            [](const RemovalRecord& r) { return QStringLiteral("Q|%1").arg(r.id); },
            [](const VersionRecord& r) { return "W|" + r.version; },
        },
        record);
}

QString readAsText(const QString& line) {
    try {
        return describe(readFeedRecord(line));
    } catch (const Error& e) {
        return "error: " + e.message();
    }
}

// What describe() gives for an offer; fields not named are empty.
QString offerText(const QString& id, QStringList fields, const std::optional<QString>& date) {
    while (fields.size() < qsizetype(OfferFieldCount))
        fields << QString();
    return (QStringList{"D", id} + fields + QStringList{date ? "date:" + *date : "nodate"})
        .join(u'|');
}

DateTimeContext context2026() {
    return {2026, DateTimeNames::fromLocale(QLocale(QLocale::Russian))};
}

} // namespace

class TestFeed : public QObject {
    Q_OBJECT

private slots:
    void decodeLines_data();
    void decodeLines();
    void decodeIsWindows1251();
    void splitFields_data();
    void splitFields();
    void readRecord_data();
    void readRecord();
    void offerFieldsInColumnOrder();
    void newVersion_data();
    void newVersion();
    void offerDateFromField13();
    void offerDateSystemContext();
    void wholeFeed();
    void feedFileLineEnds_data();
    void feedFileLineEnds();
    void feedFileFollowsNoLink();
};

void TestFeed::decodeLines_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("lines");

    QTest::newRow("empty body") << QByteArray() << QStringList{};
    QTest::newRow("one line, no break") << QByteArray("R#5#x") << QStringList{"R#5#x"};
    QTest::newRow("crlf") << QByteArray("a\r\nb") << QStringList{"a", "b"};
    QTest::newRow("lone cr") << QByteArray("a\rb") << QStringList{"a", "b"};
    QTest::newRow("lone lf") << QByteArray("a\nb") << QStringList{"a", "b"};
    QTest::newRow("mixed") << QByteArray("a\rb\nc\r\nd") << QStringList{"a", "b", "c", "d"};
    QTest::newRow("final crlf adds no line") << QByteArray("a\r\nb\r\n") << QStringList{"a", "b"};
    QTest::newRow("final lf adds no line") << QByteArray("a\n") << QStringList{"a"};
    QTest::newRow("final cr adds no line") << QByteArray("a\r") << QStringList{"a"};
    QTest::newRow("empty line before the end") << QByteArray("a\r\n\r\n") << QStringList{"a", ""};
    QTest::newRow("only a break") << QByteArray("\r\n") << QStringList{""};
    QTest::newRow("empty inner line") << QByteArray("a\n\nb") << QStringList{"a", "", "b"};
    QTest::newRow("lf cr is two breaks") << QByteArray("a\n\rb") << QStringList{"a", "", "b"};
    QTest::newRow("cr cr lf is two breaks") << QByteArray("a\r\r\nb") << QStringList{"a", "", "b"};
    QTest::newRow("blanks kept") << QByteArray(" a \r\n b") << QStringList{" a ", " b"};
    QTest::newRow("zero byte kept")
        << QByteArray("a\0b\r\nc", 6) << QStringList{QString("a") + QChar(0) + "b", "c"};
    QTest::newRow("cyrillic") << QByteArray("R#5#\xCA\xE2\xE0\xF0\xF2\xE8\xF0\xFB\r\nD#1#\xB8\xA8")
                              << QStringList{"R#5#Квартиры", "D#1#ёЁ"};
    QTest::newRow("quotes verbatim")
        << QByteArray("R#5#\"q\"\r\nD#\"77\"") << QStringList{"R#5#\"q\"", "D#\"77\""};
    // A record longer than the limit is skipped whole, its line end with it.
    const QByteArray longest(maxFeedLineBytes, 'x');
    QTest::newRow("record at the limit kept")
        << QByteArray("a\r\n" + longest + "\r\nb") << QStringList{"a", longest, "b"};
    QTest::newRow("records over the limit skipped")
        << QByteArray(longest + "y\nb\r\n" + longest + longest + "\r\nc\r" + longest + "z")
        << QStringList{"b", "c"};
}

void TestFeed::decodeLines() {
    QFETCH(QByteArray, body);
    QFETCH(QStringList, lines);
    QCOMPARE(decodeFeedLines(body), lines);
    // Read from the feed file a few bytes at a time, a CR LF split between two reads
    // included: the same lines.
    for (const qsizetype chunk : {1, 2, 3}) {
        QBuffer file(&body);
        QVERIFY(file.open(QIODevice::ReadOnly));
        FeedLineReader reader(file, chunk);
        QStringList read;
        while (!reader.atEnd())
            read << reader.next();
        QCOMPARE(read, lines);
    }
}

// Every byte is one character of code page 1251, 0x98 (unassigned there) included.
void TestFeed::decodeIsWindows1251() {
    QByteArray body;
    for (int byte = 0x20; byte < 0x100; ++byte)
        body.append(char(byte));
    const QStringList lines = decodeFeedLines(body);
    QCOMPARE(lines.size(), 1);
    const QString text = lines.front();
    QCOMPARE(text.size(), 0x100 - 0x20);
    auto at = [&](int byte) { return text.at(byte - 0x20).unicode(); };
    QCOMPARE(at('A'), u'A');
    QCOMPARE(at(0xC0), u'А');
    QCOMPARE(at(0xFF), u'я');
    QCOMPARE(at(0xA8), u'Ё');
    QCOMPARE(at(0xB8), u'ё');
    QCOMPARE(at(0xB9), u'№');
    QCOMPARE(at(0x88), u'€');
    QCOMPARE(at(0x98), char16_t(0x98));
    QVERIFY(!text.contains(QChar::ReplacementCharacter));
}

void TestFeed::splitFields_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("fields");

    QTest::newRow("empty line") << "" << QStringList{};
    QTest::newRow("one field") << "D" << QStringList{"D"};
    QTest::newRow("two fields") << "D#5" << QStringList{"D", "5"};
    QTest::newRow("final # opens no field") << "D#5#" << QStringList{"D", "5"};
    QTest::newRow("final ## opens one") << "D#5##" << QStringList{"D", "5", ""};
    QTest::newRow("inner empty field") << "R##x" << QStringList{"R", "", "x"};
    QTest::newRow("lone #") << "#" << QStringList{""};
    QTest::newRow("##") << "##" << QStringList{"", ""};
    QTest::newRow("empty field 0") << "#x" << QStringList{"", "x"};
    QTest::newRow("no trimming") << " a # b " << QStringList{" a ", " b "};
    QTest::newRow("quotes kept") << "\"a\"#'b'" << QStringList{"\"a\"", "'b'"};
    QTest::newRow("cyrillic") << "R#5#Квартиры у метро"
                              << QStringList{"R", "5", "Квартиры у метро"};
}

void TestFeed::splitFields() {
    QFETCH(QString, line);
    QFETCH(QStringList, fields);
    QCOMPARE(splitFeedFields(line), fields);
}

void TestFeed::readRecord_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("expected");

    auto row = [](const char* name, const QString& line, const QString& expected) {
        QTest::newRow(name) << line << expected;
    };

    // Query records.
    row("R#5 has two fields", "R#5", "error: Запись запроса без названия: \"R#5\"");
    row("R#5# has two fields", "R#5#", "error: Запись запроса без названия: \"R#5#\"");
    row("R#5## empty name", "R#5##", "R|5|");
    row("query", "R#5#Квартиры", "R|5|Квартиры");
    row("query surplus fields", "R#5#name#x#y", "R|5|name");
    row("query type letter only counts", "Rubric#5#name", "R|5|name");
    row("query name verbatim", "R#5# \"a\" b ", "R|5| \"a\" b ");
    row("query name with double quote", "R#5#say \"hi", "R|5|say \"hi");
    row("query id plus", "R#+5#x", "R|5|x");
    row("query id minus", "R#-5#x", "R|-5|x");
    row("query id leading zeros", "R#007#x", "R|7|x");
    row("query id max", "R#2147483647#x", "R|2147483647|x");
    row("query id min", "R#-2147483648#x", "R|-2147483648|x");
    row("query id zero", "R#0#x", "R|0|x");
    row("query id max + 1", "R#2147483648#x", "error: Неверный номер запроса: \"2147483648\"");
    row("query id min - 1", "R#-2147483649#x", "error: Неверный номер запроса: \"-2147483649\"");
    row("query id huge", "R#99999999999999999999#x",
        "error: Неверный номер запроса: \"99999999999999999999\"");
    row("query id empty", "R##x", "error: Неверный номер запроса: \"\"");
    row("query id letters", "R#abc#x", "error: Неверный номер запроса: \"abc\"");
    row("query id leading blank", "R# 5#x", "error: Неверный номер запроса: \" 5\"");
    row("query id trailing blank", "R#5 #x", "error: Неверный номер запроса: \"5 \"");
    row("query id hex", "R#0x10#x", "error: Неверный номер запроса: \"0x10\"");
    row("query id exponent", "R#1e3#x", "error: Неверный номер запроса: \"1e3\"");
    row("query id fraction", "R#1.0#x", "error: Неверный номер запроса: \"1.0\"");
    row("query id sign only", "R#-#x", "error: Неверный номер запроса: \"-\"");
    row("query id two signs", "R#+-5#x", "error: Неверный номер запроса: \"+-5\"");
    row("query id non-ascii digit", "R#٣#x", "error: Неверный номер запроса: \"٣\"");
    row("query id with quote", "R#5\"#x", "error: Неверный номер запроса: \"5\"\"");
    row("long id is shortened in the message", "R#" + QString(300, u'z') + "#x",
        "error: Неверный номер запроса: \"" + QString(200, u'z') + "\"…");
    row("lower-case r skipped", "r#5#x", "other");

    // Removals.
    row("removal", "Q#5", "Q|5");
    row("removal surplus fields", "Q#5#x", "Q|5");
    row("removal negative", "Q#-12", "Q|-12");
    row("removal bad id", "Q#abc", "error: Неверный номер запроса: \"abc\"");
    row("removal empty id", "Q##", "error: Неверный номер запроса: \"\"");
    row("removal one field", "Q#", "other");

    // Offers.
    row("D#77", "D#77", offerText("77", {}, {}));
    row("D#77#", "D#77#", offerText("77", {}, {}));
    row("d#77 skipped", "d#77", "other");
    row("Dummy#77", "Dummy#77", offerText("77", {}, {}));
    row("offer some fields", "D#77#a#b", offerText("77", {"a", "b"}, {}));
    row("offer twelve fields", "D#1#2#3#4#5#6#7#8#9#10#11#12",
        "D|1|2|3|4|5|6|7|8|9|10|11|12|nodate");
    row("offer with date", "D#1#2#3#4#5#6#7#8#9#10#11#12#06.12.26 14:05",
        "D|1|2|3|4|5|6|7|8|9|10|11|12|date:06.12.26 14:05");
    row("offer with empty date", "D#1#2#3#4#5#6#7#8#9#10#11#12##",
        "D|1|2|3|4|5|6|7|8|9|10|11|12|date:");
    row("offer with 20 fields",
        "D#1#2#3#4#5#6#7#8#9#10#11#12#06.12.26 14:05#x14#x15#x16#x17#x18#x19",
        "D|1|2|3|4|5|6|7|8|9|10|11|12|date:06.12.26 14:05");
    row("offer empty inner fields", "D#1##3###7", offerText("1", {"", "3", "", "", "7"}, {}));
    row("offer verbatim", "D# \"77\" # a ", offerText(" \"77\" ", {" a "}, {}));
    row("offer empty id", "D##x", offerText("", {"x"}, {}));
    row("offer one field", "D", "other");
    row("offer lone #", "D#", "other");

    // Version notices.
    row("W#0.0.1", "W#0.0.1", "W|0.0.1");
    row("W#0.0.1#", "W#0.0.1#", "W|0.0.1");
    row("W#0.0.2", "W#0.0.2", "W|0.0.2");
    row("W#0.0.0", "W#0.0.0", "W|0.0.0");
    row("version empty", "W##", "W|");
    row("version one field", "W", "other");

    // Everything else.
    row("A#x", "A#x", "other");
    row("V#x", "V#x", "other");
    row("unknown type", "Z#1#2", "other");
    row("cyrillic type", "Д#77", "other");
    row("empty field 0", "#x", "other");
    row("empty field 0 before a query", "#R#5", "other");
    row("empty line", "", "other");
    row("lone #", "#", "other");
    row("no separator", "R", "other");
}

void TestFeed::readRecord() {
    QFETCH(QString, line);
    QFETCH(QString, expected);
    QCOMPARE(readAsText(line), expected);
}

// Field 2 is min_obj and field 12 publ_obj; the cycle stores them by these positions.
void TestFeed::offerFieldsInColumnOrder() {
    const FeedRecord record = readFeedRecord("D#id#min#metro#room#kitch#price#perc#flat#info#"
                                             "cont#owntxt#publ#01.02.03 04:05");
    const auto* offer = std::get_if<OfferRecord>(&record);
    QVERIFY(offer);
    QCOMPARE(offer->id, QStringLiteral("id"));
    for (std::size_t i = 0; i < OfferFieldCount; ++i) {
        const QString column = QString::fromLatin1(offerFieldColumns[i]);
        QCOMPARE(column, QStringLiteral("%1_obj").arg(offer->fields[i].toString()));
    }
    QCOMPARE(offer->fields[MinObj], QStringLiteral("min"));
    QCOMPARE(offer->fields[OwntxtObj], QStringLiteral("owntxt"));
    QCOMPARE(offer->fields[PublObj], QStringLiteral("publ"));
}

void TestFeed::newVersion_data() {
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("isNew");

    QTest::newRow("same") << "0.0.1" << false;
    QTest::newRow("newer") << "0.0.2" << true;
    QTest::newRow("older") << "0.0.0" << true;
    QTest::newRow("empty") << "" << true;
    QTest::newRow("trailing blank") << "0.0.1 " << true;
    QTest::newRow("leading blank") << " 0.0.1" << true;
    QTest::newRow("longer") << "0.0.10" << true;
    QTest::newRow("shorter") << "0.0." << true;
}

void TestFeed::newVersion() {
    QFETCH(QString, version);
    QFETCH(bool, isNew);
    QCOMPARE(isNewVersion(VersionRecord{version}), isNew);
    // As the line reads.
    const FeedRecord record = readFeedRecord("W#" + version + "#ignored");
    QVERIFY(std::holds_alternative<VersionRecord>(record));
    QCOMPARE(isNewVersion(std::get<VersionRecord>(record)), isNew);
}

void TestFeed::offerDateFromField13() {
    const DateTimeContext ctx = context2026();
    const double now = 45000.25;
    auto offer = [](const QString& line) { return std::get<OfferRecord>(readFeedRecord(line)); };
    const QString eleven = "#a#b#c#d#e#f#g#h#i#j#k#";

    QCOMPARE(offerDate(offer("D#1"), now, ctx), now);
    QCOMPARE(offerDate(offer("D#1" + eleven), now, ctx), now);
    QCOMPARE(offerDate(offer("D#1" + eleven + "06.12.26 14:05"), now, ctx),
             toDateTimeValue(QDate(2026, 12, 6), QTime(14, 5)));
    QCOMPARE(offerDate(offer("D#1" + eleven + "31.12.99 23:59#x"), now, ctx),
             toDateTimeValue(QDate(1999, 12, 31), QTime(23, 59)));
    QCOMPARE(offerDate(offer("D#1" + eleven + "31.02.26 10:00"), now, ctx), 0.0);
    QCOMPARE(offerDate(offer("D#1" + eleven + "вчера"), now, ctx), 0.0);
    // An empty field 13 is no date: 0, not some day of the year 1.
    QCOMPARE(offerDate(offer("D#1" + eleven + "#x"), now, ctx), 0.0);
}

void TestFeed::offerDateSystemContext() {
    const double now = 45000.25;
    QCOMPARE(offerDate(OfferRecord{}, now), now);
    OfferRecord dated;
    dated.dateText = u"06.12.49 14:05";
    const int century = QDate::currentDate().year() / 100 * 100;
    QCOMPARE(offerDate(dated, now), toDateTimeValue(QDate(century + 49, 12, 6), QTime(14, 5)));
}

// A feed as it comes from the server, read line by line as the cycle applies it.
void TestFeed::wholeFeed() {
    const QByteArray body = "W#0.0.1\r\n"
                            "R#3#\xCC\xE5\xF2\xF0\xEE\r\n" // Метро
                            "D#a1#5 \xEC\xE8\xED#\xD1\xEE\xEA\xEE\xEB#2####9/12#####"
                            "01.12.26 09:15\r\n"
                            "\r\n"
                            "A#42\n"
                            "Q#3\r"
                            "R#x#bad\r\n"
                            "D#never-read\r\n";
    const QStringList lines = decodeFeedLines(body);
    QCOMPARE(lines.size(), 8);

    QStringList read;
    try {
        for (const QString& line : lines)
            read << describe(readFeedRecord(line));
        QFAIL("the bad query id was accepted");
    } catch (const Error& e) {
        QCOMPARE(e.message(), QStringLiteral("Неверный номер запроса: \"x\""));
    }
    QCOMPARE(read, (QStringList{"W|0.0.1", "R|3|Метро",
                                offerText("a1", {"5 мин", "Сокол", "2", "", "", "", "9/12"},
                                          "01.12.26 09:15"),
                                "other", "other", "Q|3"}));
}

void TestFeed::feedFileLineEnds_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("crLfLines");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("empty") << QByteArray() << true << QByteArray();
    QTest::newRow("last line ended") << QByteArray("a") << true << QByteArray("a\r\n");
    QTest::newRow("each end becomes crlf")
        << QByteArray("a\nb\rc\r\nd") << true << QByteArray("a\r\nb\r\nc\r\nd\r\n");
    QTest::newRow("first line empty") << QByteArray("\nb") << true << QByteArray("\r\nb\r\n");
    QTest::newRow("lf cr is two ends")
        << QByteArray("a\n\rb") << true << QByteArray("a\r\n\r\nb\r\n");
    QTest::newRow("cr cr lf is two ends")
        << QByteArray("a\r\r\n") << true << QByteArray("a\r\n\r\n");
    QTest::newRow("zero byte kept") << QByteArray("a\0b", 3) << true << QByteArray("a\0b\r\n", 5);
    QTest::newRow("byte for byte") << QByteArray("a\nb\r") << false << QByteArray("a\nb\r");
}

// The answer arrives in pieces of any size, a CR LF split between two of them included.
void TestFeed::feedFileLineEnds() {
    QFETCH(QByteArray, body);
    QFETCH(bool, crLfLines);
    QFETCH(QByteArray, stored);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quInet.txt"));
    // A file found there, readable by everyone, is the user's alone once written.
    QFile(path).open(QIODevice::WriteOnly);
    QVERIFY(QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ReadOther));
    for (const qsizetype piece : {qsizetype(1), qsizetype(2), body.size() + 1}) {
        FeedFileWriter writer(path, crLfLines);
        // What came before a new response is dropped.
        QVERIFY(writer.write("stale\r", 6));
        QVERIFY(writer.restart());
        for (qsizetype at = 0; at < body.size(); at += piece)
            QVERIFY(writer.write(body.constData() + at, std::min(piece, body.size() - at)));
        QIODevice& written = writer.finish();
        QCOMPARE(writer.bodySize(), body.size());
        QCOMPARE(written.readAll(), stored);
        QVERIFY(!(QFile::permissions(path) & (QFileDevice::ReadGroup | QFileDevice::ReadOther)));
    }
}

// A link planted under the feed file's name lends the server's answer to nobody.
void TestFeed::feedFileFollowsNoLink() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quInet.txt"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")), path));
    FeedFileWriter writer(path, true);
    QVERIFY(!writer.write("R#1#a", 5));
    QVERIFY_THROWS_EXCEPTION(Error, writer.finish());
    QVERIFY(QFileInfo(path).isSymLink());
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("elsewhere"))));
}

QTEST_GUILESS_MAIN(TestFeed)
#include "tst_feed.moc"
