#pragma once

// The fixture of the data thread's tests: a fresh database file in a folder of its own, the fake
// listings service, and a data thread whose every answer is recorded by name, with the thread it
// came on.

#include "store/database.h"
#include "support/fakeservice.h"
#include "support/netutil.h"
#include "sync/datathread.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace domiva::test {

// The test classes derive from it and call setUp() and tearDown() from init() and cleanup().
class DataThreadFixture : public QObject {
protected:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<test::ProxyEnvironment> m_proxyEnv;
    std::unique_ptr<FakeService> m_service;
    std::unique_ptr<DataThread> m_data;
    QStringList m_answers;
    bool m_holdNotice = false; // the new-version box stays open until the test closes it

    SyncRequest request() const {
        SyncRequest r;
        r.service = ServiceConfig{m_service->hostAndPort(), QStringLiteral("http://site.example/")};
        r.environment = EnvironmentReport{"0.0.1", "3.40.1.0", "6.4.2", "Linux Test"};
        r.workDir = m_dir->path() + QLatin1Char('/');
        r.logPath = r.workDir + QStringLiteral("domiva.log");
        r.dbPath = r.workDir + QStringLiteral("db");
        return r;
    }

    // A sync whose feed the service sends after this long.
    void syncAnsweredAfter(std::chrono::milliseconds delay) {
        FakeService::Answer answer;
        answer.body = "R#5#a\r\nD#1\r\n";
        answer.delay = delay;
        m_service->setDefaultAnswer(answer);
        m_data->sync(request());
    }

    // Waits for what another thread does, without letting the window's thread take any answer.
    static bool waitWithoutEvents(const std::function<bool()>& done) {
        QElapsedTimer clock;
        clock.start();
        while (!done()) {
            if (clock.hasExpired(10'000))
                return false;
            QThread::msleep(2);
        }
        return true;
    }

    // Every answer, named, with the thread it came on.
    void record(const QString& name) {
        m_answers << (QThread::currentThread() == thread() ? name : name + QStringLiteral("!"));
    }

    void setUp() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_proxyEnv = std::make_unique<test::ProxyEnvironment>();
        m_service = std::make_unique<FakeService>();
        createDatabase(m_dir->path() + QStringLiteral("/db"));
        m_data = std::make_unique<DataThread>();
        m_answers.clear();
        DataThread* d = m_data.get();
        connect(d, &DataThread::statusText, this, [this](int panel, const QString& text) {
            record(panel == 0 ? text : QStringLiteral("time"));
        });
        connect(d, &DataThread::gridsSuspended, this,
                [this] { record(QStringLiteral("suspend")); });
        connect(d, &DataThread::gridsResumed, this, [this] { record(QStringLiteral("resume")); });
        connect(d, &DataThread::trayBalloon, this, [this](const QString& t) { record(t); });
        connect(d, &DataThread::offersChanged, this, [this] { record(QStringLiteral("requery")); });
        connect(d, &DataThread::versionNotice, this, [this, d](const QString&) {
            record(QStringLiteral("notice"));
            // Closed a while later: the sync waits for it.
            if (!m_holdNotice)
                QTimer::singleShot(100, d, &DataThread::versionNoticeClosed);
        });
        connect(d, &DataThread::syncDone, this, [this](const SyncOutcome& outcome) {
            record(QStringLiteral("done %1 busy %2").arg(outcome.newOffers).arg(m_data->busy()));
        });
        connect(d, &DataThread::searchMarkedRead, this,
                [this] { record(QStringLiteral("marked")); });
        connect(d, &DataThread::clearing, this, [this] { record(QStringLiteral("clearing")); });
        connect(d, &DataThread::databaseCleared, this, [this](const std::optional<Error>& failure) {
            record(failure ? QStringLiteral("clear failed") : QStringLiteral("cleared"));
        });
        connect(d, &DataThread::databaseRepaired, this,
                [this](const DamageRecovery&, const QString&, const std::optional<Error>& failure) {
                    record(failure ? QStringLiteral("repair failed") : QStringLiteral("repaired"));
                });
        connect(d, &DataThread::repairing, this, [this] { record(QStringLiteral("repairing")); });
        connect(d, &DataThread::diskFailing, this, [this] { record(QStringLiteral("disk")); });
        connect(d, &DataThread::readMarksCarried, this,
                [this](int carried, const std::optional<Error>& failure) {
                    record(QStringLiteral("carried %1%2")
                               .arg(carried)
                               .arg(failure ? QStringLiteral(" part-way") : QString()));
                });
    }

    void tearDown() {
        m_data.reset();
        m_service.reset();
        m_proxyEnv.reset();
        m_dir.reset();
    }
};

} // namespace domiva::test
