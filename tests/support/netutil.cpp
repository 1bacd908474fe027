#include "support/netutil.h"

#include "core/error.h"

#include <QtGlobal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace domiva::test {

namespace {

const char* const proxyVariables[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                      "all_proxy",  "ALL_PROXY",  "no_proxy",    "NO_PROXY"};

sockaddr_in loopback(quint16 port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

quint16 boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw Error(QStringLiteral("getsockname failed"));
    }
    return ntohs(address.sin_port);
}

int boundSocket() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw Error(QStringLiteral("socket failed"));
    }
    const sockaddr_in address = loopback(0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw Error(QStringLiteral("bind failed"));
    }
    return fd;
}

} // namespace

quint16 closedPort() {
    const int fd = boundSocket();
    const quint16 port = boundPort(fd);
    ::close(fd);
    return port;
}

UnansweredListener::UnansweredListener() {
    m_listener = boundSocket();
    m_port = boundPort(m_listener);
    // A backlog of 0 holds one connection; the filler takes that place, so later SYNs are
    // dropped and the client keeps waiting.
    if (::listen(m_listener, 0) != 0) {
        ::close(m_listener);
        throw Error(QStringLiteral("listen failed"));
    }
    m_filler = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(m_port);
    if (m_filler < 0 ||
        ::connect(m_filler, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (m_filler >= 0) {
            ::close(m_filler);
        }
        ::close(m_listener);
        throw Error(QStringLiteral("filler connect failed"));
    }
}

UnansweredListener::~UnansweredListener() {
    ::close(m_filler);
    ::close(m_listener);
}

ProxyEnvironment::ProxyEnvironment() {
    for (const char* name : proxyVariables) {
        m_saved[name] =
            qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
    }
    clear();
}

ProxyEnvironment::~ProxyEnvironment() {
    for (const auto& [name, value] : m_saved) {
        if (value) {
            qputenv(name.constData(), *value);
        } else {
            qunsetenv(name.constData());
        }
    }
}

void ProxyEnvironment::setHttpProxy(const QString& url) {
    qputenv("http_proxy", url.toUtf8());
}

void ProxyEnvironment::setNoProxy(const QString& hosts) {
    qputenv("no_proxy", hosts.toUtf8());
}

void ProxyEnvironment::clear() {
    for (const char* name : proxyVariables) {
        qunsetenv(name);
    }
}

} // namespace domiva::test
