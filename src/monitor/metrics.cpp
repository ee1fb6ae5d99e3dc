#include "monitor/metrics.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <iterator>

#include "link/protocol.h"

namespace irig::monitor {

namespace {

struct Source {
    uint8_t code;  // in a read reply
    const char* label;
};
constexpr std::array<Source, 4> kSources{{
    {link::source::kGps, "gps"},
    {link::source::kIrigB, "irig_b"},
    {link::source::kIrigBBad, "irig_b_bad"},
    {link::source::kInternalCrystal, "internal_crystal"},
}};

// `name="value"`, the value with backslash, double quote and line feed escaped.
void Label(QByteArray& out, const QString& name, const QString& value) {
    if (!out.isEmpty()) {
        out += ',';
    }
    out += name.toUtf8();
    out += "=\"";
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
    out += '"';
}

// `port="COM1"`, and from an inventory `unit="sub-a-1"` and the unit's own labels.
QByteArray UnitLabels(const UnitReading& unit) {
    QByteArray out;
    Label(out, QStringLiteral("port"), unit.port);
    if (!unit.unit.isEmpty()) {
        Label(out, QStringLiteral("unit"), unit.unit);
    }
    for (auto label = unit.labels.cbegin(); label != unit.labels.cend(); ++label) {
        Label(out, label.key(), label.value());
    }
    return out;
}

// Whether each setting the inventory gives matches the unit, where the unit keeps it and it is
// known; the clock's limit is the offset families' to show.
std::vector<std::pair<const char*, bool>> Matches(const UnitReading& unit) {
    fleet::Observed observed = unit.offsets ? unit.offsets->AsObserved() : fleet::Observed();
    if (unit.clock && unit.clock->version) {
        observed.version = *unit.clock->version;
    }
    const std::vector<fleet::Drift> drifts = fleet::Compare(unit.intended, observed);
    std::vector<std::pair<const char*, bool>> matches;
    for (const fleet::Setting setting : fleet::Compared(unit.intended, observed)) {
        const bool drifted = std::any_of(drifts.begin(), drifts.end(), [&](const fleet::Drift& d) {
            return d.setting == setting;
        });
        matches.emplace_back(fleet::Row(setting).key, !drifted);
    }
    return matches;
}

void Append(QByteArray& out, qint64 value) {
    char digits[24];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
    out.append(digits, end - digits);
}

// Thousandths as a decimal number of whole units: 137 -> "0.137", -2500 -> "-2.500". No more
// digits than were measured.
void AppendThousandths(QByteArray& out, qint64 value) {
    const qint64 magnitude = value < 0 ? -value : value;
    if (value < 0) {
        out += '-';
    }
    Append(out, magnitude / 1000);
    const qint64 fraction = magnitude % 1000;
    out += '.';
    out += static_cast<char>('0' + fraction / 100);
    out += static_cast<char>('0' + fraction / 10 % 10);
    out += static_cast<char>('0' + fraction % 10);
}

void Family(QByteArray& out, const char* name, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += " gauge\n";
}

// `name{labels` and the space before the value; the caller closes the labels.
void Open(QByteArray& out, const char* name, const QByteArray& labels) {
    out += name;
    out += '{';
    out += labels;
}

}  // namespace

QByteArray Exposition(const std::vector<UnitReading>& units,
                      const std::optional<status::KernelClock>& hostClock) {
    QByteArray out;
    out.reserve(1200 + static_cast<qsizetype>(units.size()) * 640);
    std::vector<QByteArray> labels(units.size());
    std::transform(units.begin(), units.end(), labels.begin(),
                   [](const UnitReading& unit) { return UnitLabels(unit); });

    Family(out, "irig_unit_up", "Whether the unit answered its last request (1) or not (0).");
    for (size_t i = 0; i < units.size(); ++i) {
        Open(out, "irig_unit_up", labels[i]);
        out += units[i].up ? "} 1\n" : "} 0\n";
    }

    Family(out, "irig_unit_reference_source",
           "The unit's time reference: 1 for the one it follows, 0 for the others; none while "
           "the unit does not answer.");
    for (size_t i = 0; i < units.size(); ++i) {
        if (!units[i].up || !units[i].clock) {
            continue;
        }
        for (const Source& source : kSources) {
            Open(out, "irig_unit_reference_source", labels[i]);
            out += ",source=\"";
            out += source.label;
            out += units[i].clock->source == source.code ? "\"} 1\n" : "\"} 0\n";
        }
    }

    Family(out, "irig_unit_firmware_info",
           "The unit's firmware version; none while it does not answer.");
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i].up && units[i].clock && units[i].clock->version) {
            const int tenths = *units[i].clock->version;
            Open(out, "irig_unit_firmware_info", labels[i]);
            out += ",version=\"";
            Append(out, tenths / 10);
            out += '.';
            Append(out, tenths % 10);
            out += "\"} 1\n";
        }
    }

    // A series for each unit that answers and has been measured, from one field of its offset.
    const auto offsetFamily = [&](const char* name, const char* help,
                                  qint64 status::ClockOffset::*milliseconds) {
        Family(out, name, help);
        for (size_t i = 0; i < units.size(); ++i) {
            if (units[i].up && units[i].offset) {
                Open(out, name, labels[i]);
                out += "} ";
                AppendThousandths(out, *units[i].offset.*milliseconds);
                out += '\n';
            }
        }
    };
    offsetFamily("irig_unit_clock_offset_seconds",
                 "The unit's clock minus this computer's, as last measured from its replies; the "
                 "true offset lies within the uncertainty either side.",
                 &status::ClockOffset::offsetMs);
    offsetFamily("irig_unit_clock_offset_uncertainty_seconds",
                 "How far the true offset may lie from the measured one, either side.",
                 &status::ClockOffset::uncertaintyMs);

    Family(out, "irig_unit_setting_matches",
           "Whether the unit's setting matches its inventory (1) or not (0); none while unknown "
           "or the unit does not answer.");
    for (size_t i = 0; i < units.size(); ++i) {
        if (!units[i].up) {
            continue;
        }
        for (const auto& [setting, matches] : Matches(units[i])) {
            Open(out, "irig_unit_setting_matches", labels[i]);
            out += ",setting=\"";
            out += setting;
            out += matches ? "\"} 1\n" : "\"} 0\n";
        }
    }

    Family(out, "irig_unit_last_reply_timestamp_seconds",
           "When the unit last answered, in seconds since the epoch on this computer's clock.");
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i].lastReply) {
            Open(out, "irig_unit_last_reply_timestamp_seconds", labels[i]);
            out += "} ";
            AppendThousandths(out, *units[i].lastReply / 1000);
            out += '\n';
        }
    }

    if (hostClock) {
        Family(out, "irig_host_clock_synchronized",
               "Whether the kernel holds this computer's clock synchronised (1) or not (0).");
        out += hostClock->unsynchronised ? "irig_host_clock_synchronized 0\n"
                                         : "irig_host_clock_synchronized 1\n";
        Family(out, "irig_host_clock_max_error_seconds",
               "The kernel's bound on this computer's clock error.");
        out += "irig_host_clock_max_error_seconds ";
        AppendThousandths(out, (hostClock->maxErrorUs + 999) / 1000);
        out += '\n';
    }
    return out;
}

}  // namespace irig::monitor
