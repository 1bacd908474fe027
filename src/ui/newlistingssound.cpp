#include "ui/newlistingssound.h"

#include <canberra.h>

namespace domiva {

void CanberraSound::ContextDeleter::operator()(ca_context* context) const {
    ca_context_destroy(context);
}

CanberraSound::CanberraSound() {
    m_worker.setMaxThreadCount(1);
}

CanberraSound::~CanberraSound() {
    m_worker.waitForDone();
}

void CanberraSound::play() {
    m_worker.start([this] { playHere(); });
}

void CanberraSound::playHere() {
    m_lastStarted = false;
    if (m_unusable)
        return;
    if (!m_context) {
        ca_context* context = nullptr;
        if (ca_context_create(&context) != CA_SUCCESS) {
            m_unusable = true;
            return;
        }
        m_context.reset(context);
        ca_context_change_props(context, CA_PROP_APPLICATION_NAME, "Домива", CA_PROP_APPLICATION_ID,
                                "domiva", CA_PROP_APPLICATION_ICON_NAME, "domiva", nullptr);
        // Without a driver there is nothing to try again later in this run.
        if (ca_context_open(context) != CA_SUCCESS) {
            m_unusable = true;
            m_context.reset();
            return;
        }
    }
    // Asynchronous: the sound plays on while the window goes on.
    m_lastStarted = ca_context_play(m_context.get(), 0, CA_PROP_EVENT_ID, "message-new-instant",
                                    nullptr) == CA_SUCCESS;
}

} // namespace domiva
