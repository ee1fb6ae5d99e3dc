// One unit on one port, as irigctl talks to it: the exchange through a serial component, and
// requests that wait for their answer with a time-out. Every wait ends: with the answer, at its
// time-out, or when the port is lost.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>

#include "exchange/unitexchange.h"
#include "link/portcontroller.h"

namespace irig::cli {

class Unit final : public QObject {
    Q_OBJECT

public:
    // `serial` must outlive the unit; the unit sets its speed and opens the port through it.
    Unit(QString port, link::PortController& serial, QObject* parent = nullptr);

    const QString& Port() const { return port_; }
    // The port as messages name it: with the device it opened where that is another name,
    // "COM1 (/dev/ttyS0)".
    QString Named() const;
    // Opens the port at 19200 baud; on failure, says why in a technician's words.
    bool Open(QString* why);
    exchange::UnitExchange& Exchange() { return exchange_; }

    // The answer a request waits for: a frame with this end code whose payload starts with the
    // command number and has this length (any length when negative).
    struct Expect {
        int16_t code;
        uint8_t command;
        qsizetype length;
    };
    // Sends `frame`; `done` gets the payload of the first frame that is the expected answer, or
    // nothing when none came within `timeoutMs`, an answer did not fit (its length, or too long
    // to keep), or the port was lost. One wait at a time.
    void Ask(const QByteArray& frame, Expect expect, int timeoutMs,
             std::function<void(std::optional<QByteArray>)> done);
    // Sends `frame` (if any); `done` gets true when the unit sends the single code `code` within
    // `timeoutMs`.
    void AwaitCode(const QByteArray& frame, int16_t code, int timeoutMs,
                   std::function<void(bool)> done);
    // Ends the wait in progress, if any, as if it had timed out.
    void Cancel();
    // The lost port is open again.
    void Resume() { lost_ = false; }

    // A wait of `milliseconds` on this unit's line: on a network, with the connection's round
    // trip added.
    int Wait(int milliseconds) const { return milliseconds + serial_.RoundTripMs(); }
    // Why the last wait failed: "no answer within 1200 ms", "an answer that does not fit: 3
    // bytes where 10 were expected", or the lost port's reason.
    const QString& Failure() const { return failure_; }
    // The last wait ended at its time-out: the unit said nothing that was asked for.
    bool Silent() const { return silent_; }
    bool Lost() const { return lost_; }

signals:
    // The port closed itself (the device went away); every wait has ended.
    void PortLost(const QString& reason);

private:
    void Finish(std::optional<QByteArray> payload);
    void Answered(int16_t code, const QByteArray& payload);

    QString port_;
    link::PortController& serial_;
    exchange::UnitExchange exchange_{serial_};
    QTimer timeout_;
    std::optional<Expect> expect_;
    int16_t code_ = 0;
    std::function<void(std::optional<QByteArray>)> done_;
    QString failure_;
    bool silent_ = false;
    bool lost_ = false;
};

}  // namespace irig::cli
