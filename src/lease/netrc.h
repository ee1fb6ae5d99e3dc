// The credentials a borrower sends to a monitor with users, read from a netrc file as curl reads
// one (machine HOST login USER password PASS, a default entry, tokens over any lines). Reading
// only: what is sent, and to whom, is the lease client's.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace irig::lease {

// The variable that names the netrc file instead of ~/.netrc.
inline constexpr char kNetrcVariable[] = "IRIGCTL_MONITOR_NETRC";
// A netrc file larger than this is not read.
inline constexpr qint64 kMostNetrcBytes = qint64{64} * 1024;

struct Credentials {
    QString login;
    QString password;

    bool operator==(const Credentials&) const = default;
};

// The login and password for `host` in the netrc text: the first machine entry of that name
// (case-insensitive), else the default entry; nothing when neither gives a login.
std::optional<Credentials> NetrcCredentials(const QByteArray& netrc, const QString& host);

// The file IRIGCTL_MONITOR_NETRC names, else ~/.netrc.
QString NetrcPath();

// The credentials for `host` from NetrcPath(); nothing when the file is missing, unreadable, not
// a regular file or larger than kMostNetrcBytes.
std::optional<Credentials> NetrcCredentialsFor(const QString& host);

}  // namespace irig::lease
