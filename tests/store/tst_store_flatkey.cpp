// Telling one flat in two listings: the phones of a contact, whether two listings share a key,
// and how two prices compare.

#include "store/flatkey.h"

#include <QTest>

#include <algorithm>
#include <optional>

using namespace domiva;
using namespace Qt::StringLiterals;

namespace {

// "address|rooms|floor|contact"
std::vector<qint64> keysOf(const QString& listing) {
    const QStringList f = listing.split(u'|');
    return flatkey::keys({f.value(0), f.value(1), f.value(2), f.value(3)});
}

} // namespace

class TestFlatKey : public QObject {
    Q_OBJECT

private slots:
    void phones_data() {
        QTest::addColumn<QString>("contact");
        QTest::addColumn<QString>("expected");
        const QString one = u"9161234567"_s;
        QTest::newRow("dashes") << u"Ольга 8-916-123-45-67"_s << one;
        QTest::newRow("plus, brackets, blanks") << u"+7 (916) 123 45 67 агент"_s << one;
        QTest::newRow("run of digits") << u"89161234567"_s << one;
        QTest::newRow("dots") << u"т. 8.916.123.45.67"_s << one;
        QTest::newRow("seven digits") << u"тел 123-45-67"_s << u"1234567"_s;
        QTest::newRow("six digits are no phone") << u"кв 12-34-56"_s << QString();
        QTest::newRow("two phones")
            << u"8-916-123-45-67, 8 (495) 111-22-33"_s << u"9161234567,4951112233"_s;
        QTest::newRow("two phones, semicolon")
            << u"89161234567;84951112233"_s << u"9161234567,4951112233"_s;
        QTest::newRow("separator before a letter ends it")
            << u"123-45-67 - Ира, 765-43-21"_s << u"1234567,7654321"_s;
        QTest::newRow("no phone") << u"Агентство Этажи"_s << QString();
        QTest::newRow("two phones apart by a blank")
            << u"Ирина 8-916-123-45-67 8-926-765-43-21"_s << u"9161234567,9267654321"_s;
        QTest::newRow("a year after a full number") << u"89161234567 2024"_s << one;
        QTest::newRow("extension in brackets after a full number")
            << u"+7 (916) 123-45-67 (9-21)"_s << one;
        QTest::newRow("country code and groups by blanks") << u"7 916 123 45 67"_s << one;
        QTest::newRow("ten digits not after 7 or 8 are full") << u"916 123 45 67 21-05"_s << one;
        QTest::newRow("a group after a full number is a phone of its own")
            << u"89161234567 123-45-67"_s << u"9161234567,1234567"_s;
        QTest::newRow("short number goes on across blanks") << u"123 45 67 21"_s << u"123456721"_s;
        QTest::newRow("thin spaces") << u"8\u2009916\u2009123\u200945\u200967"_s << one;
        QTest::newRow("narrow no-break spaces")
            << u"+7\u202f(916)\u202f123\u202f45\u202f67"_s << one;
        QTest::newRow("ideographic space") << u"8\u3000916\u30001234567"_s << one;
        QTest::newRow("full-width digits") << u"８-９１６-１２３-４５-６７"_s << one;
        QTest::newRow("digits outside the basic plane")
            << u"\U0001D7D6\U0001D7D7\U0001D7DF\U0001D7D7\U0001D7DA\U0001D7D8\U0001D7D9"_s
            << u"8979201"_s;
    }
    void phones() {
        QFETCH(QString, contact);
        QFETCH(QString, expected);
        QCOMPARE(flatkey::phones(contact).join(u','), expected);
    }

