// The statements of a Database on a real file: what they store and read back, the searches,
// marking read, transactions, failures, and the plans the engine makes for them.

#include "storetestsupport.h"

#include "core/error.h"
#include "store/database.h"
#include "store/enginestatement.h"
#include "store/sqlutil.h"
#include "store/statements.h"
#include "store/writeslice.h"

#include <QFile>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <optional>

using namespace domiva;
using namespace Qt::StringLiterals;
using namespace domiva::test;

class TestStoreStatements : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    QTemporaryDir m_planDir; // a filled database for the query plans
    QString m_planPath;

    std::unique_ptr<Database> freshDatabase() {
        createDatabase(m_path);
        return openDatabase(m_path);
    }

private slots:
    void initTestCase() {
        QVERIFY(m_planDir.isValid());
        m_planPath = m_planDir.filePath(QStringLiteral("db"));
        createDatabase(m_planPath);
        auto db = openDatabase(m_planPath);
        Transaction transaction(*db);
        for (int q = 1; q <= 20; ++q) {
            db->storeQuery(q, QString::number(q));
            for (int i = 0; i < 50; ++i)
                QVERIFY(db->insertOffer(
                    makeOffer(QStringLiteral("%1-%2").arg(q).arg(i), q, 45000 + i)));
        }
        transaction.commit();
    }

    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_path = m_dir->filePath(QStringLiteral("db"));
    }
    void cleanup() { m_dir.reset(); }

    void textsRoundTrip_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("leading zeros") << "007";
        QTest::newRow("exponent") << "1e3";
        QTest::newRow("number with blanks") << " 12 ";
        QTest::newRow("double quotes") << "say \"hi\"";
        QTest::newRow("single quote") << "O'Brien";
        QTest::newRow("statement") << "x\"; DELETE FROM Offers; --";
        QTest::newRow("question mark") << "?";
        QTest::newRow("Cyrillic") << "Тверская ул., д. 7";
        QTest::newRow("empty") << "";
        QTest::newRow("emoji") << "дом 🏠";
        QTest::newRow("zero byte") << QStringLiteral("a") + QChar(0) + QStringLiteral("b");
    }
    void textsRoundTrip() {
        QFETCH(QString, text);
        auto db = freshDatabase();
        OfferRow offer = makeOffer(QStringLiteral("first"), 1, at(2024, 1, 2, 3, 4, 5));
        offer.texts.fill(text);
        QVERIFY(db->insertOffer(offer));
        OfferRow keyed = makeOffer(text + QStringLiteral("#id"), 1, 1);
        QVERIFY(db->insertOffer(keyed));
        QVERIFY(db->offerExists(keyed.id));
        db->storeQuery(1, text);
        db->storeQuery(2, text);

        QSqlQuery check(db->connection());
        QVERIFY(
            check.exec(QStringLiteral("SELECT min_obj, owntxt_obj, publ_obj, typeof(owntxt_obj),"
                                      " typeof(flat_obj) FROM Offers WHERE id='first'")));
        QVERIFY(check.next());
        QCOMPARE(check.value(0).toString(), text);
        QCOMPARE(check.value(1).toString(), text);
        QCOMPARE(check.value(2).toString(), text);
        QCOMPARE(check.value(3).toString(), QStringLiteral("text"));
        QCOMPARE(check.value(4).toString(), QStringLiteral("text"));
        QVERIFY(check.exec(QStringLiteral("SELECT qname FROM Queries ORDER BY id")));
        QVERIFY(check.next());
        QCOMPARE(check.value(0).toString(), text);
        QVERIFY(check.next());
        QCOMPARE(check.value(0).toString(), text);
        QVERIFY(check.exec(QStringLiteral("SELECT COUNT(*) FROM Offers")));
        QVERIFY(check.next());
        QCOMPARE(check.value(0).toInt(), 2);
        check.finish();

        db->storeQuery(1, text + text);
        QVERIFY(check.exec(QStringLiteral("SELECT qname FROM Queries WHERE id=1")));
        QVERIFY(check.next());
        QCOMPARE(check.value(0).toString(), text + text);
    }

    // A listing comes back from the file as it was stored; a text it lacks is stored empty,
    // never as NULL.
    void offerIsStoredAsItCame_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<qint32>("qid");
        QTest::addColumn<double>("date");
        QTest::addColumn<bool>("withTexts");
        QTest::addColumn<QString>("storedDate");
        QTest::newRow("every column")
            << "A-1" << -7 << at(2023, 11, 30, 23, 59, 58) << true << "2023-11-30 23:59:58.000";
        QTest::newRow("missing texts") << "bare" << 0 << 0.0 << false << "1899-12-30 00:00:00.000";
    }
    void offerIsStoredAsItCame() {
        QFETCH(QString, id);
        QFETCH(qint32, qid);
        QFETCH(double, date);
        QFETCH(bool, withTexts);
        QFETCH(QString, storedDate);
        auto db = freshDatabase();
        OfferRow offer = makeOffer(id, qid, date);
        if (!withTexts)
            offer.texts = {};
        QVERIFY(db->insertOffer(offer));
        RawConnection raw(m_path);
        QStringList expected{id, QString::number(qid), QStringLiteral("1")};
        for (const QString& text : offer.texts)
            expected << text;
        expected << storedDate;
        QCOMPARE(raw.value(QStringLiteral("SELECT * FROM Offers")),
                 expected.join(QLatin1Char('|')));
        QCOMPARE(raw.value(QStringLiteral("SELECT typeof(qid), typeof(unreaded), typeof(min_obj), "
                                          "typeof(owntxt_obj), typeof(publ_obj) FROM Offers")),
                 QStringLiteral("integer|integer|text|text|text"));
    }

    void offerIdsIgnoreAsciiCase() {
        auto db = freshDatabase();
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("AbC-1"), 1, 1)));
        QVERIFY(!db->insertOffer(makeOffer(QStringLiteral("abc-1"), 2, 2)));
        QVERIFY(!db->insertOffer(makeOffer(QStringLiteral("ABC-1"), 1, 3)));
        QVERIFY(db->offerExists(QStringLiteral("aBc-1")));
        QVERIFY(!db->offerExists(QStringLiteral("abc-2")));
        // The engine folds ASCII letters only.
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("Ёж"), 1, 1)));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("ёж"), 1, 1)));
        RawConnection raw(m_path);
        QCOMPARE(raw.value(QStringLiteral("SELECT id || '|' || qid FROM Offers WHERE id='abc-1'")),
                 QStringLiteral("AbC-1|1"));
        QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("3"));
    }

    void queryOperations() {
        auto db = freshDatabase();
        db->storeQuery(30, QStringLiteral("thirty"));
        db->storeQuery(10, QStringLiteral("ten"));
        db->storeQuery(20, QStringLiteral("twenty"));

        RawConnection raw(m_path);
        QCOMPARE(raw.rows(QStringLiteral("SELECT * FROM Queries ORDER BY rowid")),
                 (QStringList{QStringLiteral("30|thirty|1|1"), QStringLiteral("10|ten|1|1"),
                              QStringLiteral("20|twenty|1|1")}));
        QList<qint32> ids = db->queryIds();
        std::sort(ids.begin(), ids.end());
        QCOMPARE(ids, (QList<qint32>{10, 20, 30}));

        // Storing a known search again renames it and keeps its flags as they are; the same
        // name changes nothing.
        raw.exec(QStringLiteral("UPDATE Queries SET updated=0, unreaded=0"));
        db->storeQuery(30, QStringLiteral("тридцать"));
        db->storeQuery(10, QStringLiteral("десять"));
        db->storeQuery(20, QStringLiteral("twenty"));
        QCOMPARE(raw.rows(QStringLiteral("SELECT * FROM Queries ORDER BY rowid")),
                 (QStringList{QStringLiteral("30|тридцать|0|0"), QStringLiteral("10|десять|0|0"),
                              QStringLiteral("20|twenty|0|0")}));

        db->markQueryUnread(20);
        db->markQueryUnread(21);
        QCOMPARE(raw.rows(QStringLiteral("SELECT id, updated, unreaded FROM Queries ORDER BY id")),
                 (QStringList{QStringLiteral("10|0|0"), QStringLiteral("20|1|1"),
                              QStringLiteral("30|0|0")}));
    }

    void queryIdsFollowTheEngine() {
        auto db = freshDatabase();
        QCOMPARE(db->queryIds(), QList<qint32>());
        db->storeQuery(-2147483647 - 1, QStringLiteral("min"));
        db->storeQuery(2147483647, QStringLiteral("max"));
        QList<qint32> ids = db->queryIds();
        std::sort(ids.begin(), ids.end());
        QCOMPARE(ids, (QList<qint32>{-2147483647 - 1, 2147483647}));
    }

    void removeQueryTakesItsOffersOnly() {
        auto db = freshDatabase();
        db->storeQuery(1, QStringLiteral("one"));
        db->storeQuery(2, QStringLiteral("two"));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("a"), 1, 1)));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("b"), 1, 2)));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("c"), 2, 3)));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("d"), 3, 3)));
        db->removeQuery(1);
        db->removeQuery(3); // offers without a stored search go too
        RawConnection raw(m_path);
        QCOMPARE(raw.rows(QStringLiteral("SELECT id FROM Queries")),
                 QStringList{QStringLiteral("2")});
        QCOMPARE(raw.rows(QStringLiteral("SELECT id FROM Offers")),
                 QStringList{QStringLiteral("c")});
        // A removed offer comes back as a new one.
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("A"), 2, 1)));
    }

    void markOfferRead_data() {
        QTest::addColumn<QString>("offer");
        QTest::addColumn<bool>("left");          // any unread offer of search 1 left
        QTest::addColumn<QString>("queryFlags"); // updated|unreaded after reading
        QTest::addColumn<QString>("offerFlags"); // unreaded of a|b|c after reading
        // Search 1 holds a, b (unread) and c (already read).
        QTest::newRow("one of two unread") << "a" << true << "0|1"
                                           << "0|1|0";
        QTest::newRow("id in other letter case") << "B" << true << "0|1"
                                                 << "1|0|0";
        QTest::newRow("an offer already read") << "c" << true << "0|1"
                                               << "1|1|0";
        QTest::newRow("an offer that is gone") << "zz" << true << "0|1"
                                               << "1|1|0";
    }
    void markOfferRead() {
        QFETCH(QString, offer);
        QFETCH(bool, left);
        QFETCH(QString, queryFlags);
        QFETCH(QString, offerFlags);
        auto db = freshDatabase();
        db->storeQuery(1, QStringLiteral("one"));
        db->storeQuery(2, QStringLiteral("two"));
        for (const char* id : {"a", "b", "c"})
            QVERIFY(db->insertOffer(makeOffer(QString::fromLatin1(id), 1, 1)));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("other"), 2, 1)));
        RawConnection raw(m_path);
        raw.exec(QStringLiteral("UPDATE Offers SET unreaded=0 WHERE id='c'"));

        QVERIFY(db->hasUnreadOffers(1));
        QCOMPARE(db->markOfferRead(offer, 1), left);
        QCOMPARE(db->hasUnreadOffers(1), left);
        QCOMPARE(raw.value(QStringLiteral("SELECT updated || '|' || unreaded FROM Queries "
                                          "WHERE id=1")),
                 queryFlags);
        QCOMPARE(raw.rows(QStringLiteral("SELECT unreaded FROM Offers WHERE qid=1 ORDER BY id"))
                     .join(QLatin1Char('|')),
                 offerFlags);
        // The other search is untouched.
        QCOMPARE(raw.value(QStringLiteral("SELECT updated || '|' || unreaded FROM Queries "
                                          "WHERE id=2")),
                 QStringLiteral("1|1"));
    }

    void writeSliceCountsItsCommit_data() {
        QTest::addColumn<QList<int>>("commitsMs"); // how long the earlier commits took
        QTest::addColumn<int>("appliedMs");        // of the open transaction, budget 45 ms
        QTest::addColumn<bool>("due");
        QTest::newRow("no commit yet, budget left") << QList<int>{} << 44 << false;
        QTest::newRow("no commit yet, budget spent") << QList<int>{} << 45 << true;
        QTest::newRow("slow commit shortens the next") << QList<int>{20} << 25 << true;
        QTest::newRow("short of a slow commit") << QList<int>{20} << 24 << false;
        // 30 ms forgotten by an eighth per commit: 26.25, then 22.97, not 5.
        QTest::newRow("one quick commit after a slow one") << QList<int>{30, 5} << 19 << true;
        QTest::newRow("slow commit slowly forgotten") << QList<int>{30, 5, 5} << 22 << false;
        QTest::newRow("slow commit slowly forgotten, spent") << QList<int>{30, 5, 5} << 23 << true;
        QTest::newRow("latest commit the slowest") << QList<int>{5, 40} << 5 << true;
    }
    void writeSliceCountsItsCommit() {
        QFETCH(QList<int>, commitsMs);
        QFETCH(int, appliedMs);
        QFETCH(bool, due);
        qint64 nowNs = 0;
        WriteSlice slice(45, [&] { return nowNs; });
        for (const int ms : commitsMs) {
            slice.commit([&] { nowNs += qint64(ms) * 1'000'000; });
            slice.start();
        }
        nowNs += qint64(appliedMs) * 1'000'000;
        QCOMPARE(slice.due(), due);
    }

    void sliceRowsFitTheBudget_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("tookMs"); // budget 45 ms
        QTest::addColumn<int>("next");
        QTest::newRow("fits") << 2000 << 45 << 2000;
        QTest::newRow("too long: fewer") << 10000 << 60 << 7500;
        QTest::newRow("far too long: fewer still") << 2000 << 900 << 100;
        QTest::newRow("quick: at most twice") << 2000 << 10 << 4000;
        QTest::newRow("no time at all") << 2000 << 0 << 4000;
        QTest::newRow("never below the least") << 100 << 1000 << 100;
        QTest::newRow("never stuck at the least") << 100 << 1 << 200;
    }
    void sliceRowsFitTheBudget() {
        QFETCH(int, rows);
        QFETCH(int, tookMs);
        QFETCH(int, next);
        QCOMPARE(nextSliceRows(rows, qint64(tookMs) * 1'000'000, 45), next);
    }

    void readingTheLastUnreadOfferClearsTheSearch() {
        auto db = freshDatabase();
        db->storeQuery(4, QStringLiteral("four"));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("x"), 4, 1)));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("y"), 4, 1)));
        RawConnection raw(m_path);
        const QString flags = QStringLiteral("SELECT updated || '|' || unreaded FROM Queries");
        QCOMPARE(db->markOfferRead(QStringLiteral("x"), 4), true);
        QCOMPARE(raw.value(flags), QStringLiteral("0|1"));
        db->markQueryUnread(4); // a new offer of another sync
        QCOMPARE(raw.value(flags), QStringLiteral("1|1"));
        QCOMPARE(db->markOfferRead(QStringLiteral("y"), 4), false);
        QCOMPARE(raw.value(flags), QStringLiteral("0|0"));
        // Reading a read offer again still takes the "updated" mark.
        raw.exec(QStringLiteral("UPDATE Queries SET updated=1"));
        QCOMPARE(db->markOfferRead(QStringLiteral("y"), 4), false);
        QCOMPARE(raw.value(flags), QStringLiteral("0|0"));
        // A search that is not stored is no error.
        QCOMPARE(db->markOfferRead(QStringLiteral("y"), 5), false);
    }

    void transactionsCommitAndRollBack() {
        auto db = freshDatabase();
        RawConnection raw(m_path);
        const QString count = QStringLiteral("SELECT COUNT(*) FROM Queries");
        {
            Transaction transaction(*db);
            db->storeQuery(1, QStringLiteral("gone"));
        }
        QCOMPARE(raw.value(count), QStringLiteral("0"));
        {
            Transaction transaction(*db);
            db->storeQuery(1, QStringLiteral("kept"));
            // Other connections see nothing before the commit.
            QCOMPARE(raw.value(count), QStringLiteral("0"));
            transaction.commit();
            QVERIFY(errorOf([&] { transaction.commit(); }).has_value());
        }
        QCOMPARE(raw.value(count), QStringLiteral("1"));
        {
            Transaction outer(*db);
            db->storeQuery(2, QStringLiteral("outer"));
            {
                Transaction inner(*db);
                QVERIFY(errorOf([&] { outer.commit(); }).has_value());
                db->storeQuery(3, QStringLiteral("inner, rolled back"));
            }
            {
                Transaction inner(*db);
                db->storeQuery(4, QStringLiteral("inner, committed"));
                inner.commit();
            }
            for (const qint32 id : {1, 2, 4})
                db->removeQuery(id); // nests as well
            db->storeQuery(5, QStringLiteral("after clearing"));
            outer.commit();
        }
        QCOMPARE(raw.rows(QStringLiteral("SELECT id FROM Queries")),
                 QStringList{QStringLiteral("5")});
        {
            Transaction outer(*db);
            {
                Transaction inner(*db);
                db->storeQuery(6, QStringLiteral("lost with the outer one"));
                inner.commit();
            }
        }
        QCOMPARE(raw.rows(QStringLiteral("SELECT id FROM Queries")),
                 QStringList{QStringLiteral("5")});
    }

    void transactionWaitsForAnotherWriter() {
        auto db = freshDatabase();
        RawConnection raw(m_path);
        sqlite3_busy_timeout(raw.handle(), 0);
        raw.exec(QStringLiteral("BEGIN IMMEDIATE"));
        QSqlQuery timeout(db->connection());
        QVERIFY(timeout.exec(QStringLiteral("PRAGMA busy_timeout=50")));
        timeout.finish();
        const std::optional<QString> error = errorOf([&] { Transaction transaction(*db); });
        QCOMPARE(error.value_or(QString()), QStringLiteral("database is locked"));
        raw.exec(QStringLiteral("COMMIT"));
        Transaction transaction(*db);
        db->storeQuery(1, QStringLiteral("one"));
        transaction.commit();
        QCOMPARE(db->queryIds(), QList<qint32>{1});
    }

    void failuresCarryTheEngineMessage() {
        auto db = freshDatabase();
        // The statements are prepared and kept before the table goes.
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("a"), 1, 1)));
        QVERIFY(db->offerExists(QStringLiteral("a")));
        QCOMPARE(db->markOfferRead(QStringLiteral("a"), 1), false);
        RawConnection raw(m_path);
        raw.exec(QStringLiteral("DROP TABLE Offers"));
        QCOMPARE(errorOf([&] {
                     db->insertOffer(makeOffer(QStringLiteral("a"), 1, 1));
                 }).value_or(QString()),
                 QStringLiteral("no such table: Offers"));
        QCOMPARE(errorOf([&] { db->offerExists(QStringLiteral("a")); }).value_or(QString()),
                 QStringLiteral("no such table: Offers"));
        QCOMPARE(errorOf([&] { db->markOfferRead(QStringLiteral("a"), 1); }).value_or(QString()),
                 QStringLiteral("no such table: Offers"));
        QCOMPARE(errorOf([&] { db->removeQuery(1); }).value_or(QString()),
                 QStringLiteral("no such table: Offers"));
        // A failed operation leaves no transaction open behind it.
        db->storeQuery(1, QStringLiteral("still works"));
        QCOMPARE(raw.value(QStringLiteral("SELECT qname FROM Queries")),
                 QStringLiteral("still works"));
    }

    // The one way of the store to the engine: each kind of value comes back as it was bound,
    // however often the statement runs, and a text it binds stays the statement's own.
    void engineStatementRoundTrip_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("stored"); // typeof|the value as the engine gives it back
        QTest::newRow("text") << "text" << u"Тверская ул. 🏠"_s << u"text|Тверская ул. 🏠"_s;
        QTest::newRow("null text, stored empty") << "text" << QString() << u"text|"_s;
        QTest::newRow("zero byte")
            << "text" << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << u"text|3"_s;
        QTest::newRow("int64") << "int64" << u"-9223372036854775808"_s
                               << u"integer|-9223372036854775808"_s;
        QTest::newRow("int") << "int" << u"2147483647"_s << u"integer|2147483647"_s;
        QTest::newRow("double") << "double" << u"45123.75"_s << u"real|45123.75"_s;
        QTest::newRow("null") << "null" << QString() << u"null|<null>"_s;
    }
    void engineStatementRoundTrip() {
        QFETCH(QString, kind);
        QFETCH(QString, value);
        QFETCH(QString, stored);
        sqlutil::EngineConnection db(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        db.exec(QLatin1String("CREATE TABLE t (v)"));
        sqlutil::EngineStatement insert(db.get(), QLatin1String("INSERT INTO t (v) VALUES (?)"));
        // Twice, the second time after a longer text: the buffer of the position is reused.
        for (const QString& bound : {QString(200, u'x'), value}) {
            sqlutil::EngineStatement::Use use(insert);
            if (kind == u"text")
                insert.bindText(1, bound);
            else if (kind == u"int64")
                insert.bindInt64(1, value.toLongLong());
            else if (kind == u"int")
                insert.bindInt(1, value.toInt());
            else if (kind == u"double")
                insert.bindDouble(1, value.toDouble());
            else
                insert.bindNull(1);
            QVERIFY(!insert.step());
            QCOMPARE(insert.changes(), 1);
        }
        sqlutil::EngineStatement read(
            db.get(), QLatin1String("SELECT typeof(v), v, length(CAST(v AS BLOB)) FROM t "
                                    "ORDER BY rowid DESC LIMIT 1"));
        QVERIFY(read.step());
        const QString got = read.isNull(1)             ? u"<null>"_s
                            : value.contains(QChar(0)) ? QString::number(read.integer(2))
                            : read.isText(1)           ? read.text(1)
                            : kind == u"double"        ? QString::number(read.real(1), 'f', 2)
                                                       : QString::number(read.integer(1));
        QCOMPARE(read.text(0) + u'|' + got, stored);
        QVERIFY(!read.step());
    }

    // A failure of the engine becomes the program's Error, in the engine's words and of the
    // kind the program acts on.
    void engineFailures_data() {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("kind");
        QTest::newRow("statement refused")
            << "prepare"
            << "near \"SELEKT\": syntax error" << int(Error::Kind::General);
        QTest::newRow("step fails") << "step"
                                    << "UNIQUE constraint failed: t.v" << int(Error::Kind::General);
        QTest::newRow("file locked") << "busy"
                                     << "database is locked" << int(Error::Kind::Busy);
        QTest::newRow("no such file")
            << "open"
            << "unable to open database file" << int(Error::Kind::General);
        QTest::newRow("not a database")
            << "garbage"
            << "file is not a database" << int(Error::Kind::DamagedFile);
    }
    void engineFailures() {
        QFETCH(QString, failure);
        QFETCH(QString, message);
        QFETCH(int, kind);
        const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_URI;
        const QByteArray uri = sqlutil::fileUri(m_path).toUtf8() + "?mode=rw";
        std::optional<Error> caught;
        try {
            if (failure == u"open")
                sqlutil::EngineConnection(uri, flags);
            if (failure == u"garbage") {
                QFile file(m_path);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.write(QByteArray(4096, 'x'));
                file.close();
                sqlutil::EngineConnection db(uri, flags);
                db.exec(QLatin1String("SELECT 1 FROM sqlite_master"));
            }
            auto database = freshDatabase();
            sqlutil::EngineConnection db(uri, flags);
            db.exec(QLatin1String("CREATE TABLE t (v UNIQUE)"));
            if (failure == u"prepare")
                sqlutil::EngineStatement(db.get(), QLatin1String("SELEKT 1"));
            sqlutil::EngineStatement insert(db.get(), QLatin1String("INSERT INTO t VALUES (1)"));
            insert.step();
            insert.reset();
            if (failure == u"busy") {
                RawConnection other(m_path);
                sqlite3_busy_timeout(db.get(), 0);
                other.exec(u"BEGIN IMMEDIATE"_s);
                db.exec(QLatin1String("BEGIN IMMEDIATE"));
            }
            insert.step();
        } catch (const Error& error) {
            caught = error;
        }
        QVERIFY(caught.has_value());
        QCOMPARE(caught->message(), message);
        QCOMPARE(int(caught->kind()), kind);
    }

    // The everyday statements find their rows through an index, never by reading the table
    // or sorting it.
    void plansUseIndexes_data() {
        QTest::addColumn<QString>("statement");
        QTest::addColumn<QString>("index");
        QTest::newRow("offer keys") << QString(sql::selectOfferKeys) << "OffersByQuery";
        QTest::newRow("any unread") << QString(sql::anyUnreadOffer) << "OffersUnreadByQuery";
        QTest::newRow("offer key")
            << QString(sql::selectOfferKeyById) << "sqlite_autoindex_Offers_1";
        QTest::newRow("offer exists")
            << QString(sql::selectOfferById) << "sqlite_autoindex_Offers_1";
        QTest::newRow("offer row") << QString(sql::selectOfferRow) << "sqlite_autoindex_Offers_1";
        QTest::newRow("offer read") << QString(sql::markOfferRead) << "sqlite_autoindex_Offers_1";
        QTest::newRow("query exists")
            << QString(sql::selectQueryById) << "sqlite_autoindex_Queries_1";
        QTest::newRow("query row") << QString(sql::selectQueryRow) << "sqlite_autoindex_Queries_1";
        QTest::newRow("query unread")
            << QString(sql::markQueryUnread) << "sqlite_autoindex_Queries_1";
        QTest::newRow("delete offers of a query")
            << QString(sql::deleteOffersOfQuery) << "(OffersByQuery|OffersUnreadByQuery)";
        QTest::newRow("history row") << QString(sql::touchHistoryRow) << "";
        QTest::newRow("new history row") << QString(sql::insertHistoryRow) << "";
        QTest::newRow("unread re-posts")
            << QString(sql::countUnreadReposts) << "OffersUnreadByQuery";
        QTest::newRow("flat row before") << QString(sql::flatRowBefore) << "";
        QTest::newRow("flat row after") << QString(sql::flatRowAfter) << "";
        QTest::newRow("prev of a row") << QString(sql::selectPrevOfRow) << "";
        QTest::newRow("opened of a flat key") << QString(sql::anyOpenedOfKey) << "FlatKeysOpened";
        QTest::newRow("flat opened elsewhere")
            << u"SELECT "_s + QLatin1String(sql::fragments::flatOpenedElsewhere) +
                   u" FROM Offers WHERE id=?"_s
            << "FlatKeysOpened";
        QTest::newRow("link history rows") << QString(sql::linkHistoryRow) << "";
        QTest::newRow("stored listings kept")
            << QString(sql::refreshStoredHistory) << "sqlite_autoindex_Offers_1";
        QTest::newRow("later rows of forgotten ones")
            << QString(sql::selectLaterOfOldHistory) << "";
        QTest::newRow("relink a history row") << QString(sql::relinkHistoryRow) << "";
        QTest::newRow("history opened") << QString(sql::markHistoryOpened) << "";
        QTest::newRow("keys opened") << QString(sql::markKeysOpened) << "";
        QTest::newRow("earlier appearances") << QString(sql::selectEarlierAppearances) << "";
        QTest::newRow("staged key stored") << QString(sql::storeStagedKey) << "";
        QTest::newRow("keys of a row") << QString(sql::selectKeysOfRow) << "";
        QTest::newRow("rows to key again") << QString(sql::selectRowsToRekey) << "";
    }
    void plansUseIndexes() {
        QFETCH(QString, statement);
        QFETCH(QString, index);
        // Through the C API: the statement is planned without values bound.
        RawConnection raw(m_planPath);
        QStringList lines;
        for (const QString& row : raw.rows(QStringLiteral("EXPLAIN QUERY PLAN ") + statement))
            lines << row.section(QLatin1Char('|'), 3);
        const QString text = lines.join(QLatin1Char('\n'));
        // Only the few rows each key of a listing's flat gives may be sorted: as many as keys for
        // the latest earlier appearance, five times as many for five.
        QString unsorted = text;
        if (statement.contains(QLatin1String("ORDER BY e.dt DESC, e.rowid DESC LIMIT ")))
            unsorted.remove(QStringLiteral("USE TEMP B-TREE FOR ORDER BY"));
        QVERIFY2(!unsorted.contains(QLatin1String("TEMP B-TREE")), qPrintable(text));
        // Reading back the few rows a subquery of its own produced (a co-routine) is no scan
        // of a table.
        QStringList coroutines;
        for (const QString& line : lines)
            if (line.startsWith(QLatin1String("CO-ROUTINE ")))
                coroutines << QStringLiteral("SCAN ") + line.section(QLatin1Char(' '), 1, 1);
        // Nor is reading the JSON array of the few rows a key of a flat gave (json_each), nor
        // the one row of a statement that reads no table.
        for (const QString& line : lines)
            if (line.startsWith(QLatin1String("SCAN j VIRTUAL TABLE")) ||
                line == QLatin1String("SCAN CONSTANT ROW"))
                coroutines << line;
        for (const QString& line : lines)
            QVERIFY2(!line.startsWith(QLatin1String("SCAN")) || coroutines.contains(line),
                     qPrintable(text));
        if (!index.isEmpty())
            QVERIFY2(text.contains(QRegularExpression(QStringLiteral("INDEX ") + index +
                                                      QStringLiteral(" \\((qid|id|key)="))),
                     qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestStoreStatements)
#include "tst_store_statements.moc"
