// How fast a unit's clock drifts against this computer's, from its successive measurements while
// its source stays the same: parts per million with their uncertainty, and the time left until the
// offset leaves its bound. A change of source, a step (the clock was set) or Reset() starts over.
// No I/O: the views measure and feed it.
#pragma once

#include <QString>
#include <optional>

#include "status/clockcheck.h"

namespace irig::diagnosis {

struct Drift {
    double ppm = 0;             // the unit's clock gains this many millionths (negative: loses)
    double uncertaintyPpm = 0;  // the true drift lies within ppm ± this
    qint64 spanSeconds = 0;     // between the first and the last measurement
    // Until the offset, drifting on as measured, leaves ±bound; 0 when it already has, nothing
    // when it does not drift towards it.
    std::optional<qint64> secondsToBound;
};

class DriftTracker {
public:
    explicit DriftTracker(qint64 boundMs = 2) : boundMs_(boundMs) {}

    // A measurement that ended at `at`, the unit then on `source` (a clock reply's code).
    void Add(status::HostMicros at, const status::ClockOffset& offset,
             std::optional<uint8_t> source);
    void Reset() { first_.reset(); }
    // Once the measurements span 5 minutes, or sooner when the drift is plain (larger than its
    // uncertainty: surely not zero).
    std::optional<Drift> Current() const;

    // A crystal drifting more than this has been set, not drifted.
    static constexpr double kMostPpm = 1000;
    static constexpr qint64 kSpanSeconds = 300;

private:
    struct Point {
        status::HostMicros at;
        status::ClockOffset offset;
    };
    qint64 boundMs_;
    std::optional<uint8_t> source_;
    std::optional<Point> first_;
    Point last_{};
};

// "+500 ppm (±40 ppm): leaves ±2 ms in 3 min 20 s", "−3 ppm (±1 ppm)".
QString DriftText(const Drift& drift, qint64 boundMs);

}  // namespace irig::diagnosis
