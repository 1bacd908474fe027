#pragma once

#include <QtGlobal>

namespace domiva {

// Takes a response body as it arrives, so that a long one is never held in memory whole.
class BodySink {
public:
    virtual ~BodySink() = default;
    // The next bytes of the body. False ends the exchange as failed.
    virtual bool write(const char* data, qsizetype size) = 0;
    // A new response begins (after a proxy's challenge or a redirect): what came before it
    // is not the body. False ends the exchange as failed.
    virtual bool restart() = 0;
};

} // namespace domiva
