// The serial component the window and irigctl use: a local serial port or a terminal server's
// (rfc2217:// or socket://), as the port's name resolves, each through its own component. It
// only chooses and forwards; the components do the work.
#pragma once

#include "link/networkportcontroller.h"
#include "link/serialportcontroller.h"

namespace irig::link {

class PortSwitch final : public PortController {
    Q_OBJECT

public:
    explicit PortSwitch(QObject* parent = nullptr);

    void SetBaudRate(qint32 baud) override;
    qint32 BaudRate() const override { return serial_.BaudRate(); }
    int OpenPort(const QString& name) override;
    int OpenDevice(const QString& name, const QString& device) override;
    PortFailure LastFailure() const override { return active_->LastFailure(); }
    QString Device() const override { return active_->Device(); }
    void ClosePort() override { active_->ClosePort(); }
    bool SendData(const QByteArray& data) override { return active_->SendData(data); }
    QByteArray ReadData() override { return active_->ReadData(); }
    int RoundTripMs() const override { return active_->RoundTripMs(); }
    QString Note() const override { return active_->Note(); }
    QString Reached() const override { return active_->Reached(); }

    // How long connecting to a terminal server may take.
    void SetConnectTimeout(int milliseconds) { network_.SetConnectTimeout(milliseconds); }

private:
    SerialPortController serial_;
    NetworkPortController network_;
    PortController* active_ = &serial_;
};

}  // namespace irig::link
