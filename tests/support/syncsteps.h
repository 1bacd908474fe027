#pragma once

#include "sync/httptransfer.h"
#include "sync/synccycle.h"

namespace domiva::test {

// One whole sync cycle on the calling thread, by the steps the data thread takes from its event
// loop: the transfer run to its end, then the feed applied slice by slice, a new-version box
// taken as closed as soon as it is shown. Does nothing while a cycle runs.
inline void runSyncSteps(SyncCycle& cycle, bool loadAll = false) {
    if (cycle.step() != SyncCycle::Step::Idle)
        return;
    if (CurlTransfer* transfer = cycle.begin(loadAll)) {
        transfer->run();
        cycle.transferEnded();
    }
    while (cycle.step() != SyncCycle::Step::Idle) {
        if (cycle.step() == SyncCycle::Step::WaitingForNotice)
            cycle.noticeClosed();
        else
            cycle.applySlice();
    }
}

} // namespace domiva::test
