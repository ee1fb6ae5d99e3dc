#include "monitor/server.h"

#include <openssl/crypto.h>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QMutexLocker>
#include <QPointer>
#include <QSslSocket>
#include <QUrlQuery>

#include "diagnosis/leapseconds.h"
#include "monitor/httpguard.h"

namespace irig::monitor {

namespace {

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponse::StatusCode;

// When this computer's leap-second list expires; nothing without one.
std::optional<qint64> LeapListExpires() {
    const diagnosis::LeapListRead read = diagnosis::ReadLeapList();
    return read.list ? std::optional(read.list->expires) : std::nullopt;
}

const char kIndex[] =
    "irigctl monitor: the time-code units it watches, for Prometheus.\n"
    "  GET  /metrics                  the last values, in the Prometheus text format\n"
    "  POST /check-time[?port=PORT]   measure the units' clocks (or one unit's) now\n"
    "  POST /units/NAME/lease?seconds=N, POST /lease?port=PORT&seconds=N\n"
    "                                 lend a unit to another tool: its port closed meanwhile\n"
    "  DELETE, GET the same           return it; ask who holds it\n";

// Set on a connection while the password of its request is checked.
const char kChecking[] = "irigChecking";

// A client as its checks are bounded: an IPv4 address, or an IPv6 address's /64.
QByteArray ClientOf(const QHostAddress& address) {
    bool v4 = false;
    const quint32 four = address.toIPv4Address(&v4);
    if (v4) {
        return QByteArray::number(four);
    }
    const Q_IPV6ADDR six = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(six.c), 8).toHex();
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
            static_cast<int>(Status::Forbidden),
            QStringLiteral("leases are lent to this computer only: give the monitor users to "
                           "lend them further"));
    }
    bool v4 = false;
    const quint32 four = peer.toIPv4Address(&v4);
    return v4 ? QHostAddress(four).toString() : peer.toString();
}

// What a request asks, kept beyond it while its password is checked.
struct MetricsServer::Asked {
    Method method = Method::Unknown;
    QString path;
    QString port;  // ?port=
    bool tls = false;
    QByteArray origin;
    QByteArray fetchSite;  // Sec-Fetch-Site, which browsers send
    QByteArray host;
    QHostAddress peer;
    QByteArray user;  // of the Basic credentials, if any
    QUrlQuery query;

    QHttpServerResponse Text(Status status, const QByteArray& text) const {
        // A HEAD request gets no body.
        return method == Method::Head ? QHttpServerResponse(status)
                                      : QHttpServerResponse(QByteArray("text/plain"), text, status);
    }
    // Whether it comes from a browser's page of another origin than this server.
    bool CrossOrigin() const {
        if (origin.isEmpty()) {
            return fetchSite == "cross-site" || fetchSite == "same-site";
        }
        const QUrl from(QString::fromLatin1(origin));
        const QUrl self(QStringLiteral("%1://%2").arg(
            tls ? QStringLiteral("https") : QStringLiteral("http"), QString::fromLatin1(host)));
        const int defaultPort = tls ? 443 : 80;
        return host.isEmpty() || !self.isValid() || from.scheme() != self.scheme() ||
               from.host() != self.host() || from.port(defaultPort) != self.port(defaultPort) ||
               !from.path().isEmpty();
    }
};

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
    QHash<Key, size_t> index;
    readings.reserve(units.size());
    index.reserve(static_cast<qsizetype>(units.size()));
    for (const auto& [key, first] : units) {
        const auto kept = index_.constFind(key);
        index.insert(key, readings.size());
        if (kept != index_.cend()) {
            readings.push_back(std::move(readings_[*kept]));
        } else {
            readings.push_back(first);
        }
    }
    readings_ = std::move(readings);
    index_ = std::move(index);
}

