#include "monitor/metrics.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>

#include "link/protocol.h"
#include "model/families.h"

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

// The family's HELP and TYPE.
void Header(QByteArray& out, Family family) {
    const FamilyRow& row = Row(family);
    out += "# HELP ";
    out += row.name;
    out += ' ';
    out += row.help;
    out += "\n# TYPE ";
    out += row.name;
    out += ' ';
    out += row.type;
    out += '\n';
}

// `name{labels` and, for a family with a label of its own, `,own="value"`; the caller closes
// the labels.
void Open(QByteArray& out, Family family, const QByteArray& labels, QByteArrayView own = {}) {
    const FamilyRow& row = Row(family);
    out += row.name;
    out += '{';
    out += labels;
    if (*row.ownLabel != '\0') {
        out += ',';
        out += row.ownLabel;
        out += "=\"";
        out += own;
        out += '"';
    }
}

// A series for each unit that answers and has been measured, from one field of its offset.
void OffsetFamily(QByteArray& out, Family family, const std::vector<UnitReading>& units,
                  const std::vector<QByteArray>& labels,
                  qint64 status::ClockOffset::*milliseconds) {
    Header(out, family);
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i].up && units[i].offset) {
            Open(out, family, labels[i]);
            out += "} ";
            AppendThousandths(out, *units[i].offset.*milliseconds);
            out += '\n';
        }
    }
}

void HostClock(QByteArray& out, const status::KernelClock& clock) {
    Header(out, Family::kHostClockSynchronized);
    out += Row(Family::kHostClockSynchronized).name;
    out += clock.unsynchronised ? " 0\n" : " 1\n";
    Header(out, Family::kHostClockMaxError);
    out += Row(Family::kHostClockMaxError).name;
    out += ' ';
    AppendThousandths(out, (clock.maxErrorUs + 999) / 1000);
    out += '\n';
}

// Each kind for a unit whose offset is diagnosed, 1 for its own; the command its advice gives.
void DiagnosisFamilies(QByteArray& out, const std::vector<UnitReading>& units,
                       const std::vector<QByteArray>& labels) {
    Header(out, Family::kClockDiagnosis);
    for (size_t i = 0; i < units.size(); ++i) {
        if (!units[i].up || !units[i].offset || !units[i].diagnosis) {
            continue;
        }
        for (const diagnosis::KindRow& row : diagnosis::kKinds) {
            Open(out, Family::kClockDiagnosis, labels[i], row.key);
            out += units[i].diagnosis->kind == row.kind ? "} 1\n" : "} 0\n";
        }
    }
    Header(out, Family::kClockAdvice);
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i].up && units[i].offset && units[i].diagnosis &&
            !units[i].diagnosis->command.isEmpty()) {
            QByteArray command;
            Label(command, QStringLiteral("command"), units[i].diagnosis->command);
            out += Row(Family::kClockAdvice).name;
            out += '{';
            out += labels[i];
            out += ',';
            out += command;
            out += "} 1\n";
        }
    }
}

// A drift's field, to the thousandth of a ppm, for each unit that answers and has one.
void DriftFamily(QByteArray& out, Family family, const std::vector<UnitReading>& units,
                 const std::vector<QByteArray>& labels, double diagnosis::Drift::*ppm) {
    Header(out, family);
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i].up && units[i].drift) {
            Open(out, family, labels[i]);
            out += "} ";
            AppendThousandths(out, std::llround(*units[i].drift.*ppm * 1000));
            out += '\n';
        }
    }
}

// Whether the last reload of the configuration succeeded, and when one last did.
void ReloadFamilies(QByteArray& out, const ConfigReload& reload) {
    Header(out, Family::kReloadSuccessful);
    out += Row(Family::kReloadSuccessful).name;
    out += reload.successful ? " 1\n" : " 0\n";
    Header(out, Family::kReloadSuccessTimestamp);
    out += Row(Family::kReloadSuccessTimestamp).name;
    out += ' ';
    AppendThousandths(out, reload.lastSuccess / 1000);
    out += '\n';
}

