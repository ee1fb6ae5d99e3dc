#include "monitor/metrics.h"

#include <array>
#include <cstdint>

namespace irig::monitor {

namespace {

struct Source {
    uint8_t code;  // in a read reply
    const char* label;
};
constexpr std::array<Source, 4> kSources{{
    {0x02, "gps"},
    {0x04, "irig_b"},
    {0x0C, "irig_b_bad"},
    {0x01, "internal_crystal"},
}};

// A label value with backslash, double quote and line feed escaped.
QByteArray Quoted(const QString& value) {
    QByteArray out = "\"";
    for (const char c : value.toUtf8()) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + '"';
}

// Thousandths as a decimal number of whole units: 137 -> "0.137", -2500 -> "-2.500". No more
// digits than were measured.
QByteArray Thousandths(qint64 value) {
    const qint64 magnitude = value < 0 ? -value : value;
    return (value < 0 ? QByteArray("-") : QByteArray()) + QByteArray::number(magnitude / 1000) +
           '.' + QByteArray::number(magnitude % 1000).rightJustified(3, '0');
}

void Family(QByteArray& out, const char* name, const char* help) {
    out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n";
}

void Sample(QByteArray& out, const char* name, const QByteArray& labels, const QByteArray& value) {
    out += name;
    if (!labels.isEmpty()) {
        out += '{' + labels + '}';
    }
    out += ' ' + value + '\n';
}

QByteArray PortLabel(const UnitReading& unit) {
    return "port=" + Quoted(unit.port);
}

}  // namespace

QByteArray Exposition(const std::vector<UnitReading>& units,
                      const std::optional<status::KernelClock>& hostClock) {
    QByteArray out;
    out.reserve(400 + static_cast<qsizetype>(units.size()) * 700);

    Family(out, "irig_unit_up", "Whether the unit answered its last request (1) or not (0).");
    for (const UnitReading& unit : units) {
        Sample(out, "irig_unit_up", PortLabel(unit), unit.up ? "1" : "0");
    }

    Family(out, "irig_unit_reference_source",
           "The unit's time reference: 1 for the one it follows, 0 for the others; none while "
           "the unit does not answer.");
    for (const UnitReading& unit : units) {
        if (!unit.up || !unit.clock) {
            continue;
        }
        for (const Source& source : kSources) {
            Sample(out, "irig_unit_reference_source",
                   PortLabel(unit) + ",source=\"" + source.label + '"',
                   unit.clock->source == source.code ? "1" : "0");
        }
    }

    Family(out, "irig_unit_firmware_info",
           "The unit's firmware version; none while it does not answer.");
    for (const UnitReading& unit : units) {
        if (unit.up && unit.clock && unit.clock->version) {
            const int tenths = *unit.clock->version;
            Sample(out, "irig_unit_firmware_info",
                   PortLabel(unit) + ",version=\"" + QByteArray::number(tenths / 10) + '.' +
                       QByteArray::number(tenths % 10) + '"',
                   "1");
        }
    }

    Family(out, "irig_unit_clock_offset_seconds",
           "The unit's clock minus this computer's, as last measured from its replies; the true "
           "offset lies within the uncertainty either side.");
    for (const UnitReading& unit : units) {
        if (unit.up && unit.offset) {
            Sample(out, "irig_unit_clock_offset_seconds", PortLabel(unit),
                   Thousandths(unit.offset->offsetMs));
        }
    }
    Family(out, "irig_unit_clock_offset_uncertainty_seconds",
           "How far the true offset may lie from the measured one, either side.");
    for (const UnitReading& unit : units) {
        if (unit.up && unit.offset) {
            Sample(out, "irig_unit_clock_offset_uncertainty_seconds", PortLabel(unit),
                   Thousandths(unit.offset->uncertaintyMs));
        }
    }

    Family(out, "irig_unit_last_reply_timestamp_seconds",
           "When the unit last answered, in seconds since the epoch on this computer's clock.");
    for (const UnitReading& unit : units) {
        if (unit.lastReply) {
            Sample(out, "irig_unit_last_reply_timestamp_seconds", PortLabel(unit),
                   Thousandths(*unit.lastReply / 1000));
        }
    }

    if (hostClock) {
        Family(out, "irig_host_clock_synchronized",
               "Whether the kernel holds this computer's clock synchronised (1) or not (0).");
        Sample(out, "irig_host_clock_synchronized", {}, hostClock->unsynchronised ? "0" : "1");
        Family(out, "irig_host_clock_max_error_seconds",
               "The kernel's bound on this computer's clock error.");
        Sample(out, "irig_host_clock_max_error_seconds", {},
               Thousandths((hostClock->maxErrorUs + 999) / 1000));
    }
    return out;
}

}  // namespace irig::monitor
