#include "core/error.h"
#include "settings/profilefile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <optional>
#include <sys/stat.h>

using domiva::Error;
using domiva::ProfileFile;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

QByteArray readBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

int fileMode(const QString& path) {
    struct stat info {};
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestProfileFile : public QObject {
    Q_OBJECT

private slots:
    void readsValues_data();
    void readsValues();
    void cutsLongValues();
    void setsValues_data();
    void setsValues();
    void refusesLineBreaks_data();
    void refusesLineBreaks();
    void readsAndWritesFiles();
    void missingFileIsEmpty();
    void unreadableFileRaises();
    void writeFailuresRaise();
};

void TestProfileFile::readsValues_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<std::optional<QString>>("expected");

    using Opt = std::optional<QString>;
    const auto s = [](const char* text) { return Opt(QString::fromUtf8(text)); };
    QTest::newRow("plain") << QByteArray("[main]\nlogin=bob\n") << "main"
                           << "login" << s("bob");
    QTest::newRow("odd casing, no final line end") << QByteArray("[MAIN]\nLOGIN=bob") << "main"
                                                   << "login" << s("bob");
    QTest::newRow("asked in odd casing") << QByteArray("[main]\nlogin=bob\n") << "Main"
                                         << "LoGiN" << s("bob");
    QTest::newRow("blanks everywhere, CR LF")
        << QByteArray("  [ main ]  \r\n  login  =  bob  \r\n") << "main"
        << "login" << s("bob");
    QTest::newRow("tabs") << QByteArray("[main]\nlogin=\tbob\t\n") << "main"
                          << "login" << s("bob");
    QTest::newRow("double quotes keep inner blanks")
        << QByteArray("[main]\nlogin=\" bob \"\n") << "main"
        << "login" << s(" bob ");
    QTest::newRow("single quotes") << QByteArray("[main]\nlogin=' bob '\n") << "main"
                                   << "login" << s(" bob ");
    QTest::newRow("quotes inside blanks") << QByteArray("[main]\nlogin=  \"bob\"  \n") << "main"
                                          << "login" << s("bob");
    QTest::newRow("quotes that do not match") << QByteArray("[main]\nlogin=\"bob'\n") << "main"
                                              << "login" << s("\"bob'");
    QTest::newRow("one pair only") << QByteArray("[main]\nlogin=\"\"bob\"\"\n") << "main"
                                   << "login" << s("\"bob\"");
    QTest::newRow("a lone quote") << QByteArray("[main]\nlogin=\"\n") << "main"
                                  << "login" << s("\"");
    QTest::newRow("empty quotes") << QByteArray("[main]\nlogin=\"\"\n") << "main"
                                  << "login" << s("");
    QTest::newRow("quote at one end only") << QByteArray("[main]\nlogin=\"bob\n") << "main"
                                           << "login" << s("\"bob");
    QTest::newRow("empty value is present") << QByteArray("[main]\nlogin=\n") << "main"
                                            << "login" << s("");
    QTest::newRow("blank value is present") << QByteArray("[main]\nlogin=   \n") << "main"
                                            << "login" << s("");
    QTest::newRow("equals sign in the value") << QByteArray("[main]\nlogin=a=b\n") << "main"
                                              << "login" << s("a=b");
    QTest::newRow("missing key") << QByteArray("[main]\npassword=x\n") << "main"
                                 << "login" << Opt();
    QTest::newRow("missing section") << QByteArray("[other]\nlogin=x\n") << "main"
                                     << "login" << Opt();
    QTest::newRow("key of another section")
        << QByteArray("[other]\nlogin=x\n[main]\npassword=y\n") << "main"
        << "login" << Opt();
    QTest::newRow("key before any section") << QByteArray("login=x\n[main]\n") << "main"
                                            << "login" << Opt();
    QTest::newRow("the first key of a name") << QByteArray("[main]\nlogin=a\nLogin=b\n") << "main"
                                             << "login" << s("a");
    QTest::newRow("the first section of a name")
        << QByteArray("[main]\nlogin=a\n[Main]\npassword=p\n") << "main"
        << "password" << Opt();
    QTest::newRow("commented out") << QByteArray("[main]\n;login=x\n") << "main"
                                   << "login" << Opt();
    QTest::newRow("line without equals sign") << QByteArray("[main]\nlogin\n") << "main"
                                              << "login" << Opt();
    QTest::newRow("comment after the header") << QByteArray("[main] ; mine\nlogin=x\n") << "main"
                                              << "login" << s("x");
    QTest::newRow("header without bracket is no header") << QByteArray("[main\nlogin=x\n") << "main"
                                                         << "login" << Opt();
    QTest::newRow("byte order mark") << QByteArray("\xEF\xBB\xBF[main]\r\nlogin=x\r\n") << "main"
                                     << "login" << s("x");
    QTest::newRow("cyrillic") << QByteArray("[main]\nlogin=Иван Петров\n") << "main"
                              << "login" << s("Иван Петров");
    QTest::newRow("cyrillic names, any case") << QByteArray("[ГЛАВНОЕ]\nИМЯ=да\n") << "главное"
                                              << "имя" << s("да");
    QTest::newRow("empty file") << QByteArray() << "main"
                                << "login" << Opt();
}

