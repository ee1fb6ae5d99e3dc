// The serial component the window talks through: line speed, open, close, send, read and a
// receive event, on a local line or a terminal server's port. It moves bytes only; what they mean
// is the frame codec's business.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include "link/portfailure.h"

namespace irig::link {

// What OpenPort returns: opened, opening (a terminal server's port: OpenFinished tells), or the
// error number of a failure. None of them is 5, the number the window keeps for "invalid call",
// which it ignores silently.
enum PortError : int {
    kPortOpened = 0,
    kPortOpening = 1,
    kNoSuchDevice = 68,
    kPermissionDenied = 70,
    kPortOpenFailed = 57,  // busy, or any other reason
};

class PortController : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // The speed applies to every port opened afterwards.
    virtual void SetBaudRate(qint32 baud) = 0;
    virtual qint32 BaudRate() const = 0;

    // Opens "COMn" or a device path (closing any port that is open) and returns kPortOpened, an
    // error number (LastFailure() then says why), or kPortOpening: then OpenFinished comes once,
    // unless ClosePort or another open comes first. Never blocks.
    virtual int OpenPort(const QString& name) = 0;
    // Opens `device` as the port called `name` (a lost port found again where its identity now
    // points), with OpenPort's result.
    virtual int OpenDevice(const QString& name, const QString& device) = 0;
    virtual PortFailure LastFailure() const = 0;
    // The device of the open port, or of the last one tried.
    virtual QString Device() const = 0;
    // Closes the open port; does nothing when none is open.
    virtual void ClosePort() = 0;
    // Queues every byte for writing and returns at once: true; false when no port is open (or it
    // closed as the bytes went out), and the bytes are dropped.
    virtual bool SendData(const QByteArray& data) = 0;
    // The bytes received since the previous call, in arrival order; may be empty.
    virtual QByteArray ReadData() = 0;
    // The open connection's round trip as measured, for waits that know the network; 0 for a
    // local line.
    virtual int RoundTripMs() const { return 0; }
    // What the component could not do on the open port, in a few words (a terminal server that
    // leaves the line as it is); empty when there is nothing to say.
    virtual QString Note() const { return {}; }
    // The address and port the open connection reached, as Endpoint::Text writes it
    // ("127.0.0.1:25006"), whatever the name it was given by; empty for a local line.
    virtual QString Reached() const { return {}; }

signals:
    // How an open that returned kPortOpening ended: kPortOpened or an error number.
    void OpenFinished(int result);
    // Raised on the owner's thread after bytes have arrived.
    void DataReceived();
    // Raised once when the component has closed the port itself because its device failed or went
    // away (an adapter pulled out, a hung-up line); `reason` says why, in a few words.
    void PortLost(const QString& reason);
};

}  // namespace irig::link
