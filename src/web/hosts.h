// Whether a name a request gives for the server (its Host, its Origin's host) is this computer's:
// one of its addresses, localhost, or a name it was told it has. A browser's page that rebinds
// its own name to this computer gives another.
#pragma once

#include <QByteArray>
#include <QStringList>

namespace irig::web {

// `authority` as Host gives it ("name", "name:port", "[::1]:port"); `port` the one listened on
// (a port given must be it); `names` the names given besides (lower case).
bool OwnAuthority(const QByteArray& authority, quint16 port, const QStringList& names);

}  // namespace irig::web
