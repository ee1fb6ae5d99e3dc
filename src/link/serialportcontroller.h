// The serial component on a real port: owns its QSerialPort, opens COMn through the port map (or a
// device path) at 8 data bits, no parity, 1 stop bit, no flow control, says why an open failed, and
// closes the port when its device fails.
#pragma once

#include <QPointer>
#include <QSerialPort>
#include <QSocketNotifier>

#include "link/portcontroller.h"

namespace irig::link {

class SerialPortController final : public PortController {
    Q_OBJECT

public:
    explicit SerialPortController(QObject* parent = nullptr);

    void SetBaudRate(qint32 baud) override;
    qint32 BaudRate() const override { return baud_; }
    int OpenPort(const QString& name) override;
    int OpenDevice(const QString& name, const QString& device) override;
    PortFailure LastFailure() const override { return failure_; }
    void ClosePort() override;
    bool SendData(const QByteArray& data) override;
    QByteArray ReadData() override;

    QString Device() const override { return device_; }

    bool IsOpen() const { return port_.isOpen(); }

private:
    void OnError(QSerialPort::SerialPortError error);
    // A line that hangs up while open is lost, whether QSerialPort reports it or not (Qt 6.8 reads
    // nothing from it, says nothing, and is woken for it again and again): watched through a
    // descriptor of its own, on POSIX.
    void WatchHangUp();
    void OnReadable();
    void StopWatching();
    // Closes the port whose device failed, and says so.
    void Lose(const QString& reason);

    QSerialPort port_;
    qint32 baud_ = 9600;
    QString name_;    // the COMn name of the open port, for messages
    QString device_;  // the device it resolved to
    PortFailure failure_;
    int watched_ = -1;  // the open device, duplicated
    QPointer<QSocketNotifier> hangUp_;
};

}  // namespace irig::link
