#include "core/error.h"
#include "settings/settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>

using domiva::Error;
using domiva::loadServiceConfig;
using domiva::loadSettings;
using domiva::saveSettings;
using domiva::ServiceConfig;
using domiva::Settings;

using SettingsChange = std::function<void(Settings&)>;
Q_DECLARE_METATYPE(SettingsChange)

namespace {

QByteArray readBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

bool writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

int fileMode(const QString& path) {
    struct stat info {};
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

QString describe(const Settings& s) {
    return QStringLiteral("login=%1 password=%2 minimizeToTray=%3 playSound=%4 refreshTime=%5 "
                          "countQueries=%6 proxyServer=%7 proxyPort=%8 proxyLogin=%9 ")
               .arg(s.login, s.password)
               .arg(int(s.minimizeToTray))
               .arg(int(s.playSound))
               .arg(s.refreshTime)
               .arg(s.countQueries)
               .arg(s.proxyServer)
               .arg(s.proxyPort)
               .arg(s.proxyLogin) +
           QStringLiteral("proxyPassword=%1 proxyFromIE=%2 repostsRead=%3")
               .arg(s.proxyPassword)
               .arg(int(s.proxyFromIE))
               .arg(int(s.repostsRead));
}

const QByteArray kDefaultFile = "[main]\n"
                                "login=demo\n"
                                "password=kvax\n"
                                "minimizeToTray=1\n"
                                "playSound=1\n"
                                "refreshTime=300\n"
                                "countQueries=20\n"
                                "proxyServer=\n"
                                "proxyPort=0\n"
                                "proxyLogin=\n"
                                "proxyPassword=\n"
                                "proxyFromIE=1\n"
                                "repostsRead=0\n";

// Makes writes beyond a size fail for this process, root included, while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool active() const { return m_active; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_active = false;
};

} // namespace

class TestSettingsFile : public QObject {
    Q_OBJECT

private slots:
    void init();
    void defaults();
    void newFileHoldsTheDefaultsInOrder();
    void roundTrip_data();
    void roundTrip();
    void loads_data();
    void loads();
    void loadingLeavesTheFileAlone();
    void saveKeepsTheRestOfTheFile();
    void saveMakesTheFilePrivate();
    void failedSaveRaises_data();
    void failedSaveRaises();
    void failedWriteKeepsThePreviousFile();
    void serviceConfig_data();
    void serviceConfig();
    void serviceUrl_data();
    void serviceUrl();
    void saveLeavesTheServiceSection();

private:
    std::optional<QTemporaryDir> m_dir; // a fresh one for every test
    QString m_path;
};

void TestSettingsFile::init() {
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("settings.ini"));
}

void TestSettingsFile::defaults() {
    const Settings s;
    QCOMPARE(s.login, QStringLiteral("demo"));
    QCOMPARE(s.password, QStringLiteral("kvax"));
    QCOMPARE(s.minimizeToTray, true);
    QCOMPARE(s.playSound, true);
    QCOMPARE(s.refreshTime, 300);
    QCOMPARE(s.countQueries, 20);
    QCOMPARE(s.proxyServer, QString());
    QCOMPARE(s.proxyPort, 0);
    QCOMPARE(s.proxyLogin, QString());
    QCOMPARE(s.proxyPassword, QString());
    QCOMPARE(s.proxyFromIE, true);
}

void TestSettingsFile::newFileHoldsTheDefaultsInOrder() {
    saveSettings(m_path, Settings());
    QCOMPARE(readBytes(m_path), kDefaultFile);
}

void TestSettingsFile::roundTrip_data() {
    QTest::addColumn<QString>("text"); // every text setting starts with it
    for (const char* text : {"Иван p=a;s s", "", " secret", "secret \t ", "a \"b\" 'c'",
                             "\"secret\"", "\"secret", "\"\""})
        QTest::addRow("[%s]", text) << QString::fromUtf8(text);
}

