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

#include "monitor/httpguard.h"

namespace irig::monitor {

namespace {

using Method = QHttpServerRequest::Method;
using Status = QHttpServerResponse::StatusCode;

const char kIndex[] =
    "irigctl monitor: the time-code units it watches, for Prometheus.\n"
    "  GET  /metrics                  the last values, in the Prometheus text format\n"
    "  POST /check-time[?port=PORT]   measure the units' clocks (or one unit's) now\n";

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

}  // namespace

// What a request asks, kept beyond it while its password is checked.
struct MetricsServer::Asked {
    Method method = Method::Unknown;
    QString path;
    QString port;  // ?port=
    bool tls = false;
    QByteArray origin;
    QByteArray fetchSite;  // Sec-Fetch-Site, which browsers send
    QByteArray host;

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
        readings.push_back(kept != index_.cend() ? std::move(readings_[*kept]) : first);
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
    socket->setProperty(kChecking, true);
    auto held = std::make_shared<QHttpServerResponder>(std::move(responder));
    authenticator_->Check(
        request.value("Authorization"), ClientOf(request.remoteAddress()),
        [this, asked, held, guarded = QPointer<QTcpSocket>(socket)](Verdict verdict) {
            if (guarded) {
                guarded->setProperty(kChecking, false);
                Send(std::move(*held), asked, verdict);
            }
        });
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
        response = QHttpServerResponse(
            QByteArray(kContentType),
            Exposition(board_.Readings(), status::ReadKernelClock(), board_.LastReload()));
    } else if (asked.CrossOrigin()) {
        response = asked.Text(Status::Forbidden,
                              "irigctl monitor: POST /check-time from a page "
                              "of another origin is refused\n");
    } else if (!asked.port.isEmpty() && !board_.Ports().contains(asked.port)) {
        response =
            asked.Text(Status::NotFound,
                       QStringLiteral("no unit is watched on %1\n").arg(asked.port).toUtf8());
    } else {
        measure_(asked.port);
        response = asked.Text(
            Status::Accepted,
            QStringLiteral("measuring %1; /metrics has the result in a few seconds\n")
                .arg(asked.port.isEmpty() ? board_.Ports().join(QStringLiteral(", ")) : asked.port)
                .toUtf8());
    }
    for (const auto& [name, value] : web_.headers) {
        response.setHeader(name, value);
    }
    response.write(std::move(responder));
}

}  // namespace irig::monitor
