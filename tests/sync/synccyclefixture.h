#pragma once

// The fixture of the sync cycle's tests: a fresh database file in a folder of its own, the fake
// listings service, and a host that records what the cycle shows; each test runs whole cycles by
// the steps the data thread takes.

#include "env/environment.h"
#include "settings/settings.h"
#include "store/database.h"
#include "support/fakeservice.h"
#include "support/netutil.h"
#include "support/syncsteps.h"
#include "support/testpki.h"
#include "sync/synccycle.h"

#include <QFile>
#include <QObject>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <functional>
#include <memory>

namespace domiva::test {

// The test classes derive from it and call setUp() and tearDown() from init() and cleanup().
class SyncCycleFixture : public QObject {
protected:
    static HttpServer::Response ok(const QByteArray& body) {
        HttpServer::Response r;
        r.body = body;
        return r;
    }

    struct Host : SyncHost {
        QStringList panel0;
        QString panel1;
        QStringList balloons;
        QStringList versionMessages;
        int slices = 0;
        int suspended = 0;
        int resumed = 0;
        int requeries = 0;
        int closings = 0; // the time of the last sync shown: a cycle's closing steps ran
        std::function<void()> onSlice;

        void setStatusText(int panel, const QString& text) override {
            if (panel == 0) {
                panel0 << text;
            } else {
                panel1 = text;
                ++closings;
            }
        }
        void sliceCommitted() override {
            ++slices;
            if (onSlice)
                onSlice();
        }
        void showTrayBalloon(const QString& text) override { balloons << text; }
        void showNewVersionMessage(const QString& text) override { versionMessages << text; }
        void suspendGrids() override { ++suspended; }
        void resumeGrids() override { ++resumed; }
        void requeryOffers() override { ++requeries; }
    };

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeService> m_service;
    std::unique_ptr<Database> m_db;
    std::unique_ptr<test::ProxyEnvironment> m_proxyEnv;
    Settings m_settings;
    EnvironmentReport m_env{"0.0.1", "3.40.1.0", "6.4.2", "Linux Test"};
    ServiceConfig m_serviceConfig;
    Host m_host;
    std::unique_ptr<SyncCycle> m_cycle;

    QString workDir() const { return m_dir->path() + QLatin1Char('/'); }
    QString logPath() const { return workDir() + QStringLiteral("domiva.log"); }

    QStringList logLines() const {
        QFile f(logPath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    }

    int count(const QString& sql) {
        QSqlQuery q(m_db->connection());
        if (!q.exec(sql) || !q.next())
            return -1;
        return q.value(0).toInt();
    }

    QVariant value(const QString& sql) {
        QSqlQuery q(m_db->connection());
        if (!q.exec(sql) || !q.next())
            return {};
        return q.value(0);
    }

    void run(bool loadAll = false) { test::runSyncSteps(*m_cycle, loadAll); }

    // The service over TLS with this certificate, checked against the test CA.
    void useTlsService(const HttpServer::Tls& certificate) {
        m_service = std::make_unique<FakeService>(0, certificate);
        m_serviceConfig.host = QStringLiteral("https://") + m_service->hostAndPort();
        m_serviceConfig.caFile = test::testPki().caFile;
    }

    void setUp() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_proxyEnv = std::make_unique<test::ProxyEnvironment>();
        m_service = std::make_unique<FakeService>();
        createDatabase(workDir() + QStringLiteral("db"));
        m_db = openDatabase(workDir() + QStringLiteral("db"));
        m_settings = Settings{};
        m_serviceConfig =
            ServiceConfig{m_service->hostAndPort(), QStringLiteral("http://site.example/")};
        m_host = Host{};
        m_cycle = std::make_unique<SyncCycle>(
            m_host, SyncContext{&m_settings, &m_env, &m_serviceConfig, workDir(), logPath()});
        m_cycle->setDatabase(m_db.get());
        TransferLimits limits;
        limits.connectTimeout = std::chrono::milliseconds(2000);
        limits.stallTime = std::chrono::seconds(1);
        m_cycle->setTransferLimits(limits);
    }

    void tearDown() {
        m_cycle.reset();
        m_db.reset();
        m_service.reset();
        m_proxyEnv.reset();
        m_dir.reset();
    }
};

} // namespace domiva::test
