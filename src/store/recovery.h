#pragma once

#include "core/error.h"
#include "store/writeslice.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>
#include <utility>

namespace domiva {

class Database;

// The local database only copies what the service holds (apart from the read marks), so a
// file the engine finds damaged is set aside and built anew rather than reported at every
// statement. Everything here works on files and a Database; the caller closes the damaged
// connection first and opens the fresh file afterwards.

// How many damaged files are kept beside the database; older ones are removed.
inline constexpr int keptDamagedFiles = 3;

// The stem of the name a damaged dbPath is kept under: "<dbPath>.damaged-YYYYMMDD-HHMMSS"
// (the number of the repair follows it).
QString damagedFileName(const QString& dbPath, const QDateTime& when);

// Renames dbPath and its "-wal" and "-shm" to damagedFileName(dbPath, when) + "-N" plus the
// same suffixes, N one above the number of the last damaged file set aside (1 for the first).
// The time is for the reader; the number orders them. Returns the new name of dbPath. Nothing
// is ever deleted here. Throws domiva::Error when dbPath cannot be moved.
QString setDamagedFileAside(const QString& dbPath, const QDateTime& when);

// The damaged files set aside beside dbPath, the last one set aside first: by their numbers,
// whatever their times say.
QStringList damagedFiles(const QString& dbPath);

// Removes all but the `keep` last damaged files beside dbPath, with their journals.
void pruneDamagedFiles(const QString& dbPath, int keep = keptDamagedFiles);

// How a carry of read marks ended: how many listings it marked, and why it stopped short of
// all of them (nullopt: it went through).
struct CarriedReadMarks {
    int carried = 0;
    std::optional<Error> failure;
};

// Marks read those listings of db that the damaged file at damagedPath holds as read, and
// clears the flags of the searches left without unread listings. A file too damaged to be
// read carries nothing, and says why. A million listings would hold the file a long while:
// they are looked at sliceRows at a time (sliceRowsByTime: as many as a transaction of about
// 45 ms takes, store/writeslice.h), each slice a transaction of its own, with betweenSlices
// called after each (it may throw to stop; what was committed stays, and the failure says it
// stopped). Never throws.
CarriedReadMarks carryReadMarks(Database& db, const QString& damagedPath,
                                int sliceRows = sliceRowsByTime,
                                const std::function<void()>& betweenSlices = {}) noexcept;

// What a program does about damage, once per run: the first damage is repaired, a second
// one in the same run means the disk itself fails and is reported, never repaired in a loop.
class DamageRecovery {
public:
    enum class Action {
        None,              // already being dealt with
        Recover,           // call rebuild() when no transaction is open
        ReportDiskFailure, // the fresh file is damaged too: tell the user, do nothing more
        GivenUp,           // reported before: an error like any other from now on
    };

    // A statement reported the file damaged, in the engine's words.
    Action notice(const QString& message = {});
    // The words of the damage that was noticed first.
    const QString& damage() const noexcept { return m_damage; }
    // Whether a noticed damage still waits for rebuild().
    bool due() const noexcept { return m_state == State::Noticed; }

    // Keeps a copy of the damaged file's bytes (with its journals) under the next damaged
    // name, empties the file in place through the engine so that a connection another program
    // holds on it stays coherent, and keeps the newest damaged files. A file too damaged for the
    // engine to write is set aside by name instead and a fresh one made as a first start does.
    // Returns where the damaged copy went. The copy takes time in proportion to the file: not
    // for the window's thread. Once *stop is set, the copy stops at its next megabyte and a
    // wait for another program's lock at once: the copy is removed, the file left as it was.
    // Throws domiva::Error; the recovery is then given up.
    QString rebuild(const QString& dbPath, const QDateTime& when = QDateTime::currentDateTime(),
                    const std::atomic<bool>* stop = nullptr);

    // The file set aside by rebuild(), until takeReadMarksSource() hands it out once.
    QString takeReadMarksSource() { return std::exchange(m_readMarksSource, QString()); }

private:
    enum class State { Sound, Noticed, Rebuilt, GivenUp };
    State m_state = State::Sound;
    QString m_damage;
    QString m_readMarksSource;
};

} // namespace domiva
