// Telling one flat in two listings: the normalised fields, the phones of a contact, the keys
// two listings share, and how two prices compare.

#include "store/flatkey.h"

#include <QTest>

#include <algorithm>
#include <optional>

using namespace domiva;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(std::optional<int>)

namespace {

// address, rooms, floor, contact
std::vector<qint64> keysOf(const QStringList& f) {
    return flatkey::keys({f.value(0), f.value(1), f.value(2), f.value(3)});
}

bool shareKey(const std::vector<qint64>& a, const std::vector<qint64>& b) {
    return std::any_of(a.begin(), a.end(),
                       [&b](qint64 key) { return std::find(b.begin(), b.end(), key) != b.end(); });
}

} // namespace

class TestFlatKey : public QObject {
    Q_OBJECT

private slots:
    void phones_data() {
        QTest::addColumn<QString>("contact");
        QTest::addColumn<QStringList>("expected");
        const QStringList one{u"9161234567"_s};
        QTest::newRow("dashes") << u"Ольга 8-916-123-45-67"_s << one;
        QTest::newRow("plus, brackets, blanks") << u"+7 (916) 123 45 67 агент"_s << one;
        QTest::newRow("run of digits") << u"89161234567"_s << one;
        QTest::newRow("dots") << u"т. 8.916.123.45.67"_s << one;
        QTest::newRow("seven digits") << u"тел 123-45-67"_s << QStringList{u"1234567"_s};
        QTest::newRow("six digits are no phone") << u"кв 12-34-56"_s << QStringList{};
        QTest::newRow("two phones") << u"8-916-123-45-67, 8 (495) 111-22-33"_s
                                    << QStringList{u"9161234567"_s, u"4951112233"_s};
        QTest::newRow("two phones, semicolon")
            << u"89161234567;84951112233"_s << QStringList{u"9161234567"_s, u"4951112233"_s};
        QTest::newRow("separator before a letter ends it")
            << u"123-45-67 - Ира, 765-43-21"_s << QStringList{u"1234567"_s, u"7654321"_s};
        QTest::newRow("no phone") << u"Агентство Этажи"_s << QStringList{};
        QTest::newRow("empty") << QString() << QStringList{};
    }
    void phones() {
        QFETCH(QString, contact);
        QFETCH(QStringList, expected);
        QCOMPARE(flatkey::phones(contact), expected);
    }

