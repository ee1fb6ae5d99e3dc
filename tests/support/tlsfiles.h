// What the tests of the monitor's web configuration share: certificates made by openssl in a
// temporary folder (a CA; a server's for 127.0.0.1 and localhost and a client's, both of it; and a
// client's of another CA), a client's TLS configuration from them, a bcrypt hash, and a Basic
// Authorization header.
#pragma once

#include <QByteArray>
#include <QSslConfiguration>
#include <QString>
#include <QTemporaryDir>

namespace irig::test {

class TlsFiles {
public:
    TlsFiles();

    // Whether openssl made them all.
    bool Made() const { return made_; }
    QString Folder() const { return dir_.path(); }
    // ca.crt, server.crt, server.key, client.crt, client.key, stranger.crt, stranger.key.
    QString Path(const QString& name) const { return dir_.filePath(name); }
    // Trusts the CA; presents the client's certificate (`client` "client" or "stranger"), or none.
    QSslConfiguration Client(const QString& client = {}) const;

private:
    QTemporaryDir dir_;
    bool made_ = false;
};

// A bcrypt hash of `password` ($2y$, as htpasswd makes them) at `cost`.
QByteArray BcryptHash(const QByteArray& password, int cost = 4);
// "Basic " and the base64 of "user:password".
QByteArray BasicAuthorization(const QByteArray& user, const QByteArray& password);

}  // namespace irig::test
