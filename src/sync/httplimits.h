#pragma once

#include <QtGlobal>

#include <chrono>

namespace domiva {

// How long an exchange may wait before it is given up. Without limits a server that stops
// answering would hold the sync cycle for ever, and every later sync with it.
struct TransferLimits {
    // Time allowed to establish the connection.
    std::chrono::milliseconds connectTimeout{30'000};
    // A transfer that moves no byte for this long is abandoned.
    std::chrono::milliseconds stallTime{60'000};
    // A response body larger than this is refused: a server that streams without end would
    // otherwise fill memory.
    qint64 maxBodyBytes = qint64(256) << 20;
    // Nor may it crawl: fewer than minBytesPerSecond on average over each rateWindow abandon
    // it too (a server that drips a byte now and then never stalls).
    qint64 minBytesPerSecond = 1024;
    std::chrono::milliseconds rateWindow{60'000};
};

} // namespace domiva
