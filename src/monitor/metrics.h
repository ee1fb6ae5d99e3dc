// What irigctl monitor knows of each unit, and the Prometheus text exposition of it: every family
// with its HELP and TYPE, each unit's series labelled with its port as given (and, from an
// inventory, its name and labels). Rendering only: the polling is the units' monitors', the
// serving the server's.
#pragma once

#include "web/edge.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

#include "diagnosis/diagnosis.h"
#include "fleet/inventory.h"
#include "status/clockcheck.h"
#include "status/hostclock.h"
#include "status/replies.h"
#include "unit/session.h"

namespace irig::monitor {

struct UnitReading {
    QString port;     // as it was given: COM1, a device path or a terminal server's address
    bool up = false;  // the unit answered its last request
    // The last clock reply: its source and firmware version; shown only while the unit is up.
    std::optional<status::ClockReading> clock;
    // The last measurement of its clock; shown only while the unit is up.
    std::optional<status::ClockOffset> offset;
    std::optional<status::HostMicros> lastReply;
    // From an inventory: the unit's name and labels, what it should have, and its offsets and flag
    // as last read (for whether they match).
    QString unit;
    QMap<QString, QString> labels;
    fleet::Intended intended;
    std::optional<unit::Offsets> offsets;
    // Lent to another tool: its port closed, and nothing of it shown but that and its last reply.
    bool leased = false;
    // What its offset means, while one is known, and its drift, once plain.
    std::optional<diagnosis::Diagnosis> diagnosis = std::nullopt;
    std::optional<diagnosis::Drift> drift = std::nullopt;
    // When its clock was last measured, a measurement that gave an offset.
    std::optional<status::HostMicros> measured = std::nullopt;
};

// The last reload of the configuration, as Prometheus publishes its own: whether it succeeded (a
// faulty file leaves the configuration as it was), and when the configuration was last read
// whole (the start counts).
struct ConfigReload {
    bool successful = true;
    status::HostMicros lastSuccess = 0;
};

// The text format, version 0.0.4.
inline constexpr char kContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// `leapListExpires`: when this computer's leap-second list expires (seconds since the epoch).
QByteArray Exposition(const std::vector<UnitReading>& units,
                      const std::optional<status::KernelClock>& hostClock,
                      const std::optional<ConfigReload>& reload = std::nullopt,
                      std::optional<qint64> leapListExpires = std::nullopt,
                      const web::Counts* edge = nullptr);

}  // namespace irig::monitor
