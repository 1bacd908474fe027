#include "settings/settings.h"

#include "core/error.h"
#include "settings/integertext.h"
#include "settings/profilefile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace domiva {

namespace {

const QString kMainSection = QStringLiteral("main");
const QString kServiceSection = QStringLiteral("service");

QString storedInteger(qint32 value) {
    return QString::number(value);
}

QString storedBoolean(bool value) {
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

// Reading never fails: a file that cannot be read is as good as none.
ProfileFile readProfile(const QString& path) {
    try {
        return ProfileFile::fromFile(path);
    } catch (const Error&) {
        return {};
    }
}

QString readText(const ProfileFile& profile, const QString& key, const QString& defaultValue) {
    return profile.value(kMainSection, key).value_or(defaultValue);
}

qint32 readInteger(const ProfileFile& profile, const QString& key, qint32 defaultValue) {
    return profileInteger(profile.value(kMainSection, key).value_or(QString()), defaultValue);
}

bool readBoolean(const ProfileFile& profile, const QString& key, bool defaultValue) {
    return readInteger(profile, key, defaultValue ? 1 : 0) != 0;
}

} // namespace

void saveSettings(const QString& settingsPath, const Settings& settings) {
    try {
        ProfileFile profile = ProfileFile::fromFile(settingsPath);
        profile.setValue(kMainSection, QStringLiteral("login"), settings.login);
        profile.setValue(kMainSection, QStringLiteral("password"), settings.password);
        profile.setValue(kMainSection, QStringLiteral("minimizeToTray"),
                         storedBoolean(settings.minimizeToTray));
        profile.setValue(kMainSection, QStringLiteral("playSound"),
                         storedBoolean(settings.playSound));
        profile.setValue(kMainSection, QStringLiteral("refreshTime"),
                         storedInteger(settings.refreshTime));
        profile.setValue(kMainSection, QStringLiteral("countQueries"),
                         storedInteger(settings.countQueries));
        profile.setValue(kMainSection, QStringLiteral("proxyServer"), settings.proxyServer);
        profile.setValue(kMainSection, QStringLiteral("proxyPort"),
                         storedInteger(settings.proxyPort));
        profile.setValue(kMainSection, QStringLiteral("proxyLogin"), settings.proxyLogin);
        profile.setValue(kMainSection, QStringLiteral("proxyPassword"), settings.proxyPassword);
        profile.setValue(kMainSection, QStringLiteral("proxyFromIE"),
                         storedBoolean(settings.proxyFromIE));
        profile.setValue(kMainSection, QStringLiteral("repostsRead"),
                         storedBoolean(settings.repostsRead));
        profile.writeFile(settingsPath);
    } catch (const Error&) {
        throw Error(QStringLiteral("Unable to write to ") + settingsPath);
    }
}

Settings loadSettings(const QString& settingsPath) {
    const ProfileFile profile = readProfile(settingsPath);
    const Settings defaults;
    Settings settings;
    settings.login = readText(profile, QStringLiteral("login"), defaults.login);
    settings.password = readText(profile, QStringLiteral("password"), defaults.password);
    settings.minimizeToTray =
        readBoolean(profile, QStringLiteral("minimizeToTray"), defaults.minimizeToTray);
    settings.playSound = readBoolean(profile, QStringLiteral("playSound"), defaults.playSound);
    settings.refreshTime =
        readInteger(profile, QStringLiteral("refreshTime"), defaults.refreshTime);
    settings.countQueries =
        readInteger(profile, QStringLiteral("countQueries"), defaults.countQueries);
    settings.proxyServer = readText(profile, QStringLiteral("proxyServer"), defaults.proxyServer);
    settings.proxyPort = readInteger(profile, QStringLiteral("proxyPort"), defaults.proxyPort);
    settings.proxyLogin = readText(profile, QStringLiteral("proxyLogin"), defaults.proxyLogin);
    settings.proxyPassword =
        readText(profile, QStringLiteral("proxyPassword"), defaults.proxyPassword);
    settings.proxyFromIE =
        readBoolean(profile, QStringLiteral("proxyFromIE"), defaults.proxyFromIE);
    settings.repostsRead =
        readBoolean(profile, QStringLiteral("repostsRead"), defaults.repostsRead);
    return settings;
}

ServiceConfig defaultServiceConfig() {
    return {QStringLiteral(DOMIVA_SERVICE_HOST), QStringLiteral(DOMIVA_SERVICE_SITE)};
}

ServiceConfig loadServiceConfig(const QString& settingsPath) {
    const ProfileFile profile = readProfile(settingsPath);
    ServiceConfig config = defaultServiceConfig();
    const QString host = profile.value(kServiceSection, QStringLiteral("host")).value_or(QString());
    const QString site = profile.value(kServiceSection, QStringLiteral("site")).value_or(QString());
    const QString caFile =
        profile.value(kServiceSection, QStringLiteral("caFile")).value_or(QString());
    if (!host.isEmpty())
        config.host = host;
    if (!site.isEmpty())
        config.site = site;
    // The program's own working folder is no place the user would think of.
    if (!caFile.isEmpty())
        config.caFile = QFileInfo(settingsPath).dir().absoluteFilePath(caFile);
    return config;
}

QString serviceUrl(const ServiceConfig& service, const QString& path) {
    static const QRegularExpression schemePattern(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*)://"));
    const QRegularExpressionMatch scheme = schemePattern.match(service.host);
    if (!scheme.hasMatch())
        return QStringLiteral("http://") + service.host + path;
    const QString name = scheme.captured(1).toLower();
    if (name != QLatin1String("http") && name != QLatin1String("https"))
        throw Error(QStringLiteral("The service host \"%1\" has the scheme \"%2\": only http:// "
                                   "and https:// are known")
                        .arg(service.host, scheme.captured(1)));
    QString host = service.host.mid(scheme.capturedLength());
    while (host.endsWith(QLatin1Char('/')))
        host.chop(1);
    return name + QStringLiteral("://") + host + path;
}

} // namespace domiva
