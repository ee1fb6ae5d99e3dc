#include "link/serialportcontroller.h"

#include <QtDebug>

#include "link/portmap.h"

namespace irig::link {

namespace {

int ErrorNumber(QSerialPort::SerialPortError error) {
    switch (error) {
        case QSerialPort::DeviceNotFoundError:
            return kNoSuchDevice;
        case QSerialPort::PermissionError:
            return kPermissionDenied;
        default:
            return kPortOpenFailed;
    }
}

}  // namespace

SerialPortController::SerialPortController(QObject* parent) : PortController(parent) {
    connect(&port_, &QSerialPort::readyRead, this, &PortController::DataReceived);
    connect(&port_, &QSerialPort::errorOccurred, this, &SerialPortController::OnError);
}

void SerialPortController::SetBaudRate(qint32 baud) {
    baud_ = baud;
}

int SerialPortController::OpenPort(const QString& name) {
    ClosePort();
    const QString device = ResolvePortName(name);
    if (device.isEmpty()) {
        qWarning().noquote() << "irig-config: cannot open" << name << "- not a COM port name";
        return kNoSuchDevice;
    }
    port_.setPortName(device);
    port_.setBaudRate(baud_);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
        const int number = ErrorNumber(port_.error());
        qWarning().noquote() << QStringLiteral("irig-config: cannot open %1 (%2): %3")
                                    .arg(name, device, port_.errorString());
        port_.clearError();
        return number;
    }
    name_ = name;
    return kPortOpened;
}

void SerialPortController::ClosePort() {
    if (port_.isOpen()) {
        port_.close();
    }
}

void SerialPortController::SendData(const QByteArray& data) {
    if (port_.isOpen()) {
        port_.write(data);
        // Hands the bytes to the device now instead of on the next turn of the event loop; what
        // the device cannot take yet still goes out asynchronously.
        port_.flush();
    }
}

QByteArray SerialPortController::ReadData() {
    return port_.isOpen() ? port_.readAll() : QByteArray();
}

void SerialPortController::OnError(QSerialPort::SerialPortError error) {
    // A vanished device (adapter pulled, pty's other side closed) shows up as a read, write or
    // resource error, and keeps showing up as long as the port stays open: close at the first.
    const bool lost = error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
                      error == QSerialPort::ResourceError;
    if (!lost || !port_.isOpen()) {
        return;
    }
    qWarning().noquote() << QStringLiteral("irig-config: %1 (%2) failed: %3; port closed")
                                .arg(name_, port_.portName(), port_.errorString());
    // The system's text for a failed read is often a stale errno; say what the kind means.
    const QString reason = error == QSerialPort::ResourceError
                               ? QStringLiteral("the device went away")
                           : error == QSerialPort::ReadError
                               ? QStringLiteral("the line hung up or the device went away")
                               : QStringLiteral("the device refused what was sent");
    port_.close();
    port_.clearError();
    emit PortLost(reason);
}

}  // namespace irig::link
