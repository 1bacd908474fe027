#pragma once

#include <QLatin1String>
#include <QString>
#include <QStringList>

namespace domiva {

// The protocol version of this client: it goes into the identification string, the about
// box shows it, and the service announces newer ones against it. Independent of the version
// of the build.
inline constexpr QLatin1String kClientVersion("0.0.1");

// The suffixes that name a use of the identification string.
inline constexpr QLatin1String kWinInetSuffix(" #WININET"); // user agent, system transport
inline constexpr QLatin1String kIndySuffix(" #INDY");       // user agent, settings' proxy
// The start-up log line: " #APPVERFILE" directly followed by the program version.
QString appVerFileSuffix(const QString& appVersion);

// The user's own cache directory, private to the user and kept across restarts:
// $XDG_CACHE_HOME when it is set to an absolute path, otherwise ~/.cache. Ends in "/".
QString getTempDir();

// The program's working folder in the cache directory ("DomivaDesktop/" in it). Ends in "/".
QString workingFolder();
// Makes the working folder, when missing, with whatever parents are missing. It holds the
// settings (with passwords) and the listings: private to the user from the start (0700).
// Whether making it worked shows at the first write into it. A folder that is there but
// belongs to another user is refused: throws domiva::Error saying so, and nothing is written.
void createWorkingFolder(const QString& folder);

// Takes from the working folder and from every file in it the rights of anyone but the user
// (folder 0700, files 0600): a folder made by hand under the usual umask, or a file copied in,
// would let every local user read the passwords and listings. Symbolic links are left alone.
// Returns the names tightened ("DomivaDesktop/" for the folder itself, then the files' names);
// empty when all was private already. A failure to tighten is left to the writes that follow.
QStringList tightenWorkingFolder(const QString& folder);

// The versions of the surroundings, found once at start-up.
struct EnvironmentReport {
    QString appVersion;  // this build: major.minor.release
    QString jetVersion;  // the SQLite library: four numbers, e.g. "3.40.1.0"
    QString mdacVersion; // the Qt library at run time, e.g. "6.4.2"
    QString osVersion;   // distribution and kernel, see osVersionText
};

EnvironmentReport gatherEnvironment();

// Three numbers joined by "." from a version text: missing numbers are 0, a fourth is left out.
QString programVersionText(const QString& version);

// SQLite's version number (major * 1000000 + minor * 1000 + release) as four numbers, the
// last always 0: 3040001 -> "3.40.1.0".
QString sqliteVersionText(int versionNumber);

// The pieces of the operating-system text.
struct OsVersionParts {
    QString name;            // the distribution, e.g. "Debian GNU/Linux 12 (bookworm)"
    QString version;         // the distribution's version, e.g. "12"
    QString build;           // the kernel release, e.g. "6.1.0-13-amd64"
    QString servicePack;     // nothing stands for it here: empty
    QString buildLab;        // the kernel's build text, e.g. "#1 SMP PREEMPT_DYNAMIC Debian ..."
    QString internetVersion; // the version of the HTTP library (libcurl), e.g. "7.88.1"
};

OsVersionParts currentOsVersionParts();

// "Linux " + name + " Version " + version + " Build " + build + " " + servicePack +
// " BuildLab " + buildLab + " IEVer " + internetVersion. Empty pieces keep their blanks, so the
// markers stay where a reader of the user agent looks for them. Control characters in the
// pieces become blanks: the text goes into an HTTP header.
QString osVersionText(const OsVersionParts& parts);

// "DomivaDesktop#0.0.1 MDAC#(" + mdac + ") JET#(" + jet + ") OS# " + os + suffix.
QString clientIdString(const EnvironmentReport& report, const QString& suffix);

} // namespace domiva
