// The inventory's commands: irigctl inventory lists the selected units and what they should have;
// irigctl apply makes one unit as intended (the settings table's Compare of what is intended with
// what the unit was read to have: offsets and flag in one request, read back; the clock set only
// when the whole interval of its measured offset lies beyond the limit, and measured again), ends
// in a typed ApplyResult, and reports firmware drift without flashing. The renderers here print an
// ApplyResult as a line, a message and JSON; the Ansible module has its own. Both commands are
// declared here, apply running over its units through a Runner.
#pragma once

#include <functional>
#include <vector>

#include "cli/commands.h"
#include "fleet/inventory.h"

namespace irig::cli {

struct ApplyOptions {
    bool check = false;  // read only, and say what would change
};

extern const Command kInventoryCommand;
extern const Command kApply;

// How one unit's apply ended.
struct ApplyResult {
    enum class End { kOk, kChanged, kWouldChange, kFailed, kInterrupted, kNotStarted };

    QString named;  // as messages name the unit
    QString unit;   // its name in the inventory
    QString port;
    End end = End::kNotStarted;
    bool check = false;
    fleet::Intended intended;
    fleet::Observed observed;          // as read before anything was set, the clock as measured
    std::vector<fleet::Drift> drifts;  // what the unit did not have as intended
    bool offsetsSet = false;           // written and read back as intended
    bool clockSet = false;
    std::optional<fleet::MeasuredOffset> clockAfter;  // measured after the setting
    QString source;                                   // the reference source it follows
    QString failedAt;  // failed, interrupted or not started: what it was doing
    QString why;
    bool unreachable = false;  // its port could not be opened

    // The offsets and the flag as the unit has them now (before them, with --check), where read.
    std::optional<fleet::Value> Now(fleet::Setting setting) const;
    // As intended, or as read where nothing is intended: what apply makes of them.
    std::optional<fleet::Value> Wanted(fleet::Setting setting) const;
};

// "sub-a-1 (COM1): changed: GPS 0 -> -5, clock set (it was 5003 ms ahead (±2 ms))", with the
// firmware drift: standard output's line.
QString ApplyLine(const ApplyResult& result);
// What standard error says of a unit that failed or was not started; empty otherwise.
QString ApplyMessage(const ApplyResult& result);
// The unit's part of --json: result (ok, changed, would change, failed, interrupted, not
// started), changes, before and after, version, drift, clock and error.
QJsonObject ApplyJson(const ApplyResult& result);
// A port that did not open (4), then a unit that failed (1), then --check's "something would
// change" (5).
int ApplyExitCode(const std::vector<ApplyResult>& results);

// Applies `intended` to the unit on `session`; `done` gets the result.
void Apply(unit::Session& session, const fleet::Intended& intended, bool check,
           std::function<void(const ApplyResult&)> done);

}  // namespace irig::cli
