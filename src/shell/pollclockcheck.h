// The unit's clock against the computer's, measured now and then from the window's own poll: once
// a minute and after each Set Time, each poll request may wait up to one poll period so that the
// unit reads its clock on its second boundary as known so far, until the bounds are as narrow as
// the line allows; the offset found is reported once. Between measurements the poll goes out at
// its tick, as always.
#pragma once

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>

#include "exchange/unitexchange.h"
#include "status/clockcheck.h"

namespace irig::shell {

class PollClockCheck final : public QObject {
    Q_OBJECT

public:
    // `mayPoll` says whether the poll may still send (its gate, read again before a placed send).
    PollClockCheck(exchange::UnitExchange& exchange, std::function<bool()> mayPoll,
                   QObject* parent = nullptr);

    // Starts a measurement now, and another every minute.
    void Begin();
    // The poll's request is due at a tick: sent now, or less than `withinMs` later at the moment
    // that serves the measurement (then Placed says when it went).
    void Poll(const QByteArray& request, int withinMs);

signals:
    void Measured(const irig::status::ClockOffset& offset);
    // A request went out later than its tick; the poll's next tick counts from now.
    void Placed();

private:
    void Send(const QByteArray& request, std::optional<status::HostMicros> planned);
    void Heard(int16_t code, const QByteArray& payload);

    exchange::UnitExchange& exchange_;
    std::function<bool()> mayPoll_;
    status::ClockCheck check_;
    bool measuring_ = false;
    std::chrono::steady_clock::time_point started_;
    status::HostMicros sent_ = 0;  // the poll request whose answer is awaited, or 0
    qint64 sentSteady_ = 0;
    std::optional<status::HostMicros> planned_;  // when the awaited request was placed to go
    QTimer placed_;                              // a request placed within its tick
    QByteArray placedRequest_;
    status::HostMicros placedAt_ = 0;
    QTimer everyMinute_;
};

// "unit +137 ms ±5 ms", "unit −2500 ms ±3 ms", "unit 0 ms ±1 ms".
QString UnitClockText(const status::ClockOffset& offset);

}  // namespace irig::shell