void TestSettingsFile::roundTrip() {
    QFETCH(QString, text);
    Settings s;
    s.login = text;
    s.password = text + QStringLiteral("p");
    s.minimizeToTray = false;
    s.playSound = false;
    s.refreshTime = -1;
    s.countQueries = std::numeric_limits<qint32>::min();
    s.proxyServer = text + QStringLiteral("s");
    s.proxyPort = std::numeric_limits<qint32>::max();
    s.proxyLogin = QStringLiteral("l") + text;
    s.proxyPassword = text;
    s.proxyFromIE = false;
    saveSettings(m_path, s);
    const Settings loaded = loadSettings(m_path);
    QVERIFY2(loaded == s, qPrintable(describe(loaded)));
    QVERIFY(readBytes(m_path).contains("\ncountQueries=-2147483648\n"));
    QVERIFY(readBytes(m_path).contains("\nminimizeToTray=0\n"));

    // Saving again changes nothing.
    const QByteArray once = readBytes(m_path);
    saveSettings(m_path, s);
    QCOMPARE(readBytes(m_path), once);
}

void TestSettingsFile::loads_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<SettingsChange>("change");

    const SettingsChange none = [](Settings&) {};
    QTest::newRow("empty file") << QByteArray() << none;
    QTest::newRow("other section only") << QByteArray("[other]\nlogin=x\nrefreshTime=5\n") << none;
    QTest::newRow("odd casing, empty text")
        << QByteArray("[MAIN]\r\nLOGIN=Bob\r\nPassWord=\r\n") << SettingsChange([](Settings& s) {
               s.login = QStringLiteral("Bob");
               s.password.clear();
           });
    QTest::newRow("quotes and blanks")
        << QByteArray("[main]\nlogin =  ' Bob '  \nproxyServer=\"\"\n")
        << SettingsChange([](Settings& s) {
               s.login = QStringLiteral(" Bob ");
               s.proxyServer.clear();
           });
    QTest::newRow("hexadecimal 0x") << QByteArray("[main]\nrefreshTime=0x3C\n")
                                    << SettingsChange([](Settings& s) { s.refreshTime = 60; });
    QTest::newRow("hexadecimal $") << QByteArray("[main]\nproxyPort=$1F90\n")
                                   << SettingsChange([](Settings& s) { s.proxyPort = 8080; });
    QTest::newRow("trailing letters") << QByteArray("[main]\nrefreshTime=5 min\n") << none;
    QTest::newRow("integer present but empty") << QByteArray("[main]\ncountQueries=\n") << none;
    QTest::newRow("integer too large") << QByteArray("[main]\ncountQueries=2147483648\n") << none;
    QTest::newRow("negative") << QByteArray("[main]\ncountQueries=-5\n")
                              << SettingsChange([](Settings& s) { s.countQueries = -5; });
    QTest::newRow("quoted leading blank")
        << QByteArray("[main]\nrefreshTime=\" 42\"\n")
        << SettingsChange([](Settings& s) { s.refreshTime = 42; });
    QTest::newRow("quoted trailing blank") << QByteArray("[main]\nrefreshTime=\"42 \"\n") << none;
    QTest::newRow("boolean 2 is true")
        << QByteArray("[main]\nminimizeToTray=2\nproxyFromIE=0\n")
        << SettingsChange([](Settings& s) { s.proxyFromIE = false; });
    QTest::newRow("reposts counted read")
        << QByteArray("[main]\nrepostsRead=1\n")
        << SettingsChange([](Settings& s) { s.repostsRead = true; });
    QTest::newRow("boolean yes is the default")
        << QByteArray("[main]\nminimizeToTray=yes\nplaySound=no\n") << none;
    QTest::newRow("boolean 0x0 is false")
        << QByteArray("[main]\nplaySound=0x0\n")
        << SettingsChange([](Settings& s) { s.playSound = false; });
    QTest::newRow("boolean empty is the default") << QByteArray("[main]\nplaySound=\n") << none;
    QTest::newRow("boolean -1 is true") << QByteArray("[main]\nplaySound=-1\n") << none;
    QTest::newRow("garbage lines")
        << QByteArray("\x01\x02garbage\n[main\nrefreshTime\n=7\n") << none;
    QTest::newRow("all keys")
        << QByteArray("[main]\nlogin=a\npassword=b\nminimizeToTray=0\nplaySound=0\n"
                      "refreshTime=10\ncountQueries=5\nproxyServer=p\nproxyPort=3128\n"
                      "proxyLogin=l\nproxyPassword=w\nproxyFromIE=0\n")
        << SettingsChange([](Settings& s) {
               s = {QStringLiteral("a"),
                    QStringLiteral("b"),
                    false,
                    false,
                    10,
                    5,
                    QStringLiteral("p"),
                    3128,
                    QStringLiteral("l"),
                    QStringLiteral("w"),
                    false};
           });
}

