#pragma once

// The order of the data thread's requests as one table, with nothing of threads in it: what
// becomes of a request asked for in each state of the data thread (DataThread carries it out).

namespace domiva::requestorder {

enum class Request {
    Sync,           // the timer, F5, the full download after a clear or a repair
    MarkSearchRead, // the user's command
    Clear,          // Ctrl+F2 answered Yes: refused while the data is being changed
    ClearWhenFree,  // the account changed: after whatever runs
    CarryReadMarks, // after the download that follows a repair
    Repair,         // a damaged file is set aside and emptied
};
inline constexpr int requestCount = 6;

// What the data thread is at when a request comes: a row of the table.
enum class State {
    Idle,
    Sync,
    MarkSearchRead,
    Clear,
    ClearWhenFree,
    CarryReadMarks,
    Repair,
    RepairWaiting, // a damaged file found: its repair waits for what runs to end
    Ending,        // the program ends: nothing runs from now on
};
inline constexpr int stateCount = 9;

enum class Decision {
    Run,    // now
    Queue,  // once what runs and what waits before it have ended
    Merge,  // the same work runs or waits already: nothing more comes of this one
    Refuse, // nothing comes of it; the window says so where the user asked
};

// The table: what becomes of `asked` in `state`.
Decision decide(State state, Request asked);

// The row of a request that runs (each request has one, named as it is).
State runningState(Request request);

} // namespace domiva::requestorder
