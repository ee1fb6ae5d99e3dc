// One unit on one port, for the views without a window (irigctl, the monitor): the port opened
// and, when asked, kept open as itself; the unit asked for its clock, offsets and GPS message,
// set, re-booted and its clock measured, each with the time-out irigctl documents, one request at
// a time; each result a value or one typed Failure. After a time-out nothing heard is taken for an
// answer until the line has been quiet for that wait, so a late reply never answers the next
// request.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

#include "exchange/unitexchange.h"
#include "link/portcontroller.h"
#include "model/settings.h"
#include "status/clockcheck.h"
#include "status/replies.h"
#include "unit/failure.h"
#include "unit/portpresence.h"
#include "unit/timeouts.h"

namespace irig::unit {

class ChangeRecord;

// Makes the serial component of one port.
using PortMaker = std::function<std::unique_ptr<link::PortController>()>;

// Serial components on real serial ports and terminal servers, connecting within `timeouts`.
PortMaker RealPorts(const Timeouts& timeouts);

// The unit's offsets, in whole hours, and its IEEE 1344 flag.
struct Offsets {
    int irig = 0;
    int gps = 0;
    bool ieee1344 = false;

    bool operator==(const Offsets&) const = default;
    // "IRIG-B 7, GPS -23, IEEE 1344 on"
    QString Text() const;
    // As read from the unit, for comparing with what is intended.
    fleet::Observed AsObserved() const;
};
// The IEEE 1344 flag as the texts say it: "on" or "off".
QString OnOff(bool on);

// After a time-out, a request goes only once the line has been quiet for the wait that timed out:
// its answer, late, would otherwise pass for the next request's. Times on the steady clock, ms.
class QuietAfterTimeout {
public:
    void TimedOut(qint64 nowMs, int waitMs) {
        quietMs_ = waitMs;
        until_ = nowMs + waitMs;
    }
    // Bytes from the unit: while the line is not yet quiet, its quiet starts again.
    void Heard(qint64 nowMs) {
        if (until_ > nowMs) {
            until_ = nowMs + quietMs_;
        }
    }
    void Reset() { until_ = 0; }
    int QuietMs() const { return quietMs_; }
    // The first moment a request may go.
    qint64 SendableAt() const { return until_; }

private:
    qint64 until_ = 0;
    int quietMs_ = 0;
};

class Session final : public QObject {
    Q_OBJECT

public:
    // The answer a request waits for: a frame with this end code whose payload starts with the
    // command number and has this length (any length when negative).
    struct Expect {
        int16_t code;
        uint8_t command;
        qsizetype length;
    };
    struct Reply {
        QByteArray payload;
        status::Instant sent{};           // the request handed to the line
        status::HostMicros received = 0;  // the answer taken whole
    };
    struct ClockAnswer {
        Reply reply;
        status::ClockReading clock;
    };

    Session(QString port, std::unique_ptr<link::PortController> serial, Timeouts timeouts,
            QObject* parent = nullptr);
    ~Session() override;

    const QString& Port() const { return port_; }
    // The unit's name in an inventory, if it has one.
    void SetUnitName(QString name) { unitName_ = std::move(name); }
    const QString& UnitName() const { return unitName_; }
    // The unit as messages name it: "sub-a-1 (rfc2217://ts-a:4001)" with a name; else the port,
    // with the device it opened where that is another name, "COM1 (/dev/ttyS0)"; printable
    // (link::PrintableUtf8).
    QString Named() const;
    // The same as it is, for the change record, which makes its lines printable itself.
    QString RecordedAs() const;
    // Where the changes made to the unit are recorded; nowhere unless set.
    void SetChangeRecord(std::shared_ptr<const ChangeRecord> record) {
        record_ = std::move(record);
    }
    const ChangeRecord& Changes() const;
    // The record as the callbacks of a change keep it, which may outlive the session.
    std::shared_ptr<const ChangeRecord> ChangesShared() const;
    const Timeouts& Waits() const { return timeouts_; }
    exchange::UnitExchange& Exchange() { return exchange_; }
    // What the serial component could not do on the open port, if anything.
    QString Note() const { return serial_->Note(); }
    // Why the port did not open, after OpenFailed.
    link::PortFailure LastFailure() const { return serial_->LastFailure(); }
    // The address and port a terminal server's connection reached; empty for a local line.
    QString Reached() const { return serial_->Reached(); }

