// The web edge: HTTP/1.1 and TLS on libmicrohttpd's epoll thread, held to its limits (connections
// per address and in all, memory per connection, a deadline for each request's head, a body cap),
// strict in its framing, with the web configuration's users, headers and TLS; each admitted request
// handed as a value to a handler in the edge's Qt thread, its reply sent whenever it comes. What a
// path means is the handler's.
#pragma once

#include <QByteArray>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThread>
#include <QUrlQuery>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "web/authenticator.h"
#include "web/webconfig.h"

struct MHD_Connection;
struct MHD_Daemon;

namespace irig::web {

struct Limits {
    int maxConnections = 256;
    int perAddress = 64;  // connections of one IPv4 address or IPv6 /64
    // A connection's memory for its request head and the reply's: a longer head gets 431 (414
    // for a long target).
    qsizetype memoryBytes = qsizetype{32} * 1024;
    qsizetype maxBodyBytes = qsizetype{64} * 1024;
    // From a connection's start or its last reply to its next request received whole; a handshake
    // counts, and so does a head sent a byte at a time.
    int headMs = 30'000;
    CheckLimits checks;
};

using Headers = std::vector<std::pair<QByteArray, QByteArray>>;

// What a request asks, as the edge read and admitted it.
struct Request {
    QByteArray method;  // HEAD comes as GET; its reply's body is not sent
    QString path;       // decoded
    QUrlQuery query;
    Headers headers;  // as sent, names in lower case
    QString peer;     // the client's address, IPv4 as such
    bool loopback = false;
    QByteArray user;  // signed in as, with users
    bool tls = false;
    QString local;  // the address it came in on: "127.0.0.1:9810", "[::1]:9810"

    QByteArray Header(const QByteArray& lowerName) const;
};

struct Reply {
    int status = 200;
    QByteArray contentType = "text/plain";
    QByteArray body;
    Headers headers;
    // Told once whether the reply reached the client whole; in the edge's Qt thread.
    std::function<void(bool delivered)> delivered;
};

// Called once with the reply, from any thread, at any time; a reply after the edge stopped is
// dropped (and told undelivered).
using Respond = std::function<void(Reply)>;
using Handler = std::function<void(const Request&, const Respond&)>;

// Why the edge closed a connection, as counted.
enum class Closed { kIdle, kSlowHead, kAddressCap, kFull, kTlsHandshake };
inline constexpr const char* kClosedNames[] = {"idle", "slow_head", "address_cap", "full",
                                               "tls_handshake"};

struct Counts {
    std::map<int, quint64> responses;  // by status
    std::map<Closed, quint64> closed;
};

class Edge final {
public:
    explicit Edge(const Limits& limits = {});
    ~Edge();
    Edge(const Edge&) = delete;
    Edge& operator=(const Edge&) = delete;

    // Where admitted requests go, in the edge's thread; before Listen.
    void SetHandler(Handler handler);
    // Users and headers from the next request, certificates and trust from the next handshake; a
    // change between plain HTTP and TLS, or in asking for client certificates, restarts the
    // listener on its socket. From any thread.
    void SetConfig(const WebConfig& web);
    // Listens on `address` (IPv4 or IPv6 text) and `port` (0: any free one): the port, or 0 with
    // `why`.
    quint16 Listen(const QString& address, quint16 port, QString* why);
    // Quiesces, resumes every request that waits for its reply (closing it), stops.
    void Stop();
    Counts Counted() const;

    struct Shared;  // with libmicrohttpd's callbacks

private:
    std::shared_ptr<Shared> shared_;
    QThread thread_;
};

}  // namespace irig::web
