#pragma once

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
// The sound server is first contacted when a sound is asked for, not at start-up.
class CanberraSound : public NewListingsSound {
public:
    CanberraSound();
    ~CanberraSound() override;
    CanberraSound(const CanberraSound&) = delete;
    CanberraSound& operator=(const CanberraSound&) = delete;

    void play() override;
    // Whether the last play was accepted by a sound driver.
    bool lastPlayStarted() const { return m_lastStarted; }

private:
    struct ContextDeleter {
        void operator()(ca_context* context) const;
    };
    std::unique_ptr<ca_context, ContextDeleter> m_context;
    bool m_unusable = false;
    bool m_lastStarted = false;
};

} // namespace domiva