    // Opens the port at 19200 baud; Opened or OpenFailed follow, never from inside the call.
    void Open();
    // From the next open on, a lost port is awaited back as itself and reopened (Waiting,
    // Reopened), a terminal server's tried again after waits of at most `retryCapMs`.
    void KeepOpen(int retryCapMs = link::kRetryCapMs);
    // Awaits the port, which did not open, as a lost one.
    void Await();
    bool IsOpen() const { return open_; }
    // Closes the port once the request in flight, if any, has ended; requests asked meanwhile or
    // after end unsent, as interrupted, until the next Open. Closed follows, then `closed`, never
    // from inside the call; a lost port is not awaited.
    void CloseWhenIdle(std::function<void()> closed);

    // Sends `frame`; `done` gets the first frame that is the expected answer, or why none came
    // within `timeoutMs` (and the round trip). One request at a time.
    void Ask(const QByteArray& frame, Expect expect, int timeoutMs,
             std::function<void(Result<Reply>)> done);
    // Sends `frame` (if any); `done` gets nothing when the unit sends the single code `code`
    // within `timeoutMs`, else why not.
    void AwaitCode(const QByteArray& frame, int16_t code, int timeoutMs,
                   std::function<void(std::optional<Failure>)> done);
    // Ends the request in progress, if any, as interrupted.
    void Cancel();
    // Ctrl-C: ends the request in progress and every wait between requests (After) at once, and
    // every later request unsent, each as interrupted.
    void Interrupt();
    bool IsInterrupted() const { return interrupted_; }
    // Calls `then` after `milliseconds` on the steady clock, or at once on an interrupt.
    void After(int milliseconds, std::function<void()> then);

    // Waits `waitMs` for the answer, by default the clock read's own time-out.
    void AskClock(std::function<void(Result<ClockAnswer>)> done,
                  std::optional<int> waitMs = std::nullopt);
    void AskOffsets(std::function<void(Result<Offsets>)> done);
    void SetOffsets(const Offsets& offsets, std::function<void(Result<Offsets>)> done);
    void AskGpsMessage(std::function<void(Result<QString>)> done);
    // Sends a Set Time frame; its answer shows the unit's clock just before the second took effect.
    void SetClock(const QByteArray& frame, std::function<void(Result<ClockAnswer>)> done);
    void Reboot(std::function<void(std::optional<Failure>)> done);
    // Measures the unit's clock back to back; `each` gets every clock reply on the way. With
    // `decided`, it stops as soon as the offset so far decides what that asks.
    void MeasureClock(std::function<void(const ClockAnswer&)> each,
                      std::function<void(Result<status::ClockOffset>)> done,
                      std::function<bool(const status::ClockOffset&)> decided = {});

    // A wait of `milliseconds` on this unit's line: on a network, with its round trip added.
    int Wait(int milliseconds) const { return milliseconds + serial_->RoundTripMs(); }

signals:
    void Opened();
    void OpenFailed(const QString& why);
    // The port closed itself (its device went away); the request in progress has ended.
    void Lost(const QString& reason);
    void Waiting(const QString& waiting);
    void Reopened();
    void Interrupted();
    // CloseWhenIdle has closed the port.
    void Closed();

private:
    struct Pending {
        QByteArray frame;
        std::optional<Expect> expect;
        int16_t code = 0;  // a single code awaited instead
        int timeoutMs = 0;
        bool sent = false;
        qint64 settleBy = 0;  // a request not sent by then ends unsent
        status::Instant sentAt{};
        std::function<void(Result<Reply>)> done;
    };

    void Start(Pending pending);
    void Send();
    void Settle();
    void TimedOut();
    void Heard();
    void Answered(int16_t code, const QByteArray& payload);
    void Finish(Result<Reply> result);
    void CloseIfIdle();

    QString port_;
    QString unitName_;
    std::shared_ptr<const ChangeRecord> record_;
    std::unique_ptr<link::PortController> serial_;
    Timeouts timeouts_;
    exchange::UnitExchange exchange_{*serial_};
    PortPresence presence_{*serial_};
    QTimer timeout_;
    QTimer settle_;
    std::optional<Pending> pending_;
    QuietAfterTimeout quiet_;
    bool open_ = false;
    bool interrupted_ = false;
    bool shut_ = false;                // closed or closing by CloseWhenIdle
    std::function<void()> closeDone_;  // while it waits for the request in flight
};

}  // namespace irig::unit
