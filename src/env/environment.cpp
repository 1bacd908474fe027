#include "env/environment.h"

#include "core/error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QVersionNumber>
#include <QtGlobal>

#include <curl/curl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace domiva {

namespace {

QString withoutControls(QString text) {
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control)
            c = u' ';
    }
    return text;
}

} // namespace

QString appVerFileSuffix(const QString& appVersion) {
    return QStringLiteral(" #APPVERFILE") + appVersion;
}

QString getTempDir() {
    QString dir = qEnvironmentVariable("XDG_CACHE_HOME");
    if (dir.isEmpty() || !QDir::isAbsolutePath(dir))
        dir = QDir::homePath() + QStringLiteral("/.cache");
    if (!dir.endsWith(u'/'))
        dir += u'/';
    return dir;
}

QString workingFolder() {
    return getTempDir() + QStringLiteral("DomivaDesktop/");
}

void createWorkingFolder(const QString& folder) {
    const QDir dir(folder);
    const QByteArray path = QFile::encodeName(dir.absolutePath());
    if (!dir.exists()) {
        QDir().mkpath(QFileInfo(dir.absolutePath()).absolutePath());
        ::mkdir(path.constData(), S_IRWXU);
    }
    // Another user's folder could be read, or replaced, by that user: nothing goes into it.
    struct stat info {};
    if (::stat(path.constData(), &info) == 0 && info.st_uid != ::geteuid())
        throw Error(QStringLiteral("Рабочая папка %1 принадлежит другому пользователю. "
                                   "Программа не будет хранить в ней свои файлы")
                        .arg(QDir::toNativeSeparators(dir.absolutePath())));
}

QStringList tightenWorkingFolder(const QString& folder) {
    QStringList tightened;
    const auto tighten = [&tightened](const QString& path, mode_t allowed, const QString& name) {
        const QByteArray native = QFile::encodeName(path);
        struct stat info {};
        if (::lstat(native.constData(), &info) != 0 || (info.st_mode & 07777 & ~allowed) == 0)
            return;
        if (::chmod(native.constData(), info.st_mode & allowed) == 0)
            tightened.append(name);
    };
    const QDir dir(folder);
    tighten(dir.absolutePath(), S_IRWXU, dir.dirName() + QLatin1Char('/'));
    for (const QFileInfo& file : dir.entryInfoList(
             QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDir::Name)) {
        if (file.isFile())
            tighten(file.absoluteFilePath(), S_IRUSR | S_IWUSR, file.fileName());
    }
    return tightened;
}

QString programVersionText(const QString& version) {
    const QVersionNumber number = QVersionNumber::fromString(version);
    return QStringLiteral("%1.%2.%3")
        .arg(number.segmentAt(0))
        .arg(number.segmentAt(1))
        .arg(number.segmentAt(2));
}

QString sqliteVersionText(int versionNumber) {
    return QStringLiteral("%1.%2.%3.0")
        .arg(versionNumber / 1000000)
        .arg(versionNumber / 1000 % 1000)
        .arg(versionNumber % 1000);
}

OsVersionParts currentOsVersionParts() {
    OsVersionParts parts;
    parts.name = QSysInfo::prettyProductName();
    parts.version = QSysInfo::productVersion();
    if (parts.version == QLatin1String("unknown"))
        parts.version.clear();
    parts.build = QSysInfo::kernelVersion();
    utsname system{};
    if (uname(&system) == 0)
        parts.buildLab = QString::fromLocal8Bit(system.version);
    if (const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
        curl && curl->version)
        parts.internetVersion = QString::fromLatin1(curl->version);
    return parts;
}

QString osVersionText(const OsVersionParts& parts) {
    return withoutControls(QStringLiteral("Linux ") + parts.name + QStringLiteral(" Version ") +
                           parts.version + QStringLiteral(" Build ") + parts.build +
                           QLatin1Char(' ') + parts.servicePack + QStringLiteral(" BuildLab ") +
                           parts.buildLab + QStringLiteral(" IEVer ") + parts.internetVersion);
}

EnvironmentReport gatherEnvironment() {
    EnvironmentReport report;
    report.appVersion = programVersionText(QStringLiteral(DOMIVA_PROGRAM_VERSION));
    report.jetVersion = sqliteVersionText(sqlite3_libversion_number());
    report.mdacVersion = QString::fromLatin1(qVersion());
    report.osVersion = osVersionText(currentOsVersionParts());
    return report;
}

QString clientIdString(const EnvironmentReport& report, const QString& suffix) {
    return QStringLiteral("DomivaDesktop#") + kClientVersion + QStringLiteral(" MDAC#(") +
           report.mdacVersion + QStringLiteral(") JET#(") + report.jetVersion +
           QStringLiteral(") OS# ") + report.osVersion + suffix;
}

} // namespace domiva
