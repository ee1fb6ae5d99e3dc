#include "monitor/server.h"

#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QMutexLocker>
#include <QUrlQuery>

#include "monitor/httpguard.h"

namespace irig::monitor {

namespace {

const char kIndex[] =
    "irigctl monitor: the time-code units it watches, for Prometheus.\n"
    "  GET  /metrics                  the last values, in the Prometheus text format\n"
    "  POST /check-time[?port=PORT]   measure the units' clocks (or one unit's) now\n";

// 405 with the method the path takes; a HEAD request gets no body.
QHttpServerResponse NotAllowed(const QHttpServerRequest& request, const QByteArray& allow) {
    QHttpServerResponse response =
        request.method() == QHttpServerRequest::Method::Head
            ? QHttpServerResponse(QHttpServerResponse::StatusCode::MethodNotAllowed)
            : QHttpServerResponse(QByteArray("text/plain"),
                                  request.url().path().toUtf8() + " takes " + allow + " only\n",
                                  QHttpServerResponse::StatusCode::MethodNotAllowed);
    response.setHeader("Allow", allow);
    return response;
}

}  // namespace

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
            server_->route(QStringLiteral("/"), QHttpServerRequest::Method::Get,
                           [] { return QHttpServerResponse(QByteArray("text/plain"), kIndex); });
            server_->route(QStringLiteral("/metrics"), QHttpServerRequest::Method::Get, [this] {
                return QHttpServerResponse(
                    QByteArray(kContentType),
                    Exposition(board_.Readings(), status::ReadKernelClock(), board_.LastReload()));
            });
            server_->route(
                QStringLiteral("/check-time"), QHttpServerRequest::Method::Post,
                [this](const QHttpServerRequest& request) {
                    const QString port =
                        QUrlQuery(request.url())
                            .queryItemValue(QStringLiteral("port"), QUrl::FullyDecoded);
                    if (!port.isEmpty() && !board_.Ports().contains(port)) {
                        return QHttpServerResponse(
                            QStringLiteral("no unit is watched on %1\n").arg(port),
                            QHttpServerResponse::StatusCode::NotFound);
                    }
                    measure_(port);
                    return QHttpServerResponse(
                        QStringLiteral("measuring %1; /metrics has the result in a few seconds\n")
                            .arg(port.isEmpty() ? board_.Ports().join(QStringLiteral(", ")) : port),
                        QHttpServerResponse::StatusCode::Accepted);
                });
            // Every other method on a known path: 405, with the one it takes.
            for (const auto& [path, allow] : {std::pair{"/", "GET"}, std::pair{"/metrics", "GET"},
                                              std::pair{"/check-time", "POST"}}) {
                server_->route(QString::fromLatin1(path), QHttpServerRequest::Method::AnyKnown,
                               [allow = QByteArray(allow)](const QHttpServerRequest& request) {
                                   return NotAllowed(request, allow);
                               });
            }
            auto* tcp = new GuardedTcpServer(limits_, server_);
            if (!tcp->listen(address, port)) {
                *why = tcp->errorString();
                return;
            }
            listening = tcp->serverPort();
            server_->bind(tcp);
        },
        Qt::BlockingQueuedConnection);
    return listening;
}

}  // namespace irig::monitor
