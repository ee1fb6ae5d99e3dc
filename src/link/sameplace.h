// Whether two ports reach one unit however each is spelt: a device by the file it reaches (its
// links and "..", its COMn name), a terminal server by its host's addresses and its port, whatever
// the scheme. Deciding only, from what the caller looked up: looking hosts up is endpoint.h's.
#pragma once

#include <QHash>
#include <QString>
#include <optional>
#include <vector>

#include "link/endpoint.h"

namespace irig::link {

// Where a port leads: each way it can be told apart ("file 2049:1234", "endpoint
// 127.0.0.1:4001", "host ts1:4001"), with the words that name it in a message ("/dev/ttyUSB0",
// "127.0.0.1:4001"). Two ports reach one unit when they share one.
struct Place {
    struct Mark {
        QString key;
        QString shown;
    };
    std::vector<Mark> marks;

    // `port` as irigctl takes it (COMn, a device path, rfc2217:// or socket://), its host's
    // addresses taken from `hosts` where it is a name.
    static Place Of(const QString& port, const HostAddresses& hosts = {});
};

// The host name a port's terminal server must be looked up by; empty for a device or an address
// written as one.
QString HostToLookUp(const QString& port);

// What two places have in common ("/dev/ttyUSB0", "127.0.0.1:4001"); nothing when they reach
// different units.
std::optional<QString> SamePlace(const Place& one, const Place& other);

// Ports gathered one at a time, each found again by any of its marks: one pass over many ports.
class Places {
public:
    struct Found {
        int index;
        QString shown;  // what both reach
    };
    // The first port added that reaches where `place` does.
    std::optional<Found> Find(const Place& place) const;
    void Add(const Place& place, int index);

private:
    QHash<QString, int> byKey_;
};

}  // namespace irig::link
