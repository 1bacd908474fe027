#pragma once

// The demo listing service: a few saved searches of one account, with Moscow listings that
// keep arriving as time passes, answered in the feed format the client reads. No network
// here: the executable puts this behind an HTTP server, and tests call it directly.

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>
#include <optional>

namespace domiva {

// Listings are laid out on a fixed grid of slots counted from the Unix epoch, one listing per
// slot, published at a seed-dependent moment inside the first part of its slot. So two
// listings are between one and two minutes apart, the content of a listing depends only on
// the seed and its slot, and a restarted service gives the same listings the same ids.
inline constexpr qint64 demoSlotSeconds = 90;
inline constexpr qint64 demoJitterSeconds = 30;
// How far back the service still knows listings (one week).
inline constexpr qint64 demoHistorySlots = 7 * 24 * 3600 / demoSlotSeconds;
inline constexpr quint64 demoDefaultSeed = 20240917;
inline constexpr const char* demoFeedVersion = "0.0.1";

struct DemoSearch {
    qint32 id = 0;
    QString name;
};

struct DemoListing {
    qint64 serial = 0; // the slot; also the offer id, so ids never repeat across searches
    int search = 0;    // index into DemoCatalogue::searches()
    QDateTime published;
    QString min;    // minutes to the metro
    QString metro;  // station and address
    QString room;   // "1", "2", "3" or "к" for a room
    QString kitch;  // kitchen size
    QString price;  // "45 000 р." for rent, "12 500 000" for sale
    QString perc;   // commission
    QString flat;   // floor "5/9"
    QString info;   // "м/т": furniture / telephone
    QString cont;   // contact name and phone
    QString owntxt; // comment
    QString publ;   // author
};

// The deterministic listing generator.
class DemoCatalogue {
public:
    explicit DemoCatalogue(quint64 seed = demoDefaultSeed);

    const QList<DemoSearch>& searches() const { return m_searches; }

    // The listing of one slot (every slot has one).
    DemoListing listing(qint64 serial) const;

    // Listings of one search published at or before `now` and at most a week old, with a
    // serial above `after`, newest first, at most `limit` of them.
    QList<DemoListing> listings(int search, const QDateTime& now, qint64 after, int limit) const;

private:
    enum class PriceMove { Same, Lower, Higher };
    enum class Rewrite { Address, Capitals, PhoneBlanks, PhoneCountryCode };
    struct Repost {
        qint64 earlier = 0; // the earlier slot of the same search whose flat this slot posts
        PriceMove move = PriceMove::Same;
        Rewrite rewrite = Rewrite::Address;
    };

    int searchOf(qint64 serial) const;
    // How this slot posts an earlier flat of its search again, if it does.
    std::optional<Repost> repostOf(qint64 serial, int search) const;
    // The agent's phone, as this listing writes it, when the agent posted it.
    std::optional<QString> agentPhoneOf(qint64 serial, int search) const;
    // Whether no earlier slot of the serial's block belongs to the search.
    bool firstOfSearchInBlock(qint64 serial, int search) const;
    qint64 publishedSecs(qint64 serial) const;

    quint64 m_seed;
    QList<DemoSearch> m_searches;
};

// A field as the feed may carry it: no "#", CR or LF (each becomes a blank).
QString demoFeedField(const QString& value);

// "R#<id>#<name>" and "D#<id>#<min>#...#<publ>#<dd.mm.yy hh:nn>", without line end.
QString demoSearchLine(const DemoSearch& search);
QString demoOfferLine(const DemoListing& listing);

struct DemoRequest {
    QByteArray method;
    QByteArray target; // path, possibly with a query string; login still percent-encoded
    QByteArray userAgent;
    QByteArray body; // application/x-www-form-urlencoded
};

struct DemoReply {
    int status = 200;
    QByteArray contentType;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    int records = 0; // feed lines in the body
};

// Decoded form fields of a request body (values decoded from Windows-1251); a later field of
// the same name wins.
QHash<QString, QString> demoFormFields(const QByteArray& body);

// The query ids listed in an "rd" value such as ",3,17"; pieces that are no number are
// skipped.
QSet<qint32> demoStoredIds(const QString& rd);

// The parts of a sync path "/db/<login>/get[all]<count>.txt".
struct DemoPath {
    QString login;
    bool all = false;
    int count = 0; // a negative count asks for nothing; a huge one is held at the int range
};
std::optional<DemoPath> demoParsePath(const QByteArray& target);

class DemoService {
public:
    using Clock = std::function<QDateTime()>;

    // Without a clock, the system clock.
    explicit DemoService(quint64 seed = demoDefaultSeed, Clock clock = {});

    // Safe to call from several threads at once.
    DemoReply handle(const DemoRequest& request);

    const DemoCatalogue& catalogue() const { return m_catalogue; }

private:
    struct Account {
        QString password;
        // Per search index: serial of the newest listing this account was sent; listings
        // up to it are not sent again unless the client lacks the search or asks for all.
        QHash<int, qint64> lastSent;
    };

    DemoReply feed(Account& account, const DemoPath& path, const QSet<qint32>& stored);

    DemoCatalogue m_catalogue;
    Clock m_clock;
    std::mutex m_mutex;
    QHash<QString, Account> m_accounts;
};

// One line of the service's request log: time, method, path, user agent, status, records.
QString demoLogLine(const QDateTime& when, const DemoRequest& request, const DemoReply& reply);

} // namespace domiva
