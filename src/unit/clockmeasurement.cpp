#include "unit/clockmeasurement.h"

#include <QDateTime>
#include <algorithm>

#include "status/requests.h"

namespace irig::unit {

ClockMeasurement::ClockMeasurement(Pacing pacing)
    : pacing_(pacing), limits_(pacing == Pacing::kBackToBack ? kBackToBack : kWithinPoll) {
    Begin();
}

void ClockMeasurement::Begin() {
    check_ = {};
    started_ = std::chrono::steady_clock::now();
}

status::HostMicros ClockMeasurement::NextSend(status::HostMicros now) const {
    return check_.NextSend(now + kMarginMicros);
}

qint64 ClockMeasurement::PollDelay(status::HostMicros now, qint64 withinMicros) const {
    const qint64 wait = check_.Target(now) - now;
    return wait < kMarginMicros || wait >= withinMicros ? 0 : wait;
}

bool ClockMeasurement::Add(const status::ClockReading& clock, const status::Instant& sent,
                           std::optional<status::HostMicros> planned, status::HostMicros received,
                           qsizetype replyBytes) {
    const QDateTime read = clock.DateTime();
    if (!read.isValid()) {
        return false;
    }
    check_.Add({sent.host, received, read.toSecsSinceEpoch(), sent.steady, planned},
               status::StatusRequest().size(), replyBytes);
    return true;
}

bool ClockMeasurement::Done() const {
    return check_.Narrow() || check_.Samples() >= limits_.mostSamples || RemainingMs() == 0 ||
           (decided_ && check_.Bounded() && decided_(status::OffsetOf(check_)));
}

qint64 ClockMeasurement::RemainingMs() const {
    const auto left = limits_.longest - std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - started_);
    return std::max<qint64>(0, left.count());
}

std::optional<status::ClockOffset> ClockMeasurement::Offset() const {
    if (check_.Samples() == 0 ||
        (pacing_ == Pacing::kWithinPoll && check_.WidthMicros() >= status::ClockCheck::kSecond)) {
        return std::nullopt;
    }
    return status::OffsetOf(check_);
}

}  // namespace irig::unit
