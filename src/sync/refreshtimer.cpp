#include "sync/refreshtimer.h"

#include <limits>

namespace domiva {

RefreshTimer::RefreshTimer(QObject* parent) : QObject(parent) {
    m_timer.setSingleShot(false);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &RefreshTimer::timeout);
}

void RefreshTimer::setInterval(qint64 milliseconds) {
    if (milliseconds == m_interval)
        return;
    m_interval = milliseconds;
    if (m_enabled)
        apply();
}

void RefreshTimer::setEnabled(bool enabled) {
    m_enabled = enabled;
    apply();
}

void RefreshTimer::apply() {
    m_timer.stop();
    if (!m_enabled || m_interval <= 0)
        return;
    constexpr qint64 longest = std::numeric_limits<int>::max();
    m_timer.start(static_cast<int>(std::min(m_interval, longest)));
}

} // namespace domiva
