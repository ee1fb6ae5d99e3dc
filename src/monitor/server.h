// irigctl monitor's routes on the web edge: /metrics rendered from the readings last posted, in the
// edge's thread so that a scrape never waits for the units' loop (nor for a terminal server being
// connected); the technician's page, its JSON, script and style; POST /check-time asks for a
// measurement now, from the page's own origin and, without users, for one of this computer's names
// only; the lease routes read and admitted here, answered when the leases say. Sockets, limits,
// users, headers and TLS are the edge's.
#pragma once

#include <QHash>
#include <QHostAddress>
#include <QMutex>
#include <QStringList>
#include <QThread>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <variant>
#include <vector>

#include "lease/leases.h"
#include "monitor/metrics.h"
#include "page/page.h"
#include "web/edge.h"
#include "web/webconfig.h"

namespace irig::monitor {

// The lease routes' requests and answers, as the lease table reads and gives them.
using lease::LeaseAnswer;
using lease::LeaseRequest;
using lease::Leases;

// What the page shows of a unit's past, bounded: its measurements of the last two hours (at most
// page::kMostMeasurements), the last lines the monitor said of it, and its last lease events with
// the holder of its last lease granted.
struct UnitStory {
    std::deque<page::Measurement> history;
    std::deque<page::Event> log;
    std::deque<page::Event> leases;
    std::optional<page::Holder> holder;
};

// The last reading of each unit, posted from the units' threads and read by the server's, with its
// story. Each unit has a key of its own, so that a new set of units leaves the readings of those
// it keeps; and the last reload of the configuration.
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
    // Each unit's reading with its story, in order.
    std::vector<std::pair<UnitReading, UnitStory>> Stories() const;
    // A line the monitor said of the unit.
    void Said(Key key, const QString& line);
    // A lease decision put in place for the unit.
    void Leased(Key key, const lease::LeaseDecision& decision);
    QStringList Ports() const;
    // Whether the unit on `port` is lent to another tool.
    bool Lent(const QString& port) const;
    void SetReload(const ConfigReload& reload);
    ConfigReload LastReload() const;

private:
    mutable QMutex mutex_;
    std::vector<UnitReading> readings_;
    std::vector<UnitStory> stories_;  // beside each reading
    QHash<Key, size_t> index_;        // where each unit's reading is
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
    // Called in the server's thread when a lease granted did not reach its borrower.
    using Undelivered = std::function<void(const LeaseRequest&, const LeaseAnswer&)>;

    MetricsServer(const MetricsBoard& board, MeasureRequest measure,
                  const web::Limits& limits = {});
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on `address`:`port` (0: any free port); the port it listens on, or 0 with `why`.
    quint16 Listen(const QHostAddress& address, quint16 port, QString* why);

    // The web configuration from now on: its users and headers for the requests that come, its
    // TLS for the connections that come. From any thread, before Listen too.
    void SetWebConfig(const web::WebConfig& web);
    // Where the lease routes go, and where a grant not delivered goes; before Listen. Without
    // them, no unit is lent.
    void SetLeases(LeaseService leases, Undelivered undelivered = {}) {
        leases_ = std::move(leases);
        undelivered_ = std::move(undelivered);
    }
    // Names this computer is reached by besides its addresses and localhost (lower case); before
    // Listen.
    void SetExternalHosts(const QStringList& names) { names_ = names; }
    web::Counts Counted() const { return edge_.Counted(); }

private:
    void Serve(const web::Request& request, const web::Respond& respond) const;
    bool Page(const web::Request& request, const web::Respond& respond) const;
    page::Board PageBoard() const;
    // When this computer's leap-second list expires (nothing without one), read at most once a
    // minute; in the server's thread.
    std::optional<qint64> LeapListExpires() const;
    void Lease(const web::Request& request, const web::Respond& respond) const;
    bool CrossOrigin(const web::Request& request) const;
    bool ForeignHost(const web::Request& request) const;

    const MetricsBoard& board_;
    MeasureRequest measure_;
    LeaseService leases_;
    Undelivered undelivered_;
    QStringList names_;
    std::atomic<bool> users_ = false;
    quint16 port_ = 0;
    mutable std::optional<qint64> leapListExpires_;
    mutable std::optional<std::chrono::steady_clock::time_point> leapListRead_;
    web::Edge edge_;
};

}  // namespace irig::monitor