void TestSettingsFile::loads() {
    QFETCH(QByteArray, content);
    QFETCH(SettingsChange, change);
    QVERIFY(writeBytes(m_path, content));
    Settings expected;
    change(expected);
    const Settings loaded = loadSettings(m_path);
    QVERIFY2(loaded == expected, qPrintable(describe(loaded)));
}

void TestSettingsFile::loadingLeavesTheFileAlone() {
    QVERIFY(loadSettings(m_path) == Settings());
    QVERIFY(!QFile::exists(m_path));

    const QByteArray partial("[main]\r\nlogin=someone\r\n");
    QVERIFY(writeBytes(m_path, partial));
    QCOMPARE(loadSettings(m_path).login, QStringLiteral("someone"));
    QCOMPARE(readBytes(m_path), partial);

    // A path that cannot be read as a file gives the defaults.
    QVERIFY(loadSettings(m_dir->path()) == Settings());
}

void TestSettingsFile::saveKeepsTheRestOfTheFile() {
    QVERIFY(writeBytes(m_path, "; my settings\r\n"
                               "[service]\r\n"
                               "host=example.org:81\r\n"
                               "\r\n"
                               "[Main]\r\n"
                               "PASSWORD=old\r\n"
                               "login = old\r\n"
                               "extra=keep\r\n"
                               "\r\n"
                               "[later]\r\n"
                               "x=1\r\n"));
    Settings s;
    s.login = QStringLiteral("new");
    s.password = QStringLiteral("secret");
    saveSettings(m_path, s);
    QCOMPARE(readBytes(m_path), QByteArray("; my settings\r\n"
                                           "[service]\r\n"
                                           "host=example.org:81\r\n"
                                           "\r\n"
                                           "[Main]\r\n"
                                           "PASSWORD=secret\r\n"
                                           "login=new\r\n"
                                           "extra=keep\r\n"
                                           "minimizeToTray=1\r\n"
                                           "playSound=1\r\n"
                                           "refreshTime=300\r\n"
                                           "countQueries=20\r\n"
                                           "proxyServer=\r\n"
                                           "proxyPort=0\r\n"
                                           "proxyLogin=\r\n"
                                           "proxyPassword=\r\n"
                                           "proxyFromIE=1\r\n"
                                           "repostsRead=0\r\n"
                                           "\r\n"
                                           "[later]\r\n"
                                           "x=1\r\n"));
}

void TestSettingsFile::saveMakesTheFilePrivate() {
    saveSettings(m_path, Settings());
    QCOMPARE(fileMode(m_path), 0600);

    QVERIFY(QFile::setPermissions(m_path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ReadGroup | QFileDevice::ReadOther));
    QCOMPARE(fileMode(m_path), 0644);
    saveSettings(m_path, Settings());
    QCOMPARE(fileMode(m_path), 0600);
}

void TestSettingsFile::failedSaveRaises_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("settings path is a directory") << "directory";
    QTest::newRow("parent is a regular file") << "parent";
}

void TestSettingsFile::failedSaveRaises() {
    QFETCH(QString, kind);
    QString path;
    if (kind == QLatin1String("directory")) {
        path = m_dir->filePath(QStringLiteral("as-dir.ini"));
        QVERIFY(QDir().mkpath(path));
    } else {
        const QString parent = m_dir->filePath(QStringLiteral("plain-file"));
        QVERIFY(writeBytes(parent, "x"));
        path = parent + QStringLiteral("/settings.ini");
    }
    try {
        saveSettings(path, Settings());
        QFAIL("the save succeeded");
    } catch (const Error& error) {
        QCOMPARE(error.message(), QStringLiteral("Unable to write to ") + path);
    }
}

