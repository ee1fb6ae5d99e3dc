// The unit's clock against the host's, measured from clock replies alone. A reply says only which
// whole second the unit's clock showed when it read it, somewhere between the request's last byte
// arriving and the reply's first byte leaving; each one bounds the offset, and replies whose
// reading falls near the unit's second boundary bound it closely. This keeps the bounds and says
// when to send the next request so that its reading falls on the boundary as it is now known. No
// I/O: the views send and time the requests.
#pragma once

#include <QString>
#include <QtGlobal>
#include <limits>
#include <optional>

namespace irig::status {

// Microseconds since the epoch on the host's clock (its wall clock, which the unit is set from).
using HostMicros = qint64;
HostMicros HostNow();
// Milliseconds on a clock that is never set nor stepped, for waits and durations.
qint64 SteadyMs();
// The host's clock and, in microseconds, a clock that is never set nor stepped, read at one moment:
// the host's between two readings of the steady one, read again (a few times at most) while those
// lie further apart than the step the check looks for allows, as when the process was preempted
// between them. The steady time is their middle.
struct Instant {
    HostMicros host;
    qint64 steady;
};
Instant InstantNow();

class ClockCheck {
public:
    struct Sample {
        HostMicros sent;      // the request handed to the line
        HostMicros received;  // the reply's last byte taken from the line
        qint64 unitSecond;    // the second the unit read, since the epoch (its local time)
        qint64 sentSteady;    // the moment `sent` on the steady clock
        // The moment NextSend or Target gave for it, where the request was placed: timers wake
        // late, and the next one is placed earlier by as much.
        std::optional<HostMicros> planned = std::nullopt;
    };

    // A reply to a request of `requestBytes` bytes, `replyBytes` bytes long. On a line that runs
    // at 19200 baud, a reading cannot come before the request's last byte nor after the reply's
    // first; once a reply has come back sooner than that allows (a faster line), only sending and
    // receiving bound it and every later one, however late the host takes them. When the host's
    // clock has been stepped since the last reply (it moved against the steady clock by a
    // millisecond or more), or a reply contradicts the bounds so far (the unit's clock jumped), the
    // check starts over from this reply.
    void Add(const Sample& sample, qsizetype requestBytes, qsizetype replyBytes);

    // When to send the next request, no earlier than `notBefore`. Until the unit's second has
    // been seen to change, every 10 ms (polling fast, the boundary is caught between two
    // replies); then so that its reading falls on the unit's next second boundary as now known.
    HostMicros NextSend(HostMicros notBefore) const;
    // When to send a request, no earlier than `notBefore`, so that its reading falls on the unit's
    // next second boundary as it is known from the middle of the bounds; right away while the
    // bounds are a second or wider.
    HostMicros Target(HostMicros notBefore) const;

    // The offset (unit minus host) lies in [Low, High), in microseconds; unbounded before the
    // first reply.
    qint64 Low() const { return low_; }
    qint64 High() const { return high_; }
    // Whether a boundary has been caught between two replies.
    bool Bounded() const { return high_ - low_ <= kCaught; }
    qint64 WidthMicros() const { return high_ - low_; }
    int Samples() const { return samples_; }
    // The narrowest window a reading was placed in: no measurement is finer.
    qint64 NarrowestWindow() const { return narrowest_; }
    // Whether the bounds are narrow enough to say ±2 ms (3 ms wide), or, on a line
    // whose readings cannot be placed that finely, twice as narrow as its narrowest reading allows.
    bool Narrow() const {
        return WidthMicros() <= kEnough || (Bounded() && WidthMicros() <= 2 * narrowest_ + 1'000);
    }

    static constexpr qint64 kSecond = 1'000'000;
    static constexpr qint64 kPollEvery = 10'000;
    // A boundary between two replies polled fast stands within this.
    static constexpr qint64 kCaught = 50'000;
    static constexpr qint64 kEnough = 3'000;
    // A change of the host's clock against the steady clock between two replies that is a step,
    // not the slewing of a synchronised clock (at most 0.5 ms a second).
    static constexpr qint64 kStepped = 1'000;

private:
    qint64 low_ = std::numeric_limits<qint64>::min() / 2;
    qint64 high_ = std::numeric_limits<qint64>::max() / 2;
    qint64 narrowest_ = std::numeric_limits<qint64>::max();
    // From the last request's planned moment (or its sending) to the middle of its reading's
    // window.
    qint64 lead_ = 0;
    bool fastLine_ = false;  // a reply came back sooner than 19200 baud allows
    HostMicros lastSent_ = 0;
    qint64 hostAgainstSteady_ = 0;  // the last reply's
    int samples_ = 0;
};

// An offset as whole milliseconds, its uncertainty rounded outward so that the true offset stays
// within offsetMs ± uncertaintyMs.
struct ClockOffset {
    qint64 offsetMs = 0;
    qint64 uncertaintyMs = 0;
};
ClockOffset OffsetOf(const ClockCheck& check);

// How an offset is said: in words, as irigctl says it ("137 ms ahead (±5 ms)", "2500 ms behind
// (±3 ms)", "0 ms off (±1 ms)"), or signed, as the window's status line says it ("unit +137 ms
// ±5 ms", "unit −2500 ms ±3 ms", "unit 0 ms ±1 ms").
enum class OffsetStyle { kWords, kSigned };
QString OffsetText(const ClockOffset& offset, OffsetStyle style = OffsetStyle::kWords);

}  // namespace irig::status
