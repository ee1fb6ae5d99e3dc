#include "link/serialportcontroller.h"

#include <QFile>
#include <QLoggingCategory>
#include <algorithm>
#include <cerrno>

#include "link/portmap.h"

#ifdef Q_OS_UNIX
#include <poll.h>
#include <unistd.h>
#endif

namespace irig::link {

namespace {

Q_LOGGING_CATEGORY(lcPort, "irig.port")

int ErrorNumber(PortFailure::Kind kind) {
    switch (kind) {
        case PortFailure::kNone:
            return kPortOpened;
        case PortFailure::kNoSuchDevice:
            return kNoSuchDevice;
        case PortFailure::kPermissionDenied:
            return kPermissionDenied;
        case PortFailure::kInUse:
        case PortFailure::kUnreachable:
        case PortFailure::kClosedWhileSetUp:
        case PortFailure::kBadAddress:
        case PortFailure::kOther:
            return kPortOpenFailed;
    }
    return kPortOpenFailed;
}

// May this process read and write the device?
bool MayUse(const QString& device) {
#ifdef Q_OS_UNIX
    return ::access(QFile::encodeName(device).constData(), R_OK | W_OK) == 0;
#else
    Q_UNUSED(device);
    return true;
#endif
}

// A permission error is ours when we may not read and write the device; otherwise another
// program holds it (its lock file, or an exclusive open).
PortFailure Classify(QSerialPort::SerialPortError error, const QString& device,
                     const QString& words) {
    PortFailure failure;
    failure.device = device;
    switch (error) {
        case QSerialPort::DeviceNotFoundError:
            failure.kind = PortFailure::kNoSuchDevice;
            break;
        case QSerialPort::PermissionError:
            if (!MayUse(device)) {
                failure.kind = PortFailure::kPermissionDenied;
            } else {
                failure.kind = PortFailure::kInUse;
                failure.detail = LockHolder(device);
            }
            break;
        default:
            failure.kind = PortFailure::kOther;
            failure.detail = words;
            break;
    }
    return failure;
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
    return OpenDevice(name, ResolvePortName(name));
}

int SerialPortController::OpenDevice(const QString& name, const QString& device) {
    ClosePort();
    failure_ = {};
    device_ = device;
    if (device.isEmpty()) {
        failure_.kind = PortFailure::kNoSuchDevice;
        qCWarning(lcPort).noquote() << "cannot open" << name << "-" << FailureText(name, failure_);
        return kNoSuchDevice;
    }
    port_.setPortName(device);
    port_.setBaudRate(baud_);
    port_.setDataBits(QSerialPort::Data8);
    port_.setParity(QSerialPort::NoParity);
    port_.setStopBits(QSerialPort::OneStop);
    port_.setFlowControl(QSerialPort::NoFlowControl);
    if (!port_.open(QIODevice::ReadWrite)) {
        failure_ = Classify(port_.error(), device, port_.errorString());
        failure_.mapEntry = PortMapEntry(name);
        qCWarning(lcPort).noquote() << "cannot open" << name << "-" << FailureText(name, failure_);
        port_.clearError();
        return ErrorNumber(failure_.kind);
    }
    name_ = name;
    WatchHangUp();
    return kPortOpened;
}

void SerialPortController::ClosePort() {
    StopWatching();
    if (port_.isOpen()) {
        port_.close();
    }
}

void SerialPortController::WatchHangUp() {
#ifdef Q_OS_UNIX
    watched_ = ::dup(port_.handle());
    if (watched_ >= 0) {
        hangUp_ = new QSocketNotifier(watched_, QSocketNotifier::Read, this);
        connect(hangUp_, &QSocketNotifier::activated, this, &SerialPortController::OnReadable);
    }
#endif
}

void SerialPortController::OnReadable() {
#ifdef Q_OS_UNIX
    pollfd line{watched_, POLLIN, 0};
    if (::poll(&line, 1, 0) == 1 && (line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
        port_.isOpen()) {
        Lose(QStringLiteral("the line hung up or the device went away"));
    }
#endif
}

void SerialPortController::StopWatching() {
    if (hangUp_) {
        hangUp_->setEnabled(false);
        hangUp_->deleteLater();
    }
#ifdef Q_OS_UNIX
    if (watched_ >= 0) {
        ::close(watched_);
        watched_ = -1;
    }
#endif
}

bool SerialPortController::SendData(const QByteArray& data) {
    if (!port_.isOpen()) {
        return false;
    }
    qsizetype done = 0;
#ifdef Q_OS_UNIX
    // Straight to the device when nothing waits before these bytes: the usual frame goes out in
    // one call, without the port's write notifier waking the event loop twice more.
    if (port_.bytesToWrite() == 0) {
        const ssize_t written = ::write(port_.handle(), data.constData(), data.size());
        if (written < 0 && errno != EAGAIN && errno != EINTR) {
            // A tty whose line hung up or whose adapter went away answers EIO.
            Lose(errno == EIO || errno == ENXIO || errno == ENODEV
                     ? QStringLiteral("the line hung up or the device went away")
                     : QStringLiteral("the device refused what was sent"));
            return false;
        }
        done = std::max<ssize_t>(written, 0);
    }
#endif
    if (done < data.size()) {
        // What the device cannot take yet goes out asynchronously, in order.
        port_.write(data.constData() + done, data.size() - done);
        port_.flush();
    }
    return true;
}

QByteArray SerialPortController::ReadData() {
    return port_.isOpen() ? port_.readAll() : QByteArray();
}

void SerialPortController::OnError(QSerialPort::SerialPortError error) {
    // A vanished device (adapter pulled, pty's other side closed) shows up as a read, write or
    // resource error, and keeps showing up as long as the port stays open: close at the first.
    const bool lost = error == QSerialPort::ReadError || error == QSerialPort::WriteError ||
                      error == QSerialPort::ResourceError;
    if (lost && port_.isOpen()) {
        // The system's text for a failed read is often a stale errno; say what the kind means.
        Lose(error == QSerialPort::ResourceError ? QStringLiteral("the device went away")
             : error == QSerialPort::ReadError
                 ? QStringLiteral("the line hung up or the device went away")
                 : QStringLiteral("the device refused what was sent"));
    }
}

void SerialPortController::Lose(const QString& reason) {
    qCWarning(lcPort).noquote()
        << QStringLiteral("%1 (%2) failed: %3; port closed").arg(name_, port_.portName(), reason);
    StopWatching();
    port_.close();
    port_.clearError();
    emit PortLost(reason);
}

}  // namespace irig::link
