#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace domiva {

// One copy of the program per working folder. Two copies would write the same feed file and
// log and read each other's half-written feed. The first copy holds a lock on the folder
// itself, which the kernel lets go when the process ends, however it ends, and listens for the
// copies started after it; such a copy only asks the first to come forward, and leaves every
// file as it is.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // `folder` exists. While another copy holds the lock without answering yet (it is starting
    // or ending) this waits a little: for its answer, or for the lock.
    explicit SingleInstance(const QString& folder, QObject* parent = nullptr);
    ~SingleInstance() override;

    // False when another copy runs on the folder: it has been asked to come forward, and this
    // one is to end without touching any file.
    bool isFirst() const { return m_first; }

signals:
    // A copy started after this one asks to bring the window forward.
    void comeForwardRequested();

private:
    void listen(const QString& name);

    int m_lock = -1;
    bool m_first = true;
    QLocalServer* m_server = nullptr;
};

} // namespace domiva
