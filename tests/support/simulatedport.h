// A serial component with the simulated unit's behaviour inside, for in-process tests of what
// talks to a unit: what is sent goes to sim::Unit, and its replies arrive on a later turn of the
// event loop, re-boots after their time, a hang-up as a lost port. No pseudo-terminal, no process.
#pragma once

#include <QStringList>
#include <functional>
#include <memory>

#include "link/portcontroller.h"
#include "unit.h"

namespace irig::test {

// The simulated unit's behaviour and its log, which outlive the ports a test makes for it.
struct SimUnit {
    explicit SimUnit(sim::Options options = {});

    // The unit's flash, 0x00000-0x2007F.
    QByteArray Flash() const;

    QStringList log;  // a line a request
    sim::Unit unit;
};

class SimulatedPort final : public link::PortController {
    Q_OBJECT

public:
    explicit SimulatedPort(std::shared_ptr<SimUnit> unit = std::make_shared<SimUnit>());
    ~SimulatedPort() override;

    void SetBaudRate(qint32 baud) override { baud_ = baud; }
    qint32 BaudRate() const override { return baud_; }
    // Opens COMn through the port map, as the serial component does.
    int OpenPort(const QString& name) override;
    int OpenDevice(const QString& name, const QString& device) override;
    link::PortFailure LastFailure() const override { return failure_; }
    QString Device() const override { return device_; }
    void ClosePort() override { open_ = false; }
    bool IsOpen() const { return open_; }
    bool SendData(const QByteArray& data) override;
    QByteArray ReadData() override;

    SimUnit& Unit() { return *unit_; }
    // The adapter is pulled out: the port closes itself and says so.
    void Unplug();

    // Replaces the unit's answer to a request: given what was sent, the bytes to deliver instead,
    // or nothing to let the unit answer.
    std::function<std::optional<QByteArray>(const QByteArray& sent)> answerInstead;
    // Opening fails with this, when set.
    std::optional<link::PortFailure> failOpen;

private:
    void Deliver(const QByteArray& bytes);
    void ScheduleReboot();

    std::shared_ptr<SimUnit> unit_;
    QByteArray inbox_;
    link::PortFailure failure_;
    QString device_;
    qint32 baud_ = 0;
    bool open_ = false;
    bool rebootScheduled_ = false;
};

}  // namespace irig::test
