// Address splitting and the encodings that build a request.
#include "sync/formclient.h"
#include "sync/formencoding.h"
#include "sync/postform.h"

#include <QStringEncoder>
#include <QTest>

using namespace domiva;

namespace {

QByteArray cp1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    return encoder.encode(text);
}

} // namespace

class TestTransportEncoding : public QObject {
    Q_OBJECT
private slots:
    void hostFromUrl_data();
    void hostFromUrl();
    void objectNameFromUrl_data();
    void objectNameFromUrl();
    void formEncode_data();
    void formEncode();
    void formEncodeEveryByte();
    void percentEncodeSegment_data();
    void percentEncodeSegment();
    void formBody_data();
    void formBody();
    void headerSafe_data();
    void headerSafe();
};

void TestTransportEncoding::hostFromUrl_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("host");
    QTest::newRow("download address") << "http://example.org/db/demo/get20.txt"
                                      << "example.org";
    QTest::newRow("with port") << "http://127.0.0.1:8480/db/x/getall5.txt"
                               << "127.0.0.1:8480";
    QTest::newRow("no path: whole rest") << "http://example.org"
                                         << "example.org";
    QTest::newRow("only a slash after the host") << "http://example.org/"
                                                 << "example.org";
    QTest::newRow("upper-case prefix stays") << "HTTP://example.org/db"
                                             << "HTTP:";
    QTest::newRow("no prefix") << "example.org/db/x"
                               << "example.org";
    // "ftp://a" goes, and the text before the first "/" of the rest is empty.
    QTest::newRow("prefix elsewhere: first seven characters go") << "ftp://a/http://b/c"
                                                                 << "/http://b/c";
    QTest::newRow("empty host text: whole remainder") << "http:///db/x"
                                                      << "/db/x";
    QTest::newRow("only the prefix") << "http://"
                                     << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestTransportEncoding::hostFromUrl() {
    QFETCH(QString, url);
    QFETCH(QString, host);
    QCOMPARE(domiva::hostFromUrl(url), host);
}

void TestTransportEncoding::objectNameFromUrl_data() {
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("objectName");
    QTest::newRow("download address") << "http://example.org/db/x/get20.txt"
                                      << "db/x/get20.txt";
    QTest::newRow("with port") << "http://127.0.0.1:8480/db/x/getall5.txt"
                               << "db/x/getall5.txt";
    QTest::newRow("no path") << "http://example.org"
                             << "";
    QTest::newRow("host text also inside the prefix") << "http://http/db"
                                                      << "db";
    QTest::newRow("no prefix") << "example.org/db/x"
                               << "db/x";
    QTest::newRow("only the prefix") << "http://"
                                     << "http://";
}

void TestTransportEncoding::objectNameFromUrl() {
    QFETCH(QString, url);
    QFETCH(QString, objectName);
    QCOMPARE(domiva::objectNameFromUrl(url), objectName);
}

void TestTransportEncoding::formEncode_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("letters and digits") << QByteArray("kvaxAZaz09") << QByteArray("kvaxAZaz09");
    QTest::newRow("rd ids") << QByteArray(",3,17") << QByteArray("%2C3%2C17");
    QTest::newRow("blank") << QByteArray("a b") << QByteArray("a+b");
    QTest::newRow("ampersand and equals") << QByteArray("a&b=c") << QByteArray("a%26b%3Dc");
    QTest::newRow("unreserved are encoded too") << QByteArray("-._~") << QByteArray("%2D%2E%5F%7E");
    QTest::newRow("plus and percent") << QByteArray("+%") << QByteArray("%2B%25");
    QTest::newRow("zero byte") << QByteArray("a\0b", 3) << QByteArray("a%00b");
    QTest::newRow("cyrillic in cp1251")
        << cp1251(QStringLiteral("пароль")) << QByteArray("%EF%E0%F0%EE%EB%FC");
    QTest::newRow("high bytes upper-case hex") << QByteArray("\xff\xab") << QByteArray("%FF%AB");
}

