#pragma once

// What the demo service's tests share: a feed read the way the client reads it and checked for
// the shape the service promises, the requests the client sends, and a service whose clock the
// test moves.

#include "demofeed.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QStringList>

#include <memory>

namespace domiva::test {

inline const QByteArray agent =
    "DomivaDesktop#0.0.1 MDAC#(6.4.2) JET#(3.40.1.0) OS# Debian #WININET";

struct Section {
    qint32 id = 0;
    QString name;
    QList<QStringList> offers; // every field of each D line, type included
};

struct ParsedFeed {
    QString version;
    QList<Section> sections;
    int lines = 0;
};

// Reads a feed the way the client does (lines at CR LF, fields at "#", one empty field at the
// end of a line dropped) and checks everything the service promises about its shape. Gives
// the first problem found, or an empty text.
inline QString parseFeed(const QByteArray& body, ParsedFeed& feed) {
    QStringDecoder decoder("windows-1251");
    const QString text = decoder.decode(body);
    if (decoder.hasError())
        return QStringLiteral("not Windows-1251");
    QStringEncoder encoder("windows-1251");
    if (encoder.encode(text) != body || encoder.hasError())
        return QStringLiteral("does not survive a Windows-1251 round trip");
    if (!body.endsWith("\r\n"))
        return QStringLiteral("last line not ended by CR LF");
    if (body.count("\r\n") != body.count('\n') || body.count('\n') != body.count('\r'))
        return QStringLiteral("a line end other than CR LF");
    QStringList lines = text.split(QStringLiteral("\r\n"));
    lines.removeLast();
    feed.lines = static_cast<int>(lines.size());
    for (const QString& line : std::as_const(lines)) {
        QStringList fields = line.split(QLatin1Char('#'));
        if (fields.size() > 1 && fields.last().isEmpty())
            fields.removeLast();
        const QString type = fields.first();
        if (type == QLatin1String("W")) {
            if (!feed.version.isNull() || !feed.sections.isEmpty() || fields.size() != 2)
                return QStringLiteral("misplaced version line: ") + line;
            feed.version = fields[1];
        } else if (type == QLatin1String("R")) {
            bool ok = false;
            const qint32 id = fields.value(1).toInt(&ok);
            if (fields.size() != 3 || !ok || fields[2].isEmpty())
                return QStringLiteral("bad search line: ") + line;
            feed.sections.append(Section{id, fields[2], {}});
        } else if (type == QLatin1String("D")) {
            if (feed.sections.isEmpty())
                return QStringLiteral("listing before any search: ") + line;
            if (fields.size() != 14)
                return QStringLiteral("listing with %1 fields: ").arg(fields.size()) + line;
            feed.sections.last().offers.append(fields);
        } else {
            return QStringLiteral("unexpected line: ") + line;
        }
    }
    if (feed.version.isNull())
        return QStringLiteral("no version line");
    return {};
}

inline DemoRequest post(const QByteArray& target, const QByteArray& body) {
    return DemoRequest{"POST", target, agent, body};
}

inline QByteArray syncBody(const QList<qint32>& stored) {
    QByteArray body = "pass=kvax&rd=";
    for (const qint32 id : stored)
        body += ',' + QByteArray::number(id);
    return body;
}

// The test classes derive from it and call setUp() from init().
class DemoFeedFixture : public QObject {
protected:
    QDateTime m_now;

    std::unique_ptr<DemoService> makeService(quint64 seed = demoDefaultSeed) {
        return std::make_unique<DemoService>(seed, [this] { return m_now; });
    }

    QList<qint32> searchIds(const DemoService& service, const QList<int>& indexes) const {
        QList<qint32> ids;
        for (const int i : indexes)
            ids << service.catalogue().searches().at(i).id;
        return ids;
    }

    QList<int> allIndexes(const DemoService& service) const {
        QList<int> indexes;
        for (int i = 0; i < service.catalogue().searches().size(); ++i)
            indexes << i;
        return indexes;
    }

    static QStringList offerIds(const QList<DemoListing>& listings) {
        QStringList ids;
        for (const DemoListing& l : listings)
            ids << QString::number(l.serial);
        return ids;
    }

    static QStringList offerIds(const Section& section) {
        QStringList ids;
        for (const QStringList& offer : section.offers)
            ids << offer[1];
        return ids;
    }

    void setUp() { m_now = QDateTime(QDate(2024, 3, 15), QTime(12, 0, 30)); }
};

} // namespace domiva::test
