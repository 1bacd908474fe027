#pragma once

#include <QString>
#include <QtGlobal>

namespace domiva {

// The user's settings, in the order they are stored; a default-constructed record holds
// the defaults.
struct Settings {
    QString login = QStringLiteral("demo");
    QString password = QStringLiteral("kvax");
    bool minimizeToTray = true;
    bool playSound = true;
    qint32 refreshTime = 300; // seconds between two automatic syncs
    qint32 countQueries = 20;
    QString proxyServer;
    qint32 proxyPort = 0;
    QString proxyLogin;
    QString proxyPassword;
    bool proxyFromIE = true;
    // A re-post of a flat the user already opened arrives read.
    bool repostsRead = false;

    friend bool operator==(const Settings&, const Settings&) = default;
};

// Writes the twelve keys to section "main" of the settings file, keeping everything else in
// the file as it is. The file is replaced whole or not at all and is readable by the user
// only. Any failure raises domiva::Error("Unable to write to " + settingsPath).
void saveSettings(const QString& settingsPath, const Settings& settings);

// Reads the twelve keys of section "main"; a missing or unreadable file, section or key gives
// the default, as does an integer or boolean that is not a number. Never fails.
Settings loadSettings(const QString& settingsPath);

// Where the listings service is: the optional section "service" of the settings file (keys
// "host", with an optional ":port" and an optional "http://" or "https://" before it; "site",
// the web-site address shown when a new version is announced; "caFile", a PEM file of the CAs
// an https service is checked against instead of the system's store). The client only reads
// it.
struct ServiceConfig {
    QString host;
    QString site;
    QString caFile = {}; // absolute; empty for the system's store

    friend bool operator==(const ServiceConfig&, const ServiceConfig&) = default;
};

// The values built into the program.
ServiceConfig defaultServiceConfig();

// A missing or empty value gives the built-in one; a relative caFile is taken from the folder
// of the settings file. Never fails.
ServiceConfig loadServiceConfig(const QString& settingsPath);

// The address of `path` (which begins with "/") on the service. A host without a scheme, or
// with "http://", gives "http://" + host + path, the plain exchange; "https://" keeps its
// scheme. Any other scheme raises domiva::Error naming it.
QString serviceUrl(const ServiceConfig& service, const QString& path);

} // namespace domiva
