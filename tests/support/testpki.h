#pragma once

#include "httpserver.h"

#include <QString>

namespace domiva::test {

// Certificates made afresh by the openssl command for one test run, in a temporary folder that
// goes with the process: no key is ever kept in the repository.
struct TestPki {
    QString caFile;            // the CA that signed both server certificates
    QString otherCaFile;       // a CA that signed nothing served here
    HttpServer::Tls server;    // for the address 127.0.0.1
    HttpServer::Tls otherName; // for another host name only
};

// Made on the first call; throws domiva::Error when openssl fails.
const TestPki& testPki();

} // namespace domiva::test
