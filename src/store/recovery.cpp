#include "store/recovery.h"

#include "app/error.h"
#include "store/database.h"
#include "store/sqlutil.h"
#include "store/statements.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <array>
#include <tuple>
#include <vector>

namespace domiva {

using namespace sqlutil;

namespace {

// The journals the engine keeps beside a file in WAL mode; they belong to the damaged file.
constexpr std::array<const char*, 2> kJournalSuffixes{"-wal", "-shm"};

QRegularExpression damagedNamePattern(const QString& dbName) {
    return QRegularExpression(QStringLiteral("^") + QRegularExpression::escape(dbName) +
                              QStringLiteral("\\.damaged-(\\d{8}-\\d{6})(?:-(\\d+))?$"));
}

} // namespace

QString damagedFileName(const QString& dbPath, const QDateTime& when) {
    return dbPath + QStringLiteral(".damaged-") + when.toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

namespace {

struct DamagedFile {
    int number; // the order they were set aside in; 1 for a name without one
    QString stamp;
    QString path;
};

// The damaged files beside dbPath, the last one set aside first. The order is that of their
// numbers, never of their times: a clock set back, or another time zone, would otherwise make
// the file just set aside the oldest.
std::vector<DamagedFile> findDamagedFiles(const QString& dbPath) {
    const QFileInfo db(dbPath);
    const QRegularExpression pattern = damagedNamePattern(db.fileName());
    std::vector<DamagedFile> found;
    const QDir dir = db.absoluteDir();
    for (const QString& name : dir.entryList(QDir::Files | QDir::System | QDir::Hidden)) {
        const QRegularExpressionMatch match = pattern.match(name);
        if (match.hasMatch())
            found.push_back({match.captured(2).isEmpty() ? 1 : match.captured(2).toInt(),
                             match.captured(1), dir.filePath(name)});
    }
    std::sort(found.begin(), found.end(), [](const DamagedFile& a, const DamagedFile& b) {
        return std::tie(a.number, a.stamp) > std::tie(b.number, b.stamp);
    });
    return found;
}

} // namespace

QString setDamagedFileAside(const QString& dbPath, const QDateTime& when) {
    const std::vector<DamagedFile> earlier = findDamagedFiles(dbPath);
    int number = earlier.empty() ? 1 : earlier.front().number + 1;
    const QString base = damagedFileName(dbPath, when) + QLatin1Char('-');
    QString target = base + QString::number(number);
    while (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
        target = base + QString::number(++number);
    QFile db(dbPath);
    if (!db.rename(target))
        throw Error(dbPath + QStringLiteral(": ") + db.errorString());
    // The journals go with it: beside the fresh file the engine would replay the old log into
    // it. One that cannot be moved fails the recovery rather than be deleted.
    for (const char* suffix : kJournalSuffixes) {
        QFile journal(dbPath + QLatin1String(suffix));
        if (journal.exists() && !journal.rename(target + QLatin1String(suffix)))
            throw Error(journal.fileName() + QStringLiteral(": ") + journal.errorString());
    }
    return target;
}

QStringList damagedFiles(const QString& dbPath) {
    QStringList paths;
    for (const DamagedFile& f : findDamagedFiles(dbPath))
        paths.append(f.path);
    return paths;
}

void pruneDamagedFiles(const QString& dbPath, int keep) {
    const QStringList files = damagedFiles(dbPath);
    for (qsizetype i = std::max(keep, 0); i < files.size(); ++i) {
        QFile::remove(files[i]);
        for (const char* suffix : kJournalSuffixes)
            QFile::remove(files[i] + QLatin1String(suffix));
    }
}

int carryReadMarks(Database& db, const QString& damagedPath) noexcept {
    try {
        const QSqlDatabase connection = db.connection();
        {
            QSqlQuery attach = prepare(connection, sql::attachDamaged);
            // Read-only: the damaged file stays exactly as it was found.
            attach.bindValue(0, fileUri(damagedPath) + QStringLiteral("?mode=ro"));
            exec(attach);
            attach.finish();
        }
        int carried = 0;
        try {
            Transaction transaction(db);
            QSqlQuery offers = prepare(connection, sql::carryOfferReadMarks);
            exec(offers);
            carried = offers.numRowsAffected();
            offers.finish();
            run(connection, sql::clearFlagsOfReadQueries);
            transaction.commit();
        } catch (const Error&) {
            carried = 0;
        }
        run(connection, sql::detachDamaged);
        return carried;
    } catch (...) {
        // Too damaged to read, or not there: the marks are lost, the listings are not.
        return 0;
    }
}

DamageRecovery::Action DamageRecovery::notice(const QString& message) {
    switch (m_state) {
    case State::Sound:
        m_state = State::Noticed;
        m_damage = message;
        return Action::Recover;
    case State::Rebuilt:
        m_state = State::GivenUp;
        return Action::ReportDiskFailure;
    case State::Noticed:
        break;
    case State::GivenUp:
        return Action::GivenUp;
    }
    return Action::None;
}

QString DamageRecovery::rebuild(const QString& dbPath, const QDateTime& when) {
    if (m_state != State::Noticed)
        throw Error(QStringLiteral("No damage to repair"));
    // Given up unless it comes through: a rebuild that fails is not tried again.
    m_state = State::GivenUp;
    const QString kept = setDamagedFileAside(dbPath, when);
    pruneDamagedFiles(dbPath);
    createDatabase(dbPath);
    m_state = State::Rebuilt;
    m_readMarksSource = kept;
    return kept;
}

} // namespace domiva
