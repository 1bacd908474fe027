#pragma once

#include "core/error.h"
#include "store/csvexport.h"
#include "store/offercounts.h"
#include "store/offerkeys.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace domiva {

// How a CSV export answers: progress(written, total) after each chunk, then done, with the
// failure if there was one.
struct ExportReply {
    std::function<void(qint64 written, qint64 total)> progress;
    std::function<void(const std::optional<Error>& failure)> done;
};

// The reading thread beside the data thread (see DataThread): the keys of a listings grid, a
// search's counts, CSV exports and the read mark of a listing the user opened, on a connection
// of its own, so that a sync under way never delays them. Each answers the object that asked,
// on the thread this object lives on (the window's), unless that object is gone or the answer
// was read from the file before a clear or a repair began (fileChanged()).
class ReadingThread : public QObject {
public:
    // stop: set when the program ends; a wait for another program's lock gives up then.
    explicit ReadingThread(const std::atomic<bool>* stop);
    // finish() without a log.
    ~ReadingThread() override;
    ReadingThread(const ReadingThread&) = delete;
    ReadingThread& operator=(const ReadingThread&) = delete;

    // --- Reads, run in the order asked -------------------------------------------------------
    // The keys of a listings grid, a slice per turn of the thread, so that other reads go in
    // between; a cancelled scan stops at its next slice.
    void readOfferKeys(const QString& dbPath, std::shared_ptr<OfferKeyScan> scan, QObject* receiver,
                       std::function<void(OfferKeyBatch)> deliver);
    // A search's counts; nullopt when they could not be read.
    void countOffers(const QString& dbPath, qint32 qid, QObject* receiver,
                     std::function<void(std::optional<OfferCounts>)> counted);
    // The listing's read mark stored, never given up for a lock (see DataThread::markOfferRead).
    void markOfferRead(const QString& dbPath, const QString& offerId, qint32 qid, QObject* receiver,
                       std::function<void(const std::optional<Error>&)> done);
    // The read marks kept at the last end (storeMarksLeft()) stored now, as if asked for again.
    void storeKeptMarks(const QString& dbPath);
    // A search's listings written to a CSV file, chunkRows a turn (see DataThread::exportSearch).
    void exportSearch(const QString& dbPath, qint32 qid, const QString& path,
                      const QStringList& header, int chunkRows,
                      std::shared_ptr<std::atomic<bool>> cancelled, QObject* receiver,
                      ExportReply reply, EarlierWording earlier = {});

    // --- From the data thread ----------------------------------------------------------------
    // The file is cleared or replaced (at the start and the end of a clear or a repair): what
    // was read before never reaches the window, and an export under way fails.
    void fileChanged() { ++m_fileGeneration; }
    quint64 fileGeneration() const { return m_fileGeneration.load(); }
    // Between two transactions of a long write: waits (a second at most) while read marks the
    // user asked for wait for the lock, so that they are stored first.
    void letMarksIn();
    // The file is let go of for a repair: waits until the thread's connection is closed. The
    // marks asked for meanwhile wait for admit().
    void release(const QString& dbPath);
    // The repaired file is the reading thread's again: the marks that waited are stored.
    void admit();
    // Ends the thread once the data thread has ended: the read marks still waiting are stored
    // within a bound; those that cannot be are kept for the next start (keptMarksPath()) and
    // logged (logPath, unless empty). Reads asked for afterwards go nowhere.
    void finish(const QString& logPath);

    // Where the read marks of dbPath that could not be stored at the end wait for the next
    // start: a file of the client's own beside it, readable by the user alone.
    static QString keptMarksPath(const QString& dbPath);

private:
    // Runs work on the reading thread.
    void read(std::function<void()> work);
    // From the reading thread: answer runs on this object's thread if receiver is still there
    // and, when readOn is given, the file is still the one it was read from.
    void deliver(QPointer<QObject> receiver, std::function<void()> answer,
                 std::optional<quint64> readOn = std::nullopt);
    // On the reading thread: the read marks asked for, in order, until one finds the file
    // held by another writer (tried again a little later) or let go of for a repair.
    void storeMarks();
    // On the reading thread, at the end: see finish().
    void storeMarksLeft(const QString& logPath);
    struct KeyRead;
    struct ExportJob;

    const std::atomic<bool>* m_stop;
    QThread m_thread;
    QObject* m_context = nullptr; // lives on m_thread; deleted with it
    // Read marks of listings the user opened, not stored yet: a long write lets them in
    // between its slices.
    std::atomic<int> m_marksWaiting{0};
    // Moves when a clear or a repair starts and ends.
    std::atomic<quint64> m_fileGeneration{0};
};

} // namespace domiva
