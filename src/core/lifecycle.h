#pragma once

namespace domiva {

// Where the program stands between its entry and its end, and what to do when it is asked
// to end. Start-up runs before the event loop, so an end asked for then waits for the loop;
// a running sync hands control to the event loop while it works, so an end asked for then
// waits for the sync. When the system or the session asks for the end, nobody may be there
// to answer a box: every box is closed from then on, and a failure of the shut-down itself
// goes unreported.
class Lifecycle {
public:
    enum class State {
        Starting,                // start-up runs; no event loop yet
        StartingToEnd,           // the program asked for its end during start-up
        StartingToEndUnattended, // the system asked for it during start-up
        Running,                 // the event loop runs
        Ending,                  // the end is due once no sync runs
        EndingUnattended,        // likewise, asked for by the system
        ShutDown                 // tray icon removed, "Shutdown" logged
    };

    enum class Event {
        LoopStarted,   // the event loop handles its first events
        QuitRequested, // the exit command, the window closed, a failed start-up
        SessionEnded,  // SIGTERM, SIGINT, SIGHUP
        Check,         // a turn of the event loop after a request or after a sync
        ShutDown       // the event loop has ended or the window goes
    };

    // What the caller has to do after an event.
    struct Actions {
        bool quitLoop = false;   // end the event loop now
        bool closeBoxes = false; // close every box and dialog, now and whenever one opens
        bool checkLater = false; // send Check from the event loop's next turn
        bool shutDown = false;   // run the orderly shut-down
        bool operator==(const Actions&) const = default;
    };

    struct Step {
        State state;
        Actions actions;
    };

    // The transition table: where `event` leads from `state`, given whether a sync runs.
    static Step next(State state, Event event, bool syncBusy);

    // Moves on by one event and returns what to do.
    Actions handle(Event event, bool syncBusy);

    State state() const { return m_state; }
    // Asked to end, and not ended yet.
    bool terminationRequested() const;
    // Nobody may be there to answer a box.
    bool unattended() const;

private:
    State m_state = State::Starting;
};

} // namespace domiva
