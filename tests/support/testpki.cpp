#include "support/testpki.h"

#include "app/error.h"

#include <QProcess>
#include <QTemporaryDir>

namespace domiva::test {

namespace {

void openssl(const QString& dir, const QStringList& arguments) {
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        throw Error(
            QStringLiteral("openssl %1 failed: %2")
                .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAll())));
    }
}

// name.key and name.pem, a P-256 key and its certificate for a day, signed by the CA whose
// files are issuer.key and issuer.pem, or by itself (a CA) when there is no issuer.
HttpServer::Tls makeCertificate(const QString& dir, const QString& name, const QString& hostEntry,
                                const QString& issuer = {}) {
    QStringList arguments{
        "req",         "-x509", "-newkey",    "ec",    "-pkeyopt",    "ec_paramgen_curve:P-256",
        "-nodes",      "-days", "1",          "-subj", "/CN=" + name, "-keyout",
        name + ".key", "-out",  name + ".pem"};
    if (!issuer.isEmpty()) {
        arguments << "-CA" << issuer + ".pem"
                  << "-CAkey" << issuer + ".key"
                  << "-addext"
                  << "basicConstraints=CA:FALSE"
                  << "-addext"
                  << "subjectAltName=" + hostEntry;
    }
    openssl(dir, arguments);
    return {dir + '/' + name + ".pem", dir + '/' + name + ".key"};
}

} // namespace

const TestPki& testPki() {
    static const QTemporaryDir dir;
    static const TestPki pki = [] {
        if (!dir.isValid())
            throw Error(QStringLiteral("No temporary folder for the test certificates"));
        const QString path = dir.path();
        return TestPki{makeCertificate(path, "ca", {}).certFile,
                       makeCertificate(path, "other-ca", {}).certFile,
                       makeCertificate(path, "server", "IP:127.0.0.1", "ca"),
                       makeCertificate(path, "other-name", "DNS:elsewhere.invalid", "ca")};
    }();
    return pki;
}

} // namespace domiva::test
