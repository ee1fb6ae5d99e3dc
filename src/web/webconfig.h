// The web configuration: the Prometheus exporter toolkit's file (TLS, users with bcrypt hashes,
// headers for every response), read strictly into a value, each fault with its file, line and
// column, its files checked by GnuTLS. Serving by it is the edge's.
#pragma once

#include <QByteArray>
#include <QString>
#include <map>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace irig::web {

// The environment variable that names the file when no --web-config is given.
inline constexpr char kWebConfigVariable[] = "IRIGCTL_WEB_CONFIG";

// The server's TLS: its certificate chain and key, the authorities its clients' certificates must
// come from (none: no certificate is asked for), and the versions and ciphers as GnuTLS priorities.
struct TlsConfig {
    QByteArray certificatePem;
    QByteArray keyPem;
    QByteArray clientCaPem;
    QByteArray priorities;

    bool VerifiesClients() const { return !clientCaPem.isEmpty(); }
    bool operator==(const TlsConfig&) const = default;
};

struct WebConfig {
    std::optional<TlsConfig> tls;  // unset: plain HTTP
    // Name: bcrypt hash. Empty: no one needs to sign in.
    std::map<QByteArray, QByteArray> users;
    std::vector<std::pair<QByteArray, QByteArray>> headers;  // added to every response
};

// "FILE:LINE:COLUMN: what".
struct WebConfigFault {
    QString file;
    int line = 0;  // from 1; 0 when the fault has no place in the file
    int column = 0;
    QString what;

    QString Text() const;
};

// The configuration in `yaml`, read as the file `file`: named in messages, and the folder that
// relative file names in it start from.
std::variant<WebConfig, WebConfigFault> ParseWebConfig(const QByteArray& yaml, const QString& file);
// What taking `after` in place of `before` while serving would weaken, as words for the log: TLS
// turned off, client certificates no longer asked for, every user gone. Nothing when it weakens
// nothing; a restart does it on purpose.
std::optional<QString> Weakening(const WebConfig& before, const WebConfig& after);

// The configuration in the file at `path` (a regular file, at most 1 MiB).
std::variant<WebConfig, WebConfigFault> LoadWebConfig(const QString& path);

}  // namespace irig::web
