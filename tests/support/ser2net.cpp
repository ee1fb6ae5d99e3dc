#include "support/ser2net.h"

#include <QFile>
#include <QTcpServer>
#include <tuple>

#include "support/wait.h"

namespace irig::test {

namespace {

// Two ports nobody listens on now, and not the same one.
std::pair<quint16, quint16> FreePorts() {
    QTcpServer first;
    QTcpServer second;
    first.listen(QHostAddress::LocalHost, 0);
    second.listen(QHostAddress::LocalHost, 0);
    return {first.serverPort(), second.serverPort()};
}

// Whether something listens on the loopback port, as the kernel lists it; without connecting,
// which would make ser2net open its device.
bool Listening(quint16 port) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray listening = QStringLiteral(":%1 00000000:0000 0A")
                                     .arg(port, 4, 16, QLatin1Char('0'))
                                     .toUpper()
                                     .toLatin1();
    return table.readAll().contains(listening);
}

}  // namespace

Ser2net::Ser2net(const QString& device) {
    std::tie(telnetPort_, rawPort_) = FreePorts();
    config_ = dir_.filePath(QStringLiteral("ser2net.yaml"));
    QFile file(config_);
    if (file.open(QIODevice::WriteOnly)) {
        // Without chardelay, ser2net passes on what the device sends at once instead of waiting
        // for more (as docs/terminal-servers.md advises for updates).
        file.write(QStringLiteral("connection: &rfc2217\n"
                                  "  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                                  "  connector: serialdev,%3,9600n81,local\n"
                                  "  options:\n"
                                  "    chardelay: false\n"
                                  "connection: &raw\n"
                                  "  accepter: tcp,127.0.0.1,%2\n"
                                  "  connector: serialdev,%3,19200n81,local\n"
                                  "  options:\n"
                                  "    chardelay: false\n")
                       .arg(telnetPort_)
                       .arg(rawPort_)
                       .arg(device)
                       .toUtf8());
        file.close();  // written out before ser2net reads it
    }
    process_.setProcessChannelMode(QProcess::MergedChannels);
    Start();
}

void Ser2net::Start() {
    // In the foreground, without UUCP lock files.
    process_.start(QStringLiteral("ser2net"),
                   {QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), config_});
}

Ser2net::~Ser2net() {
    Stop();
}

bool Ser2net::WaitReady(int timeoutMs) {
    return process_.waitForStarted(timeoutMs) &&
           WaitUntil([&] { return Listening(telnetPort_) && Listening(rawPort_); }, timeoutMs);
}

void Ser2net::Stop() {
    if (process_.state() != QProcess::NotRunning) {
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished();
        }
    }
}

QString Ser2net::Output() {
    return QString::fromLocal8Bit(process_.readAll());
}

}  // namespace irig::test