// The edge's counters: a series for each status and each reason seen.
void EdgeCounters(QByteArray& out, const web::Counts& edge) {
    const auto series = [&out](Family family, QByteArrayView own, quint64 count) {
        const FamilyRow& row = Row(family);
        out += row.name;
        out += '{';
        out += row.ownLabel;
        out += "=\"";
        out += own;
        out += "\"} ";
        out += QByteArray::number(count);
        out += '\n';
    };
    Header(out, Family::kHttpResponses);
    for (const auto& [code, count] : edge.responses) {
        series(Family::kHttpResponses, QByteArray::number(code), count);
    }
    Header(out, Family::kHttpConnectionsClosed);
    for (const auto& [reason, count] : edge.closed) {
        series(Family::kHttpConnectionsClosed, web::kClosedNames[static_cast<int>(reason)], count);
    }
}

}  // namespace

QByteArray Exposition(const std::vector<UnitReading>& units,
                      const std::optional<status::KernelClock>& hostClock,
                      const std::optional<ConfigReload>& reload,
                      std::optional<qint64> leapListExpires, const web::Counts* edge) {
    QByteArray out;
    out.reserve(1200 + static_cast<qsizetype>(units.size()) * 640);
    std::vector<QByteArray> labels(units.size());
    std::transform(units.begin(), units.end(), labels.begin(),
                   [](const UnitReading& unit) { return UnitLabels(unit); });

    Header(out, Family::kUp);
    for (size_t i = 0; i < units.size(); ++i) {
        if (!units[i].leased) {
            Open(out, Family::kUp, labels[i]);
            out += units[i].up ? "} 1\n" : "} 0\n";
        }
    }

    Header(out, Family::kLeased);
    for (size_t i = 0; i < units.size(); ++i) {
        Open(out, Family::kLeased, labels[i]);
        out += units[i].leased ? "} 1\n" : "} 0\n";
    }

    Header(out, Family::kReferenceSource);
    for (size_t i = 0; i < units.size(); ++i) {
        if (!units[i].up || !units[i].clock) {
            continue;
        }
        for (const Source& source : kSources) {
            Open(out, Family::kReferenceSource, labels[i], source.label);
            out += units[i].clock->source == source.code ? "} 1\n" : "} 0\n";
        }
    }

    Header(out, Family::kFirmwareInfo);
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i].up && units[i].clock && units[i].clock->version) {
            QByteArray version;
            Append(version, *units[i].clock->version / 10);
            version += '.';
            Append(version, *units[i].clock->version % 10);
            Open(out, Family::kFirmwareInfo, labels[i], version);
            out += "} 1\n";
        }
    }

    OffsetFamily(out, Family::kClockOffset, units, labels, &status::ClockOffset::offsetMs);
    OffsetFamily(out, Family::kClockOffsetUncertainty, units, labels,
                 &status::ClockOffset::uncertaintyMs);

    Header(out, Family::kSettingMatches);
    for (size_t i = 0; i < units.size(); ++i) {
        if (!units[i].up) {
            continue;
        }
        for (const auto& [setting, matches] : Matches(units[i])) {
            Open(out, Family::kSettingMatches, labels[i], setting);
            out += matches ? "} 1\n" : "} 0\n";
        }
    }

    Header(out, Family::kLastReply);
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i].lastReply) {
            Open(out, Family::kLastReply, labels[i]);
            out += "} ";
            AppendThousandths(out, *units[i].lastReply / 1000);
            out += '\n';
        }
    }

    if (hostClock) {
        HostClock(out, *hostClock);
    }

    DiagnosisFamilies(out, units, labels);
    DriftFamily(out, Family::kClockDrift, units, labels, &diagnosis::Drift::ppm);
    DriftFamily(out, Family::kClockDriftUncertainty, units, labels,
                &diagnosis::Drift::uncertaintyPpm);
    if (leapListExpires) {
        Header(out, Family::kLeapSecondsExpiry);
        out += Row(Family::kLeapSecondsExpiry).name;
        out += ' ';
        Append(out, *leapListExpires);
        out += '\n';
    }

    if (reload) {
        ReloadFamilies(out, *reload);
    }
    if (edge != nullptr) {
        EdgeCounters(out, *edge);
    }
    return out;
}

}  // namespace irig::monitor
