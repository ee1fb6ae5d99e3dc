#include "support/prometheusprocess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QUrl>

#include "support/firmwarefile.h"
#include "support/monitorprocess.h"
#include "support/wait.h"

namespace irig::test {

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

QString PrometheusProcess::WaitReady(int timeoutMs) {
    const QUrl ready(QStringLiteral("http://127.0.0.1:%1/-/ready").arg(port_));
    const bool answered = WaitUntil(
        [&] { return process_.state() == QProcess::NotRunning || Http(ready).status == 200; },
        timeoutMs);
    return answered && process_.state() == QProcess::Running
               ? QString()
               : QStringLiteral("prometheus: ") + QString::fromLocal8Bit(process_.readAll());
}

std::pair<QJsonValue, QString> PrometheusProcess::Api(const QString& path) {
    const QJsonObject answer =
        QJsonDocument::fromJson(
            Http(QUrl(QStringLiteral("http://127.0.0.1:%1/api/v1/%2").arg(port_).arg(path))).body)
            .object();
    return {answer[QStringLiteral("data")],
            answer[QStringLiteral("status")] == QLatin1String("success")
                ? QString()
                : answer[QStringLiteral("error")].toString(QStringLiteral("no answer"))};
}

}  // namespace irig::test
