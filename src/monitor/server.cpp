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

MetricsBoard::MetricsBoard(const QStringList& ports) : ports_(ports) {
    readings_.resize(static_cast<size_t>(ports.size()));
    for (size_t i = 0; i < readings_.size(); ++i) {
        readings_[i].port = ports[static_cast<qsizetype>(i)];
    }
}

void MetricsBoard::Post(size_t index, const UnitReading& reading) {
    const QMutexLocker lock(&mutex_);
    readings_.at(index) = reading;
}

std::vector<UnitReading> MetricsBoard::Readings() const {
    const QMutexLocker lock(&mutex_);
    return readings_;
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
                    Exposition(board_.Readings(), status::ReadKernelClock()));
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
