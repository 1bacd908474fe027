#include "core/lifecycle.h"

namespace domiva {

namespace {

using State = Lifecycle::State;
using Event = Lifecycle::Event;
using Actions = Lifecycle::Actions;
using Step = Lifecycle::Step;

// The event loop runs and the end is due: it ends now unless a sync still runs, which comes
// back with Check when it has finished.
Step endWhenIdle(State ending, bool syncBusy) {
    return {ending, Actions{.quitLoop = !syncBusy}};
}

} // namespace

Step Lifecycle::next(State state, Event event, bool syncBusy) {
    if (state == State::ShutDown)
        return {state, {}};
    if (event == Event::ShutDown)
        return {State::ShutDown, Actions{.shutDown = true}};

    switch (state) {
    case State::Starting:
        switch (event) {
        case Event::LoopStarted:
            return {State::Running, {}};
        case Event::QuitRequested:
            return {State::StartingToEnd, {}};
        case Event::SessionEnded:
            return {State::StartingToEndUnattended, Actions{.closeBoxes = true}};
        default:
            return {state, {}};
        }
    case State::StartingToEnd:
        switch (event) {
        case Event::LoopStarted:
            return endWhenIdle(State::Ending, syncBusy);
        case Event::SessionEnded:
            return {State::StartingToEndUnattended, Actions{.closeBoxes = true}};
        default:
            return {state, {}};
        }
    case State::StartingToEndUnattended:
        if (event == Event::LoopStarted)
            return endWhenIdle(State::EndingUnattended, syncBusy);
        return {state, {}};
    case State::Running:
        switch (event) {
        case Event::QuitRequested:
            // Never inside the handler that asked: between two events of the loop.
            return {State::Ending, Actions{.checkLater = true}};
        case Event::SessionEnded:
            return {State::EndingUnattended, Actions{.closeBoxes = true, .checkLater = true}};
        default:
            return {state, {}};
        }
    case State::Ending:
        switch (event) {
        case Event::Check:
        case Event::LoopStarted:
            return endWhenIdle(state, syncBusy);
        case Event::QuitRequested:
            return {state, Actions{.checkLater = true}};
        case Event::SessionEnded:
            return {State::EndingUnattended, Actions{.closeBoxes = true, .checkLater = true}};
        default:
            return {state, {}};
        }
    case State::EndingUnattended:
        switch (event) {
        case Event::Check:
        case Event::LoopStarted:
            return endWhenIdle(state, syncBusy);
        case Event::QuitRequested:
        case Event::SessionEnded:
            return {state, Actions{.checkLater = true}};
        default:
            return {state, {}};
        }
    case State::ShutDown:
        break;
    }
    return {state, {}};
}

Lifecycle::Actions Lifecycle::handle(Event event, bool syncBusy) {
    const Step step = next(m_state, event, syncBusy);
    m_state = step.state;
    return step.actions;
}

bool Lifecycle::terminationRequested() const {
    switch (m_state) {
    case State::StartingToEnd:
    case State::StartingToEndUnattended:
    case State::Ending:
    case State::EndingUnattended:
        return true;
    default:
        return false;
    }
}

bool Lifecycle::unattended() const {
    return m_state == State::StartingToEndUnattended || m_state == State::EndingUnattended;
}

} // namespace domiva
