#include "support/prometheusprocess.h"

#include <QJsonDocument>
#include <QTcpServer>
#include <QUrl>

#include "support/firmwarefile.h"
#include "support/monitorprocess.h"
#include "support/wait.h"

namespace irig::test {

namespace {

QJsonObject Get(const QUrl& url) {
    return QJsonDocument::fromJson(Http(url).body).object();
}

}  // namespace

PrometheusProcess::PrometheusProcess(const QString& dir, const QByteArray& config) {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    port_ = probe.serverPort();
    probe.close();
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(QStringLiteral("prometheus"),
                   {QStringLiteral("--config.file=") +
                        WriteFile(dir + QStringLiteral("/prometheus.yml"), config),
                    QStringLiteral("--storage.tsdb.path=") + dir + QStringLiteral("/data"),
                    QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port_)});
}

PrometheusProcess::~PrometheusProcess() {
    process_.terminate();
    if (!process_.waitForFinished(10'000)) {
        process_.kill();
        process_.waitForFinished();
    }
}

bool PrometheusProcess::WaitReady(int timeoutMs) {
    const QUrl ready(QStringLiteral("http://127.0.0.1:%1/-/ready").arg(port_));
    return WaitUntil(
               [&] {
                   return process_.state() == QProcess::NotRunning || Http(ready).status == 200;
               },
               timeoutMs) &&
           process_.state() == QProcess::Running;
}

QJsonObject PrometheusProcess::Api(const QString& path) {
    return Get(QUrl(QStringLiteral("http://127.0.0.1:%1/api/v1/%2").arg(port_).arg(path)))
        .value(QStringLiteral("data"))
        .toObject();
}

PrometheusProcess::Result PrometheusProcess::Query(const QString& expression) {
    QUrl url(QStringLiteral("http://127.0.0.1:%1/api/v1/query").arg(port_));
    // Percent-encoded in full: Prometheus reads a '+' in a query string as a space.
    url.setQuery(QStringLiteral("query=") +
                 QString::fromLatin1(QUrl::toPercentEncoding(expression)));
    const QJsonObject answer = Get(url);
    return {answer[QStringLiteral("data")][QStringLiteral("result")].toArray(),
            answer[QStringLiteral("status")] == QLatin1String("success")
                ? QString()
                : answer[QStringLiteral("error")].toString(QStringLiteral("no answer"))};
}

QString PrometheusProcess::Output() {
    return QString::fromLocal8Bit(process_.readAll());
}

}  // namespace irig::test
