// Debian's Prometheus as a child process on a free loopback port, for the tests that need a real
// scraper: it scrapes and evaluates what its configuration says and answers its HTTP API.
#pragma once

#include <QJsonValue>
#include <QProcess>

namespace irig::test {

class PrometheusProcess {
public:
    // Runs with `config` as its prometheus.yml, written into `dir`, where its storage goes too.
    PrometheusProcess(const QString& dir, const QByteArray& config);
    ~PrometheusProcess();
    PrometheusProcess(const PrometheusProcess&) = delete;
    PrometheusProcess& operator=(const PrometheusProcess&) = delete;

    // Waits until it says it is ready; else what it said.
    QString WaitReady(int timeoutMs = 30'000);
    // The `data` of a GET of /api/v1/`path` (its query string percent-encoded), and the error
    // Prometheus gave (empty when it answered).
    std::pair<QJsonValue, QString> Api(const QString& path);

private:
    QProcess process_;
    quint16 port_ = 0;
};

}  // namespace irig::test
