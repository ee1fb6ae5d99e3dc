// Debian's Prometheus as a child process on a free loopback port, for the tests that need a real
// scraper: it scrapes and evaluates what its configuration says and answers its HTTP API.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>

namespace irig::test {

class PrometheusProcess {
public:
    // Runs with `config` as its prometheus.yml, written into `dir`, where its storage goes too.
    PrometheusProcess(const QString& dir, const QByteArray& config);
    ~PrometheusProcess();
    PrometheusProcess(const PrometheusProcess&) = delete;
    PrometheusProcess& operator=(const PrometheusProcess&) = delete;

    // Waits until it says it is ready.
    bool WaitReady(int timeoutMs = 30'000);
    // The `data` of a GET of /api/v1/`path`; empty when it failed.
    QJsonObject Api(const QString& path);
    struct Result {
        QJsonArray series;
        QString error;  // what Prometheus said when the query failed, else empty
    };
    // An instant query, now.
    Result Query(const QString& expression);
    // What it said on standard output and error.
    QString Output();

private:
    QProcess process_;
    quint16 port_ = 0;
};

}  // namespace irig::test
