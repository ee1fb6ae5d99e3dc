// ser2net, Debian's serial device server, started by a test on loopback in front of a device: one
// port that speaks Telnet with RFC 2217, one raw. It runs as a child process until stopped.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace irig::test {

class Ser2net {
public:
    // Serves `device` (a path; ser2net opens it when a client connects).
    explicit Ser2net(const QString& device);
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    // Waits until both ports take connections.
    bool WaitReady(int timeoutMs = 5000);
    QString Rfc2217() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(telnetPort_); }
    QString Socket() const { return QStringLiteral("socket://127.0.0.1:%1").arg(rawPort_); }
    // Ends it as a service manager would; its connections close.
    void Stop();
    // Starts it again on the same ports.
    void Start();
    // What it wrote.
    QString Output();

private:
    QTemporaryDir dir_;
    QString config_;
    QProcess process_;
    quint16 telnetPort_ = 0;
    quint16 rawPort_ = 0;
};

}  // namespace irig::test
