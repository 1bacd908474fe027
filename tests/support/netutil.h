#pragma once

#include <QByteArray>
#include <QString>

#include <map>
#include <optional>

namespace domiva::test {

// A loopback port nothing listens on: connecting to it is refused at once.
quint16 closedPort();

// A loopback port whose connections are never accepted: its queue is full, so a connect to it
// waits until the client gives up (for testing connect time-outs).
class UnansweredListener {
public:
    UnansweredListener();
    ~UnansweredListener();
    UnansweredListener(const UnansweredListener&) = delete;
    UnansweredListener& operator=(const UnansweredListener&) = delete;

    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    int m_filler = -1;
    quint16 m_port = 0;
};

// Clears the proxy variables libcurl reads for the life of the object and restores them
// afterwards; tests talk to loopback, which libcurl does not exempt from a proxy by itself.
class ProxyEnvironment {
public:
    ProxyEnvironment();
    ~ProxyEnvironment();
    ProxyEnvironment(const ProxyEnvironment&) = delete;
    ProxyEnvironment& operator=(const ProxyEnvironment&) = delete;

    void setHttpProxy(const QString& url);
    void setNoProxy(const QString& hosts);
    // Clears them again.
    void clear();

private:
    std::map<QByteArray, std::optional<QByteArray>> m_saved;
};

} // namespace domiva::test
