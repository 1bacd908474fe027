#pragma once

// The main window under test: a private cache folder and home for each test, the message
// boxes recorded instead of shown, and quick ways to fill the database beforehand and to read
// the files the window writes.

#include "core/datetimevalue.h"
#include "store/database.h"
#include "store/offersmodel.h"
#include "store/storetestsupport.h"
#include "sync/datathread.h"
#include "ui/mainwindow.h"
#include "ui/messageboxes.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

namespace domiva::test {

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value) : m_name(name) {
        if (qEnvironmentVariableIsSet(name))
            m_previous = qgetenv(name);
        qputenv(name, value);
    }
    ~ScopedEnv() {
        if (m_previous)
            qputenv(m_name, *m_previous);
        else
            qunsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<QByteArray> m_previous;
};

// Everything a window of one test touches on disk lies in a temporary folder.
class Sandbox {
public:
    Sandbox()
        : m_cache("XDG_CACHE_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/cache"))),
          m_home("HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/home"))),
          m_httpProxy("http_proxy", QByteArray()), m_noProxy("no_proxy", QByteArray()) {
        QDir().mkpath(m_dir.path() + QStringLiteral("/home"));
    }

    bool isValid() const { return m_dir.isValid(); }
    QString cacheDir() const { return m_dir.path() + QStringLiteral("/cache/"); }
    QString workDir() const { return cacheDir() + QStringLiteral("DomivaDesktop/"); }
    QString logPath() const { return workDir() + QStringLiteral("domiva.log"); }
    QString settingsPath() const { return workDir() + QStringLiteral("settings.ini"); }
    QString dbPath() const { return workDir() + QStringLiteral("db"); }

    // The folder and files as the client makes them, private to the user; a test of looser
    // ones loosens them itself.
    void makeWorkDir() const {
        QDir().mkpath(workDir());
        QFile::setPermissions(workDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                             QFileDevice::ExeOwner);
    }

    QStringList logLines() const {
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        QStringList lines = QString::fromUtf8(file.readAll()).split(QStringLiteral("\r\n"));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }
    // The messages of the log lines, without their time stamps.
    QStringList logMessages() const {
        QStringList messages;
        for (const QString& line : logLines()) {
            const qsizetype colon = line.indexOf(QStringLiteral(": "));
            messages.append(colon < 0 ? line : line.mid(colon + 2));
        }
        return messages;
    }

    QByteArray fileBytes(const QString& path) const {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void writeFile(const QString& path, const QByteArray& bytes) const {
        makeWorkDir();
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        QCOMPARE(file.write(bytes), bytes.size());
    }
    // A settings file holding only where the service is: every [main] key takes its default.
    void pointServiceAt(const QString& host) const {
        writeFile(settingsPath(), "[service]\nhost=" + host.toUtf8() + "\n");
    }

    // A database with searches and listings, built before the window starts.
    std::unique_ptr<Database> createDb() const {
        makeWorkDir();
        if (!QFile::exists(dbPath()))
            createDatabase(dbPath());
        return openDatabase(dbPath());
    }

private:
    QTemporaryDir m_dir;
    ScopedEnv m_cache;
    ScopedEnv m_home;
    // Talking to a loopback service must not go through a proxy of the test machine.
    ScopedEnv m_httpProxy;
    ScopedEnv m_noProxy;
};

// A listing with believable texts; `suffix` tells listings apart.
inline OfferRow listing(const QString& id, qint32 qid, double dt, const QString& suffix = {}) {
    OfferRow offer;
    offer.id = id;
    offer.qid = qid;
    offer.texts = {QStringLiteral("5 п") + suffix,
                   QStringLiteral("Профсоюзная, ул. Вавилова 5") + suffix,
                   QStringLiteral("2"),
                   QStringLiteral("8"),
                   QStringLiteral("45000"),
                   QStringLiteral("50%"),
                   QStringLiteral("3/9"),
                   QStringLiteral("м") + suffix,
                   QStringLiteral("8-916-000-00-00"),
                   QStringLiteral("Хорошая квартира") + suffix,
                   QStringLiteral("агент") + suffix};
    offer.dt_obj = dt;
    return offer;
}

// Records the boxes and answers the questions for the life of the object.
struct RecordedBoxes {
    RecordingMessageBoxes boxes;
    MessageBoxesOverride installed{boxes};
};

// The listings' keys come from the data thread: true once all of them are there.
inline bool listingsRead(const TfrmMain& window) {
    return QTest::qWaitFor(
        [&window] {
            return window.offersModel() == nullptr || !window.offersModel()->readingKeys();
        },
        10'000);
}

// Opening a listing stores its read mark on the data thread's reading thread, which answers in
// order: true once a read asked for now has been answered, and with it every one before.
inline bool readsAnswered(TfrmMain& window) {
    bool answered = false;
    window.dataThread()->countOffers(window.dbPath(), 0, &window,
                                     [&answered](auto) { answered = true; });
    return QTest::qWaitFor([&answered] { return answered; }, 10'000);
}

// A sync runs on the data thread: true once it has ended and the listings it changed are read.
inline bool syncEnded(const TfrmMain& window) {
    return QTest::qWaitFor([&window] { return !window.syncBusy(); }, 10'000) &&
           listingsRead(window);
}

// A main window brought up in the sandbox. The refresh timer is stopped afterwards, so that
// no sync starts unless a test asks for one.
inline std::unique_ptr<TfrmMain> startWindow(bool stopTimer = true) {
    auto window = std::make_unique<TfrmMain>();
    window->formCreate();
    if (stopTimer)
        window->refreshTimer().setEnabled(false);
    return window;
}

} // namespace domiva::test
