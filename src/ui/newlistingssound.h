#pragma once

#include <QThreadPool>

#include <atomic>
#include <memory>

struct ca_context;

namespace domiva {

// The sound that tells the user new listings have arrived.
class NewListingsSound {
public:
    virtual ~NewListingsSound() = default;
    // Starts the sound and returns at once; a machine that cannot play it stays silent.
    virtual void play() = 0;
};

// The desktop's "message-new-instant" of the freedesktop sound theme, through libcanberra.
// The sound server is first contacted when a sound is asked for, not at start-up, and on a
// thread of the sound's own: reaching a slow sound server never holds the window.
class CanberraSound : public NewListingsSound {
public:
    CanberraSound();
    ~CanberraSound() override;
    CanberraSound(const CanberraSound&) = delete;
    CanberraSound& operator=(const CanberraSound&) = delete;

    void play() override;
    // Waits until every sound asked for has been handed to the driver (or given up).
    void waitForPlays() { m_worker.waitForDone(); }
    // Whether the last play handed over was accepted by a sound driver.
    bool lastPlayStarted() const { return m_lastStarted; }

private:
    struct ContextDeleter {
        void operator()(ca_context* context) const;
    };
    void playHere();

    // Used on the worker only, one play at a time.
    std::unique_ptr<ca_context, ContextDeleter> m_context;
    bool m_unusable = false;
    std::atomic<bool> m_lastStarted{false};
    // Last: its plays end before the context goes.
    QThreadPool m_worker;
};

} // namespace domiva
