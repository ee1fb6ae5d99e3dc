// irigctl hash-password: a bcrypt hash for a user of the monitor's web configuration, from a
// password typed without echo on a terminal or given as one line on standard input. Checking a
// password against a hash is the monitor's (authenticator.h).
#pragma once

#include <QByteArray>
#include <QString>

#include "cli/command.h"

namespace irig::monitor {

// The hash of `password` at `cost` ("$2b$10$…"), or what is wrong with the password.
struct PasswordHash {
    QByteArray hash;  // empty when the password is refused
    QString wrong;
};
PasswordHash HashPassword(const QByteArray& password, int cost);

extern const cli::Command kHashPassword;

}  // namespace irig::monitor
