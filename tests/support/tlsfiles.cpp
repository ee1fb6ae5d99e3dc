#include "support/tlsfiles.h"

#include <crypt.h>

#include <QFile>
#include <QProcess>
#include <QSslKey>
#include <memory>

namespace irig::test {

namespace {

// An EC key and a certificate for `subject` with `extensions`, signed by the CA `ca` (or by
// itself): openssl req's arguments.
QStringList Request(const QString& name, const QString& subject, const QString& ca,
                    const QStringList& extensions) {
    QStringList arguments{
        "req",         "-x509", "-newkey",    "ec",    "-pkeyopt", "ec_paramgen_curve:prime256v1",
        "-nodes",      "-days", "2",          "-subj", subject,    "-keyout",
        name + ".key", "-out",  name + ".crt"};
    if (!ca.isEmpty()) {
        arguments += {"-CA", ca + ".crt", "-CAkey", ca + ".key"};
    }
    for (const QString& extension : extensions) {
        arguments += {"-addext", extension};
    }
    return arguments;
}

}  // namespace

TlsFiles::TlsFiles() {
    const QString leaf = QStringLiteral("basicConstraints=critical,CA:FALSE");
    const QList<QStringList> requests{
        Request("ca", "/CN=irig test CA", {}, {}),
        Request("stranger-ca", "/CN=another CA", {}, {}),
        Request("server", "/CN=127.0.0.1", "ca",
                {"subjectAltName=IP:127.0.0.1,DNS:localhost", leaf, "extendedKeyUsage=serverAuth"}),
        Request("client", "/CN=prometheus", "ca", {leaf, "extendedKeyUsage=clientAuth"}),
        Request("stranger", "/CN=prometheus", "stranger-ca", {leaf, "extendedKeyUsage=clientAuth"}),
    };
    made_ = dir_.isValid();
    for (const QStringList& arguments : requests) {
        QProcess openssl;
        openssl.setWorkingDirectory(dir_.path());
        openssl.start(QStringLiteral("openssl"), arguments);
        made_ = made_ && openssl.waitForFinished(10'000) &&
                openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
    }
}

QSslConfiguration TlsFiles::Client(const QString& client) const {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(Path(QStringLiteral("ca.crt"))));
    if (!client.isEmpty()) {
        tls.setLocalCertificateChain(QSslCertificate::fromPath(Path(client + ".crt")));
        QFile key(Path(client + ".key"));
        if (key.open(QIODevice::ReadOnly)) {
            tls.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
        }
    }
    return tls;
}

QByteArray BcryptHash(const QByteArray& password, int cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    const auto data = std::make_unique<crypt_data>();
    if (crypt_gensalt_rn("$2y$", static_cast<unsigned long>(cost), nullptr, 0, setting,
                         sizeof setting) == nullptr) {
        return {};
    }
    const char* hash = crypt_rn(password.constData(), setting, data.get(), sizeof(crypt_data));
    return hash == nullptr ? QByteArray() : QByteArray(hash);
}

QByteArray BasicAuthorization(const QByteArray& user, const QByteArray& password) {
    return "Basic " + (user + ':' + password).toBase64();
}

}  // namespace irig::test
