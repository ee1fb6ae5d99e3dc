#include "unit/pollclock.h"

#include <algorithm>

#include "link/framecodec.h"
#include "unit/timeouts.h"

namespace irig::unit {

namespace {

constexpr int kMinuteMs = 60'000;

}  // namespace

int PollPacing::QuietMs() {
    // The clock read's own time-out, here as in irigctl.
    return Timeouts{}.Reply(kClockReadBytes, kClockAnswerBytes);
}

void PollPacing::Begin() {
    Again();
    early_ = true;
}

void PollPacing::Again() {
    measurement_.Begin();
    measuring_ = true;
    early_ = false;
}

void PollPacing::PortOpened() {
    inFlight_ = 0;
    clean_ = true;
    holding_ = false;
    answered_ = false;
    Begin();
}

PollPacing::Tick PollPacing::OnTick(status::HostMicros now, qint64 nowMs, int withinMs) {
    if (holding_) {
        return {Tick::kHold};
    }
    if (measuring_ && measurement_.RemainingMs() == 0) {
        measuring_ = false;  // its time is up without a figure
    }
    if (!measuring_) {
        return {Tick::kSend};
    }
    // A unit that has never answered has nothing to measure and no late reply to wait out.
    if ((inFlight_ > 0 || !clean_) && answered_) {
        // The last request was not answered within the poll: no late reply may pass for the next.
        holding_ = true;
        giveUpMs_ = nowMs + 2 * qint64{withinMs};
        return {Tick::kHold};
    }
    Tick tick{Tick::kPlace, measurement_.PollDelay(now, qint64{withinMs} * 1000)};
    if (tick.delayMicros == 0) {
        tick.kind = Tick::kSend;
    }
    return tick;
}

PollPacing::Look PollPacing::OnLook(qint64 nowMs) {
    const qint64 quietAt = std::max(lastSentMs_, lastHeardMs_) + QuietMs();
    if (nowMs >= quietAt) {
        holding_ = false;
        inFlight_ = 0;
        clean_ = true;
        return {Look::kSend};
    }
    if (nowMs >= giveUpMs_) {
        holding_ = false;
        measuring_ = false;
        return {Look::kGiveUp};
    }
    return {Look::kWait, std::min(quietAt, giveUpMs_)};
}

void PollPacing::Sent(const status::Instant& at, std::optional<status::HostMicros> planned,
                      qint64 nowMs) {
    clean_ = inFlight_ == 0;
    inFlight_ = std::min(inFlight_ + 1, 1000);
    sent_ = at;
    planned_ = planned;
    lastSentMs_ = nowMs;
}

std::optional<status::ClockOffset> PollPacing::Heard(qint64 nowMs,
                                                     const status::ClockReading* clock,
                                                     status::HostMicros received,
                                                     qsizetype replyBytes) {
    lastHeardMs_ = nowMs;
    if (clock == nullptr) {
        return std::nullopt;
    }
    answered_ = true;
    const bool own = clean_ && inFlight_ == 1;
    inFlight_ = std::max(inFlight_ - 1, 0);
    if (!measuring_ || !own || !measurement_.Add(*clock, sent_, planned_, received, replyBytes)) {
        return std::nullopt;
    }
    if (!measurement_.Done()) {
        const std::optional<status::ClockOffset> first =
            early_ ? measurement_.Offset() : std::nullopt;
        early_ = early_ && !first;
        return first;
    }
    measuring_ = false;
    return measurement_.Offset();
}

PollClock::PollClock(exchange::UnitExchange& exchange, std::function<bool()> mayPoll,
                     QObject* parent)
    : QObject(parent), exchange_(exchange), mayPoll_(std::move(mayPoll)) {
    placed_.setSingleShot(true);
    placed_.setTimerType(Qt::PreciseTimer);
    connect(&placed_, &QTimer::timeout, this, [this] { SendLate(request_, placedAt_); });
    look_.setSingleShot(true);
    connect(&look_, &QTimer::timeout, this, &PollClock::Look);
    everyMinute_.setInterval(kMinuteMs);
    connect(&everyMinute_, &QTimer::timeout, this, [this] { pacing_.Again(); });
    connect(&exchange_, &exchange::UnitExchange::FrameReceived, this, &PollClock::Heard);
}

QString PollClock::UnmeasurableText() {
    return QStringLiteral("unit offset: replies take longer than the poll");
}

void PollClock::Begin() {
    pacing_.Begin();
    everyMinute_.start();
}

void PollClock::PortOpened() {
    placed_.stop();
    look_.stop();
    pacing_.PortOpened();
    everyMinute_.start();
}

void PollClock::Poll(const QByteArray& request, int withinMs) {
    if (pacing_.Holding()) {
        return;  // the held request goes once the line is quiet
    }
    placed_.stop();
    const PollPacing::Tick tick = pacing_.OnTick(status::HostNow(), status::SteadyMs(), withinMs);
    request_ = request;
    switch (tick.kind) {
        case PollPacing::Tick::kSend:
            Send(request, std::nullopt);
            return;
        case PollPacing::Tick::kPlace:
            placedAt_ = status::HostNow() + tick.delayMicros;
            placed_.start(static_cast<int>((tick.delayMicros + 500) / 1000));
            return;
        case PollPacing::Tick::kHold:
            Look();
            return;
    }
}

void PollClock::Send(const QByteArray& request, std::optional<status::HostMicros> planned) {
    pacing_.Sent(status::InstantNow(), planned, status::SteadyMs());
    exchange_.SendFrame(request);
}

void PollClock::SendLate(const QByteArray& request, std::optional<status::HostMicros> planned) {
    if (mayPoll_()) {
        Send(request, planned);
        emit Placed();
    }
}

void PollClock::Heard(int16_t code, const QByteArray& payload) {
    const std::optional<status::ClockReading> clock =
        code == link::code::kEndRead ? status::ReadClock(code, payload) : std::nullopt;
    if (!clock) {
        pacing_.Heard(status::SteadyMs(), nullptr, 0, 0);
        return;
    }
    const status::HostMicros received = status::HostNow();
    if (const std::optional<status::ClockOffset> offset =
            pacing_.Heard(status::SteadyMs(), &*clock, received,
                          link::Frame(link::code::kStartRead, payload).size())) {
        emit Measured(*offset);
    }
}

void PollClock::Look() {
    const PollPacing::Look look = pacing_.OnLook(status::SteadyMs());
    switch (look.kind) {
        case PollPacing::Look::kWait:
            look_.start(static_cast<int>(look.lookAtMs - status::SteadyMs()));
            return;
        case PollPacing::Look::kSend:
            SendLate(request_, std::nullopt);
            return;
        case PollPacing::Look::kGiveUp:
            emit Unmeasurable(UnmeasurableText());
            SendLate(request_, std::nullopt);
            return;
    }
}

}  // namespace irig::unit
