#pragma once

#include "sync/datathread.h"
#include "sync/synccycle.h"

#include <QString>

#include <functional>

namespace domiva {

// The sync cycle's view of the window, from the data thread: every call becomes one of the
// DataThread's answers, sent to the window's thread; the damage a cycle found is kept for its
// end.
class DataSyncHost final : public SyncHost {
public:
    // send: hands an answer to the window's thread (dropped there if no longer wanted).
    // betweenSlices: lets the read marks that wait for the lock in.
    DataSyncHost(DataThread& answers, std::function<void(std::function<void()>)> send,
                 std::function<void()> betweenSlices);

    void setStatusText(int panel, const QString& text) override;
    void showTrayBalloon(const QString& text) override;
    void showNewVersionMessage(const QString& text) override;
    void suspendGrids() override;
    void resumeGrids() override;
    void requeryOffers() override;
    void databaseDamaged(const QString& message) override { m_damage = message; }
    // Between two slices of the sync (the history's first fill included): the read marks the
    // user asked for meanwhile are stored before the next slice takes the lock.
    void sliceCommitted() override { m_betweenSlices(); }

    // What the cycle found damaged, in the engine's words; empty when nothing.
    const QString& damage() const { return m_damage; }

private:
    DataThread& m_answers;
    std::function<void(std::function<void()>)> m_send;
    std::function<void()> m_betweenSlices;
    QString m_damage;
};

// The sync that runs, on the data thread: its request, its host and its cycle, which goes a
// step per turn of the thread's event loop (DataThread drives it).
struct SyncJob {
    SyncJob(quint64 generation, SyncRequest request, DataSyncHost host);
    SyncJob(const SyncJob&) = delete;
    SyncJob& operator=(const SyncJob&) = delete;

    // How the cycle ended, once it is Idle again.
    SyncOutcome outcome() const;

    quint64 generation;
    SyncRequest request;
    DataSyncHost host;
    SyncCycle cycle;
};

} // namespace domiva
