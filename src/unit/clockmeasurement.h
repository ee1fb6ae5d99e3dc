// One measurement of a unit's clock against this computer's, whoever sends the requests: the
// sampling, where each request is placed and when to stop, with the pacing as a parameter. Back to
// back (check-time, the monitor): each request as soon as the last reply allows, placed on the
// unit's second boundary as it is known. Within the poll (the window): each poll request at its
// tick or, by less than a tick, later where it serves. No I/O: the caller sends, times and feeds.
#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "status/clockcheck.h"
#include "status/replies.h"

namespace irig::unit {

enum class Pacing { kBackToBack, kWithinPoll };

class ClockMeasurement {
public:
    explicit ClockMeasurement(Pacing pacing);

    // Starts over, now.
    void Begin();
    // Back to back: when to send the next request, host µs, no earlier than `now` allows.
    status::HostMicros NextSend(status::HostMicros now) const;
    // Within the poll: how long after `now` the request due at this tick goes, µs: 0 for at once,
    // else less than `withinMicros`.
    qint64 PollDelay(status::HostMicros now, qint64 withinMicros) const;
    // A clock reply of `replyBytes` on the line to a request sent at `sent` (placed for `planned`,
    // if it was), taken whole at `received`. False for a reading that cannot be: an impossible
    // date.
    bool Add(const status::ClockReading& clock, const status::Instant& sent,
             std::optional<status::HostMicros> planned, status::HostMicros received,
             qsizetype replyBytes);
    // A measurement that only decides something (whether a clock lies within a limit) may stop as
    // soon as its offset, once a boundary is caught, decides it.
    void StopWhen(std::function<bool(const status::ClockOffset&)> decided) {
        decided_ = std::move(decided);
    }
    // The stop rule: as narrow as the line allows, enough replies, the time is up, or decided.
    bool Done() const;
    // Until the time is up, ms; a wait of the measurement's is never longer.
    qint64 RemainingMs() const;
    int Samples() const { return check_.Samples(); }
    // The offset found, once a reply came; within the poll only while the bounds are under a second
    // wide (a measurement that never caught a boundary says nothing).
    std::optional<status::ClockOffset> Offset() const;

private:
    struct Limits {
        int mostSamples;
        std::chrono::milliseconds longest;
    };
    // Back to back: a second polled fast, then halving; 20 s at most, as check-time documents.
    static constexpr Limits kBackToBack{150, std::chrono::seconds(20)};
    // Within the poll: a request a tick at most, so fewer, and longer.
    static constexpr Limits kWithinPoll{40, std::chrono::seconds(30)};
    // The least time between planning a request and sending it, µs.
    static constexpr qint64 kMarginMicros = 2'000;

    Pacing pacing_;
    Limits limits_;
    std::function<bool(const status::ClockOffset&)> decided_;
    status::ClockCheck check_;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace irig::unit
