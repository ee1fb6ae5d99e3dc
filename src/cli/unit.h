// One unit on one port, as irigctl talks to it: the serial component and the exchange, and
// requests that wait for their answer with a time-out. Every wait ends: with the answer, at its
// time-out, or when the port is lost.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>

#include "exchange/unitexchange.h"
#include "link/serialportcontroller.h"

namespace irig::cli {

// How long a frame takes on the line at 19200 baud, 10 bits a byte.
int WireMilliseconds(qsizetype bytes);

class Unit final : public QObject {
    Q_OBJECT

public:
    explicit Unit(QString port, QObject* parent = nullptr);

    const QString& Port() const { return port_; }
    // The port as messages name it: with the device it opened where that is another name,
    // "COM1 (/dev/ttyS0)".
    QString Named() const;
    // Opens the port at 19200 baud; on failure, says why in a technician's words.
    bool Open(QString* why);
    exchange::UnitExchange& Exchange() { return exchange_; }
    link::SerialPortController& Serial() { return serial_; }

    using Accept = std::function<bool(int16_t code, const QByteArray& payload)>;
    // Sends `frame`; `done` gets the payload of the first frame that `accept` takes, or nothing
    // when none came within `timeoutMs` or the port was lost. One wait at a time.
    void Ask(const QByteArray& frame, Accept accept, int timeoutMs,
             std::function<void(std::optional<QByteArray>)> done);
    // Sends `frame` (if any); `done` gets true when the unit sends the single code `code` within
    // `timeoutMs`.
    void AwaitCode(const QByteArray& frame, int16_t code, int timeoutMs,
                   std::function<void(bool)> done);
    // Ends the wait in progress, if any, as if it had timed out.
    void Cancel();

    // Why the last wait failed: "no answer within 1200 ms", or the lost port's reason.
    const QString& Failure() const { return failure_; }
    bool Lost() const { return lost_; }

signals:
    // The port closed itself (the device went away); every wait has ended.
    void PortLost(const QString& reason);

private:
    void Finish(std::optional<QByteArray> payload);

    QString port_;
    link::SerialPortController serial_;
    exchange::UnitExchange exchange_{serial_};
    QTimer timeout_;
    Accept accept_;
    int16_t code_ = 0;
    std::function<void(std::optional<QByteArray>)> done_;
    QString failure_;
    bool lost_ = false;
};

}  // namespace irig::cli
