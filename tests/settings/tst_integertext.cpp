#include "settings/integertext.h"

#include <QTest>

#include <limits>

using domiva::leadingInteger;
using domiva::profileInteger;

namespace {
constexpr qint32 kMax = std::numeric_limits<qint32>::max();
constexpr qint32 kMin = std::numeric_limits<qint32>::min();
} // namespace

class TestIntegerText : public QObject {
    Q_OBJECT

private slots:
    void profileInteger_data();
    void profileInteger();
    void leadingInteger_data();
    void leadingInteger();
};

void TestIntegerText::profileInteger_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint32>("defaultValue");
    QTest::addColumn<qint32>("expected");

    QTest::newRow("decimal") << "42" << 300 << 42;
    QTest::newRow("zero, not the default") << "0" << 5 << 0;
    QTest::newRow("leading zeros") << "007" << 300 << 7;
    QTest::newRow("0x") << "0x3C" << 300 << 60;
    QTest::newRow("0X, lower-case digits") << "0X3c" << 300 << 60;
    QTest::newRow("0x0") << "0x0" << 1 << 0;
    QTest::newRow("0x alone") << "0x" << 300 << 300;
    QTest::newRow("0x bad digit") << "0x1G" << 300 << 300;
    QTest::newRow("0x then blank") << "0x 5" << 300 << 300;
    QTest::newRow("0x then sign") << "0x-5" << 300 << 300;
    QTest::newRow("0x with a sign before") << "-0x10" << 300 << 300;
    QTest::newRow("0x after a blank") << " 0x10" << 300 << 300;
    QTest::newRow("$") << "$FF" << 300 << 255;
    QTest::newRow("$ alone") << "$" << 300 << 300;
    QTest::newRow("-$") << "-$10" << 300 << -16;
    QTest::newRow("blanks, $") << "  $10" << 300 << 16;
    QTest::newRow("leading blanks") << " 42" << 300 << 42;
    QTest::newRow("trailing blank") << "42 " << 300 << 300;
    QTest::newRow("tab is no blank here") << "\t42" << 300 << 300;
    QTest::newRow("plus") << "+7" << 300 << 7;
    QTest::newRow("minus") << "-7" << 300 << -7;
    QTest::newRow("two signs") << "+-7" << 300 << 300;
    QTest::newRow("blank after sign") << "- 7" << 300 << 300;
    QTest::newRow("sign alone") << "-" << 300 << 300;
    QTest::newRow("empty") << "" << 300 << 300;
    QTest::newRow("trailing letters") << "5 min" << 300 << 300;
    QTest::newRow("word") << "yes" << 77 << 77;
    QTest::newRow("decimal point") << "1.5" << 300 << 300;
    QTest::newRow("largest") << "2147483647" << 300 << kMax;
    QTest::newRow("one too large") << "2147483648" << 300 << 300;
    QTest::newRow("smallest") << "-2147483648" << 300 << kMin;
    QTest::newRow("one too small") << "-2147483649" << 300 << 300;
    QTest::newRow("far too large") << "99999999999999999999999" << 300 << 300;
    QTest::newRow("largest hex") << "0x7FFFFFFF" << 300 << kMax;
    QTest::newRow("hex too large") << "0x80000000" << 300 << 300;
    QTest::newRow("$ too large") << "$FFFFFFFF" << 300 << 300;
    QTest::newRow("smallest hex") << "-$80000000" << 300 << kMin;
    QTest::newRow("other digits") << QString::fromUtf8("\u0664\u0662") << 300 << 300;
    QTest::newRow("full-width digits") << QString::fromUtf8("\uFF14\uFF12") << 300 << 300;
}

void TestIntegerText::profileInteger() {
    QFETCH(QString, text);
    QFETCH(qint32, defaultValue);
    QFETCH(qint32, expected);
    QCOMPARE(domiva::profileInteger(text, defaultValue), expected);
}

void TestIntegerText::leadingInteger_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint32>("expected");

    QTest::newRow("empty") << "" << 0;
    QTest::newRow("decimal") << "20" << 20;
    QTest::newRow("five digits") << "99999" << 99999;
    QTest::newRow("leading blanks, trailing letters") << "  42abc" << 42;
    QTest::newRow("stops at a blank") << "12 34" << 12;
    QTest::newRow("stops at a point") << "1.5" << 1;
    QTest::newRow("minus") << "-5" << -5;
    QTest::newRow("plus") << "+5" << 5;
    QTest::newRow("sign alone") << "-" << 0;
    QTest::newRow("letters") << "abc" << 0;
    QTest::newRow("$") << "$ff" << 255;
    QTest::newRow("$ alone") << "$" << 0;
    QTest::newRow("blanks, minus, $") << " -$10" << -16;
    QTest::newRow("0x") << "0x1F" << 31;
    QTest::newRow("0X, stops at z") << "0X1fz" << 31;
    QTest::newRow("minus 0x") << "-0x10" << -16;
    QTest::newRow("0x alone") << "0x" << 0;
    QTest::newRow("0x no digit") << "0xZ" << 0;
    QTest::newRow("decimal stops at x") << "10x5" << 10;
    QTest::newRow("largest") << "2147483647" << kMax;
    QTest::newRow("held at the top") << "2147483648" << kMax;
    QTest::newRow("far beyond the top") << "99999999999999999999" << kMax;
    QTest::newRow("smallest") << "-2147483648" << kMin;
    QTest::newRow("held at the bottom") << "-2147483649" << kMin;
    QTest::newRow("hex beyond the top") << "$FFFFFFFF" << kMax;
    QTest::newRow("other digits") << QString::fromUtf8("\u0663") << 0;
}

void TestIntegerText::leadingInteger() {
    QFETCH(QString, text);
    QFETCH(qint32, expected);
    QCOMPARE(domiva::leadingInteger(text), expected);
}

QTEST_GUILESS_MAIN(TestIntegerText)
#include "tst_integertext.moc"
