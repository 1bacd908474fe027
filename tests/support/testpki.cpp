#include "support/testpki.h"

#include "core/error.h"

#include <QProcess>
#include <QTemporaryDir>

namespace domiva::test {

namespace {

// Two CAs, and two server certificates signed by the first: P-256 keys, valid for a day.
const char* const makeCertificates = R"(set -e
cert() { name=$1; shift; openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -days 1 -subj "/CN=$name" -keyout "$name.key" -out "$name.pem" "$@"; }
leaf() { cert "$1" -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE \
    -addext "subjectAltName=$2"; }
cert ca; cert other-ca; leaf server IP:127.0.0.1; leaf other-name DNS:elsewhere.invalid
)";

} // namespace

const TestPki& testPki() {
    static const QTemporaryDir dir;
    static const TestPki pki = [] {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("sh"), {QStringLiteral("-c"), makeCertificates});
        if (!dir.isValid() || !process.waitForFinished(30000) ||
            process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            throw Error(QStringLiteral("openssl made no test certificates: ") +
                        QString::fromLocal8Bit(process.readAll()));
        const auto file = [](const char* name) { return dir.filePath(QLatin1String(name)); };
        return TestPki{file("ca.pem"),
                       file("other-ca.pem"),
                       {file("server.pem"), file("server.key")},
                       {file("other-name.pem"), file("other-name.key")}};
    }();
    return pki;
}

} // namespace domiva::test
