// A serial component for tests: records every call and every frame sent, and lets a test deliver
// bytes and raise DataReceived as a port would.
#pragma once

#include <QSet>
#include <QStringList>
#include <utility>

#include "link/portcontroller.h"

namespace irig::test {

class FakePortController final : public link::PortController {
public:
    void SetBaudRate(qint32 baud) override {
        baud_ = baud;
        calls.append(QStringLiteral("baud %1").arg(baud));
    }
    qint32 BaudRate() const override { return baud_; }

    int OpenPort(const QString& name) override {
        calls.append(QStringLiteral("open ") + name);
        open = !failingPorts.contains(name);
        failure = open ? link::PortFailure{} : openFailure;
        return open ? link::kPortOpened : failError;
    }
    int OpenDevice(const QString& name, const QString& at) override {
        calls.append(QStringLiteral("open %1 at %2").arg(name, at));
        device = at;
        open = !failingPorts.contains(name);
        failure = open ? link::PortFailure{} : openFailure;
        return open ? link::kPortOpened : failError;
    }
    link::PortFailure LastFailure() const override { return failure; }
    QString Device() const override { return device; }
    void ClosePort() override {
        calls.append(QStringLiteral("close"));
        open = false;
    }
    bool SendData(const QByteArray& data) override {
        if (open) {
            sent.append(data);
        }
        return open;
    }
    QByteArray ReadData() override { return std::exchange(inbox_, {}); }

    // Queues bytes for the next ReadData and raises DataReceived.
    void Deliver(const QByteArray& bytes) {
        inbox_ += bytes;
        emit DataReceived();
    }
    // The device goes away: the port closes itself and says why.
    void Lose(const QString& reason) {
        open = false;
        emit PortLost(reason);
    }
    // Everything sent, joined.
    QByteArray SentBytes() const { return sent.join(); }

    QStringList calls;
    QList<QByteArray> sent;
    QSet<QString> failingPorts;
    link::PortFailure openFailure{link::PortFailure::kNoSuchDevice,
                                  QStringLiteral("/dev/ttyS9"),
                                  {},
                                  {}};  // why a failing port fails
    link::PortFailure failure;          // what LastFailure() says
    QString device = QStringLiteral("/dev/ttyFAKE0");
    int failError = link::kNoSuchDevice;
    bool open = false;

private:
    qint32 baud_ = 0;
    QByteArray inbox_;
};

}  // namespace irig::test
