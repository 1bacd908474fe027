// Reads and read marks beside the data thread's long work: a listing the user opens during a
// long write is marked between two of its short transactions; counts, keys and exports answered
// while a sync waits for its transfer; answers read before a clear or a repair dropped, and an
// export under way failing as changed under it.

#include "store/csvexport.h"
#include "store/storetestsupport.h"
#include "sync/datathreadfixture.h"

#include <QFile>
#include <QTest>

using namespace domiva;
using namespace std::chrono_literals;
using domiva::test::FakeService;

class TestDataThreadReads : public test::DataThreadFixture {
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    // Every long write goes in short transactions, and none stays open while the data thread's
    // loop turns; a listing the user opens meanwhile is marked between two of them, not after
    // the whole write.
    void clickMarkGoesBetweenSlices_data() {
        QTest::addColumn<QString>("write");
        QTest::addColumn<QString>("ends"); // the answer of the long write
        QTest::newRow("marking a search read")
            << QStringLiteral("mark") << QStringLiteral("marked");
        QTest::newRow("a sync of a long feed") << QStringLiteral("sync") << QStringLiteral("done");
        QTest::newRow("the history's first fill")
            << QStringLiteral("fill") << QStringLiteral("done");
    }
    void clickMarkGoesBetweenSlices() {
        QFETCH(QString, write);
        QFETCH(QString, ends);
        const QString path = request().dbPath;
        const int stored = write == QLatin1String("fill") ? 400'000 : 20'000;
        {
            auto db = openDatabase(path);
            db->storeQuery(7, QStringLiteral("big"));
            db->storeQuery(8, QStringLiteral("other"));
            Transaction transaction(*db);
            for (int i = 0; i < stored; ++i)
                db->insertOffer(OfferRow{QStringLiteral("b%1").arg(i),
                                         7,
                                         {QString(), QStringLiteral("Улица %1").arg(i)},
                                         45000});
            for (int n = 0; n < 3; ++n)
                db->insertOffer(OfferRow{QStringLiteral("y%1").arg(n), 8, {}, 45000});
            transaction.commit();
        }
        FakeService::Answer answer;
        if (write == QLatin1String("fill")) {
            // A file from before the history: its first sync remembers every listing first.
            test::RawConnection raw(path);
            raw.exec(QStringLiteral("DELETE FROM ClientState WHERE name LIKE 'history%'"));
            answer.body = "R#7#big\r\n";
        } else if (write == QLatin1String("sync")) {
            answer.body = "R#9#new\r\n";
            for (int i = 0; i < 60'000; ++i)
                answer.body += "D#n" + QByteArray::number(i) + "#5 min#Street " +
                               QByteArray::number(i) + "#2#8#40 000#50%#3/9#m/t#" +
                               QByteArray::number(9'000'000 + i) + "#text#agent#06.12.26 14:05\r\n";
        }
        m_service->setDefaultAnswer(answer);
        m_data->setWriteSliceRows(100);
        // Slowed: a transaction of the sync lasts a quarter of a second, so that the feed takes
        // several of them and the lock is free between two of them only as long as the sync
        // lets it be.
        m_data->setSliceMilliseconds(250);
        if (write == QLatin1String("mark")) {
            m_data->markSearchRead(path, 7);
            QTRY_VERIFY(m_answers.isEmpty() && m_data->busy());
        } else {
            m_data->sync(request());
            // The feed is being applied.
            QTRY_VERIFY(m_answers.contains(QStringLiteral("suspend")));
        }
        QTest::qWait(20);
        m_answers.clear();
        // Three listings opened one after the other, each as soon as the one before is marked:
        // each goes in between two slices, so all three before the write ends. (One alone
        // could slip in by chance where the lock was free for a moment.)
        std::function<void(int)> click = [&](int n) {
            m_data->markOfferRead(path, QStringLiteral("y%1").arg(n), 8, this,
                                  [this, n, &click](const std::optional<Error>& failure) {
                                      record(failure ? failure->message()
                                                     : QStringLiteral("clicked"));
                                      if (n < 2)
                                          click(n + 1);
                                  });
        };
        click(0);
        QTRY_VERIFY_WITH_TIMEOUT(!m_data->busy(), 60'000);
        QTRY_COMPARE(m_answers.count(QStringLiteral("clicked")), 3);
        QStringList got;
        for (const QString& answer : std::as_const(m_answers)) {
            if (answer == QLatin1String("clicked") || answer == QLatin1String("marked"))
                got << answer;
            else if (answer.startsWith(QLatin1String("done")))
                got << QStringLiteral("done");
        }
        const QString clicked = QStringLiteral("clicked");
        QCOMPARE(got, (QStringList{clicked, clicked, clicked, ends}));
        test::RawConnection raw(path);
        QCOMPARE(raw.value(QStringLiteral("SELECT SUM(unreaded) FROM Offers WHERE qid = 8")),
                 QStringLiteral("0"));
        if (write == QLatin1String("mark"))
            QCOMPARE(raw.value(QStringLiteral("SELECT SUM(unreaded) FROM Offers")),
                     QStringLiteral("0"));
    }

    void readsGoBesideASync() {
        const QString path = request().dbPath;
        {
            auto db = openDatabase(path);
            db->storeQuery(7, QStringLiteral("b"));
            for (const char* id : {"x1", "x2", "x3"})
                db->insertOffer(OfferRow{QString::fromLatin1(id), 7, {}, 45000});
        }
        syncAnsweredAfter(10s);
        QTRY_COMPARE(m_service->requestCount(), qsizetype(1));
        // A scan given up after its keys were read, before they reached the window, answers
        // nothing. The reading thread works in the order asked: once the export asked after it
        // has written its file, the scan's keys are on their way, and the window has not
        // taken them yet.
        auto dropped = std::make_shared<OfferKeyScan>(7, QString(), 0, 8, 100);
        auto wanted = std::make_shared<OfferKeyScan>(7, QString(), 0, 8, 100);
        QStringList read;
        std::optional<OfferCounts> counts;
        m_data->readOfferKeys(path, dropped, this, [&](OfferKeyBatch) { read << "dropped"; });
        const QString csv = m_dir->filePath(QStringLiteral("x.csv"));
        const DataThread::ExportReply quiet{[](qint64, qint64) {},
                                            [](const std::optional<Error>&) {}};
        m_data->exportSearch(path, 7, csv, {QStringLiteral("id")}, 100,
                             std::make_shared<std::atomic<bool>>(false), this, quiet);
        QVERIFY(waitWithoutEvents([&] { return QFile::exists(csv); }));
        dropped->cancel();
        // Nor does a count whose receiver is gone; a count asked after it is answered.
        auto gone = std::make_unique<QObject>();
        m_data->countOffers(path, 7, gone.get(),
                            [&](std::optional<OfferCounts>) { read << "gone"; });
        QVERIFY(QFile::remove(csv));
        m_data->exportSearch(path, 7, csv, {QStringLiteral("id")}, 100,
                             std::make_shared<std::atomic<bool>>(false), this, quiet);
        QVERIFY(waitWithoutEvents([&] { return QFile::exists(csv); }));
        gone.reset();
        m_data->readOfferKeys(path, wanted, this, [&](OfferKeyBatch batch) {
            read << QString::number(batch.keys.size());
        });
        m_data->countOffers(path, 7, this, [&](std::optional<OfferCounts> c) { counts = c; });
        QTRY_VERIFY(counts);
        QCOMPARE(read, QStringList{QStringLiteral("3")});
        QCOMPARE(counts->total, qint64(3));
        QVERIFY(m_data->busy());
    }

    // A count and a grid's keys read from the file before a clear or a repair began, their
    // answers not yet taken by the window: dropped, since the window shows the file after it.
    // An export under way fails as changed under it instead of writing rows that are gone.
    void answersReadBeforeAClearAreDropped_data() {
        QTest::addColumn<QString>("what");
        QTest::newRow("clear") << QStringLiteral("clear");
        QTest::newRow("repair") << QStringLiteral("repair");
    }
    void answersReadBeforeAClearAreDropped() {
        QFETCH(QString, what);
        const QString path = request().dbPath;
        {
            auto db = openDatabase(path);
            db->storeQuery(7, QStringLiteral("b"));
            Transaction transaction(*db);
            for (int i = 0; i < 5000; ++i)
                db->insertOffer(OfferRow{QStringLiteral("x%1").arg(i), 7, {}, 45000});
            transaction.commit();
        }
        QStringList read;
        m_data->countOffers(path, 7, this, [&](std::optional<OfferCounts> counts) {
            read << QStringLiteral("count %1").arg(counts ? counts->total : -1);
        });
        m_data->readOfferKeys(
            path, std::make_shared<OfferKeyScan>(7, QString(), 0, 8, 100), this,
            [&](OfferKeyBatch batch) { read << QStringLiteral("keys %1").arg(batch.keys.size()); });
        // An export of a row a chunk: under way when the clear begins.
        std::optional<Error> exported;
        bool exportDone = false;
        const QString csv = m_dir->filePath(QStringLiteral("x.csv"));
        const QString marker = m_dir->filePath(QStringLiteral("marker.csv"));
        m_data->exportSearch(path, 7, csv, {QStringLiteral("id")}, 1,
                             std::make_shared<std::atomic<bool>>(false), this,
                             {[](qint64, qint64) {},
                              [&](const std::optional<Error>& failure) {
                                  exported = failure;
                                  exportDone = true;
                              }});
        // The reading thread works in the order asked: once this one's file is there, the
        // count and the keys are on their way to the window, which has not taken them yet.
        const DataThread::ExportReply quiet{[](qint64, qint64) {},
                                            [](const std::optional<Error>&) {}};
        m_data->exportSearch(path, 7, marker, {QStringLiteral("id")}, 100,
                             std::make_shared<std::atomic<bool>>(false), this, quiet);
        QVERIFY(waitWithoutEvents([&] { return QFile::exists(marker); }));
        if (what == QLatin1String("clear")) {
            m_data->clearDatabase(path);
        } else {
            DamageRecovery recovery;
            recovery.notice(QStringLiteral("malformed"));
            m_data->repairDatabase(path, recovery);
        }
        QTRY_VERIFY(!m_data->busy());
        QTRY_VERIFY(exportDone);
        QTest::qWait(100);
        QCOMPARE(read, QStringList());
        // A repair takes the file from under it as well.
        QVERIFY(exported);
        if (what == QLatin1String("clear"))
            QCOMPARE(exported->message(), OfferCsvExport::searchChangedMessage());
        QVERIFY(!QFile::exists(csv));
        // Asked afterwards, read from the file as it is now.
        m_data->countOffers(path, 7, this, [&](std::optional<OfferCounts> counts) {
            read << QStringLiteral("count %1").arg(counts ? counts->total : -1);
        });
        QTRY_COMPARE(read, QStringList{QStringLiteral("count 0")});
    }
};

QTEST_GUILESS_MAIN(TestDataThreadReads)
#include "tst_datathread_reads.moc"
