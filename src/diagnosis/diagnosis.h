// What is wrong with a unit's time, named as a time engineer would: from a measured offset, its
// uncertainty, this computer's clock and zone, the unit's source and offsets and the leap-second
// list, a typed diagnosis with its figures, its words and its advice. Each kind and its limits
// are declared once, in kKinds. No I/O: the views read the inputs and show what comes back.
#pragma once

#include <QString>
#include <QStringList>
#include <array>
#include <optional>

#include "diagnosis/drift.h"
#include "diagnosis/leapseconds.h"
#include "status/clockcheck.h"
#include "status/hostclock.h"
#include "status/replies.h"

namespace irig::diagnosis {

enum class Kind { kNone, kWeekRollover, kGpsTime, kHourOffset, kDefaultDate, kOff };

// When a kind is certain, given the host clock's maximum error and the measurement's uncertainty
// together (the error): below the row's limit; once the offset lies beyond the error; or while the
// host clock is synchronised.
enum class Certainty { kErrorBelow, kOffsetBeyondError, kHostSynchronised };

struct KindRow {
    Kind kind;
    const char* key;  // as --json and the metric's label say it
    // How far from its exact figure the unit's own error may put an offset of this kind, ms.
    qint64 giveMs;
    Certainty certainty;
    qint64 certainBelowMs;
    bool needsLeapList;       // its figure comes from the leap-second list
    const char* advice;       // on an internal source, or whatever the source; empty: computed
    const char* onReference;  // following GPS or IRIG-B, where it differs
};

inline constexpr qint64 kQuarterHourMs = qint64{15} * 60 * 1000;
inline constexpr qint64 kDayMs = qint64{24} * 3600 * 1000;
inline constexpr qint64 kRolloverMs = 1024LL * 7 * kDayMs;
inline constexpr int kMostRollovers = 3;

inline constexpr std::array<KindRow, 6> kKinds{{
    {Kind::kNone, "none", 0, Certainty::kHostSynchronised, 0, false, "", ""},
    {Kind::kWeekRollover, "week_rollover", 1000, Certainty::kErrorBelow, kQuarterHourMs, false,
     "update the GPS receiver's firmware or replace the receiver; Set Time does not hold while it "
     "gives the wrong week",
     ""},
    {Kind::kGpsTime, "gps_time", 500, Certainty::kErrorBelow, 500, true,
     "set the receiver to give UTC (its UTC or leap-second setting); Set Time does not hold while "
     "the unit follows it",
     ""},
    {Kind::kHourOffset, "hour_offset", 500, Certainty::kErrorBelow, kQuarterHourMs / 2, false, "",
     ""},
    {Kind::kDefaultDate, "default_date", 0, Certainty::kErrorBelow, kDayMs / 2, false,
     "irigctl set-time, then watch that it keeps the time: its backup battery may be flat", ""},
    {Kind::kOff, "off", 0, Certainty::kOffsetBeyondError, 0, false, "irigctl set-time sets it",
     "check the unit's reference (GPS antenna or IRIG-B input); Set Time does not hold while it "
     "follows one"},
}};

const KindRow& RowOf(Kind kind);

// This computer's zone: local time minus UTC now, and when that last changed, if within 30 days.
struct HostZone {
    int offsetSeconds = 0;
    std::optional<qint64> lastChange;  // seconds since the epoch
};
HostZone HostZoneAt(qint64 now);

struct Inputs {
    status::ClockOffset offset;
    std::optional<status::KernelClock> hostClock;
    std::optional<uint8_t> source;  // a clock reply's code
    std::optional<status::OffsetsReading> offsets;
    LeapListRead leaps;
    HostZone zone;
    qint64 now = 0;  // seconds since the epoch
    QString port;    // for the commands the advice gives
    std::optional<Drift> drift;
    qint64 boundMs = 2;  // the drift's bound
};

struct Diagnosis {
    Kind kind = Kind::kNone;
    bool certain = true;
    QString text;     // "the date is 1024 weeks behind: the GPS week number has rolled over"
    QString advice;   // empty where nothing is to be done
    QString command;  // the advice as a command line, where it is one
    std::optional<int> weeks;
    std::optional<double> hours;
    std::optional<int> seconds;
    std::optional<int> year;
    std::optional<double> driftPpm;
    QStringList notes;  // a leap second announced; the drift
};

// What this computer says now, for `offset` measured just before: its clock's state, its zone,
// its leap-second list and the time. The views add the unit's source, offsets and drift.
Inputs ThisComputer(const status::ClockOffset& offset);

Diagnosis Diagnose(const Inputs& inputs);

// "possibly shows GPS time …: set the receiver …", as one line says it.
QString Line(const Diagnosis& diagnosis);

}  // namespace irig::diagnosis