    void sameFlat_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("same");
        const QString base = u"Тверская ул., 12|2|5/9|8-916-123-45-67"_s;
        QTest::newRow("identical") << base << base << true;
        QTest::newRow("address case, ё, punctuation, blanks")
            << u"Зелёная ул., д. 5|1|3/5|89161234567"_s << u"  зеленая  УЛ д 5|1|3/5|89161234567"_s
            << true;
        QTest::newRow("phone written otherwise")
            << base << u"Тверская ул., 12|2|5/9|+7 (916) 123 45 67"_s << true;
        QTest::newRow("one of two phones shared")
            << u"Тверская ул., 12|2|5/9|84951112233, 8-916-123-45-67"_s << base << true;
        QTest::newRow("another phone") << base << u"Тверская ул., 12|2|5/9|89167654321"_s << false;
        QTest::newRow("rooms trimmed, case") << u"Тверская ул., 12| 2К |5/9|89161234567"_s
                                             << u"Тверская ул., 12|2к|5/9|89161234567"_s << true;
        QTest::newRow("other rooms") << base << u"Тверская ул., 12|3|5/9|89161234567"_s << false;
        QTest::newRow("floor with words")
            << base << u"Тверская ул., 12|2| 5 / 9 эт.|89161234567"_s << true;
        QTest::newRow("other floor") << base << u"Тверская ул., 12|2|6/9|89161234567"_s << false;
        QTest::newRow("no phone, same contact text")
            << u"Арбат 1|1|2/5|Агентство «Этажи»"_s << u"арбат, 1|1|2/5|агентство этажи"_s << true;
        QTest::newRow("no phone, other contact")
            << u"Арбат 1|1|2/5|Этажи"_s << u"Арбат 1|1|2/5|Инком"_s << false;
        QTest::newRow("phone on one side only")
            << u"Арбат 1|1|2/5|Этажи"_s << u"Арбат 1|1|2/5|Этажи 89161234567"_s << false;
        QTest::newRow("empty address matches nothing")
            << u"|2|5/9|89161234567"_s << u"|2|5/9|89161234567"_s << false;
        QTest::newRow("address of marks only matches nothing")
            << u"--|2|5/9|89161234567"_s << u".|2|5/9|89161234567"_s << false;
        QTest::newRow("other address") << base << u"Тверская ул., 14|2|5/9|89161234567"_s << false;
        QTest::newRow("letters beyond Cyrillic, case")
            << u"ÄUßERE Straße 5|1|2/5|Агент Ö"_s << u"äußere straße, 5|1|2/5|агент ö"_s << true;
        QTest::newRow("non-breaking blank against a blank")
            << u"Арбат\u00a01|1|2/5|Этажи"_s << u"арбат 1|1|2/5|Этажи"_s << true;
        QTest::newRow("rooms trimmed of a non-breaking blank")
            << u"Арбат 1|\u00a02К\u00a0|2/5|89161234567"_s << u"Арбат 1|2к|2/5|89161234567"_s
            << true;
        QTest::newRow("Ё in the contact text")
            << u"Арбат 1|1|2/5|Агентство Ёлка"_s << u"Арбат 1|1|2/5|агентство елка"_s << true;
        QTest::newRow("letter outside the basic plane is no letter")
            << u"Арбат 1 \U0001D400|1|2/5|89161234567"_s << u"Арбат 1|1|2/5|89161234567"_s << true;
        QTest::newRow("second of two phones apart by a blank")
            << u"Тверская ул., 12|2|5/9|Ирина 8-916-765-43-21 8-916-123-45-67"_s
            << u"Тверская ул., 12|2|5/9|Ирина, +7 (916) 123-45-67"_s << true;
        QTest::newRow("first of two phones apart by a blank")
            << u"Тверская ул., 12|2|5/9|Ирина 8-916-123-45-67 8-926-765-43-21"_s
            << u"Тверская ул., 12|2|5/9|Ирина, +7 (916) 123-45-67"_s << true;
        QTest::newRow("a year after the phone")
            << base << u"Тверская ул., 12|2|5/9|89161234567 2024"_s << true;
        QTest::newRow("extension after the phone")
            << base << u"Тверская ул., 12|2|5/9|+7 (916) 123-45-67 (9-21)"_s << true;
        QTest::newRow("narrow no-break spaces in the phone")
            << base << u"Тверская ул., 12|2|5/9|8\u202f916\u202f123\u202f45\u202f67"_s << true;
        QTest::newRow("e and a combining diaeresis against ё")
            << u"Семе\u0308новская ул., 3|1|2/5|89161234567"_s
            << u"Семёновская ул. 3|1|2/5|89161234567"_s << true;
        QTest::newRow("ё beside a non-breaking blank against е")
            << u"Семёновская\u00a0ул., 3|1|2/5|89161234567"_s
            << u"семеновская ул 3|1|2/5|89161234567"_s << true;
        QTest::newRow("и and a combining breve against й in the contact text")
            << u"Арбат 1|1|2/5|Агентство «Серге\u0438\u0306»"_s
            << u"Арбат 1|1|2/5|агентство сергей"_s << true;
        QTest::newRow("full-width floor against ASCII")
            << u"Арбат 1|1|５/９|89161234567"_s << u"Арбат 1|1|5/9|89161234567"_s << true;
        QTest::newRow("full-width floors of other numbers")
            << u"Арбат 1|1|５/９|89161234567"_s << u"Арбат 1|1|７/８|89161234567"_s << false;
        QTest::newRow("Arabic-Indic digits in the address and rooms")
            << u"Арбат \u0661\u0662|\u0662|2/5|89161234567"_s << u"Арбат 12|2|2/5|89161234567"_s
            << true;
        QTest::newRow("empty floors match nothing")
            << u"Арбат 1|1||89161234567"_s << u"Арбат 1|1||89161234567"_s << false;
        QTest::newRow("floors without a digit match nothing")
            << u"Арбат 1|1|эт./|89161234567"_s << u"Арбат 1|1| / |89161234567"_s << false;
        QTest::newRow("long run of digits, last ten compared")
            << u"Арбат 1|1|2/5|0079161234567"_s << u"Арбат 1|1|2/5|89161234567"_s << true;
    }
    void sameFlat() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, same);
        const std::vector<qint64> left = keysOf(a);
        const std::vector<qint64> right = keysOf(b);
        QCOMPARE(std::any_of(left.begin(), left.end(),
                             [&right](qint64 key) {
                                 return std::find(right.begin(), right.end(), key) != right.end();
                             }),
                 same);
    }

    // The keys are stored in the files the client wrote: the same listing keeps the same keys
    // from one build to the next, or a file's history would match nothing any more.
    void keysAsStored_data() {
        QTest::addColumn<QString>("listing");
        QTest::addColumn<QList<qint64>>("expected");
        QTest::newRow("one phone")
            << u"Тверская ул., 12|2|5/9|8-916-123-45-67"_s << QList<qint64>{-947669208769646411};
        QTest::newRow("two phones, rooms and floor written loosely")
            << u"Зелёная ул., д. 5| 2К |5 / 9 эт.|+7 (916) 123 45 67, 8 (495) 111-22-33"_s
            << QList<qint64>{-3359801440889139111, 6753604130516071574};
        QTest::newRow("contact without a phone")
            << u"Арбат 1|1|2/5|Агентство «Этажи»"_s << QList<qint64>{-2555808349192561645};
        QTest::newRow("letters beyond Cyrillic")
            << u"ÄRBAT İstanbul \U0001D400 5|Студия|1/2|Straße"_s
            << QList<qint64>{-7670946169798485764};
        QTest::newRow("non-breaking blanks, a short phone and a long one")
            << u"  м. Сокольники,\u00a0ул. Садовая  |1\u00a0|3/9|тел 123-45-67 и 89161234567"_s
            << QList<qint64>{-7146712754173992581, 2980722137783715237};
        QTest::newRow("no address") << u"--|2|5/9|89161234567"_s << QList<qint64>{};
        QTest::newRow("no floor") << u"Арбат 1|2|эт.|89161234567"_s << QList<qint64>{};
    }
    void keysAsStored() {
        QFETCH(QString, listing);
        QFETCH(QList<qint64>, expected);
        const std::vector<qint64> keys = keysOf(listing);
        QCOMPARE(QList<qint64>(keys.begin(), keys.end()), expected);
    }

    void comparePrices_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("expected"); // 2: no comparison
        QTest::newRow("lower") << u"35 000 руб."_s << u"40000"_s << -1;
        QTest::newRow("higher") << u"40 000"_s << u"35 000 руб."_s << 1;
        QTest::newRow("equal, written otherwise") << u"35.000"_s << u"35 000 р"_s << 0;
        QTest::newRow("more digits is more") << u"100000"_s << u"99999"_s << 1;
        QTest::newRow("leading zeros") << u"0099"_s << u"100"_s << -1;
        QTest::newRow("longer than 64 bits")
            << u"123456789012345678901234567890"_s << u"123456789012345678901234567891"_s << -1;
        QTest::newRow("full-width digits") << u"３５ ０００"_s << u"40000"_s << -1;
        QTest::newRow("no digits") << u"договорная"_s << u"35000"_s << 2;
        QTest::newRow("empty") << u"35000"_s << QString() << 2;
    }
    void comparePrices() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, expected);
        QCOMPARE(flatkey::comparePrices(a, b).value_or(2), expected);
    }
};

QTEST_APPLESS_MAIN(TestFlatKey)
#include "tst_store_flatkey.moc"
