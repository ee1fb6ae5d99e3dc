#include "link/endpoint.h"

#include <QSet>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#ifdef Q_OS_WIN
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace irig::link {

namespace {

// Lookups out at once: a long list of names does not start a thread for each.
constexpr int kLookupsAtOnce = 16;

// An address as one unit is reached at: an IPv4-mapped IPv6 address as the IPv4 one.
QHostAddress Plain(const QHostAddress& address) {
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4) : address;
}

QList<QHostAddress> Plain(const QList<QHostAddress>& addresses) {
    QList<QHostAddress> plain;
    for (const QHostAddress& address : addresses) {
        if (!plain.contains(Plain(address))) {
            plain.append(Plain(address));
        }
    }
    return plain;
}

// The answers so far, shared with lookups that may answer after the caller stopped waiting.
struct Answers {
    std::mutex mutex;
    std::condition_variable answered;
    QHash<QString, QList<QHostAddress>> found;
    int asking = 0;
};

}  // namespace

void SystemLookup(const QString& host, std::function<void(QList<QHostAddress>, QString)> done) {
    std::thread([name = host.toUtf8(), done = std::move(done)] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int error = ::getaddrinfo(name.constData(), nullptr, &hints, &found);
        QList<QHostAddress> addresses;
        for (const addrinfo* at = found; at != nullptr; at = at->ai_next) {
            const QHostAddress address(at->ai_addr);
            if (!addresses.contains(address)) {
                addresses.append(address);
            }
        }
        if (found != nullptr) {
            ::freeaddrinfo(found);
        }
        done(addresses, error == 0 ? QString() : QString::fromLocal8Bit(::gai_strerror(error)));
    }).detach();
}

std::optional<QHostAddress> LiteralAddress(const QString& host) {
    QHostAddress literal;
    return literal.setAddress(host) ? std::optional(literal) : std::nullopt;
}

QString Endpoint::Text() const {
    if (addresses.isEmpty()) {
        return QStringLiteral("port %1").arg(port);
    }
    const QHostAddress& first = addresses.front();
    return (first.protocol() == QAbstractSocket::IPv6Protocol
                ? QStringLiteral("[%1]").arg(first.toString())
                : first.toString()) +
           QStringLiteral(":%1").arg(port);
}

Endpoint EndpointOf(const NetworkAddress& address, const QList<QHostAddress>& addresses) {
    const std::optional<QHostAddress> literal = LiteralAddress(address.host);
    return {Plain(literal ? QList<QHostAddress>{*literal} : addresses), address.port};
}

HostAddresses LookUpHosts(const QStringList& hosts, int deadlineMs, const HostLookup& lookup) {
    QStringList names;
    QSet<QString> named;
    for (const QString& host : hosts) {
        if (!host.isEmpty() && !LiteralAddress(host) && !named.contains(host)) {
            named.insert(host);
            names.append(host);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    const auto answers = std::make_shared<Answers>();
    std::unique_lock lock(answers->mutex);
    qsizetype next = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        while (answers->asking < kLookupsAtOnce && next < names.size()) {
            const QString host = names[next++];
            ++answers->asking;
            lock.unlock();
            lookup(host, [answers, host](const QList<QHostAddress>& found, const QString&) {
                {
                    const std::lock_guard answer(answers->mutex);
                    --answers->asking;
                    answers->found.insert(host, found);
                }
                answers->answered.notify_all();
            });
            lock.lock();
        }
        if (answers->asking == 0 && next == names.size()) {
            break;
        }
        answers->answered.wait_until(lock, deadline);
    }
    return answers->found;  // copied while the lock is held
}

}  // namespace irig::link