void TestTransportEncoding::formEncode() {
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QCOMPARE(domiva::formEncode(in), out);
}

void TestTransportEncoding::formEncodeEveryByte() {
    // Every byte value: letters and digits alone stay, a blank is "+", the rest %XX and
    // decodes back to itself.
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const QByteArray encoded = domiva::formEncode(QByteArray(1, c));
        const bool plain =
            (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9');
        if (plain) {
            QCOMPARE(encoded, QByteArray(1, c));
        } else if (b == ' ') {
            QCOMPARE(encoded, QByteArray("+"));
        } else {
            QCOMPARE(encoded.size(), 3);
            QCOMPARE(encoded.at(0), '%');
            QCOMPARE(encoded.mid(1), encoded.mid(1).toUpper());
            QCOMPARE(QByteArray::fromPercentEncoding(encoded), QByteArray(1, c));
        }
    }
}

void TestTransportEncoding::percentEncodeSegment_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("plain login") << QByteArray("demo") << QByteArray("demo");
    QTest::newRow("segment characters stay")
        << QByteArray("a-._~!$&'()*+,;=:@z") << QByteArray("a-._~!$&'()*+,;=:@z");
    QTest::newRow("slash") << QByteArray("a/b") << QByteArray("a%2Fb");
    QTest::newRow("query and fragment") << QByteArray("a?b#c") << QByteArray("a%3Fb%23c");
    QTest::newRow("blank and percent") << QByteArray("a b%") << QByteArray("a%20b%25");
    QTest::newRow("cyrillic in cp1251")
        << cp1251(QStringLiteral("вася")) << QByteArray("%E2%E0%F1%FF");
    QTest::newRow("dot") << QByteArray(".") << QByteArray("%2E");
    QTest::newRow("dot dot") << QByteArray("..") << QByteArray("%2E%2E");
    QTest::newRow("dots in a name stay") << QByteArray("a..b") << QByteArray("a..b");
    QTest::newRow("three dots stay") << QByteArray("...") << QByteArray("...");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestTransportEncoding::percentEncodeSegment() {
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QCOMPARE(domiva::percentEncodeSegment(in), out);
}

void TestTransportEncoding::formBody_data() {
    QTest::addColumn<QByteArray>("pass");
    QTest::addColumn<QByteArray>("rd");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("empty rd") << QByteArray("kvax") << QByteArray() << QByteArray("pass=kvax&rd=&");
    QTest::newRow("two ids") << QByteArray("kvax") << QByteArray(",3,17")
                             << QByteArray("pass=kvax&rd=%2C3%2C17&");
    QTest::newRow("password with & blank and cyrillic")
        << cp1251(QStringLiteral("па & с")) << QByteArray()
        << QByteArray("pass=%EF%E0+%26+%F1&rd=&");
}

void TestTransportEncoding::formBody() {
    QFETCH(QByteArray, pass);
    QFETCH(QByteArray, rd);
    QFETCH(QByteArray, body);
    QCOMPARE(FormClient::formBody({{"pass", pass}, {"rd", rd}}), body);
}

void TestTransportEncoding::headerSafe_data() {
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("plain") << QByteArray("DomivaDesktop#0.0.1 #WININET")
                           << QByteArray("DomivaDesktop#0.0.1 #WININET");
    QTest::newRow("line break") << QByteArray("a\r\nX-Evil: 1") << QByteArray("a  X-Evil: 1");
    QTest::newRow("tab and delete") << QByteArray("a\tb\x7f") << QByteArray("a b ");
    QTest::newRow("utf-8 kept") << QByteArray("ОС") << QByteArray("ОС");
}

void TestTransportEncoding::headerSafe() {
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, out);
    QCOMPARE(domiva::headerSafe(in), out);
}

QTEST_GUILESS_MAIN(TestTransportEncoding)
#include "tst_transport_encoding.moc"
