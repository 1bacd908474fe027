#include "demofeed.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <array>
#include <limits>
#include <span>

namespace domiva {

namespace {

// splitmix64: cheap, well mixed, and the same on every platform, so a seed means the same
// listings everywhere.
quint64 mix(quint64 x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The random stream of one purpose (salt) of one slot.
class Rng {
public:
    Rng(quint64 seed, qint64 serial, quint64 salt)
        : m_state(mix(seed ^ mix(static_cast<quint64>(serial) ^ mix(salt)))) {}

    quint64 next() {
        m_state += 0x9e3779b97f4a7c15ULL;
        return mix(m_state);
    }
    int below(int bound) { return static_cast<int>(next() % static_cast<quint64>(bound)); }
    int between(int low, int high) { return low + below(high - low + 1); }
    bool chance(int percent) { return below(100) < percent; }

    template <typename Range> decltype(auto) pick(const Range& items) {
        return items[static_cast<std::size_t>(below(static_cast<int>(std::size(items))))];
    }

private:
    quint64 m_state;
};

enum Salt : quint64 {
    SaltSearch = 1,
    SaltTime = 2,
    SaltContent = 3,
    SaltRepost = 4,
    SaltRepostForm = 5,
    SaltRepostKind = 6
};

// Now and then a slot posts an earlier listing of its search again: same flat, new id, the
// address or phone written another way, and often a lower price after a week without calls.
constexpr int repostPercent = 6;
constexpr int repostNearestSlots = 20;   // at least this far back ...
constexpr int repostFarthestSlots = 600; // ... and at most about this far

struct Place {
    const char* station;
    const char* street;
};

struct Profile {
    qint32 id;
    const char* name;
    int weight; // share of new listings
    bool sale;
    std::span<const char* const> rooms;
    int priceLow, priceHigh, priceStep;
    std::span<const Place> places;
    std::span<const int> floors;
};

constexpr std::array<Place, 15> north{{
    {"Сокол", "ул. Алабяна"},
    {"Сокол", "Балтийская ул."},
    {"Сокол", "Ленинградский пр-т"},
    {"Аэропорт", "ул. Черняховского"},
    {"Аэропорт", "ул. Усиевича"},
    {"Аэропорт", "Ленинградский пр-т"},
    {"Войковская", "Старопетровский пр-д"},
    {"Войковская", "ул. Зои и Александра Космодемьянских"},
    {"Речной вокзал", "Фестивальная ул."},
    {"Речной вокзал", "ул. Лавочкина"},
    {"Речной вокзал", "Смольная ул."},
    {"Водный стадион", "Головинское ш."},
    {"Водный стадион", "Кронштадтский б-р"},
    {"Динамо", "ул. Нижняя Масловка"},
    {"Динамо", "Петровско-Разумовская аллея"},
}};

constexpr std::array<Place, 12> southWest{{
    {"Беляево", "ул. Миклухо-Маклая"},
    {"Беляево", "ул. Островитянова"},
    {"Юго-Западная", "пр-т Вернадского"},
    {"Юго-Западная", "ул. 26-ти Бакинских Комиссаров"},
    {"Профсоюзная", "Нахимовский пр-т"},
    {"Профсоюзная", "ул. Дмитрия Ульянова"},
    {"Калужская", "ул. Обручева"},
    {"Калужская", "ул. Академика Челомея"},
    {"Новые Черёмушки", "ул. Гарибальди"},
    {"Новые Черёмушки", "Профсоюзная ул."},
    {"Академическая", "ул. Вавилова"},
    {"Академическая", "ул. Кедрова"},
}};

constexpr std::array<Place, 12> centre{{
    {"Таганская", "ул. Большие Каменщики"},
    {"Таганская", "Товарищеский пер."},
    {"Чистые пруды", "Покровский б-р"},
    {"Чистые пруды", "Потаповский пер."},
    {"Маяковская", "ул. 1-я Тверская-Ямская"},
    {"Маяковская", "Настасьинский пер."},
    {"Парк культуры", "Комсомольский пр-т"},
    {"Парк культуры", "ул. Тимура Фрунзе"},
    {"Бауманская", "Бауманская ул."},
    {"Бауманская", "Спартаковская ул."},
    {"Новослободская", "Новослободская ул."},
    {"Новослободская", "Долгоруковская ул."},
}};

constexpr std::array<Place, 12> eastSouth{{
    {"Щёлковская", "Щёлковское ш."},
    {"Щёлковская", "Уральская ул."},
    {"Выхино", "Рязанский пр-т"},
    {"Выхино", "Ферганская ул."},
    {"Марьино", "Братиславская ул."},
    {"Марьино", "Люблинская ул."},
    {"Отрадное", "ул. Декабристов"},
    {"Отрадное", "Алтуфьевское ш."},
    {"Медведково", "Студёный пр-д"},
    {"Медведково", "ул. Молодцова"},
    {"Кузьминки", "Волгоградский пр-т"},
    {"Кузьминки", "Зеленодольская ул."},
}};

constexpr std::array<Place, 10> west{{
    {"Кутузовская", "Кутузовский пр-т"},
    {"Кутузовская", "Студенческая ул."},
    {"Фили", "ул. Барклая"},
    {"Фили", "Новозаводская ул."},
    {"Парк Победы", "ул. Генерала Ермолова"},
    {"Парк Победы", "Кутузовский пр-т"},
    {"Славянский бульвар", "ул. Герасима Курина"},
    {"Славянский бульвар", "Славянский б-р"},
    {"Студенческая", "Большая Дорогомиловская ул."},
    {"Студенческая", "Украинский б-р"},
}};

constexpr std::array<int, 8> typicalFloors{5, 9, 9, 12, 14, 16, 17, 22};
constexpr std::array<int, 5> oldCentreFloors{4, 5, 6, 7, 8};
constexpr std::array<int, 5> westFloors{9, 12, 14, 17, 24};

constexpr std::array<const char*, 1> oneRoom{"1"};
constexpr std::array<const char*, 1> twoRooms{"2"};
constexpr std::array<const char*, 1> threeRooms{"3"};
constexpr std::array<const char*, 1> aRoom{"к"};
constexpr std::array<const char*, 3> oneOrTwo{"1", "1", "2"};

constexpr std::array<Profile, 5> profiles{{
    {11, "1-комн. квартира на севере, до 50 000 р.", 3, false, oneRoom, 38000, 50000, 1000, north,
     typicalFloors},
    {12, "2-комн. рядом с метро, ЮЗАО", 2, false, twoRooms, 55000, 78000, 2500, southWest,
     typicalFloors},
    {15, "Комната в центре", 2, false, aRoom, 18000, 32000, 500, centre, oldCentreFloors},
    {23, "Продажа: 1-2 комн., вторичное жильё, до 13 млн", 2, true, oneOrTwo, 8900000, 13000000,
     50000, eastSouth, typicalFloors},
    {31, "Продажа: 3-комн., Кутузовский пр-т и рядом", 1, true, threeRooms, 18500000, 32000000,
     100000, west, westFloors},
}};

constexpr int totalWeight() {
    int sum = 0;
    for (const Profile& p : profiles)
        sum += p.weight;
    return sum;
}

// The slots come in blocks, each holding every search as often as its weight, in an order of
// its own. So the newest 20 listings of even the rarest search lie within 20 blocks, and a
// block can name a listing that posts again the flat of its search's listing just before it:
// one search after the other, a block in each round of blocks does, and the first download
// of a newcomer always shows re-posts, in every search.
constexpr int blockSlots = totalWeight();
constexpr int searchCount = static_cast<int>(profiles.size());

constexpr qint64 floorDiv(qint64 a, qint64 b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

constexpr qint64 floorMod(qint64 a, qint64 b) {
    return a - floorDiv(a, b) * b;
}

constexpr std::array<const char*, 6> kitchensSmall{"6", "7", "8", "8,5", "9", "10"};
constexpr std::array<const char*, 6> kitchensTwo{"6", "7", "8", "9", "10", "11,5"};
constexpr std::array<const char*, 6> kitchensLarge{"8", "9", "10", "12", "14", "16"};
constexpr std::array<const char*, 4> kitchensShared{"6", "7", "8", "9"};

constexpr std::array<const char*, 5> rentCommission{"50%", "100%", "без комиссии", "60%", "50%"};
constexpr std::array<const char*, 4> saleCommission{"2%", "3%", "нет", "1,5%"};
constexpr std::array<const char*, 5> furniturePhone{"+/+", "+/-", "-/+", "-/-", "+/+"};

constexpr std::array<const char*, 14> contactNames{
    "Ирина",  "Сергей",  "Ольга",   "Андрей Петрович", "Наталья", "Дмитрий",  "Елена Викторовна",
    "Михаил", "Татьяна", "Алексей", "Галина Ивановна", "Виктор",  "Светлана", "Павел"};
constexpr std::array<const char*, 15> mobilePrefixes{"903", "905", "906", "909", "910",
                                                     "915", "916", "925", "926", "936",
                                                     "955", "962", "965", "985", "999"};
constexpr std::array<const char*, 2> cityCodes{"495", "499"};

// Several authors write agency names with plain double quotes: the client must store them.
constexpr std::array<const char*, 9> authors{
    "собственник",         "собственник",    "агент Светлана",
    "АН \"Столица\"",      "АН \"Мой дом\"", "частный маклер",
    "АН \"Центр-Инвест\"", "агент Павел",    "ООО \"Городская недвижимость\""};

constexpr std::array<const char*, 12> rentNotes{
    "Квартира после косметического ремонта.",
    "Вся необходимая мебель и бытовая техника.",
    "Без животных.",
    "Можно с детьми.",
    "Хозяева живут за городом, оплата раз в месяц.",
    "Окна во двор, тихо.",
    "Залог за один месяц.",
    "Застеклённый балкон.",
    "Стиральная машина, холодильник, интернет.",
    "Показ вечером после 19:00.",
    "Надолго, от года и больше.",
    "Соседи спокойные, в подъезде консьерж.",
};

constexpr std::array<const char*, 12> saleNotes{
    "Чистая продажа, один собственник.",
    "Альтернатива подобрана.",
    "Больше пяти лет в собственности.",
    "Возможна ипотека, поможем с оформлением.",
    "Дом после капремонта, новые лифты.",
    "Санузел раздельный, трубы поменяны.",
    "Парковка во дворе, шлагбаум.",
    "Окна на две стороны, очень светлая.",
    "Документы готовы, быстрый выход на сделку.",
    "Торг у реального покупателя.",
    "Рядом школа и детский сад.",
    "Стеклопакеты, металлическая дверь.",
};

// Listings that carry only an object code; a leading zero must survive storage.
constexpr std::array<const char*, 5> objectCodes{"007", "0042", "00315", "012", "0451"};

constexpr const char* longTail =
    "Подробности по телефону, звоните в любое время, кроме раннего утра; если не ответили, "
    "пришлите сообщение, перезвоним в течение часа. Фотографии вышлем по почте, показ в "
    "удобное для вас время, в том числе в выходные.";

QString u(const char* text) {
    return QString::fromUtf8(text);
}

// "45 000", "12 500 000": groups of three digits split by a blank.
QString groupedNumber(qint64 value) {
    QString digits = QString::number(value);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(' '));
    return digits;
}

QString twoDigits(int value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

QString phone(Rng& rng) {
    if (rng.chance(25)) {
        return QStringLiteral("(%1) %2-%3-%4")
            .arg(u(rng.pick(cityCodes)))
            .arg(rng.between(100, 999))
            .arg(twoDigits(rng.below(100)), twoDigits(rng.below(100)));
    }
    return QStringLiteral("8-%1-%2-%3-%4")
        .arg(u(rng.pick(mobilePrefixes)))
        .arg(rng.between(100, 999))
        .arg(twoDigits(rng.below(100)), twoDigits(rng.below(100)));
}

QString comment(Rng& rng, const Profile& profile, const QString& room) {
    if (rng.chance(8))
        return u(rng.pick(objectCodes));
    if (rng.chance(4))
        return {};
    const std::span<const char* const> notes = profile.sale
                                                   ? std::span<const char* const>(saleNotes)
                                                   : std::span<const char* const>(rentNotes);
    const bool isLong = rng.chance(12);
    const int wanted = isLong ? rng.between(6, 9) : rng.between(1, 3);
    // Distinct notes in a random order: a partial shuffle of the indices.
    std::array<int, std::max(rentNotes.size(), saleNotes.size())> order{};
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<int>(i);
    QStringList parts;
    if (room == u("к"))
        parts << QStringLiteral("Комната %1 кв. м, в квартире ещё две комнаты.")
                     .arg(rng.between(10, 20));
    const int count = static_cast<int>(notes.size());
    for (int i = 0; i < wanted && i < count; ++i) {
        const int j = i + rng.below(count - i);
        std::swap(order[static_cast<std::size_t>(i)], order[static_cast<std::size_t>(j)]);
        parts << u(notes[static_cast<std::size_t>(order[static_cast<std::size_t>(i)])]);
    }
    if (isLong)
        parts << u(longTail);
    if (rng.chance(10))
        parts << QStringLiteral("Код объекта %1.").arg(u(rng.pick(objectCodes)));
    return parts.join(QLatin1Char(' '));
}

std::span<const char* const> kitchensFor(const QString& room) {
    if (room == u("к"))
        return kitchensShared;
    if (room == QLatin1String("1"))
        return kitchensSmall;
    if (room == QLatin1String("2"))
        return kitchensTwo;
    return kitchensLarge;
}

QByteArray toCp1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    return encoder.encode(text);
}

QString fromCp1251(const QByteArray& bytes) {
    QStringDecoder decoder("windows-1251");
    return decoder.decode(bytes);
}

DemoReply textReply(int status, const char* text) {
    DemoReply reply;
    reply.status = status;
    reply.contentType = "text/plain; charset=windows-1251";
    reply.body = toCp1251(u(text)) + "\r\n";
    return reply;
}

} // namespace

DemoCatalogue::DemoCatalogue(quint64 seed) : m_seed(seed) {
    for (const Profile& p : profiles)
        m_searches.append(DemoSearch{p.id, demoFeedField(u(p.name))});
}

int DemoCatalogue::searchOf(qint64 serial) const {
    const qint64 block = floorDiv(serial, blockSlots);
    std::array<int, blockSlots> order{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < profiles.size(); ++i)
        for (int n = 0; n < profiles[i].weight; ++n)
            order[at++] = static_cast<int>(i);
    Rng rng(m_seed, block, SaltSearch);
    const auto wanted = static_cast<int>(floorMod(serial, blockSlots));
    // A partial shuffle, as far as the slot wanted.
    for (int i = 0; i <= wanted; ++i)
        std::swap(order[static_cast<std::size_t>(i)],
                  order[static_cast<std::size_t>(i + rng.below(blockSlots - i))]);
    return order[static_cast<std::size_t>(wanted)];
}

qint64 DemoCatalogue::publishedSecs(qint64 serial) const {
    return serial * demoSlotSeconds +
           Rng(m_seed, serial, SaltTime).below(static_cast<int>(demoJitterSeconds));
}

DemoListing DemoCatalogue::listing(qint64 serial) const {
    DemoListing l;
    l.serial = serial;
    l.search = searchOf(serial);
    l.published = QDateTime::fromSecsSinceEpoch(publishedSecs(serial));
    const Profile& p = profiles[static_cast<std::size_t>(l.search)];
    Rng rng(m_seed, serial, SaltContent);

    if (rng.chance(55))
        l.min = QStringLiteral("%1 мин. пешком").arg(rng.between(3, 15));
    else
        l.min = QStringLiteral("%1 мин. транспортом").arg(rng.between(5, 20));

    const Place& place = rng.pick(p.places);
    l.metro = QStringLiteral("м. %1, %2, д. %3")
                  .arg(u(place.station), u(place.street))
                  .arg(rng.between(1, 150));
    if (rng.chance(30))
        l.metro += QStringLiteral(", к. %1").arg(rng.between(1, 4));

    l.room = u(rng.pick(p.rooms));
    l.kitch = u(rng.pick(kitchensFor(l.room)));

    const int steps = (p.priceHigh - p.priceLow) / p.priceStep;
    const qint64 price = p.priceLow + static_cast<qint64>(rng.between(0, steps)) * p.priceStep;
    l.price = p.sale ? groupedNumber(price) : groupedNumber(price) + u(" р.");
    l.perc = u(p.sale ? rng.pick(saleCommission) : rng.pick(rentCommission));

    const int floors = rng.pick(p.floors);
    l.flat = QStringLiteral("%1/%2").arg(rng.between(1, floors)).arg(floors);
    l.info = u(rng.pick(furniturePhone));

    l.cont = u(rng.pick(contactNames)) + u(", ") + phone(rng);
    if (rng.chance(20))
        l.cont += u(", ") + phone(rng);
    l.owntxt = comment(rng, p, l.room);
    l.publ = u(rng.pick(authors));

    // An agent who posts flats of every search under a name of the day, one phone written in
    // several ways: the reach of a phone shows at once.
    if (const std::optional<QString> agentPhone = agentPhoneOf(serial, l.search))
        l.cont = u(rng.pick(contactNames)) + u(", ") + *agentPhone;

    if (const std::optional<Repost> repost = repostOf(serial, l.search)) {
        const DemoListing before = listing(repost->earlier);
        l.metro = before.metro;
        l.room = before.room;
        l.kitch = before.kitch;
        l.flat = before.flat;
        l.cont = before.cont;
        switch (repost->rewrite) {
        case Rewrite::Address: // the address in other words: "м. Сокол ул. Алабяна д.12"
            l.metro.replace(u(", д. "), u(" д.")).replace(u(", "), u(" "));
            break;
        case Rewrite::PhoneBlanks: // the phones with blanks: "8 916 123 45 67"
            l.cont.replace(QLatin1Char('-'), QLatin1Char(' '));
            break;
        case Rewrite::PhoneCountryCode: { // "+7 (916) 123-45-67"; "(495) ..." with blanks
            static const QRegularExpression mobile(QStringLiteral("8-([0-9]{3})-"));
            const QString written = QString(l.cont).replace(mobile, QStringLiteral("+7 (\\1) "));
            l.cont =
                written != l.cont ? written : l.cont.replace(QLatin1Char('-'), QLatin1Char(' '));
            break;
        }
        case Rewrite::Capitals:
            l.metro = l.metro.toUpper();
            break;
        }
        qint64 price = 0;
        for (const QChar c : before.price)
            if (c.isDigit())
                price = price * 10 + c.digitValue();
        Rng again(m_seed, serial, SaltRepostForm);
        if (repost->move == PriceMove::Lower) {
            // A few percent lower, rounded down to the search's step.
            price -= price * again.between(3, 12) / 100;
            price -= price % p.priceStep;
        } else if (repost->move == PriceMove::Higher) {
            qint64 raise = price * again.between(4, 10) / 100;
            raise -= raise % p.priceStep;
            price += std::max<qint64>(raise, p.priceStep);
        }
        l.price = p.sale ? groupedNumber(price) : groupedNumber(price) + u(" р.");
    }

    for (QString* field : {&l.min, &l.metro, &l.room, &l.kitch, &l.price, &l.perc, &l.flat, &l.info,
                           &l.cont, &l.owntxt, &l.publ})
        *field = demoFeedField(*field);
    return l;
}

bool DemoCatalogue::firstOfSearchInBlock(qint64 serial, int search) const {
    bool first = true;
    for (qint64 slot = floorDiv(serial, blockSlots) * blockSlots; slot < serial; ++slot)
        first = first && searchOf(slot) != search;
    return first;
}

std::optional<QString> DemoCatalogue::agentPhoneOf(qint64 serial, int search) const {
    // The first listing in a block of the search two turns after the re-post's: every search
    // gets one in each round of blocks, so the newest twenty of each hold some.
    const qint64 block = floorDiv(serial, blockSlots);
    if (floorMod(block + 2, searchCount) != search || !firstOfSearchInBlock(serial, search))
        return std::nullopt;
    static constexpr std::array<const char*, 3> forms{"8-925-611-40-17", "+7 (925) 611-40-17",
                                                      "8 925 6114017"};
    return u(forms[static_cast<std::size_t>(floorMod(block, std::ssize(forms)))]);
}

std::optional<DemoCatalogue::Repost> DemoCatalogue::repostOf(qint64 serial, int search) const {
    // The block's shown re-post: the first listing in it of the search whose turn it is posts
    // the flat of that search's listing before it again, in each round cheaper twice and dearer
    // once, the phone written otherwise in every other round.
    const qint64 block = floorDiv(serial, blockSlots);
    const qint64 round = floorDiv(block, searchCount);
    if (floorMod(block, searchCount) == search) {
        if (firstOfSearchInBlock(serial, search)) {
            qint64 earlier = serial - 1;
            while (searchOf(earlier) != search)
                --earlier;
            const bool phone = floorMod(round, 2) == 0;
            return Repost{
                earlier, floorMod(round, 3) == 0 ? PriceMove::Higher : PriceMove::Lower,
                phone ? (floorMod(round, 4) == 0 ? Rewrite::PhoneCountryCode : Rewrite::PhoneBlanks)
                      : (floorMod(round, 4) == 1 ? Rewrite::Address : Rewrite::Capitals)};
        }
    }
    Rng rng(m_seed, serial, SaltRepost);
    if (!rng.chance(repostPercent))
        return std::nullopt;
    const qint64 back = rng.between(repostNearestSlots, repostFarthestSlots);
    for (qint64 earlier = serial - back; earlier > serial - back - repostFarthestSlots; --earlier) {
        if (searchOf(earlier) != search)
            continue;
        Rng form(m_seed, serial, SaltRepostKind);
        constexpr std::array<Rewrite, 4> rewrites{Rewrite::Address, Rewrite::PhoneBlanks,
                                                  Rewrite::PhoneCountryCode, Rewrite::Capitals};
        return Repost{earlier, form.chance(70) ? PriceMove::Lower : PriceMove::Same,
                      form.pick(rewrites)};
    }
    return std::nullopt;
}

QList<DemoListing> DemoCatalogue::listings(int search, const QDateTime& now, qint64 after,
                                           int limit) const {
    QList<DemoListing> found;
    if (limit <= 0 || search < 0 || search >= m_searches.size())
        return found;
    const qint64 nowSecs = now.toSecsSinceEpoch();
    const qint64 newest = nowSecs >= 0 ? nowSecs / demoSlotSeconds : -1;
    const qint64 oldest = std::max(newest - demoHistorySlots + 1, after + 1);
    for (qint64 serial = newest; serial >= oldest; --serial) {
        if (searchOf(serial) != search || publishedSecs(serial) > nowSecs)
            continue;
        found.append(listing(serial));
        if (found.size() >= limit)
            break;
    }
    return found;
}

QString demoFeedField(const QString& value) {
    QString field = value;
    for (QChar& c : field) {
        if (c == QLatin1Char('#') || c == QLatin1Char('\r') || c == QLatin1Char('\n'))
            c = QLatin1Char(' ');
    }
    return field;
}

QString demoSearchLine(const DemoSearch& search) {
    return QStringLiteral("R#") + QString::number(search.id) + QLatin1Char('#') +
           demoFeedField(search.name);
}

QString demoOfferLine(const DemoListing& l) {
    const QStringList fields{QStringLiteral("D"),
                             QString::number(l.serial),
                             l.min,
                             l.metro,
                             l.room,
                             l.kitch,
                             l.price,
                             l.perc,
                             l.flat,
                             l.info,
                             l.cont,
                             l.owntxt,
                             l.publ,
                             l.published.toString(QStringLiteral("dd.MM.yy HH:mm"))};
    QStringList clean;
    for (const QString& f : fields)
        clean << demoFeedField(f);
    return clean.join(QLatin1Char('#'));
}

QHash<QString, QString> demoFormFields(const QByteArray& body) {
    QHash<QString, QString> fields;
    const auto decode = [](QByteArray part) {
        part.replace('+', ' ');
        return fromCp1251(QByteArray::fromPercentEncoding(part));
    };
    for (const QByteArray& piece : body.split('&')) {
        if (piece.isEmpty())
            continue;
        const qsizetype eq = piece.indexOf('=');
        if (eq < 0)
            fields.insert(decode(piece), QString());
        else
            fields.insert(decode(piece.left(eq)), decode(piece.mid(eq + 1)));
    }
    return fields;
}

QSet<qint32> demoStoredIds(const QString& rd) {
    QSet<qint32> ids;
    for (const QString& piece : rd.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        bool ok = false;
        const qint32 id = piece.toInt(&ok);
        if (ok)
            ids.insert(id);
    }
    return ids;
}

std::optional<DemoPath> demoParsePath(const QByteArray& target) {
    QByteArray path = target;
    const qsizetype query = path.indexOf('?');
    if (query >= 0)
        path.truncate(query);
    static const QRegularExpression pattern(
        QStringLiteral("^/db/([^/]+)/get(all)?(-?[0-9]+)\\.txt$"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(path));
    if (!match.hasMatch())
        return std::nullopt;
    DemoPath result;
    result.login = fromCp1251(QByteArray::fromPercentEncoding(match.captured(1).toLatin1()));
    result.all = match.hasCaptured(2);
    const QString digits = match.captured(3);
    if (digits.startsWith(QLatin1Char('-'))) {
        result.count = 0;
    } else {
        bool ok = false;
        const qint64 count = digits.toLongLong(&ok);
        result.count = ok && count <= std::numeric_limits<int>::max()
                           ? static_cast<int>(count)
                           : std::numeric_limits<int>::max();
    }
    return result;
}

DemoService::DemoService(quint64 seed, Clock clock) : m_catalogue(seed), m_clock(std::move(clock)) {
    if (!m_clock)
        m_clock = [] { return QDateTime::currentDateTime(); };
    m_accounts.insert(QStringLiteral("demo"), Account{QStringLiteral("kvax"), {}});
}

DemoReply DemoService::handle(const DemoRequest& request) {
    const std::optional<DemoPath> path = demoParsePath(request.target);
    if (!path)
        return textReply(404, "Нет такой страницы");
    if (request.method != "POST") {
        DemoReply reply = textReply(405, "Запрос должен быть POST");
        reply.headers.append(qMakePair(QByteArray("Allow"), QByteArray("POST")));
        return reply;
    }
    const QHash<QString, QString> fields = demoFormFields(request.body);
    const std::lock_guard lock(m_mutex);
    const auto account = m_accounts.find(path->login);
    const auto pass = fields.constFind(QStringLiteral("pass"));
    if (account == m_accounts.end() || pass == fields.constEnd() || *pass != account->password)
        return textReply(403, "Неверный логин или пароль");
    return feed(*account, *path, demoStoredIds(fields.value(QStringLiteral("rd"))));
}

DemoReply DemoService::feed(Account& account, const DemoPath& path, const QSet<qint32>& stored) {
    const QDateTime now = m_clock();
    QStringList lines{QStringLiteral("W#") + QLatin1String(demoFeedVersion)};
    const QList<DemoSearch>& searches = m_catalogue.searches();
    for (int i = 0; i < searches.size(); ++i) {
        const bool known = !path.all && stored.contains(searches[i].id);
        const qint64 after = known ? account.lastSent.value(i, std::numeric_limits<qint64>::min())
                                   : std::numeric_limits<qint64>::min();
        const QList<DemoListing> fresh = m_catalogue.listings(i, now, after, path.count);
        // The client already has this search: name it again only to hang new listings on it.
        if (known && fresh.isEmpty())
            continue;
        lines << demoSearchLine(searches[i]);
        for (const DemoListing& l : fresh)
            lines << demoOfferLine(l);
        if (!fresh.isEmpty()) {
            const qint64 previous = account.lastSent.value(i, std::numeric_limits<qint64>::min());
            account.lastSent.insert(i, std::max(previous, fresh.first().serial));
        }
    }
    DemoReply reply;
    reply.contentType = "text/plain; charset=windows-1251";
    QString text;
    for (const QString& line : std::as_const(lines))
        text += line + QLatin1String("\r\n");
    reply.body = toCp1251(text);
    reply.records = static_cast<int>(lines.size());
    return reply;
}

QString demoLogLine(const QDateTime& when, const DemoRequest& request, const DemoReply& reply) {
    // Put together piece by piece: a "%1" in a client's user agent must stay as it is.
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QLatin1Char(' ') +
           QString::fromLatin1(request.method) + QLatin1Char(' ') +
           QString::fromLatin1(request.target) + QStringLiteral(" \"") +
           QString::fromUtf8(request.userAgent) + QStringLiteral("\" ") +
           QString::number(reply.status) + QLatin1Char(' ') + QString::number(reply.records);
}

} // namespace domiva
