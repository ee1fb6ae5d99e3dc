// The settings a unit should have, declared once: each one's names (inventory, Ansible, JSON,
// command line, texts), range, parsing, showing, where a unit's value is read from and how it is
// compared; what is intended, what was observed, and the drifts between them. Values only: no
// unit is asked here.
#pragma once

#include <QJsonValue>
#include <QString>
#include <QStringView>
#include <array>
#include <optional>
#include <variant>
#include <vector>

namespace irig::fleet {

enum class Setting { kIrigOffset, kGpsOffset, kIeee1344, kFirmware, kMaxClockOffsetMs };

// A setting's value: whole hours, a flag (0 or 1), a version in tenths (23 for "2.3") or
// milliseconds.
using Value = qint64;

enum class Kind {
    kHours,    // a whole number of hours, kept by the unit
    kFlag,     // on or off, kept by the unit
    kVersion,  // the version the unit answers, N.N
    kLimitMs,  // how far the unit's clock may be from this computer's; a limit, kept by nobody
};

// Where a unit's value is read from.
enum class ReadBack {
    kOffsets,      // the offsets' read (Retrieve) and the set's echo
    kClockReply,   // a clock read's version byte
    kMeasurement,  // a measurement of the clock against this computer's
};

struct SettingRow {
    Setting setting;
    const char* key;        // the inventory's, the metrics' `setting` label: "gps_offset"
    const char* moduleKey;  // the Ansible module's option: "gps_offset", "firmware_version"
    const char* jsonKey;    // irigctl's JSON: "gpsOffset"
    const char* option;     // irigctl's option, without "--" ("gps"); empty for none
    const char* caption;    // in texts before a value: "GPS" ("GPS 0 -> -5")
    const char* phrase;     // what is wanted, in texts: "GPS offset %1"
    Kind kind;
    ReadBack readBack;
    Value low;
    Value high;
};

// In the order every text, JSON object and metric lists them.
inline constexpr std::array<SettingRow, 5> kSettings{{
    {Setting::kIrigOffset, "irig_offset", "irig_offset", "irigOffset", "irig", "IRIG-B",
     "IRIG-B offset %1", Kind::kHours, ReadBack::kOffsets, -23, 23},
    {Setting::kGpsOffset, "gps_offset", "gps_offset", "gpsOffset", "gps", "GPS", "GPS offset %1",
     Kind::kHours, ReadBack::kOffsets, -23, 23},
    {Setting::kIeee1344, "ieee1344", "ieee1344", "ieee1344", "ieee1344", "IEEE 1344",
     "IEEE 1344 %1", Kind::kFlag, ReadBack::kOffsets, 0, 1},
    {Setting::kFirmware, "firmware", "firmware_version", "firmware", "expect-version", "firmware",
     "firmware %1", Kind::kVersion, ReadBack::kClockReply, 0, 255},
    {Setting::kMaxClockOffsetMs, "max_clock_offset_ms", "max_clock_offset_ms", "maxClockOffsetMs",
     "", "clock", "clock within %1 ms", Kind::kLimitMs, ReadBack::kMeasurement, 0, 2147483647},
}};

// Row() finds a setting's row by its number.
constexpr bool InSettingOrder() {
    for (size_t i = 0; i < kSettings.size(); ++i) {
        if (kSettings[i].setting != static_cast<Setting>(i)) {
            return false;
        }
    }
    return true;
}
static_assert(InSettingOrder());

const SettingRow& Row(Setting setting);
// The setting an inventory key ("gps_offset") or an Ansible option ("firmware_version") names.
std::optional<Setting> ByKey(QStringView key);
std::optional<Setting> ByModuleKey(QStringView key);
// "irig_offset, gps_offset, ieee1344, firmware, max_clock_offset_ms".
QString Keys();

// "-5", "on"/"off", "2.3", "50".
QString Show(Setting setting, Value value);
// "GPS offset -5", "IEEE 1344 on", "firmware 2.3", "clock within 50 ms".
QString Phrase(Setting setting, Value value);
// As irigctl's JSON carries it: hours and milliseconds as numbers, the flag as a boolean, the
// version as a text ("2.3").
QJsonValue Json(Setting setting, Value value);

// Where a text comes from, for the words of its refusal.
enum class Spelling { kInventory, kCommandLine, kModule };
// A setting read from a text, or the words that refuse it. Numbers: whole, with + - or U+2212,
// surrounding blanks ignored; the flag: true/false, on/off, yes/no, 1/0, y/n, t/f in any case.
std::variant<Value, QString> Parse(Setting setting, QStringView text, Spelling spelling);
// A setting from an Ansible argument, typed (a number, a boolean) or a text.
std::variant<Value, QString> ParseJson(Setting setting, const QJsonValue& value);

// "2.3" as the unit reports it, in tenths; nothing for a text that is not N.N (N up to 25.5).
std::optional<int> VersionTenths(QStringView text);
// Tenths as "2.3", whatever the locale.
QString VersionName(int tenths);

// What an inventory, the Ansible module or a command line wants; an unset setting is left as the
// unit has it.
struct Intended {
    std::optional<int> irigOffset{};  // whole hours, -23..23
    std::optional<int> gpsOffset{};
    std::optional<bool> ieee1344{};
    std::optional<int> firmware{};  // the version the unit should answer, in tenths
    std::optional<int> maxClockOffsetMs{};

    std::optional<Value> Get(Setting setting) const;
    void Set(Setting setting, Value value);
    bool SetsOffsets() const { return irigOffset || gpsOffset || ieee1344; }
    // These settings with those `over` gives in their place.
    Intended Over(const Intended& over) const;
    bool operator==(const Intended&) const = default;
};

// A clock's measured offset from this computer's: the true offset lies within the uncertainty
// either side.
struct MeasuredOffset {
    qint64 offsetMs = 0;
    qint64 uncertaintyMs = 0;
    bool operator==(const MeasuredOffset&) const = default;
};

// What a unit was read to have; unset where it was not read.
struct Observed {
    std::optional<int> irigOffset{};
    std::optional<int> gpsOffset{};
    std::optional<bool> ieee1344{};
    std::optional<int> version{};  // in tenths
    std::optional<MeasuredOffset> clock{};

    // The clock's limit: the measured offset.
    std::optional<Value> Get(Setting setting) const;
};

// A setting the unit does not have as intended. The clock's: the limit, and the offset measured.
struct Drift {
    Setting setting;
    Value intended;
    Value observed;
    bool operator==(const Drift&) const = default;
};

// The settings intended whose value was observed, in the table's order.
std::vector<Setting> Compared(const Intended& intended, const Observed& observed);
// Those of them the unit does not have: a kept setting that differs, or a clock whose whole
// measured interval lies beyond the limit (|offset| - uncertainty > limit).
std::vector<Drift> Compare(const Intended& intended, const Observed& observed);

}  // namespace irig::fleet
