#pragma once

// Small helpers the tests of the transports and the sync cycle share.

#include "httpserver.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringEncoder>

#include <algorithm>

namespace domiva::test {

inline QByteArray cp1251(const QString& text) {
    QStringEncoder encoder("windows-1251");
    return encoder.encode(text);
}

// The names of a request's headers, lower case and sorted.
inline QList<QByteArray> headerNames(const HttpServer::Request& request) {
    QList<QByteArray> names;
    for (const HttpServer::Header& h : request.headers)
        names.append(h.name.toLower());
    std::sort(names.begin(), names.end());
    return names;
}

inline HttpServer::Response answer(int status, const QByteArray& body) {
    HttpServer::Response a;
    a.status = status;
    a.body = body;
    return a;
}

} // namespace domiva::test
