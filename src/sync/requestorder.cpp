#include "sync/requestorder.h"

#include <array>
#include <cstddef>

namespace domiva::requestorder {

namespace {

constexpr Decision run = Decision::Run, queue = Decision::Queue, merge = Decision::Merge,
                   refuse = Decision::Refuse;

// One row of the table: what becomes of each request in one state, by name.
struct Row {
    State state;
    Decision sync, markSearchRead, clear, clearWhenFree, carryReadMarks, repair;

    constexpr Decision operator[](Request asked) const {
        switch (asked) {
        case Request::Sync:
            return sync;
        case Request::MarkSearchRead:
            return markSearchRead;
        case Request::Clear:
            return clear;
        case Request::ClearWhenFree:
            return clearWhenFree;
        case Request::CarryReadMarks:
            return carryReadMarks;
        case Request::Repair:
            return repair;
        }
        return refuse;
    }
};

using S = State;
// Every rule of the order of requests. A sync is merged only into work whose own download
// stands for it (a sync, a clear, a repair); the user's changes wait for a sync to end only
// where they cannot act on a file about to go.
// clang-format off
constexpr std::array<Row, stateCount> requestTable{{
    //  state              sync    markRead clear   whenFree carry   repair
    {S::Idle,              run,    run,     run,    run,     run,    run},
    // Another sync would only repeat it; the user's changes wait for the next turn.
    {S::Sync,              merge,  refuse,  refuse, queue,   queue,  queue},
    // Marking a search read is no sync: one asked for runs after it.
    {S::MarkSearchRead,    queue,  queue,   refuse, queue,   queue,  queue},
    // Clearing: its own full download follows.
    {S::Clear,             merge,  refuse,  merge,  merge,   queue,  queue},
    // The account's clear, asked for while something ran, now running.
    {S::ClearWhenFree,     merge,  refuse,  merge,  merge,   queue,  queue},
    // Carrying read marks after a repair's download: no sync either.
    {S::CarryReadMarks,    queue,  queue,   refuse, queue,   merge,  queue},
    // Repairing a damaged file: a full download follows it.
    {S::Repair,            merge,  refuse,  refuse, queue,   queue,  merge},
    // A repair waits ahead of everything: a command now would act on the file about to go.
    {S::RepairWaiting,     merge,  refuse,  refuse, queue,   queue,  merge},
    // The program ends.
    {S::Ending,            refuse, refuse,  refuse, refuse,  refuse, refuse},
}};
// clang-format on

constexpr bool tableInOrder() {
    for (int i = 0; i < stateCount; ++i) {
        if (static_cast<int>(requestTable[std::size_t(i)].state) != i)
            return false;
    }
    return true;
}
static_assert(tableInOrder(), "one row per state, in the order of State");
static_assert(static_cast<int>(State::Ending) + 1 == stateCount);
static_assert(static_cast<int>(Request::Repair) + 1 == requestCount);
// A state for each request that runs, named as it is.
static_assert(static_cast<int>(S::Sync) == static_cast<int>(Request::Sync) + 1 &&
              static_cast<int>(S::Repair) == static_cast<int>(Request::Repair) + 1);

} // namespace

Decision decide(State state, Request asked) {
    return requestTable[static_cast<std::size_t>(state)][asked];
}

State runningState(Request request) {
    return static_cast<State>(static_cast<int>(request) + 1);
}

} // namespace domiva::requestorder
