#include "monitor/server.h"

#include <QJsonDocument>
#include <QMutexLocker>
#include <QUrl>
#include <chrono>

#include "diagnosis/leapseconds.h"
#include "web/hosts.h"

namespace irig::monitor {

namespace {

// How often a scrape reads this computer's leap-second list again (tzdata changes it seldom).
constexpr std::chrono::minutes kLeapListReread{1};

web::Reply Text(int status, const QByteArray& text) {
    return {status, "text/plain", text, {}, {}};
}

// The unit a lease route names: NAME of /units/NAME/lease, empty for /lease (its ?port= says);
// nothing for another path.
std::optional<QString> LeaseTarget(const QString& path) {
    static const QString units = QStringLiteral("/units/");
    static const QString lease = QStringLiteral("/lease");
    if (path == lease) {
        return QString();
    }
    if (path.startsWith(units) && path.endsWith(lease) &&
        path.size() > units.size() + lease.size()) {
        const QString name = path.mid(units.size(), path.size() - units.size() - lease.size());
        if (!name.contains(QLatin1Char('/'))) {
            return name;
        }
    }
    return std::nullopt;
}

bool Loopback(const QHostAddress& address) {
    bool v4 = false;
    const quint32 four = address.toIPv4Address(&v4);
    return v4 ? (four >> 24) == 127 : address.isLoopback();
}

}  // namespace

std::variant<QString, LeaseAnswer> LeaseClient(bool users, const QByteArray& user,
                                               const QHostAddress& peer) {
    if (users) {
        return QString::fromUtf8(user);
    }
    if (!Loopback(peer)) {
        return Leases::Error(
            403, QStringLiteral("leases are lent to this computer only: give the monitor users to "
                                "lend them further"));
    }
    bool v4 = false;
    const quint32 four = peer.toIPv4Address(&v4);
    return v4 ? QHostAddress(four).toString() : peer.toString();
}

MetricsBoard::MetricsBoard(const QStringList& ports) {
    std::vector<std::pair<Key, UnitReading>> units;
    for (const QString& port : ports) {
        units.emplace_back(units.size(), UnitReading{});
        units.back().second.port = port;
    }
    Arrange(units);
}

void MetricsBoard::Arrange(const std::vector<std::pair<Key, UnitReading>>& units) {
    const QMutexLocker lock(&mutex_);
    std::vector<UnitReading> readings;
    std::vector<UnitStory> stories;
    QHash<Key, size_t> index;
    readings.reserve(units.size());
    stories.reserve(units.size());
    index.reserve(static_cast<qsizetype>(units.size()));
    for (const auto& [key, first] : units) {
        const auto kept = index_.constFind(key);
        index.insert(key, readings.size());
        if (kept != index_.cend()) {
            readings.push_back(std::move(readings_[*kept]));
            stories.push_back(std::move(stories_[*kept]));
        } else {
            readings.push_back(first);
            stories.emplace_back();
        }
    }
    readings_ = std::move(readings);
    stories_ = std::move(stories);
    index_ = std::move(index);
}

void MetricsBoard::Post(Key key, const UnitReading& reading) {
    const QMutexLocker lock(&mutex_);
    if (const auto at = index_.constFind(key); at != index_.cend()) {
        if (reading.measured && reading.offset && reading.measured != readings_[*at].measured) {
            page::Remember(stories_[*at].history,
                           {*reading.measured / 1000, reading.offset->offsetMs,
                            reading.offset->uncertaintyMs});
        }
        readings_[*at] = reading;
    }
}

std::vector<UnitReading> MetricsBoard::Readings() const {
    const QMutexLocker lock(&mutex_);
    return readings_;
}

bool MetricsBoard::Lent(const QString& port) const {
    const QMutexLocker lock(&mutex_);
    return std::any_of(readings_.begin(), readings_.end(), [&](const UnitReading& reading) {
        return reading.leased && reading.port == port;
    });
}

QStringList MetricsBoard::Ports() const {
    const QMutexLocker lock(&mutex_);
    QStringList ports;
    ports.reserve(static_cast<qsizetype>(readings_.size()));
    for (const UnitReading& reading : readings_) {
        ports.append(reading.port);
    }
    return ports;
}

void MetricsBoard::SetReload(const ConfigReload& reload) {
    const QMutexLocker lock(&mutex_);
    reload_ = reload;
}

ConfigReload MetricsBoard::LastReload() const {
    const QMutexLocker lock(&mutex_);
    return reload_;
}

MetricsServer::MetricsServer(const MetricsBoard& board, MeasureRequest measure,
                             const web::Limits& limits)
    : board_(board), measure_(std::move(measure)), edge_(limits) {
    edge_.SetHandler([this](const web::Request& request, const web::Respond& respond) {
        Serve(request, respond);
    });
}

quint16 MetricsServer::Listen(const QHostAddress& address, quint16 port, QString* why) {
    port_ = edge_.Listen(address.toString(), port, why);
    return port_;
}

void MetricsServer::SetWebConfig(const web::WebConfig& web) {
    users_ = !web.users.empty();
    edge_.SetConfig(web);
}

// Whether it comes from a browser's page of another origin than this server: the Origin's
// scheme, host and port against what the server listens on, never against the Host the request
// gives.
bool MetricsServer::CrossOrigin(const web::Request& request) const {
    const QByteArray origin = request.Header("origin");
    if (origin.isEmpty()) {
        const QByteArray site = request.Header("sec-fetch-site").toLower();
        return site == "cross-site" || site == "same-site";
    }
    const QUrl from(QString::fromLatin1(origin));
    const QString scheme = request.tls ? QStringLiteral("https") : QStringLiteral("http");
    const QByteArray authority = from.host(QUrl::FullyEncoded).contains(QLatin1Char(':'))
                                     ? "[" + from.host(QUrl::FullyEncoded).toLatin1() + "]"
                                     : from.host(QUrl::FullyEncoded).toLatin1();
    return !from.isValid() || from.scheme() != scheme || !from.path().isEmpty() ||
           from.port(request.tls ? 443 : 80) != port_ ||
           !web::OwnAuthority(authority, port_, names_);
}

// Without users, a request that changes something must name this computer: a page whose own
// name was rebound to this computer's address names another.
bool MetricsServer::ForeignHost(const web::Request& request) const {
    const QByteArray host = request.Header("host");
    return !users_ && !host.isEmpty() && !web::OwnAuthority(host, port_, names_);
}

std::optional<qint64> MetricsServer::LeapListExpires() const {
    const auto now = std::chrono::steady_clock::now();
    if (!leapListRead_ || now - *leapListRead_ >= kLeapListReread) {
        const diagnosis::LeapListRead read = diagnosis::ReadLeapList();
        leapListExpires_ = read.list ? std::optional(read.list->expires) : std::nullopt;
        leapListRead_ = now;
    }
    return leapListExpires_;
}

void MetricsServer::Serve(const web::Request& request, const web::Respond& respond) const {
    static const std::pair<const char*, const char*> kPaths[] = {{"/metrics", "GET"},
                                                                 {"/check-time", "POST"}};
    const QString& path = request.path;
    if (LeaseTarget(path)) {
        Lease(request, respond);
        return;
    }
    if (Page(request, respond)) {
        return;
    }
    const auto known = std::find_if(std::begin(kPaths), std::end(kPaths),
                                    [&](const auto& route) { return path == route.first; });
    web::Reply reply;
    const QString port = request.query.queryItemValue(QStringLiteral("port"), QUrl::FullyDecoded);
    if (known == std::end(kPaths)) {
        reply = Text(404, "irigctl monitor: no such path\n");
    } else if (request.method != known->second) {
        reply = Text(405, path.toUtf8() + " takes " + known->second + " only\n");
        reply.headers.emplace_back("Allow", known->second);
    } else if (path == QLatin1String("/metrics")) {
        const web::Counts counted = Counted();
        reply = {200,
                 kContentType,
                 Exposition(board_.Readings(), status::ReadKernelClock(), board_.LastReload(),
                            LeapListExpires(), &counted),
                 {},
                 {}};
    } else if (CrossOrigin(request)) {
        reply = Text(403,
                     "irigctl monitor: POST /check-time from a page of another origin is "
                     "refused\n");
    } else if (ForeignHost(request)) {
        reply = Text(403,
                     "irigctl monitor: POST /check-time names another host than this "
                     "computer (--web-external-host gives its other names)\n");
    } else if (!port.isEmpty() && !board_.Ports().contains(port)) {
        reply = Text(404, QStringLiteral("no unit is watched on %1\n").arg(port).toUtf8());
    } else if (!port.isEmpty() && board_.Lent(port)) {
        reply = Text(409, QStringLiteral("%1 is lent to another tool: it is measured again once "
                                         "it is back\n")
                              .arg(port)
                              .toUtf8());
    } else {
        measure_(port);
        reply =
            Text(202, QStringLiteral("measuring %1; /metrics has the result in a few seconds\n")
                          .arg(port.isEmpty() ? board_.Ports().join(QStringLiteral(", ")) : port)
                          .toUtf8());
    }
    respond(std::move(reply));
}

// A lease route, its answer sent when the leases give it; a lease granted that does not reach its
// borrower is taken back.
void MetricsServer::Lease(const web::Request& request, const web::Respond& respond) const {
    static const std::pair<const char*, LeaseRequest::Verb> kVerbs[] = {
        {"GET", LeaseRequest::Verb::kAsk},
        {"POST", LeaseRequest::Verb::kTake},
        {"DELETE", LeaseRequest::Verb::kReturn}};
    const auto verb = std::find_if(std::begin(kVerbs), std::end(kVerbs), [&](const auto& known) {
        return request.method == known.first;
    });
    if (verb == std::end(kVerbs)) {
        web::Reply reply = Text(405, request.path.toUtf8() + " takes GET, POST and DELETE only\n");
        reply.headers.emplace_back("Allow", "GET, POST, DELETE");
        respond(std::move(reply));
        return;
    }
    const auto answer = [respond](const LeaseAnswer& lease,
                                  std::function<void(bool)> delivered = {}) {
        respond({lease.status,
                 "application/json",
                 QJsonDocument(lease.body).toJson(QJsonDocument::Compact),
                 {},
                 std::move(delivered)});
    };
    const std::variant<QString, LeaseAnswer> client =
        LeaseClient(users_, request.user, QHostAddress(request.peer));
    const auto word = [&request](const char* key) {
        return request.query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded);
    };
    LeaseRequest lease;
    lease.verb = verb->second;
    lease.unit = *LeaseTarget(request.path);
    lease.port = word("port");
    lease.seconds = word("seconds");
    lease.words.by = word("by");
    if (request.query.hasQueryItem(QStringLiteral("lease"))) {
        lease.words.token = word("lease");
    }
    const bool changes = request.method != "GET";
    if (const auto* refused = std::get_if<LeaseAnswer>(&client)) {
        answer(*refused);
    } else if (changes && CrossOrigin(request)) {
        answer(Leases::Error(403, QStringLiteral("a lease asked from a page of another origin is "
                                                 "refused")));
    } else if (changes && ForeignHost(request)) {
        answer(Leases::Error(403, QStringLiteral("a lease asked for another host than this "
                                                 "computer is refused (--web-external-host "
                                                 "gives its other names)")));
    } else if (lease.unit.isEmpty() && lease.port.isEmpty()) {
        answer(Leases::Error(400, QStringLiteral("which unit? /units/NAME/lease or "
                                                 "/lease?port=PORT")));
    } else if (!leases_) {
        answer(lease.unit.isEmpty() ? Leases::NotWatched(lease.port, false)
                                    : Leases::NotWatched(lease.unit, true));
    } else {
        lease.who = std::get<QString>(client);
        leases_(lease, [answer, lease, undelivered = undelivered_](const LeaseAnswer& given) {
            const bool granted = lease.verb == LeaseRequest::Verb::kTake && given.status == 200;
            answer(given, granted && undelivered
                              ? std::function<void(bool)>([undelivered, lease, given](bool whole) {
                                    if (!whole) {
                                        undelivered(lease, given);
                                    }
                                })
                              : std::function<void(bool)>());
        });
    }
}

}  // namespace irig::monitor
