// irigctl monitor's web configuration: the Prometheus exporter toolkit's file (TLS, users with
// bcrypt hashes, headers for every response), read strictly into a value, each fault with its
// file, line and column. Serving by it is the MetricsServer's.
#pragma once

#include <QByteArray>
#include <QSslConfiguration>
#include <QString>
#include <map>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace irig::monitor {

// The environment variable that names the file when no --web-config is given.
inline constexpr char kWebConfigVariable[] = "IRIGCTL_WEB_CONFIG";

struct WebConfig {
    std::optional<QSslConfiguration> tls;  // unset: plain HTTP
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
// The configuration in the file at `path` (a regular file, at most 1 MiB).
std::variant<WebConfig, WebConfigFault> LoadWebConfig(const QString& path);

}  // namespace irig::monitor