void TestProfileFile::readsValues() {
    QFETCH(QByteArray, content);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(std::optional<QString>, expected);
    const std::optional<QString> actual = ProfileFile(content).value(section, key);
    QCOMPARE(actual.has_value(), expected.has_value());
    if (expected)
        QCOMPARE(*actual, *expected);
}

void TestProfileFile::cutsLongValues() {
    const QString longValue(3000, u'я');
    const ProfileFile profile("[main]\nlogin=" + longValue.toUtf8() + "\npassword=\"" +
                              QByteArray(2047, 'p') + "\"\n");
    QCOMPARE(profile.value(u"main", u"login").value(), longValue.left(2047));
    QCOMPARE(profile.value(u"main", u"password").value(), QString(2047, u'p'));

    // A character outside the basic plane is never cut in half.
    const QString wide = QString(2046, u'a') + QString::fromUtf8("\xF0\x9F\x8F\xA0");
    const ProfileFile widened("[main]\nlogin=" + wide.toUtf8() + "\n");
    QCOMPARE(widened.value(u"main", u"login").value(), QString(2046, u'a'));
}

void TestProfileFile::setsValues_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("new file") << QByteArray() << "main"
                              << "login"
                              << "bob" << QByteArray("[main]\nlogin=bob\n");
    QTest::newRow("replaced in place, spelling and CR LF kept")
        << QByteArray("; top\r\n[MAIN]\r\n  Login = old \r\npassword=p\r\n") << "main"
        << "login"
        << "new" << QByteArray("; top\r\n[MAIN]\r\nLogin=new\r\npassword=p\r\n");
    QTest::newRow("new key after the last key, before the blank line")
        << QByteArray("[main]\nlogin=a\n\n[other]\nx=1\n") << "main"
        << "password"
        << "p" << QByteArray("[main]\nlogin=a\npassword=p\n\n[other]\nx=1\n");
    QTest::newRow("new key before the comment of the next section")
        << QByteArray("[main]\nlogin=a\n; network\n[net]\nproxy=x\n") << "main"
        << "password"
        << "p" << QByteArray("[main]\nlogin=a\npassword=p\n; network\n[net]\nproxy=x\n");
    QTest::newRow("new key in an empty section")
        << QByteArray("[main]\n[other]\nx=1\n") << "main"
        << "login"
        << "a" << QByteArray("[main]\nlogin=a\n[other]\nx=1\n");
    QTest::newRow("new key in the last section, no final line end")
        << QByteArray("[main]\nlogin=a") << "main"
        << "password"
        << "p" << QByteArray("[main]\nlogin=a\npassword=p\n");
    QTest::newRow("new section at the end, no final line end")
        << QByteArray("[other]\nx=1") << "main"
        << "login"
        << "a" << QByteArray("[other]\nx=1\n[main]\nlogin=a\n");
    QTest::newRow("new section takes the file's line end")
        << QByteArray("[other]\r\nx=1\r\n") << "main"
        << "login"
        << "a" << QByteArray("[other]\r\nx=1\r\n[main]\r\nlogin=a\r\n");
    QTest::newRow("the first section of a name gets the key")
        << QByteArray("[main]\nlogin=a\n[MAIN]\nlogin=b\n") << "main"
        << "login"
        << "c" << QByteArray("[main]\nlogin=c\n[MAIN]\nlogin=b\n");
    QTest::newRow("bytes that are not UTF-8 elsewhere are kept")
        << QByteArray("[other]\nx=\xFF\xFE\n[main]\nlogin=a\n") << "main"
        << "login"
        << "b" << QByteArray("[other]\nx=\xFF\xFE\n[main]\nlogin=b\n");
    QTest::newRow("byte order mark kept") << QByteArray("\xEF\xBB\xBF[main]\nlogin=a\n") << "main"
                                          << "login"
                                          << "b" << QByteArray("\xEF\xBB\xBF[main]\nlogin=b\n");
    QTest::newRow("blanks and quotes at the ends are quoted")
        << QByteArray("[main]\n") << "main"
        << "login"
        << " \"q\" " << QByteArray("[main]\nlogin=\" \"q\" \"\n");
    QTest::newRow("cyrillic value") << QByteArray("[main]\nlogin=a\n") << "main"
                                    << "login"
                                    << "Иван" << QByteArray("[main]\nlogin=Иван\n");
    QTest::newRow("a commented key is not the key")
        << QByteArray("[main]\n;login=a\n") << "main"
        << "login"
        << "b" << QByteArray("[main]\nlogin=b\n;login=a\n");
}

