// Which endpoint a terminal server's address reaches, whatever its scheme and however its host is
// spelt ("localhost", "127.000.000.001", "[::ffff:127.0.0.1]"), so that one unit is not taken for
// two; and the lookups of host names, off the calling thread. Deciding only: connecting is the
// network port's.
#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

#include "link/portmap.h"

namespace irig::link {

// Looks up `host` and calls `done` once, from any thread, with its addresses or why there are
// none.
using HostLookup = std::function<void(const QString& host,
                                      std::function<void(QList<QHostAddress>, QString)> done)>;

// The system's resolver, on a thread of its own that nobody waits for: a resolver that never
// answers holds that thread, not the caller nor the program's end.
void SystemLookup(const QString& host, std::function<void(QList<QHostAddress>, QString)> done);

// The host as an IP address, where it is written as one (as a network port connects to it).
std::optional<QHostAddress> LiteralAddress(const QString& host);

struct Endpoint {
    QList<QHostAddress> addresses;  // IPv4-mapped IPv6 as IPv4; empty: the name is not resolved
    quint16 port = 0;

    // "127.0.0.1:25006", "[::1]:25006"; the first address where there are several.
    QString Text() const;
};

// The endpoint of `address` whose host stands for `addresses` (a literal host stands for itself).
Endpoint EndpointOf(const NetworkAddress& address, const QList<QHostAddress>& addresses = {});

// Terminal servers' host names and their addresses, as looked up (a name not found: none).
using HostAddresses = QHash<QString, QList<QHostAddress>>;

// The addresses of `hosts`, looked up all at once (a few at a time) and waited for at most
// `deadlineMs` in all; a name not found by then has none. A bounded wait: for a command's start,
// never on a thread that serves a window or many units.
HostAddresses LookUpHosts(const QStringList& hosts, int deadlineMs,
                          const HostLookup& lookup = SystemLookup);

}  // namespace irig::link
