#include "support/monitorprocess.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <csignal>
#include <optional>

#include "support/wait.h"

#ifndef IRIGCTL_PATH
#error "IRIGCTL_PATH must name the irigctl program"
#endif

namespace irig::test {

MonitorProcess::MonitorProcess(const QStringList& ports, const QStringList& more) {
    QStringList arguments = QStringList{QStringLiteral("monitor"), QStringLiteral("--listen"),
                                        QStringLiteral("127.0.0.1:0")} +
                            more;
    for (const QString& port : ports) {
        arguments += {QStringLiteral("--port"), port};
    }
    // Under AddressSanitizer freed memory waits in quarantines, which a bound on the process's
    // memory would count as its own.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (environment.contains(QStringLiteral("ASAN_OPTIONS"))) {
        environment.insert(
            QStringLiteral("ASAN_OPTIONS"),
            environment.value(QStringLiteral("ASAN_OPTIONS")) +
                QStringLiteral(":quarantine_size_mb=0:thread_local_quarantine_size_kb=0"));
    }
    process_.setProcessEnvironment(environment);
    QObject::connect(&process_, &QProcess::readyReadStandardError,
                     [this] { errors_ += process_.readAllStandardError(); });
    process_.start(QStringLiteral(IRIGCTL_PATH), arguments);
}

MonitorProcess::~MonitorProcess() {
    if (process_.state() != QProcess::NotRunning) {
        Terminate();
    }
}

bool MonitorProcess::WaitServing(int timeoutMs) {
    static const QRegularExpression serving(
        QStringLiteral("serving (https?)://127\\.0\\.0\\.1:(\\d+)/metrics"));
    return WaitUntil(
               [&] {
                   const QRegularExpressionMatch match =
                       serving.match(QString::fromLocal8Bit(errors_));
                   scheme_ = match.captured(1);
                   port_ = match.hasMatch() ? static_cast<quint16>(match.captured(2).toUInt()) : 0;
                   return port_ != 0 || process_.state() == QProcess::NotRunning;
               },
               timeoutMs) &&
           port_ != 0;
}

QUrl MonitorProcess::Url(const QString& path) const {
    return QUrl(QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme_).arg(port_).arg(path));
}

QString MonitorProcess::Errors() {
    errors_ += process_.readAllStandardError();
    return QString::fromLocal8Bit(errors_);
}

namespace {
qint64 StatusKiB(qint64 pid, const char* field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QRegularExpression line(QStringLiteral("%1:\\s+(\\d+) kB").arg(QLatin1String(field)));
    return line.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}
}  // namespace

qint64 MonitorProcess::ResidentKiB() const {
    return StatusKiB(process_.processId(), "VmRSS");
}

qint64 MonitorProcess::AnonymousKiB() const {
    return StatusKiB(process_.processId(), "RssAnon");
}

int MonitorProcess::Terminate() {
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished();
        return -1;
    }
    errors_ += process_.readAllStandardError();
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

void MonitorProcess::Reload() {
    ::kill(static_cast<pid_t>(process_.processId()), SIGHUP);
}

int MonitorProcess::Finished(int timeoutMs) {
    WaitUntil([&] { return process_.state() == QProcess::NotRunning; }, timeoutMs);
    errors_ += process_.readAllStandardError();
    return process_.state() == QProcess::NotRunning && process_.exitStatus() == QProcess::NormalExit
               ? process_.exitCode()
               : -1;
}

HttpReply Http(const QUrl& url, bool post, int timeoutMs) {
    return Http(QNetworkRequest(url), post, timeoutMs);
}

HttpReply Http(QNetworkRequest request, bool post, int timeoutMs) {
    return Http(std::move(request), post ? QByteArray("POST") : QByteArray("GET"), timeoutMs);
}

HttpReply Http(QNetworkRequest request, const QByteArray& method, int timeoutMs) {
    static QNetworkAccessManager plain;
    // A TLS connection is not kept beyond the request: one closed after the application object
    // would look for its TLS backend in vain.
    std::optional<QNetworkAccessManager> secure;
    QNetworkAccessManager& manager =
        request.url().scheme() == QLatin1String("https") ? secure.emplace() : plain;
    request.setTransferTimeout(timeoutMs);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("text/plain"));
    QNetworkReply* reply = method == "GET"    ? manager.get(request)
                           : method == "POST" ? manager.post(request, QByteArray())
                                              : manager.sendCustomRequest(request, method);
    WaitUntil([&] { return reply->isFinished(); }, timeoutMs + 1000);
    HttpReply result;
    if (reply->isFinished()) {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
    }
    delete reply;
    return result;
}

}  // namespace irig::test
