#include "web/hosts.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>

namespace irig::web {

namespace {

// Whether `text` is an address of one of this computer's interfaces, or a loopback one.
bool OwnAddress(const QByteArray& text) {
    in_addr four{};
    in6_addr six{};
    const bool isFour = inet_pton(AF_INET, text.constData(), &four) == 1;
    const bool isSix = !isFour && inet_pton(AF_INET6, text.constData(), &six) == 1;
    if (!isFour && !isSix) {
        return false;
    }
    if ((isFour && (ntohl(four.s_addr) >> 24) == 127) ||
        (isSix && std::memcmp(&six, &in6addr_loopback, sizeof six) == 0)) {
        return true;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(list, &freeifaddrs);
    for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
        const sockaddr* address = item->ifa_addr;
        if (address == nullptr) {
            continue;
        }
        if (isFour && address->sa_family == AF_INET &&
            reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == four.s_addr) {
            return true;
        }
        if (isSix && address->sa_family == AF_INET6 &&
            std::memcmp(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, &six,
                        sizeof six) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool OwnAuthority(const QByteArray& authority, quint16 port, const QStringList& names) {
    QByteArray host = authority.trimmed().toLower();
    QByteArray given;
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        if (close < 0) {
            return false;
        }
        given = host.mid(close + 1);
        host = host.mid(1, close - 1);
    } else if (const qsizetype colon = host.lastIndexOf(':'); colon >= 0) {
        given = host.mid(colon);
        host = host.left(colon);
    }
    if (!given.isEmpty() && (given.size() < 2 || given.at(0) != ':' ||
                             given.mid(1).toUInt() != port || given.mid(1).startsWith('0'))) {
        return false;
    }
    if (host.endsWith('.')) {
        host.chop(1);
    }
    return !host.isEmpty() &&
           (host == "localhost" || names.contains(QString::fromLatin1(host)) || OwnAddress(host));
}

}  // namespace irig::web
