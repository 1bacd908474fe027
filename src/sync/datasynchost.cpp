#include "sync/datasynchost.h"

#include <utility>

namespace domiva {

DataSyncHost::DataSyncHost(DataThread& answers, std::function<void(std::function<void()>)> send,
                           std::function<void()> betweenSlices)
    : m_answers(answers), m_send(std::move(send)), m_betweenSlices(std::move(betweenSlices)) {}

void DataSyncHost::setStatusText(int panel, const QString& text) {
    m_send([o = &m_answers, panel, text] { emit o->statusText(panel, text); });
}

void DataSyncHost::showTrayBalloon(const QString& text) {
    m_send([o = &m_answers, text] { emit o->trayBalloon(text); });
}

void DataSyncHost::showNewVersionMessage(const QString& text) {
    m_send([o = &m_answers, text] { emit o->versionNotice(text); });
}

void DataSyncHost::suspendGrids() {
    m_send([o = &m_answers] { emit o->gridsSuspended(); });
}

void DataSyncHost::resumeGrids() {
    m_send([o = &m_answers] { emit o->gridsResumed(); });
}

void DataSyncHost::requeryOffers() {
    m_send([o = &m_answers] { emit o->offersChanged(); });
}

SyncJob::SyncJob(quint64 generation, SyncRequest request, DataSyncHost host)
    : generation(generation), request(std::move(request)), host(std::move(host)),
      cycle(this->host,
            SyncContext{&this->request.settings, &this->request.environment, &this->request.service,
                        this->request.workDir, this->request.logPath}) {}

SyncOutcome SyncJob::outcome() const {
    SyncOutcome outcome;
    outcome.newOffers = cycle.lastNewOfferCount();
    outcome.damage = host.damage();
    outcome.unloggedError = cycle.lastUnloggedError();
    return outcome;
}

} // namespace domiva
