#include "support/tlsfiles.h"

#include <crypt.h>

#include <QFile>
#include <QProcess>
#include <QSslKey>
#include <memory>

namespace irig::test {

TlsFiles::TlsFiles() {
    QProcess openssl;
    openssl.setWorkingDirectory(dir_.path());
    openssl.start(QStringLiteral("sh"),
                  {"-ec",
                   "new='req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                   "-days 2'\n"
                   "openssl $new -subj /CN=ca -keyout ca.key -out ca.crt\n"
                   "leaf='-CA ca.crt -CAkey ca.key -addext basicConstraints=critical,CA:FALSE'\n"
                   "openssl $new $leaf -subj /CN=127.0.0.1 -keyout server.key -out server.crt "
                   "-addext subjectAltName=IP:127.0.0.1,DNS:localhost "
                   "-addext extendedKeyUsage=serverAuth\n"
                   "openssl $new $leaf -subj /CN=prometheus -keyout client.key -out client.crt "
                   "-addext extendedKeyUsage=clientAuth\n"});
    made_ = dir_.isValid() && openssl.waitForFinished(10'000) && openssl.exitCode() == 0;
}

QSslConfiguration TlsFiles::Client(const QString& client) const {
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(Path(QStringLiteral("ca.crt"))));
    QFile key(Path(client + ".key"));
    if (!client.isEmpty() && key.open(QIODevice::ReadOnly)) {
        tls.setLocalCertificateChain(QSslCertificate::fromPath(Path(client + ".crt")));
        tls.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
    }
    return tls;
}

QByteArray BcryptHash(const QByteArray& password, int cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    const auto data = std::make_unique<crypt_data>();
    const char* hash =
        crypt_gensalt_rn("$2y$", static_cast<unsigned long>(cost), nullptr, 0, setting,
                         sizeof setting) == nullptr
            ? nullptr
            : crypt_rn(password.constData(), setting, data.get(), sizeof(crypt_data));
    return hash == nullptr ? QByteArray() : QByteArray(hash);
}

}  // namespace irig::test
