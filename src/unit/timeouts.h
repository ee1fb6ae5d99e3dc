// How long each wait on a unit lasts, as irigctl documents it: an answer 1 s and four times the
// wire time of the request and its answer, a re-boot 10 s, flash mode 5 s, the erase 30 s,
// connecting to a terminal server 5 s; --timeout replaces them all. A session adds the
// connection's round trip to each wait on a network.
#pragma once

#include <QtGlobal>
#include <optional>

#include "link/protocol.h"

namespace irig::unit {

struct Timeouts {
    std::optional<int> overrideMs;  // --timeout

    int Reply(qsizetype requestBytes, qsizetype replyBytes) const {
        return overrideMs.value_or(1000 + 4 * link::WireMilliseconds(requestBytes + replyBytes));
    }
    int Reboot() const { return overrideMs.value_or(10'000); }
    int FlashMode() const { return overrideMs.value_or(5'000); }
    int Erase() const { return overrideMs.value_or(30'000); }
    int Connect() const { return overrideMs.value_or(5'000); }
};

// A clock read's wait without --timeout: its 5 bytes and the 16 its answer may take on the wire.
inline constexpr qsizetype kClockReadBytes = 5;
inline constexpr qsizetype kClockAnswerBytes = 16;

}  // namespace irig::unit