void TestSettingsFile::failedWriteKeepsThePreviousFile() {
    Settings previous;
    previous.login = QStringLiteral("before");
    saveSettings(m_path, previous);
    const QByteArray before = readBytes(m_path);

    // A value the file cannot hold: nothing is written at all.
    Settings broken;
    broken.login = QStringLiteral("after");
    broken.password = QStringLiteral("a\r\nlogin=evil");
    try {
        saveSettings(m_path, broken);
        QFAIL("a password with a line break was saved");
    } catch (const Error& error) {
        QCOMPARE(error.message(), QStringLiteral("Unable to write to ") + m_path);
    }
    QCOMPARE(readBytes(m_path), before);

    // The disk refuses the bytes half-way: the old file stays whole.
    Settings large;
    large.login = QStringLiteral("after");
    large.proxyPassword = QString(64 * 1024, u'x');
    {
        FileSizeLimit limit(4096);
        QVERIFY(limit.active());
        try {
            saveSettings(m_path, large);
            QFAIL("a save beyond the file size limit succeeded");
        } catch (const Error& error) {
            QCOMPARE(error.message(), QStringLiteral("Unable to write to ") + m_path);
        }
    }
    QCOMPARE(readBytes(m_path), before);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("settings.ini")});
    QCOMPARE(loadSettings(m_path).login, QStringLiteral("before"));
}

void TestSettingsFile::serviceConfig_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("site");
    QTest::addColumn<QString>("caFile"); // relative to the settings file's folder
    const QString defaultHost = QStringLiteral(DOMIVA_SERVICE_HOST);
    const QString defaultSite = QStringLiteral(DOMIVA_SERVICE_SITE);
    QTest::newRow("no section") << QByteArray("[main]\nlogin=a\n") << defaultHost << defaultSite
                                << QString();
    QTest::newRow("both, odd casing")
        << QByteArray("[SERVICE]\nHost=example.org:8080\nSITE=\"http://example.org/\"\n")
        << "example.org:8080"
        << "http://example.org/" << QString();
    QTest::newRow("empty values") << QByteArray("[service]\nhost=\nsite=  \"\" \ncaFile=\n")
                                  << defaultHost << defaultSite << QString();
    QTest::newRow("host only") << QByteArray("[service]\nhost=10.0.0.1\n") << "10.0.0.1"
                               << defaultSite << QString();
    QTest::newRow("in [main] it does not count")
        << QByteArray("[main]\nhost=x\nsite=y\n") << defaultHost << defaultSite << QString();
    QTest::newRow("https with a relative caFile")
        << QByteArray("[service]\nhost=https://h:8443\ncaFile=private/ca.pem\n") << "https://h:8443"
        << defaultSite << "private/ca.pem";
    QTest::newRow("absolute caFile") << QByteArray("[service]\ncaFile=/etc/x/ca.pem\n")
                                     << defaultHost << defaultSite << "/etc/x/ca.pem";
}

void TestSettingsFile::serviceConfig() {
    QFETCH(QByteArray, content);
    QFETCH(QString, host);
    QFETCH(QString, site);
    QFETCH(QString, caFile);
    QVERIFY(writeBytes(m_path, content));
    const ServiceConfig config = loadServiceConfig(m_path);
    QCOMPARE(config.host, host);
    QCOMPARE(config.site, site);
    QCOMPARE(config.caFile, caFile.isEmpty() ? caFile : QDir(m_dir->path()).filePath(caFile));
}

void TestSettingsFile::serviceUrl_data() {
    // No scheme and "ftp://" are rows of the sync cycle's tests.
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("url");
    QTest::newRow("http: as without") << "http://h:8080"
                                      << "http://h:8080/db/x";
    QTest::newRow("https, upper case, end slash") << "HTTPS://h:8443/"
                                                  << "https://h:8443/db/x";
}

void TestSettingsFile::serviceUrl() {
    QFETCH(QString, host);
    QFETCH(QString, url);
    QCOMPARE(domiva::serviceUrl(ServiceConfig{host, {}}, QStringLiteral("/db/x")), url);
}

void TestSettingsFile::saveLeavesTheServiceSection() {
    QVERIFY(loadServiceConfig(m_path) == domiva::defaultServiceConfig());
    QCOMPARE(domiva::defaultServiceConfig().host, QStringLiteral(DOMIVA_SERVICE_HOST));
    saveSettings(m_path, Settings());
    QVERIFY(!readBytes(m_path).contains("service"));
    QVERIFY(!readBytes(m_path).contains("host"));
}

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "tst_settingsfile.moc"
