// irigctl monitor as a child process serving on a free loopback port, for the exporter's tests and
// benchmark: where it serves, what it says, what it holds in memory; and an HTTP request.
#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>

namespace irig::test {

class MonitorProcess {
public:
    // Watches `ports`, with `more` of monitor's options (an inventory's).
    explicit MonitorProcess(const QStringList& ports, const QStringList& more = {});
    ~MonitorProcess();
    MonitorProcess(const MonitorProcess&) = delete;
    MonitorProcess& operator=(const MonitorProcess&) = delete;

    // Waits until it says where it serves.
    bool WaitServing(int timeoutMs = 10000);
    quint16 Port() const { return port_; }
    QUrl Url(const QString& path) const;
    QString Errors();
    // Its resident memory, from /proc.
    qint64 ResidentKiB() const;
    // The part of it that the process allocated itself, without the pages of its programs and
    // libraries that the kernel reads in as their code first runs.
    qint64 AnonymousKiB() const;
    // Ends it with SIGTERM; its exit code, or -1 when it did not end normally.
    int Terminate();
    // Asks it to read its configuration again, with SIGHUP.
    void Reload();
    // Waits until it ends by itself; its exit code, or -1 when it did not end normally.
    int Finished(int timeoutMs = 10000);
    qint64 Pid() const { return process_.processId(); }

private:
    QProcess process_;
    QByteArray errors_;
    QString scheme_;  // http or https, as it says
    quint16 port_ = 0;
};

struct HttpReply {
    int status = 0;  // 0: no answer
    QByteArray body;
};

// A request with the event loop running: GET, or POST with an empty body.
HttpReply Http(const QUrl& url, bool post = false, int timeoutMs = 5000);
// The same with the request's headers and TLS configuration.
HttpReply Http(QNetworkRequest request, bool post = false, int timeoutMs = 5000);
// A request of any method ("DELETE"), with an empty body.
HttpReply Http(QNetworkRequest request, const QByteArray& method, int timeoutMs = 5000);

}  // namespace irig::test
