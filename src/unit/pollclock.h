// The unit's clock measured from the window's own poll, once a minute and after each Set Time: each
// poll request may go up to one tick late, where it serves the measurement, until the bounds are as
// narrow as the line allows, and the offset is reported then; after a port opens or a Set Time,
// also as soon as a boundary is caught, so that a figure shows within seconds. A reply is used only
// when it can belong to nothing but its request: the one clock request in flight, sent when every
// earlier one had been answered. A request still unanswered at the next tick (a late or lost reply)
// holds the poll until the line has been quiet for a reply's time-out, two ticks at most; where
// replies keep coming later than that, it says it cannot measure. Between measurements the poll
// goes out at its tick. PollPacing decides (no I/O, its clocks given); PollClock keeps the timers
// and sends.
#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <optional>

#include "exchange/unitexchange.h"
#include "unit/clockmeasurement.h"

namespace irig::unit {

class PollPacing {
public:
    // What to do with the request due at a tick.
    struct Tick {
        enum Kind { kSend, kPlace, kHold } kind;
        qint64 delayMicros = 0;  // kPlace: this long after now
    };
    // While holding: wait (and look again at `lookAtMs`), send, or give up measuring and send.
    struct Look {
        enum Kind { kWait, kSend, kGiveUp } kind;
        qint64 lookAtMs = 0;
    };

    // A measurement that reports its first figure early, as soon as it has one.
    void Begin();
    // The next measurement of a series: only its final figure.
    void Again();
    void PortOpened();
    bool Measuring() const { return measuring_; }
    bool Holding() const { return holding_; }

    // The poll's request is due at `now` (host µs; `nowMs` on the steady clock).
    Tick OnTick(status::HostMicros now, qint64 nowMs, int withinMs);
    Look OnLook(qint64 nowMs);
    void Sent(const status::Instant& at, std::optional<status::HostMicros> planned, qint64 nowMs);
    // A frame from the unit at `nowMs`; `clock` for a clock reply, taken whole at `received` with
    // `replyBytes` on the line. The offset when this reply ends the measurement with one, or gives
    // a measurement that began early its first figure (then it is still Measuring).
    std::optional<status::ClockOffset> Heard(qint64 nowMs, const status::ClockReading* clock,
                                             status::HostMicros received, qsizetype replyBytes);

    // A clock reply later than this after the line fell quiet is not taken for an answer.
    static int QuietMs();

private:
    ClockMeasurement measurement_{Pacing::kWithinPoll};
    bool measuring_ = false;
    bool early_ = false;     // its first figure goes out before the final one
    int inFlight_ = 0;       // clock requests sent and not answered
    bool clean_ = true;      // the one in flight was sent with nothing else in flight
    bool answered_ = false;  // a clock reply came since the port opened
    status::Instant sent_{};
    std::optional<status::HostMicros> planned_;
    qint64 lastSentMs_ = 0;
    qint64 lastHeardMs_ = 0;
    bool holding_ = false;
    qint64 giveUpMs_ = 0;
};

class PollClock final : public QObject {
    Q_OBJECT

public:
    // `mayPoll` says whether the poll may still send (its gate, read again before a late send).
    PollClock(exchange::UnitExchange& exchange, std::function<bool()> mayPoll,
              QObject* parent = nullptr);

    // Starts a measurement now, and another every minute.
    void Begin();
    // A port just opened has nothing in flight; a measurement starts.
    void PortOpened();
    // The poll's request is due at a tick: sent now, or less than `withinMs` later (then Placed
    // says when it went), or held until the line is quiet.
    void Poll(const QByteArray& request, int withinMs);

    static QString UnmeasurableText();

signals:
    void Measured(const irig::status::ClockOffset& offset);
    // The measurement ended without a figure, and why.
    void Unmeasurable(const QString& why);
    // A request went out later than its tick; the poll's next tick counts from now.
    void Placed();

private:
    void Send(const QByteArray& request, std::optional<status::HostMicros> planned);
    void SendLate(const QByteArray& request, std::optional<status::HostMicros> planned);
    void Heard(int16_t code, const QByteArray& payload);
    void Look();

    exchange::UnitExchange& exchange_;
    std::function<bool()> mayPoll_;
    PollPacing pacing_;
    QTimer placed_;  // a request placed within its tick, or held
    QByteArray request_;
    std::optional<status::HostMicros> placedAt_;
    QTimer look_;
    QTimer everyMinute_;
};

}  // namespace irig::unit