    void normalisedFields_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("address case, ё, punctuation")
            << u"address"_s << u"  Ул. Зелёная,  д.5-а! "_s << u"ул зеленая д 5 а"_s;
        QTest::newRow("address capital Ё") << u"address"_s << u"ЁЛКИ"_s << u"елки"_s;
        QTest::newRow("address of nothing but marks") << u"address"_s << u" ,.- "_s << QString();
        QTest::newRow("rooms") << u"rooms"_s << u"  2-Комн "_s << u"2-комн"_s;
        QTest::newRow("floor") << u"floor"_s << u" 5 / 9 эт."_s << u"5/9"_s;
    }
    void normalisedFields() {
        QFETCH(QString, kind);
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const QString actual = kind == u"address"_s ? flatkey::normalAddress(text)
                               : kind == u"rooms"_s ? flatkey::normalRooms(text)
                                                    : flatkey::normalFloor(text);
        QCOMPARE(actual, expected);
    }

    void sameFlat_data() {
        QTest::addColumn<QStringList>("a");
        QTest::addColumn<QStringList>("b");
        QTest::addColumn<bool>("same");
        const QStringList base{u"Тверская ул., 12"_s, u"2"_s, u"5/9"_s, u"8-916-123-45-67"_s};
        QTest::newRow("identical") << base << base << true;
        QTest::newRow("address case, ё, punctuation, blanks")
            << QStringList{u"Зелёная ул., д. 5"_s, u"1"_s, u"3/5"_s, u"89161234567"_s}
            << QStringList{u"  зеленая  УЛ д 5"_s, u"1"_s, u"3/5"_s, u"89161234567"_s} << true;
        QTest::newRow("phone written otherwise")
            << base << QStringList{u"Тверская ул., 12"_s, u"2"_s, u"5/9"_s, u"+7 (916) 123 45 67"_s}
            << true;
        QTest::newRow("one of two phones shared")
            << QStringList{u"Тверская ул., 12"_s, u"2"_s, u"5/9"_s,
                           u"84951112233, 8-916-123-45-67"_s}
            << base << true;
        QTest::newRow("another phone")
            << base << QStringList{u"Тверская ул., 12"_s, u"2"_s, u"5/9"_s, u"89167654321"_s}
            << false;
        QTest::newRow("rooms trimmed, case")
            << QStringList{u"Тверская ул., 12"_s, u" 2К "_s, u"5/9"_s, u"89161234567"_s}
            << QStringList{u"Тверская ул., 12"_s, u"2к"_s, u"5/9"_s, u"89161234567"_s} << true;
        QTest::newRow("other rooms")
            << base << QStringList{u"Тверская ул., 12"_s, u"3"_s, u"5/9"_s, u"89161234567"_s}
            << false;
        QTest::newRow("floor with words")
            << base << QStringList{u"Тверская ул., 12"_s, u"2"_s, u"5 / 9 эт"_s, u"89161234567"_s}
            << true;
        QTest::newRow("other floor")
            << base << QStringList{u"Тверская ул., 12"_s, u"2"_s, u"6/9"_s, u"89161234567"_s}
            << false;
        QTest::newRow("no phone, same contact text")
            << QStringList{u"Арбат 1"_s, u"1"_s, u"2/5"_s, u"Агентство «Этажи»"_s}
            << QStringList{u"арбат, 1"_s, u"1"_s, u"2/5"_s, u"агентство этажи"_s} << true;
        QTest::newRow("no phone, other contact")
            << QStringList{u"Арбат 1"_s, u"1"_s, u"2/5"_s, u"Этажи"_s}
            << QStringList{u"Арбат 1"_s, u"1"_s, u"2/5"_s, u"Инком"_s} << false;
        QTest::newRow("phone on one side only")
            << QStringList{u"Арбат 1"_s, u"1"_s, u"2/5"_s, u"Этажи"_s}
            << QStringList{u"Арбат 1"_s, u"1"_s, u"2/5"_s, u"Этажи 89161234567"_s} << false;
        QTest::newRow("empty address matches nothing")
            << QStringList{QString(), u"2"_s, u"5/9"_s, u"89161234567"_s}
            << QStringList{QString(), u"2"_s, u"5/9"_s, u"89161234567"_s} << false;
        QTest::newRow("address of marks only matches nothing")
            << QStringList{u"--"_s, u"2"_s, u"5/9"_s, u"89161234567"_s}
            << QStringList{u"."_s, u"2"_s, u"5/9"_s, u"89161234567"_s} << false;
        QTest::newRow("other address")
            << base << QStringList{u"Тверская ул., 14"_s, u"2"_s, u"5/9"_s, u"89161234567"_s}
            << false;
    }
    void sameFlat() {
        QFETCH(QStringList, a);
        QFETCH(QStringList, b);
        QFETCH(bool, same);
        QCOMPARE(shareKey(keysOf(a), keysOf(b)), same);
        QCOMPARE(shareKey(keysOf(b), keysOf(a)), same);
    }

    void comparePrices_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<std::optional<int>>("expected");
        QTest::newRow("lower") << u"35 000 руб."_s << u"40000"_s << std::optional<int>(-1);
        QTest::newRow("higher") << u"40 000"_s << u"35 000 руб."_s << std::optional<int>(1);
        QTest::newRow("equal, written otherwise")
            << u"35.000"_s << u"35 000 р"_s << std::optional<int>(0);
        QTest::newRow("more digits is more") << u"100000"_s << u"99999"_s << std::optional<int>(1);
        QTest::newRow("leading zeros") << u"0099"_s << u"100"_s << std::optional<int>(-1);
        QTest::newRow("longer than 64 bits")
            << u"123456789012345678901234567890"_s << u"123456789012345678901234567891"_s
            << std::optional<int>(-1);
        QTest::newRow("no digits") << u"договорная"_s << u"35000"_s << std::optional<int>();
        QTest::newRow("empty") << u"35000"_s << QString() << std::optional<int>();
    }
    void comparePrices() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(std::optional<int>, expected);
        QCOMPARE(flatkey::comparePrices(a, b), expected);
    }
};

QTEST_APPLESS_MAIN(TestFlatKey)
#include "tst_store_flatkey.moc"
