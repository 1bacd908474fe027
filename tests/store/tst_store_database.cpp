// The listing database as a file: creating and opening it, setting a damaged one aside and
// repairing it, bringing an earlier shape up to date, the log and its copying, clearing it.

#include "storetestsupport.h"

#include "core/datetimevalue.h"
#include "core/error.h"
#include "store/database.h"
#include "store/flathistory.h"
#include "store/recovery.h"
#include "store/statements.h"
#include "store/writeslice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <optional>

using namespace domiva;
using namespace Qt::StringLiterals;
using namespace domiva::test;

namespace {

// Another process copying the log: it holds the engine's checkpoint lock (a byte of the
// shared-memory file, as the unix VFS places it) for a while, then lets go.
class CheckpointLockHolder {
public:
    CheckpointLockHolder(const QString& shmPath, int holdMs) {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        const QByteArray path = QFile::encodeName(shmPath);
        m_child = ::fork();
        if (m_child == 0) {
            // Only what is safe between fork and exit.
            const int fd = ::open(path.constData(), O_RDWR);
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            lock.l_start = 120 + 1; // the lock bytes' base, then the checkpointer's
            lock.l_len = 1;
            const char held = fd >= 0 && ::fcntl(fd, F_SETLK, &lock) == 0 ? 'y' : 'n';
            [[maybe_unused]] const auto written = ::write(ready[1], &held, 1);
            const timespec pause{holdMs / 1000, (holdMs % 1000) * 1'000'000L};
            ::nanosleep(&pause, nullptr);
            ::_exit(0);
        }
        char held = 'n';
        if (m_child > 0 && ::read(ready[0], &held, 1) == 1)
            m_held = held == 'y';
        ::close(ready[0]);
        ::close(ready[1]);
        QVERIFY2(m_held, "the checkpoint lock could not be taken");
    }
    ~CheckpointLockHolder() {
        if (m_child > 0)
            ::waitpid(m_child, nullptr, 0);
    }
    CheckpointLockHolder(const CheckpointLockHolder&) = delete;
    CheckpointLockHolder& operator=(const CheckpointLockHolder&) = delete;

private:
    pid_t m_child = -1;
    bool m_held = false;
};

// The sqlite3 shell on the file, as the README invites: a process of its own, so the engine's
// locks, and its removal of the log and index on the last close, are that program's.
class Shell {
public:
    explicit Shell(const QString& path) { m_shell.start(QStringLiteral("sqlite3"), {path}); }
    // Runs the statements to their end; false when the shell reported an error.
    bool run(const QByteArray& statements) {
        m_shell.write(".timeout 5000\n" + statements + "\nSELECT 'done';\n");
        for (QByteArray out; !out.contains("done\n"); out += m_shell.readAllStandardOutput()) {
            if (!m_shell.waitForReadyRead(10'000))
                return false;
        }
        return m_shell.readAllStandardError().isEmpty();
    }
    bool quit() {
        m_shell.closeWriteChannel();
        return m_shell.waitForFinished(10'000) && m_shell.exitCode() == 0;
    }

private:
    QProcess m_shell;
};

// The Offers column declarations, one piece per column in table order.
const QStringList offersPieces{
    QStringLiteral(" [id] Text(128) PRIMARY KEY COLLATE NOCASE, "),
    QStringLiteral(" [qid] Int, "),
    QStringLiteral(" [unreaded] Bit, "),
    QStringLiteral(" [min_obj] Text(32), "),
    QStringLiteral(" [metro_obj] Text(255), "),
    QStringLiteral(" [room_obj] Text(32), "),
    QStringLiteral(" [kitch_obj] Text(32), "),
    QStringLiteral(" [price_obj] Text(64), "),
    QStringLiteral(" [perc_obj] Text(32), "),
    QStringLiteral(" [flat_obj] Text(6), "),
    QStringLiteral(" [info_obj] Text(32), "),
    QStringLiteral(" [cont_obj] Text(128), "),
    QStringLiteral(" [owntxt_obj] MEMO TEXT, "),
    QStringLiteral(" [publ_obj] Text(128), "),
    QStringLiteral(" [dt_obj] Datetime "),
};

} // namespace

class TestStoreDatabase : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;

    std::unique_ptr<Database> freshDatabase() {
        createDatabase(m_path);
        return openDatabase(m_path);
    }

    // A commit that leaves well over a megabyte in the log.
    static void storeLongOffers(Database& db, int first) {
        Transaction transaction(db);
        for (int i = first; i < first + 300; ++i)
            QVERIFY(db.insertOffer(makeOffer(QString::number(i), 1, 0, QString(400, u'x'))));
        transaction.commit();
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_path = m_dir->filePath(QStringLiteral("db"));
    }
    void cleanup() { m_dir.reset(); }

    void createWritesBothTablesText() {
        createDatabase(m_path);
        QCOMPARE(entriesOf(m_dir->path()), QStringList{QStringLiteral("db")});

        const QString expectedOffers =
            QStringLiteral("Create Table Offers (") + offersPieces.join(QString()) + "  )";
        QCOMPARE(QString(sql::createOffersTable), expectedOffers);
        QVERIFY(expectedOffers.contains(QStringLiteral(", \x20[qid]")));
        QVERIFY(expectedOffers.endsWith(QStringLiteral(" Datetime   )")));

        // The engine keeps the statement as sent, with only its leading keywords upper-cased.
        RawConnection raw(m_path);
        const QString queriesSql =
            raw.value(QStringLiteral("SELECT sql FROM sqlite_master WHERE name='Queries'"));
        const QString offersSql =
            raw.value(QStringLiteral("SELECT sql FROM sqlite_master WHERE name='Offers'"));
        QCOMPARE(queriesSql, QStringLiteral("CREATE TABLE Queries ([id] Int PRIMARY KEY, [qname] "
                                            "Text(255), [updated] Bit, [unreaded] Bit )"));
        QCOMPARE(offersSql, QStringLiteral("CREATE TABLE") + expectedOffers.mid(12));
        QCOMPARE(raw.rows(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' "
                                         "ORDER BY name")),
                 (QStringList{QStringLiteral("Offers"), QStringLiteral("Queries")}));
        QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM Queries")), QStringLiteral("0"));
        QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("0"));
    }

