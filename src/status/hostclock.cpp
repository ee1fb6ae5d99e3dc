#include "status/hostclock.h"

#include <algorithm>

#ifdef Q_OS_LINUX
#include <sys/timex.h>
#endif

namespace irig::status {

std::optional<KernelClock> ReadKernelClock() {
#ifdef Q_OS_LINUX
    timex reading{};  // modes 0: read only, allowed to everyone
    const int state = ntp_adjtime(&reading);
    if (state < 0) {
        return std::nullopt;
    }
    return KernelClock{state == TIME_ERROR || (reading.status & STA_UNSYNC) != 0,
                       static_cast<long>(reading.esterror), static_cast<long>(reading.maxerror)};
#else
    return std::nullopt;
#endif
}

ClockTrust Trust(const std::optional<KernelClock>& clock) {
    if (!clock) {
        return ClockTrust::kUnknown;
    }
    return clock->unsynchronised ? ClockTrust::kNotSynchronised : ClockTrust::kSynchronised;
}

QString HostClockText(const std::optional<KernelClock>& clock, ClockUse use) {
    switch (Trust(clock)) {
        case ClockTrust::kSynchronised: {
            // Whole milliseconds, rounded up: never more precise than the estimate.
            const long ms = std::max(1L, (clock->estimatedErrorUs + 999) / 1000);
            return QStringLiteral("host clock synchronised (±%1 ms)").arg(ms);
        }
        case ClockTrust::kNotSynchronised:
            return use == ClockUse::kSetting
                       ? QStringLiteral(
                             "host clock NOT synchronised: the unit will take the computer's time "
                             "as it is")
                       : QStringLiteral(
                             "host clock NOT synchronised: the offset is measured against a clock "
                             "that may itself be off");
        case ClockTrust::kUnknown:
            return QStringLiteral("host clock state unknown");
    }
    return {};
}

}  // namespace irig::status