void TestProfileFile::setsValues() {
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);
    ProfileFile profile(before);
    profile.setValue(section, key, value);
    QCOMPARE(profile.toByteArray(), after);
    QCOMPARE(ProfileFile(after).value(section, key).value_or(QString()), value);
    // The changed profile reads like the file it writes.
    QCOMPARE(profile.value(section, key), ProfileFile(after).value(section, key));
    QVERIFY(profile.value(section, key).has_value());
}

void TestProfileFile::refusesLineBreaks_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::newRow("LF in the value") << "main"
                                     << "password"
                                     << "a\nlogin=evil";
    QTest::newRow("CR in the value") << "main"
                                     << "password"
                                     << "a\rb";
    QTest::newRow("equals sign in the key") << "main"
                                            << "a=b"
                                            << "x";
    QTest::newRow("empty key") << "main"
                               << " "
                               << "x";
    QTest::newRow("bracket in the section") << "ma]in"
                                            << "key"
                                            << "x";
    QTest::newRow("line break in the section") << "main\n[x"
                                               << "key"
                                               << "x";
}

void TestProfileFile::refusesLineBreaks() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    const QByteArray before("[main]\npassword=old\n");
    ProfileFile profile(before);
    QVERIFY_THROWS_EXCEPTION(Error, profile.setValue(section, key, value));
    QCOMPARE(profile.toByteArray(), before);
}

void TestProfileFile::readsAndWritesFiles() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    writeBytes(path, "[other]\r\nkept = \"as is\"\r\n");
    QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ReadGroup | QFileDevice::ReadOther));

    ProfileFile profile = ProfileFile::fromFile(path);
    QCOMPARE(profile.value(u"other", u"kept").value(), QStringLiteral("as is"));
    profile.setValue(QStringLiteral("main"), QStringLiteral("password"), QStringLiteral("secret"));
    profile.writeFile(path);

    QCOMPARE(readBytes(path),
             QByteArray("[other]\r\nkept = \"as is\"\r\n[main]\r\npassword=secret\r\n"));
    QCOMPARE(fileMode(path), 0600);
    // Only the file itself: no temporary file left beside it.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"settings.ini"});
}

void TestProfileFile::missingFileIsEmpty() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const ProfileFile profile = ProfileFile::fromFile(dir.filePath(QStringLiteral("none.ini")));
    QVERIFY(profile.toByteArray().isEmpty());
}

void TestProfileFile::unreadableFileRaises() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY_THROWS_EXCEPTION(Error, ProfileFile::fromFile(dir.path()));
    // A device is no settings file: it would never end.
    QVERIFY_THROWS_EXCEPTION(Error, ProfileFile::fromFile(QStringLiteral("/dev/zero")));
}

void TestProfileFile::writeFailuresRaise() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ProfileFile profile;
    profile.setValue(QStringLiteral("main"), QStringLiteral("login"), QStringLiteral("a"));

    const QString asDirectory = dir.filePath(QStringLiteral("settings.ini"));
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("settings.ini")));
    try {
        profile.writeFile(asDirectory);
        QFAIL("writing over a directory succeeded");
    } catch (const Error& error) {
        QVERIFY(!error.message().isEmpty());
    }
    QVERIFY(QFileInfo(asDirectory).isDir());

    const QString parentFile = dir.filePath(QStringLiteral("plain"));
    writeBytes(parentFile, "x");
    QVERIFY_THROWS_EXCEPTION(Error,
                             profile.writeFile(parentFile + QStringLiteral("/settings.ini")));
    QCOMPARE(readBytes(parentFile), QByteArray("x"));
}

QTEST_GUILESS_MAIN(TestProfileFile)
#include "tst_profilefile.moc"
