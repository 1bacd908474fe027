#pragma once

#include <QObject>
#include <QTimer>

namespace domiva {

// The refresh timer of the sync (StoreSession's `tRefresh`, which stops it while a sync, a clear
// or a repair runs and starts it again at the settings' refresh time once a sync ends). A QTimer
// with interval 0 fires on every event-loop turn; this one with interval 0 (or below) never fires,
// so a refresh time of 0 means "no automatic sync". Intervals beyond what QTimer takes are held at
// its maximum.
class RefreshTimer : public QObject {
    Q_OBJECT
public:
    explicit RefreshTimer(QObject* parent = nullptr);

    // Takes effect at the next enabling, like the timer it stands for when it is stopped;
    // while running, a changed interval restarts the countdown.
    void setInterval(qint64 milliseconds);
    qint64 interval() const { return m_interval; }
    // Enabling restarts the countdown from the full interval.
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    // Whether a tick can come: enabled with an interval above 0.
    bool isRunning() const { return m_timer.isActive(); }

    static qint64 intervalFromSeconds(qint32 seconds) { return qint64(seconds) * 1000; }

signals:
    void timeout();

private:
    void apply();

    QTimer m_timer;
    qint64 m_interval = 0;
    bool m_enabled = false;
};

} // namespace domiva
