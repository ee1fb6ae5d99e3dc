// What the tests of the monitor's web configuration share: certificates made by openssl in a
// temporary folder (a CA, and a server's for 127.0.0.1 and localhost and a client's, both of it),
// a client's TLS configuration from them, and bcrypt and Basic.
#pragma once

#include <QSslConfiguration>
#include <QTemporaryDir>

namespace irig::test {

class TlsFiles {
public:
    TlsFiles();
    bool Made() const { return made_; }  // openssl made them all
    // ca.crt, ca.key, server.crt, server.key, client.crt, client.key.
    QString Path(const QString& name) const { return dir_.filePath(name); }
    // Trusts the CA; presents the certificate of `client` ("client"), or none.
    QSslConfiguration Client(const QString& client = {}) const;

private:
    QTemporaryDir dir_;
    bool made_ = false;
};

// A bcrypt hash of `password` ($2y$, as htpasswd makes them) at `cost`.
QByteArray BcryptHash(const QByteArray& password, int cost = 4);

inline QByteArray BasicAuthorization(const QByteArray& user, const QByteArray& password) {
    return "Basic " + (user + ':' + password).toBase64();
}

}  // namespace irig::test
