// irigctl monitor's HTTP side: /metrics rendered from the readings last posted, in a thread of its
// own so that a scrape never waits for the units' loop (nor for a terminal server being
// connected); POST /check-time asks for a measurement now, from the page's own origin only; the
// lease routes read and admitted here, answered when the leases say. The web configuration's
// users, headers and TLS apply to every path. The units are polled and lent elsewhere.
#pragma once

#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QStringList>
#include <QThread>
#include <functional>
#include <map>
#include <memory>
#include <variant>
#include <vector>

#include "lease/leases.h"
#include "monitor/authenticator.h"
#include "monitor/httpguard.h"
#include "monitor/metrics.h"
#include "monitor/webconfig.h"

class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponder;
class QHttpServerResponse;
class QTcpSocket;

namespace irig::monitor {

// The lease routes' requests and answers, as the lease table reads and gives them.
using lease::LeaseAnswer;
using lease::LeaseRequest;
using lease::Leases;

// The last reading of each unit, posted from the units' threads and read by the server's. Each
// unit has a key of its own, so that a new set of units leaves the readings of those it keeps;
// and the last reload of the configuration.
class MetricsBoard {
public:
    using Key = quint64;

    MetricsBoard() = default;
    // The units on `ports`, keyed 0, 1, 2... in that order.
    explicit MetricsBoard(const QStringList& ports);

    // The units from now on, in order: a unit kept keeps its reading, a new one starts with the
    // one given.
    void Arrange(const std::vector<std::pair<Key, UnitReading>>& units);
    // A unit's new reading; a unit no longer on the board is not put back.
    void Post(Key key, const UnitReading& reading);
    std::vector<UnitReading> Readings() const;
    QStringList Ports() const;
    // Whether the unit on `port` is lent to another tool.
    bool Lent(const QString& port) const;
    void SetReload(const ConfigReload& reload);
    ConfigReload LastReload() const;

private:
    mutable QMutex mutex_;
    std::vector<UnitReading> readings_;
    QHash<Key, size_t> index_;  // where each unit's reading is
    ConfigReload reload_;
};

// Who a lease request comes from: with users, the user; without, a client on this computer, by
// its address. Another client is refused (403).
std::variant<QString, LeaseAnswer> LeaseClient(bool users, const QByteArray& user,
                                               const QHostAddress& peer);

class MetricsServer {
public:
    // Called in the server's thread with the port asked for, or an empty one for every unit.
    using MeasureRequest = std::function<void(const QString& port)>;
    // Called in the server's thread with a lease request admitted; the answer may come from any
    // thread, later, once.
    using LeaseService =
        std::function<void(const LeaseRequest&, std::function<void(const LeaseAnswer&)>)>;

    MetricsServer(const MetricsBoard& board, MeasureRequest measure, HttpLimits limits = {});
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on `address`:`port` (0: any free port); the port it listens on, or 0 with `why`.
    quint16 Listen(const QHostAddress& address, quint16 port, QString* why);

    // The web configuration from now on: its users and headers for the requests that come, its
    // TLS for the connections that come. From any thread, before Listen too; it is taken when
    // this returns.
    void SetWebConfig(const WebConfig& web);
    // Where the lease routes go; before Listen. Without one, no unit is lent.
    void SetLeases(LeaseService leases) { leases_ = std::move(leases); }

private:
    struct Asked;
    using Held = std::shared_ptr<QHttpServerResponder>;

    void Serve(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void Send(QHttpServerResponder&& responder, const Asked& asked, Verdict verdict) const;
    void Lease(const Held& held, QTcpSocket* socket, const Asked& asked);
    void Respond(QHttpServerResponder&& responder, QHttpServerResponse&& response) const;

    const MetricsBoard& board_;
    MeasureRequest measure_;
    LeaseService leases_;
    HttpLimits limits_;
    WebConfig web_;  // the server's thread's once it listens
    QThread thread_;
    QObject* context_ = nullptr;     // lives in the server's thread
    QHttpServer* server_ = nullptr;  // made and deleted there
    GuardedTcpServer* tcp_ = nullptr;
    Authenticator* authenticator_ = nullptr;
    // The lease requests that wait for their answer, in the server's thread.
    std::map<quint64, std::function<void(const LeaseAnswer&)>> waiting_;
    quint64 nextLease_ = 0;
};

}  // namespace irig::monitor
