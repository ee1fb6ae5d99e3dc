// What irigctl monitor knows of each unit, and the Prometheus text exposition of it: every family
// with its HELP and TYPE, each unit's series labelled with its port as given. Rendering only: the
// polling is the units' monitors', the serving the server's.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

#include "status/clockcheck.h"
#include "status/hostclock.h"
#include "status/replies.h"

namespace irig::monitor {

struct UnitReading {
    QString port;     // as it was given: COM1, a device path or a terminal server's address
    bool up = false;  // the unit answered its last request
    // The last clock reply: its source and firmware version; shown only while the unit is up.
    std::optional<status::ClockReading> clock;
    // The last measurement of its clock; shown only while the unit is up.
    std::optional<status::ClockOffset> offset;
    std::optional<status::HostMicros> lastReply;
};

// The text format, version 0.0.4.
inline constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

QByteArray Exposition(const std::vector<UnitReading>& units,
                      const std::optional<status::KernelClock>& hostClock);

}  // namespace irig::monitor