    // Another start made the file first: creation keeps that one and succeeds.
    void createNeverReplacesAFile() {
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep me");
        file.close();
        createDatabase(m_path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep me"));
        QCOMPARE(entriesOf(m_dir->path()), QStringList{QStringLiteral("db")});
    }

    // A crash left the journals of a file that the user then deleted.
    void createDropsTheJournalsOfADeletedFile() {
        for (const char* suffix : {"-wal", "-shm", "-journal"}) {
            QFile file(m_path + QLatin1String(suffix));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(4096, 'j')) > 0);
        }
        createDatabase(m_path);
        QCOMPARE(entriesOf(m_dir->path()), QStringList{QStringLiteral("db")});
    }

    void createFailureLeavesNothing_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("parent is a regular file") << "parent-file";
        QTest::newRow("parent is missing") << "parent-missing";
        QTest::newRow("target is a non-empty folder") << "target-folder";
    }
    void createFailureLeavesNothing() {
        QFETCH(QString, kind);
        QString folder = m_dir->path();
        QString path;
        if (kind == QLatin1String("parent-file")) {
            QFile blocker(m_dir->filePath(QStringLiteral("work")));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            blocker.close();
            path = blocker.fileName() + QStringLiteral("/db");
        } else if (kind == QLatin1String("parent-missing")) {
            path = m_dir->filePath(QStringLiteral("missing/db"));
        } else {
            // Tests may run as root, so a read-only folder would not stop the rename; a
            // non-empty folder in the way does.
            QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("db/inside")));
            path = m_path;
        }
        const QStringList before = entriesOf(folder);

        const std::optional<QString> error = errorOf([&] { createDatabase(path); });
        QVERIFY2(error.has_value(), "creation did not fail");
        QVERIFY(!error->isEmpty());
        QCOMPARE(entriesOf(folder), before);

        // The start after a failed creation cannot make a file either.
        const std::optional<QString> openError = errorOf([&] { openDatabase(path); });
        QVERIFY2(openError.has_value(), "opening did not fail");
        QVERIFY(!openError->isEmpty());
        QCOMPARE(entriesOf(folder), before);
        if (kind == QLatin1String("target-folder"))
            QCOMPARE(entriesOf(m_path), QStringList{QStringLiteral("inside")});
    }

    void openMissingFileCreatesNothing() {
        const std::optional<QString> error = errorOf([&] { openDatabase(m_path); });
        QVERIFY(error.has_value());
        QCOMPARE(*error, QStringLiteral("unable to open database file"));
        QVERIFY(entriesOf(m_dir->path()).isEmpty());
    }

    void openRejectsUnusableFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("message");
        QTest::newRow("not a database") << "garbage"
                                        << "file is not a database";
        QTest::newRow("empty file") << "empty"
                                    << "no such table: Queries";
        QTest::newRow("no Queries") << "no-queries"
                                    << "no such table: Queries";
        QTest::newRow("no Offers") << "no-offers"
                                   << "no such table: Offers";
        QTest::newRow("Offers lacks a column") << "no-dt"
                                               << "no such column: dt_obj";
    }
    void openRejectsUnusableFile() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        if (kind == QLatin1String("garbage") || kind == QLatin1String("empty")) {
            QFile file(m_path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            if (kind == QLatin1String("garbage"))
                file.write(QByteArray(4096, 'x'));
        } else {
            createDatabase(m_path);
            RawConnection raw(m_path);
            if (kind == QLatin1String("no-queries"))
                raw.exec(QStringLiteral("DROP TABLE Queries"));
            else if (kind == QLatin1String("no-offers"))
                raw.exec(QStringLiteral("DROP TABLE Offers"));
            else
                raw.exec(QStringLiteral("ALTER TABLE Offers DROP COLUMN dt_obj"));
        }
        const auto bytes = [&] {
            QFile file(m_path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        const QByteArray before = bytes();
        const std::optional<QString> error = errorOf([&] { openDatabase(m_path); });
        QVERIFY2(error.has_value(), "opening did not fail");
        QCOMPARE(*error, message);
        QVERIFY2(bytes() == before, "the file was changed"); // it is not ours
    }

    // A damaged file goes aside with its journals, the newest three damaged files are kept, and
    // the read marks come back where the old file can still be read.
    void damagedFileIsSetAside_data() {
        QTest::addColumn<QString>("table");
        QTest::addColumn<int>("carried");
        QTest::addColumn<QString>("flags"); // the search's updated and unreaded afterwards
        // Damaged files already there; those kept afterwards, the one set aside now first.
        QTest::addColumn<QStringList>("earlier");
        QTest::addColumn<QStringList>("kept");
        const QStringList past{"20200101-000000", "20210101-000000", "20220101-000000"};
        const QStringList keptOfPast{"20261208-072222-2", "20220101-000000", "20210101-000000"};
        QTest::newRow("page of Offers") << "Offers" << 0 << "11" << past << keptOfPast;
        QTest::newRow("page of Queries") << "Queries" << 1 << "00" << past << keptOfPast;
        // After the clock was set back, the earlier copies' names sort after the new one's:
        // their numbers still say which came last.
        QTest::newRow("earlier copies named later")
            << "Offers" << 0 << "11"
            << QStringList{"20270101-000000-1", "20280101-000000-2", "20261208-090000-3"}
            << QStringList{"20261208-072222-4", "20261208-090000-3", "20280101-000000-2"};
    }
    void damagedFileIsSetAside() {
        QFETCH(QString, table);
        QFETCH(int, carried);
        QFETCH(QString, flags);
        QFETCH(QStringList, earlier);
        QFETCH(QStringList, kept);
        {
            auto db = freshDatabase();
            db->storeQuery(1, QStringLiteral("one"));
            QVERIFY(db->insertOffer(makeOffer(QStringLiteral("a"), 1, 1)));
            db->markOfferRead(QStringLiteral("a"), 1);
        }
        overwriteTablePage(m_path, table);
        const QString prefix = m_path + QStringLiteral(".damaged-");
        for (const QString& old : earlier)
            QFile(prefix + old).open(QFile::WriteOnly);
        QFile(m_path + QStringLiteral("-shm")).open(QFile::WriteOnly);
        DamageRecovery recovery;
        QCOMPARE(recovery.notice(), DamageRecovery::Action::Recover);
        const QString setAside =
            recovery.rebuild(m_path, QDateTime(QDate(2026, 12, 8), {7, 22, 22}));
        for (QString& name : kept)
            name.prepend(prefix);
        QCOMPARE(damagedFiles(m_path), kept);
        QCOMPARE(setAside, kept[0]);
        QVERIFY(QFile::exists(setAside + QStringLiteral("-shm")));
        auto fresh = openDatabase(m_path);
        fresh->storeQuery(1, QStringLiteral("one"));
        QVERIFY(fresh->insertOffer(makeOffer(QStringLiteral("a"), 1, 1)));
        RawConnection raw(m_path);
        raw.exec(QStringLiteral("UPDATE Queries SET updated=1, unreaded=1"));
        // A listing a slice: the same marks, the same flags; the one slice there is goes
        // through only where the damaged file still yields its listings.
        int slices = 0;
        QCOMPARE(carryReadMarks(*fresh, setAside, 1, [&slices] { ++slices; }).carried, carried);
        QCOMPARE(slices, carried);
        // A search left with no unread listing is no longer marked.
        QCOMPARE(raw.value(QStringLiteral("SELECT updated || unreaded FROM Queries")), flags);
    }

    // Another program (the sqlite3 shell) has the damaged file open across the repair. When it
    // closes, the engine removes the log and index beside the file by name: they must not be
    // the new file's. Whatever either side commits stays, and the file is sound.
    void repairBesideAnotherProgram_data() {
        QTest::addColumn<bool>("otherClosesFirst");
        QTest::newRow("the other closes before the client writes") << true;
        QTest::newRow("the other closes after the client's commit") << false;
    }
    void repairBesideAnotherProgram() {
        QFETCH(bool, otherClosesFirst);
        {
            auto db = freshDatabase();
            db->storeQuery(1, QStringLiteral("one"));
            QVERIFY(db->insertOffer(makeOffer(QStringLiteral("a"), 1, 1)));
        }
        overwriteTablePage(m_path, QStringLiteral("Offers"));
        if (QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty())
            QSKIP("The sqlite3 shell is not installed");
        Shell other(m_path);
        QVERIFY(other.run("SELECT COUNT(*) FROM Queries;"));

        DamageRecovery recovery;
        QCOMPARE(recovery.notice(), DamageRecovery::Action::Recover);
        recovery.rebuild(m_path);
        const auto otherWritesAndQuits = [&] {
            return other.run("INSERT INTO Queries VALUES (3, 'other', 0, 0);") && other.quit();
        };
        if (otherClosesFirst)
            QVERIFY(otherWritesAndQuits());
        auto fresh = openDatabase(m_path);
        fresh->storeQuery(2, QStringLiteral("client"));
        QVERIFY(fresh->insertOffer(makeOffer(QStringLiteral("b"), 2, 1)));
        if (!otherClosesFirst)
            QVERIFY(otherWritesAndQuits());
        fresh->storeQuery(4, QStringLiteral("client again"));
        Shell again(m_path);
        QVERIFY(again.run("INSERT INTO Queries VALUES (6, 'again', 0, 0);") && again.quit());
        fresh->storeQuery(5, QStringLiteral("client last"));
        fresh.reset();

        RawConnection check(m_path);
        QCOMPARE(check.value(QStringLiteral("PRAGMA integrity_check")), QStringLiteral("ok"));
        QCOMPARE(check.rows(QStringLiteral("SELECT id FROM Queries ORDER BY id")),
                 (QStringList{"2", "3", "4", "5", "6"}));
        QCOMPARE(check.rows(QStringLiteral("SELECT id FROM Offers")), QStringList{"b"});
    }

    void openSwitchesToWalAndAddsIndexes() {
        createDatabase(m_path);
        {
            auto db = openDatabase(m_path);
            RawConnection raw(m_path);
            QCOMPARE(raw.value(QStringLiteral("PRAGMA journal_mode")), QStringLiteral("wal"));
            QCOMPARE(raw.rows(QStringLiteral("SELECT name FROM sqlite_master WHERE type='index' "
                                             "AND sql IS NOT NULL ORDER BY name")),
                     (QStringList{QStringLiteral("FlatKeysByHistory"),
                                  QStringLiteral("FlatKeysOpened"), QStringLiteral("OffersByQuery"),
                                  QStringLiteral("OffersUnreadByQuery")}));
            QSqlQuery sync(db->connection());
            QVERIFY(sync.exec(QStringLiteral("PRAGMA synchronous")));
            QVERIFY(sync.next());
            QCOMPARE(sync.value(0).toInt(), 1); // NORMAL
        }
        // A second opening finds the indexes there.
        auto again = openDatabase(m_path);
        QCOMPARE(again->queryIds(), QList<qint32>());
    }

    // Files of earlier builds, made with the statements those builds ran: the client's tables
    // are brought to today's shape as the file opens, Queries and Offers untouched, and keys
    // of an older way are made again from the listings still stored (a1 and b1, one flat whose
    // keys were stored wrong); g1 and g2 are gone from Offers and keep theirs (333).
    // Expected: b1's earlier appearances, then g2's ("*" after an opened one).
    void earlierShapesAreBroughtUpToDate_data() {
        QTest::addColumn<bool>("afterOpen"); // the statements run on a file opened once
        QTest::addColumn<QStringList>("statements");
        QTest::addColumn<QString>("expected");
        const QString state =
            QStringLiteral("CREATE TABLE ClientState (name TEXT PRIMARY KEY, value);"
                           "INSERT INTO ClientState VALUES ('historyFilled', 1);");
        QTest::newRow("no history yet") << false << QStringList{} << QStringLiteral("/");
        QTest::newRow("keys apart, no key column")
            << false
            << QStringList{QStringLiteral(
                               "CREATE TABLE FlatHistory (id TEXT NOT NULL PRIMARY KEY "
                               "COLLATE NOCASE, qid INT, price TEXT, dt REAL, first_seen INT, "
                               "last_seen INT, opened INT NOT NULL DEFAULT 0, prev INT)"),
                           QStringLiteral(
                               "CREATE TABLE FlatKeys (key INT NOT NULL, hid INT NOT NULL, "
                               "PRIMARY KEY (key, hid)) WITHOUT ROWID"),
                           QStringLiteral("CREATE INDEX FlatKeysByHistory ON FlatKeys (hid)"),
                           QStringLiteral(
                               "CREATE INDEX FlatHistoryBySeen ON FlatHistory (last_seen)"),
                           state,
                           QStringLiteral("INSERT INTO FlatHistory VALUES ('a1', 1, 'p1', 100, 1, "
                                          "1, 1, NULL), "
                                          "('b1', 1, 'p2', 200, 1, 1, 0, NULL), ('g1', 1, 'g', 50, "
                                          "1, 1, 0, NULL), "
                                          "('g2', 1, 'h', 60, 1, 1, 0, 3)"),
                           QStringLiteral(
                               "INSERT INTO FlatKeys VALUES (111, 1), (222, 2), (333, 3), "
                               "(333, 4)")}
            << QStringLiteral("p1*/g");
        QTest::newRow("first key in the history row")
            << false
            << QStringList{QStringLiteral(
                               "CREATE TABLE FlatHistory (id TEXT NOT NULL PRIMARY KEY "
                               "COLLATE NOCASE, key INT, qid INT, price TEXT, dt REAL, "
                               "first_seen INT, last_seen INT, opened INT NOT NULL DEFAULT 0, "
                               "prev INT)"),
                           QStringLiteral(
                               "CREATE TABLE FlatKeys (key INT NOT NULL, hid INT NOT NULL, "
                               "PRIMARY KEY (key, hid)) WITHOUT ROWID"),
                           QStringLiteral(
                               "CREATE TABLE FlatKeysPending (hid INT NOT NULL, key INT NOT "
                               "NULL, PRIMARY KEY (hid, key)) WITHOUT ROWID"),
                           QStringLiteral("CREATE INDEX FlatHistoryByKey ON FlatHistory (key)"),
                           QStringLiteral("CREATE INDEX FlatKeysByHistory ON FlatKeys (hid)"),
                           state,
                           // b1's keys were staged (all in FlatKeys), g2 has 333 for a second
                           // phone.
                           QStringLiteral("INSERT INTO FlatHistory VALUES ('a1', 111, 1, 'p1', "
                                          "100, 1, 1, 1, NULL), "
                                          "('b1', NULL, 1, 'p2', 200, 1, 1, 0, NULL), "
                                          "('g1', 333, 1, 'g', 50, 1, 1, 0, NULL), "
                                          "('g2', 444, 1, 'h', 60, 1, 1, 0, 3)"),
                           QStringLiteral("INSERT INTO FlatKeys VALUES (222, 2), (333, 4)")}
            << QStringLiteral("p1*/g");
        QTest::newRow("today's shape, keys of an older way")
            << true
            << QStringList{QStringLiteral(
                               "INSERT OR REPLACE INTO ClientState VALUES ('historyFilled', 1), "
                               "('keysVersion', 1)"),
                           QStringLiteral("INSERT INTO FlatHistory VALUES ('a1', 1, 'p1', 100, 1, "
                                          "1, 1, NULL), "
                                          "('b1', 1, 'p2', 200, 1, 1, 0, NULL), ('g1', 1, 'g', 50, "
                                          "1, 1, 0, NULL), "
                                          "('g2', 1, 'h', 60, 1, 1, 0, 3)"),
                           QStringLiteral("INSERT INTO FlatKeys VALUES (111, 100, 1, 1), "
                                          "(222, 200, 2, 0), (333, 50, 3, 0), (333, 60, 4, 0)")}
            << QStringLiteral("p1*/g");
    }
    void earlierShapesAreBroughtUpToDate() {
        QFETCH(bool, afterOpen);
        QFETCH(QStringList, statements);
        QFETCH(QString, expected);
        createDatabase(m_path);
        if (afterOpen)
            openDatabase(m_path).reset();
        const QString offers = QStringLiteral("SELECT * FROM Offers ORDER BY id");
        QStringList before;
        {
            RawConnection raw(m_path);
            raw.exec(QStringLiteral("INSERT INTO Queries VALUES (1, 'q', 0, 0)"));
            for (const QString& id : {QStringLiteral("a1"), QStringLiteral("b1")})
                raw.exec(QStringLiteral("INSERT INTO Offers (id, qid, unreaded, metro_obj, "
                                        "room_obj, price_obj, flat_obj, cont_obj, dt_obj) VALUES "
                                        "('%1', 1, 0, 'Тверская, 1', '2', 'p', '2/9', "
                                        "'8-916-123-45-67', '2024-03-01 10:00:00.000')")
                             .arg(id));
            for (const QString& statement : statements)
                raw.exec(statement);
            before = raw.rows(offers) + raw.rows(QStringLiteral("SELECT * FROM Queries"));
        }
        auto db = openDatabase(m_path);
        {
            RawConnection raw(m_path);
            QCOMPARE(raw.value(QStringLiteral("PRAGMA user_version")),
                     QString::number(FlatHistory::currentShape));
            QCOMPARE(raw.rows(QStringLiteral("SELECT name FROM pragma_table_info('FlatHistory') "
                                             "WHERE name='key'")),
                     QStringList());
            QCOMPARE(raw.rows(offers) + raw.rows(QStringLiteral("SELECT * FROM Queries")), before);
        }
        auto history = std::make_unique<FlatHistory>(*db);
        {
            Transaction tx(*db);
            while (!history->keyedNow() && !history->rekeySome(1)) {
            }
            tx.commit();
        }
        QVERIFY(history->keyedNow());
        // A row counted as a re-post is one shown with earlier appearances.
        QSqlQuery rows(db->connection());
        QVERIFY(rows.exec(QStringLiteral("SELECT id, prev IS NOT NULL FROM FlatHistory")));
        while (rows.next())
            QCOMPARE(!history->earlier(rows.value(0).toString(), 1).empty(),
                     rows.value(1).toBool());
        QStringList shown;
        for (const QString& id : {QStringLiteral("b1"), QStringLiteral("g2")}) {
            QStringList prices;
            for (const FlatHistory::Appearance& appearance : history->earlier(id, 5))
                prices << appearance.price + (appearance.opened ? QStringLiteral("*") : QString());
            shown << prices.join(QLatin1Char(','));
        }
        QCOMPARE(shown.join(QLatin1Char('/')), expected);
        // Opened again, the file is of today's shape: nothing is made again.
        rows.finish();
        history.reset();
        db.reset();
        auto again = openDatabase(m_path);
        QVERIFY(FlatHistory(*again).keyedNow());
    }

    void awkwardFolderNames_data() {
        QTest::addColumn<QString>("folder");
        QTest::newRow("question mark") << "a?mode=rwc";
        QTest::newRow("hash and percent") << "b#1%20c";
        QTest::newRow("blank and Cyrillic") << "Мои данные 1";
    }
    void awkwardFolderNames() {
        QFETCH(QString, folder);
        QVERIFY(QDir(m_dir->path()).mkpath(folder));
        const QString path = m_dir->filePath(folder + QStringLiteral("/db"));
        const std::optional<QString> missing = errorOf([&] { openDatabase(path); });
        QVERIFY(missing.has_value());
        createDatabase(path);
        auto db = openDatabase(path);
        db->storeQuery(5, QStringLiteral("x"));
        QCOMPARE(db->queryIds(), QList<qint32>{5});
        QVERIFY(QFileInfo::exists(path));
        QVERIFY(QFileInfo::exists(path + QStringLiteral("-wal")));
        QCOMPARE(entriesOf(m_dir->path()).size(), 1);
    }

    void readerDelaysTheCopyAndClosingStopsIt() {
        auto db = freshDatabase();
        RawConnection reader(m_path);
        reader.exec(QStringLiteral("BEGIN"));
        reader.exec(QStringLiteral("SELECT COUNT(*) FROM Offers")); // holds a snapshot
        storeLongOffers(*db, 0);
        storeLongOffers(*db, 300);
        RawConnection(m_path).waitForLogCopied();
        QVERIFY(QFileInfo(m_path).size() < 1'000'000);
        const QString log = m_path + QStringLiteral("-wal");
        const qint64 heldLog = QFileInfo(log).size();
        reader.exec(QStringLiteral("COMMIT"));
        // Copied once the reader lets go, with nothing committed meanwhile.
        QTRY_VERIFY(QFileInfo(m_path).size() > 1'000'000);
        // With no writes since, the log is cut back as well.
        QTRY_COMPARE(QFileInfo(log).size(), qint64(0));
        storeLongOffers(*db, 600); // starts the log again, no longer than it needs
        QVERIFY2(QFileInfo(log).size() < heldLog, qPrintable(QString::number(heldLog)));
        // Once writes stop, the pages after the last request are copied too and the log cut.
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(log).size(), qint64(0), 5000);
        QCOMPARE(reader.value(QStringLiteral("SELECT COUNT(*) FROM Offers")),
                 QStringLiteral("900"));
        storeLongOffers(*db, 900);
        db.reset(); // while the copy runs
        QCOMPARE(reader.value(QStringLiteral("SELECT COUNT(*) FROM Offers")),
                 QStringLiteral("1200"));
    }

    void clearDatabaseFileEmptiesBothTables_data() {
        QTest::addColumn<int>("checkpointHeldMs"); // by another process while the clear runs
        QTest::addColumn<int>("historyRows");      // kept beside the listings
        QTest::addColumn<bool>("readerHolds");     // another program reads across the clear
        QTest::newRow("alone") << 0 << 0 << false;
        QTest::newRow("another checkpoint under way") << 300 << 0 << false;
        QTest::newRow("a large history, another program reading") << 0 << 40'000 << true;
    }
    void clearDatabaseFileEmptiesBothTables() {
        QFETCH(int, checkpointHeldMs);
        QFETCH(int, historyRows);
        QFETCH(bool, readerHolds);
        auto db = freshDatabase();
        db->storeQuery(1, QStringLiteral("one"));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("a"), 1, 1)));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("b"), 7, 1)));
        clearDatabaseFile(m_path);
        RawConnection raw(m_path);
        const QString counts = QStringLiteral("SELECT (SELECT COUNT(*) FROM Queries) || '|' || "
                                              "(SELECT COUNT(*) FROM Offers)");
        QCOMPARE(raw.value(counts), QStringLiteral("0|0"));
        // The same beside the program's connection, on a million-listing scale without the
        // freed pages written out zeroed: the log is cut back at once.
        std::optional<CheckpointLockHolder> other;
        if (checkpointHeldMs > 0) {
            // A few listings, so that the clear meets the checkpoint while it is still held.
            for (const char* id : {"b", "c", "d"})
                QVERIFY(db->insertOffer(makeOffer(QLatin1String(id), 1, 1)));
            other.emplace(m_path + QStringLiteral("-shm"), checkpointHeldMs);
        } else {
            storeLongOffers(*db, 0);
        }
        if (historyRows > 0) {
            raw.exec(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM "
                                    "n WHERE i < %1) INSERT INTO FlatHistory (id, qid, price, dt, "
                                    "first_seen, last_seen) SELECT 'h' || i || '-' || "
                                    "hex(randomblob(60)), 1, '100', 45000, 1, 1 FROM n")
                         .arg(historyRows));
            raw.waitForLogCopied();
            raw.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        }
        const qint64 fileBefore = QFileInfo(m_path).size();
        std::optional<RawConnection> reader;
        if (readerHolds) {
            // Its snapshot keeps the whole log: what the clear writes stays there.
            reader.emplace(m_path);
            reader->exec(QStringLiteral("BEGIN"));
            reader->exec(QStringLiteral("SELECT COUNT(*) FROM FlatHistory"));
        }
        clearDatabaseFile(m_path);
        QCOMPARE(raw.value(counts), QStringLiteral("0|0"));
        // The history is kept, and never copied: the log holds the few pages the clear
        // changed, whatever the history holds (a rewrite of the file would put all of it
        // there).
        QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM FlatHistory")),
                 QString::number(historyRows));
        const qint64 log = QFileInfo(m_path + QStringLiteral("-wal")).size();
        if (readerHolds) {
            QVERIFY2(fileBefore > 8'000'000, qPrintable(QString::number(fileBefore)));
            QVERIFY2(log < 500'000, qPrintable(QString::number(log)));
            reader.reset();
        } else {
            QCOMPARE(log, qint64(0));
        }
    }

    void clearDatabaseFileIsOneTransaction() {
        auto db = freshDatabase();
        db->storeQuery(1, QStringLiteral("one"));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("a"), 1, 1)));
        RawConnection raw(m_path);
        raw.exec(QStringLiteral("CREATE TRIGGER KeepQueries BEFORE DELETE ON Queries "
                                "BEGIN SELECT RAISE(ABORT, 'queries are kept'); END"));
        const std::optional<QString> error = errorOf([&] { clearDatabaseFile(m_path); });
        QCOMPARE(error.value_or(QString()), QStringLiteral("queries are kept"));
        // The listings deleted first came back with the failed transaction.
        QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("1"));
        // And the program's connection is usable afterwards.
        raw.exec(QStringLiteral("DROP TRIGGER KeepQueries"));
        QVERIFY(db->insertOffer(makeOffer(QStringLiteral("b"), 1, 1)));
        clearDatabaseFile(m_path);
        QCOMPARE(raw.value(QStringLiteral("SELECT COUNT(*) FROM Offers")), QStringLiteral("0"));
    }
};

QTEST_GUILESS_MAIN(TestStoreDatabase)
#include "tst_store_database.moc"
