#include "status/clockcheck.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "link/protocol.h"

namespace irig::status {

HostMicros HostNow() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

qint64 SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

Instant InstantNow() {
    const auto steady = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    constexpr qint64 kTogether = 50;  // µs: far below ClockCheck::kStepped
    Instant instant{};
    for (int attempt = 0; attempt < 5; ++attempt) {
        const qint64 before = steady();
        instant.host = HostNow();
        const qint64 after = steady();
        instant.steady = before + (after - before) / 2;
        if (after - before <= kTogether) {
            break;
        }
    }
    return instant;
}

void ClockCheck::Add(const Sample& sample, qsizetype requestBytes, qsizetype replyBytes) {
    const qint64 hostAgainstSteady = sample.sent - sample.sentSteady;
    if (samples_ > 0 && std::abs(hostAgainstSteady - hostAgainstSteady_) >= kStepped) {
        const bool fastLine = fastLine_;
        *this = ClockCheck();
        fastLine_ = fastLine;
    }
    hostAgainstSteady_ = hostAgainstSteady;
    qint64 earliest = sample.sent + link::WireTime(requestBytes).count();
    qint64 latest = sample.received - link::WireTime(replyBytes).count();
    fastLine_ = fastLine_ || earliest > latest;
    if (fastLine_) {
        earliest = sample.sent;
        latest = sample.received;
    }
    // unitSecond <= reading + offset < unitSecond + 1, for a reading in [earliest, latest].
    const qint64 second = sample.unitSecond * kSecond;
    const qint64 low = second - latest;
    const qint64 high = second + kSecond - earliest;
    if (low >= high_ || high <= low_) {
        // Bounds that contradict the earlier ones: the unit's clock jumped. What this reply says
        // holds now; what came before no longer does.
        low_ = low;
        high_ = high;
    } else {
        low_ = std::max(low_, low);
        high_ = std::min(high_, high);
    }
    lead_ = earliest + (latest - earliest) / 2 - sample.planned.value_or(sample.sent);
    narrowest_ = std::min(narrowest_, latest - earliest);
    lastSent_ = sample.sent;
    ++samples_;
}

HostMicros ClockCheck::NextSend(HostMicros notBefore) const {
    return Bounded() ? Target(notBefore) : std::max(notBefore, lastSent_ + kPollEvery);
}

HostMicros ClockCheck::Target(HostMicros notBefore) const {
    if (WidthMicros() >= kSecond) {
        return notBefore;
    }
    // The host time of a unit boundary, taking the offset at the middle of its bounds; the
    // reading's window centred on it as the last one was.
    const qint64 middle = low_ + (high_ - low_) / 2;
    qint64 boundary = ((notBefore + lead_ + middle) / kSecond + 1) * kSecond - middle;
    while (boundary - lead_ < notBefore) {
        boundary += kSecond;
    }
    return boundary - lead_;
}

ClockOffset OffsetOf(const ClockCheck& check) {
    // The middle, rounded to a millisecond; the uncertainty up to the farther bound, rounded up.
    const qint64 middle = check.Low() + check.WidthMicros() / 2;
    const qint64 offsetMs = middle >= 0 ? (middle + 500) / 1000 : -((-middle + 500) / 1000);
    const qint64 far = std::max(offsetMs * 1000 - check.Low(), check.High() - offsetMs * 1000);
    return {offsetMs, (far + 999) / 1000};
}

QString OffsetText(const ClockOffset& offset, OffsetStyle style) {
    if (style == OffsetStyle::kSigned) {
        const QString sign = offset.offsetMs > 0   ? QStringLiteral("+")
                             : offset.offsetMs < 0 ? QStringLiteral("\u2212")
                                                   : QString();
        return QStringLiteral("unit %1%2 ms ±%3 ms")
            .arg(sign)
            .arg(std::abs(offset.offsetMs))
            .arg(offset.uncertaintyMs);
    }
    const QString side = offset.offsetMs > 0   ? QStringLiteral("ahead")
                         : offset.offsetMs < 0 ? QStringLiteral("behind")
                                               : QStringLiteral("off");
    return QStringLiteral("%1 ms %2 (±%3 ms)")
        .arg(std::abs(offset.offsetMs))
        .arg(side)
        .arg(offset.uncertaintyMs);
}

}  // namespace irig::status