void MetricsBoard::Post(Key key, const UnitReading& reading) {
    const QMutexLocker lock(&mutex_);
    if (const auto at = index_.constFind(key); at != index_.cend()) {
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

MetricsServer::MetricsServer(const MetricsBoard& board, MeasureRequest measure, HttpLimits limits)
    : board_(board), measure_(std::move(measure)), limits_(limits) {}

MetricsServer::~MetricsServer() {
    if (context_ != nullptr) {
        QMetaObject::invokeMethod(
            context_,
            [this] {
                waiting_.clear();
                delete server_;
                delete context_;
                // The TLS library's state of this thread (its random generators, its errors),
                // which it would free only once the thread is gone, maybe after the library
                // itself at the process's end.
                OPENSSL_thread_stop();
            },
            Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
    }
}

quint16 MetricsServer::Listen(const QHostAddress& address, quint16 port, QString* why) {
    thread_.setObjectName(QStringLiteral("metrics"));
    thread_.start();
    context_ = new QObject;
    context_->moveToThread(&thread_);
    // Made here and moved: the TLS library it sets up keeps per-thread state that the metrics
    // thread's end would leave behind it.
    server_ = new QHttpServer;
    server_->moveToThread(&thread_);
    quint16 listening = 0;
    QMetaObject::invokeMethod(
        context_,
        [&] {
            authenticator_ = new Authenticator({}, BcryptMatches, context_);
            authenticator_->SetUsers(web_.users);
            // Every request, whatever its path, comes here: no path is served without the users'
            // names and passwords.
            server_->setMissingHandler(
                [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                    Serve(request, std::move(responder));
                });
            tcp_ = new GuardedTcpServer(limits_, server_);
            tcp_->SetTls(web_.tls);
            if (!tcp_->listen(address, port)) {
                *why = tcp_->errorString();
                return;
            }
            listening = tcp_->serverPort();
            server_->bind(tcp_);
        },
        Qt::BlockingQueuedConnection);
    return listening;
}

void MetricsServer::SetWebConfig(const WebConfig& web) {
    const auto take = [this, web] {
        web_ = web;
        if (authenticator_ != nullptr) {
            authenticator_->SetUsers(web_.users);
            tcp_->SetTls(web_.tls);
        }
    };
    if (context_ == nullptr || QThread::currentThread() == &thread_) {
        take();
    } else {
        QMetaObject::invokeMethod(context_, take, Qt::BlockingQueuedConnection);
    }
}

void MetricsServer::Serve(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    QTcpSocket* socket = responder.socket();
    if (socket->property(kChecking).toBool()) {
        // A request sent before the answer to the last one, whose password is being checked:
        // answering it first would answer them out of order.
        socket->abort();
        return;
    }
    Asked asked;
    asked.method = request.method();
    asked.path = request.url().path();
    asked.port =
        QUrlQuery(request.url()).queryItemValue(QStringLiteral("port"), QUrl::FullyDecoded);
    asked.tls = qobject_cast<QSslSocket*>(socket) != nullptr;
    asked.origin = request.value("Origin");
    asked.fetchSite = request.value("Sec-Fetch-Site").toLower();
    asked.host = request.value("Host");
    asked.peer = request.remoteAddress();
    asked.query = QUrlQuery(request.url());
    const QByteArray authorization = request.value("Authorization");
    if (const auto credentials = BasicCredentials(authorization)) {
        asked.user = credentials->first;
    }
    socket->setProperty(kChecking, true);
    auto held = std::make_shared<QHttpServerResponder>(std::move(responder));
    authenticator_->Check(
        authorization, ClientOf(request.remoteAddress()),
        [this, asked, held, guarded = QPointer<QTcpSocket>(socket)](Verdict verdict) {
            if (!guarded) {
                return;
            }
            if (verdict == Verdict::kAllowed && LeaseTarget(asked.path)) {
                Lease(held, guarded, asked);
                return;
            }
            guarded->setProperty(kChecking, false);
            Send(std::move(*held), asked, verdict);
        });
}

// A lease route, its answer sent when the leases give it; until then the connection's next
// request waits.
void MetricsServer::Lease(const Held& held, QTcpSocket* socket, const Asked& asked) {
    const auto answer = [this, held,
                         guarded = QPointer<QTcpSocket>(socket)](const LeaseAnswer& lease) {
        if (guarded) {
            guarded->setProperty(kChecking, false);
            Respond(std::move(*held),
                    QHttpServerResponse(lease.body, static_cast<Status>(lease.status)));
        }
    };
    static const std::pair<Method, LeaseRequest::Verb> kVerbs[] = {
        {Method::Get, LeaseRequest::Verb::kAsk},
        {Method::Post, LeaseRequest::Verb::kTake},
        {Method::Delete, LeaseRequest::Verb::kReturn}};
    const auto verb = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                   [&](const auto& known) { return known.first == asked.method; });
    if (verb == std::end(kVerbs)) {
        socket->setProperty(kChecking, false);
        QHttpServerResponse response = asked.Text(
            Status::MethodNotAllowed, asked.path.toUtf8() + " takes GET, POST and DELETE only\n");
        response.setHeader("Allow", "GET, POST, DELETE");
        Respond(std::move(*held), std::move(response));
        return;
    }
    const std::variant<QString, LeaseAnswer> client =
        LeaseClient(!web_.users.empty(), asked.user, asked.peer);
    const auto word = [&asked](const char* key) {
        return asked.query.queryItemValue(QLatin1String(key), QUrl::FullyDecoded);
    };
    LeaseRequest request;
    request.verb = verb->second;
    request.unit = *LeaseTarget(asked.path);
    request.port = word("port");
    request.seconds = word("seconds");
    request.words.by = word("by");
    if (asked.query.hasQueryItem(QStringLiteral("lease"))) {
        request.words.token = word("lease");
    }
    if (const auto* refused = std::get_if<LeaseAnswer>(&client)) {
        answer(*refused);
    } else if (asked.method != Method::Get && asked.CrossOrigin()) {
        answer(Leases::Error(static_cast<int>(Status::Forbidden),
                             QStringLiteral("a lease asked from a page of another origin is "
                                            "refused")));
    } else if (request.unit.isEmpty() && request.port.isEmpty()) {
        answer(Leases::Error(static_cast<int>(Status::BadRequest),
                             QStringLiteral("which unit? /units/NAME/lease or /lease?port=PORT")));
    } else if (!leases_) {
        answer(request.unit.isEmpty() ? Leases::NotWatched(request.port, false)
                                      : Leases::NotWatched(request.unit, true));
    } else {
        // The responder stays in this thread: the answer that comes from another finds it here.
        request.who = std::get<QString>(client);
        const quint64 id = nextLease_++;
        waiting_.emplace(id, answer);
        leases_(request, [this, id](const LeaseAnswer& lease) {
            QMetaObject::invokeMethod(context_, [this, id, lease] {
                if (const auto node = waiting_.extract(id)) {
                    node.mapped()(lease);
                }
            });
        });
    }
}

void MetricsServer::Respond(QHttpServerResponder&& responder,
                            QHttpServerResponse&& response) const {
    for (const auto& [name, value] : web_.headers) {
        response.setHeader(name, value);
    }
    response.write(std::move(responder));
}

void MetricsServer::Send(QHttpServerResponder&& responder, const Asked& asked,
                         Verdict verdict) const {
    // Each path and the method it takes.
    static const std::pair<const char*, Method> kPaths[] = {
        {"/", Method::Get}, {"/metrics", Method::Get}, {"/check-time", Method::Post}};
    const auto known = std::find_if(std::begin(kPaths), std::end(kPaths),
                                    [&](const auto& path) { return asked.path == path.first; });
    QHttpServerResponse response(Status::Ok);
    if (verdict == Verdict::kRefused) {
        response = asked.Text(Status::Unauthorized,
                              "irigctl monitor: a user name and password are needed\n");
        response.setHeader("WWW-Authenticate", "Basic realm=\"irigctl monitor\"");
    } else if (verdict == Verdict::kBusy) {
        response = asked.Text(Status::TooManyRequests,
                              "irigctl monitor: too many passwords to check at once\n");
        response.setHeader("Retry-After", "1");
    } else if (known == std::end(kPaths)) {
        response = asked.Text(Status::NotFound, "irigctl monitor: no such path\n");
    } else if (asked.method != known->second) {
        const QByteArray allow = known->second == Method::Get ? "GET" : "POST";
        response = asked.Text(Status::MethodNotAllowed,
                              asked.path.toUtf8() + " takes " + allow + " only\n");
        response.setHeader("Allow", allow);
    } else if (asked.path == QLatin1String("/")) {
        response = QHttpServerResponse(QByteArray("text/plain"), kIndex);
    } else if (asked.path == QLatin1String("/metrics")) {
        response = QHttpServerResponse(QByteArray(kContentType),
                                       Exposition(board_.Readings(), status::ReadKernelClock(),
                                                  board_.LastReload(), LeapListExpires()));
    } else if (asked.CrossOrigin()) {
        response = asked.Text(Status::Forbidden,
                              "irigctl monitor: POST /check-time from a page "
                              "of another origin is refused\n");
    } else if (!asked.port.isEmpty() && !board_.Ports().contains(asked.port)) {
        response =
            asked.Text(Status::NotFound,
                       QStringLiteral("no unit is watched on %1\n").arg(asked.port).toUtf8());
    } else if (!asked.port.isEmpty() && board_.Lent(asked.port)) {
        response = asked.Text(Status::Conflict,
                              QStringLiteral("%1 is lent to another tool: it is measured again "
                                             "once it is back\n")
                                  .arg(asked.port)
                                  .toUtf8());
    } else {
        measure_(asked.port);
        response = asked.Text(
            Status::Accepted,
            QStringLiteral("measuring %1; /metrics has the result in a few seconds\n")
                .arg(asked.port.isEmpty() ? board_.Ports().join(QStringLiteral(", ")) : asked.port)
                .toUtf8());
    }
    Respond(std::move(responder), std::move(response));
}

}  // namespace irig::monitor
