// A record of every change made to a unit, one line each at LOG_NOTICE in the system log (which
// the journal keeps), with the unit, who made the change, the setting before and after where
// known, and the outcome: offsets or flag set, clock set, flash started, done, failed or left.
// Every byte outside printable ASCII is written \xNN (a backslash \\), so that nothing a name, a
// file or a unit holds can cut a line or forge one. Reads are not recorded. The words are made
// here; where they go is a sink's.
#pragma once

#include <QString>
#include <functional>
#include <optional>

#include "unit/session.h"

namespace irig::unit {

class ChangeRecord {
public:
    using Sink = std::function<void(const QString& line)>;

    // The system log under `identifier` ("irigctl", "irig-config"); without one, journald, else
    // standard error, said once (SystemLogSink).
    static Sink SystemLog(const char* identifier);
    // The login name of who runs this; "uid N" when there is none.
    static QString User();

    explicit ChangeRecord(Sink sink = {}) : sink_(std::move(sink)) {}

    // "sub-a-2 (/dev/ttyUSB0): offsets set by ops: GPS 0 -> -5 (IRIG-B 0, IEEE 1344 off
    // unchanged), read back"; `before` unknown: every setting as set.
    void OffsetsSet(const QString& unit, const std::optional<Offsets>& before, const Offsets& after,
                    const QString& outcome) const;
    // "sub-a-1 (COM1): clock set by ops: 5003 ms ahead (±2 ms) -> 1 ms ahead (±3 ms), within
    // 100 ms": the clock as measured before (empty: unknown) and what followed the setting.
    void ClockSet(const QString& unit, const QString& before, const QString& after) const;
    enum class Flash { kStarted, kDone, kFailed, kLeft };
    // "COM1 (/dev/ttyS0): flash done by ops: firmware.hex, answers version 2.4".
    void FlashEvent(const QString& unit, Flash event, const QString& detail) const;
    // "sub-a-1 (COM1): lent to ops (irigctl apply (pid 42)) for 600 s": a unit that irigctl
    // monitor lends, its lease taken, returned, expired or ended as `what` says, who included.
    void LeaseEvent(const QString& unit, const QString& what) const;

private:
    void Say(const QString& unit, const QString& what, const QString& rest) const;

    Sink sink_;
};

// A change under way, from the moment its request goes out: its record is written once, with its
// outcome, by `write`. One dropped without an outcome (the program interrupted, or stopped at once,
// while the unit was being set) is recorded as "unknown: interrupted while the unit was being set".
// Shared by the callbacks of the change's requests.
class PendingChange {
public:
    explicit PendingChange(std::function<void(const QString& outcome)> write)
        : write_(std::move(write)) {}
    ~PendingChange();
    PendingChange(const PendingChange&) = delete;
    PendingChange& operator=(const PendingChange&) = delete;

    void Done(const QString& outcome);
    // The request never went out: nothing changed, nothing is recorded.
    void Unsent() { write_ = {}; }

private:
    std::function<void(const QString&)> write_;
};

}  // namespace irig::unit
