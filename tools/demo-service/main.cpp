// domiva-demo-service [port]: the listing service for trying the client without the real one.
// Serves the account demo / kvax on 127.0.0.1 and logs one line per request to stdout.

#include "core/error.h"
#include "demofeed.h"
#include "httpserver.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <csignal>
#include <cstdio>
#include <exception>
#include <mutex>
#include <pthread.h>

namespace {

constexpr quint16 defaultPort = 8480;

void printLine(const QString& line, std::FILE* stream = stdout) {
    static std::mutex outputMutex;
    const QByteArray bytes = line.toUtf8() + '\n';
    const std::lock_guard lock(outputMutex);
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    std::fflush(stream);
}

domiva::HttpServer::Response serve(domiva::DemoService& service,
                                   const domiva::HttpServer::Request& request) {
    const domiva::DemoRequest demoRequest{request.method, request.target,
                                          request.header("User-Agent"), request.body};
    domiva::DemoReply reply;
    try {
        reply = service.handle(demoRequest);
    } catch (const std::exception& e) {
        // One bad request must not take the service down with it.
        reply = domiva::DemoReply{};
        reply.status = 500;
        reply.contentType = "text/plain";
        reply.body = "Internal error\r\n";
        printLine(QStringLiteral("error: ") + QString::fromUtf8(e.what()), stderr);
    }
    printLine(domiva::demoLogLine(QDateTime::currentDateTime(), demoRequest, reply));

    domiva::HttpServer::Response response;
    response.status = reply.status;
    response.contentType = reply.contentType;
    response.body = reply.body;
    for (const auto& [name, value] : reply.headers)
        response.headers.append({name, value});
    return response;
}

} // namespace

int main(int argc, char** argv) {
    quint16 port = defaultPort;
    if (argc > 2) {
        printLine(QStringLiteral("usage: domiva-demo-service [port]"), stderr);
        return 2;
    }
    if (argc == 2) {
        bool ok = false;
        port = QByteArray(argv[1]).toUShort(&ok);
        // 0 asks for any free port; the first line printed names the one taken.
        if (!ok) {
            printLine(QStringLiteral("domiva-demo-service: not a port: ") +
                          QString::fromLocal8Bit(argv[1]),
                      stderr);
            return 2;
        }
    }

    // SIGINT and SIGTERM are blocked in every thread (the server's threads inherit the mask)
    // and taken by sigwait below, so stopping runs as ordinary code, not in a signal handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A reader that goes away (a closed pipe on stdout, a dropped connection) is no reason
    // to die.
    std::signal(SIGPIPE, SIG_IGN);

    try {
        domiva::DemoService service;
        domiva::HttpServer server(
            [&service](const domiva::HttpServer::Request& request) {
                return serve(service, request);
            },
            port, "127.0.0.1");
        printLine(QStringLiteral("domiva-demo-service: listening on http://") +
                  server.hostAndPort() + QStringLiteral("/ (login demo, password kvax)"));
        int signal = 0;
        sigwait(&stopSignals, &signal);
        printLine(QStringLiteral("domiva-demo-service: stopping (signal %1)").arg(signal));
    } catch (const domiva::Error& e) {
        printLine(QStringLiteral("domiva-demo-service: ") + e.message(), stderr);
        return 1;
    }
    return 0;
}
