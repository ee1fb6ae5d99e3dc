// What this computer's clock is worth, as the kernel knows it (ntp_adjtime: the unsynchronised
// flag and the estimated error), and the words that say it. Nothing more precise is claimed than
// the kernel reports.
#pragma once

#include <QString>
#include <optional>

namespace irig::status {

// What ntp_adjtime reads, without changing anything.
struct KernelClock {
    bool unsynchronised = true;  // STA_UNSYNC, or an error state
    long estimatedErrorUs = 0;
    long maxErrorUs = 0;  // the kernel's bound on the clock's error
};

// The kernel's view of the clock; nothing where the platform has no such interface.
std::optional<KernelClock> ReadKernelClock();

enum class ClockTrust { kSynchronised, kNotSynchronised, kUnknown };

ClockTrust Trust(const std::optional<KernelClock>& clock);

// What the clock serves: a unit's clock set from it, or an offset measured against it.
enum class ClockUse { kSetting, kMeasuring };

// "host clock synchronised (±2 ms)", "host clock NOT synchronised: " and what that means for the
// use ("the unit will take the computer's time as it is"), "host clock state unknown".
QString HostClockText(const std::optional<KernelClock>& clock, ClockUse use);

}  // namespace irig::status
