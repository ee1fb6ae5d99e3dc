// The inventory's commands: irigctl inventory lists the selected units and what they should have;
// irigctl apply makes one unit as the inventory says (offsets and flag in one request, read back;
// the clock set only when the whole interval of its measured offset lies beyond the limit), says
// what changed, or with --check what would, and reports firmware drift without flashing.
#pragma once

#include "cli/commands.h"
#include "fleet/inventory.h"

namespace irig::cli {

// The units of `request` as a listing (text), or as JSON.
QString InventoryText(const Request& request);
QJsonObject InventoryJson(const Request& request);

// Applies `intended` to the unit on `session`; the outcome's exit code is 0 (ok or changed), 1
// (failed) or, with `check`, 5 when something would change. Its JSON has the result ("ok",
// "changed", "would change", "failed"), each change, the source, the offsets before and after,
// the version and any drift, and the clock's offset where it was measured.
void Apply(unit::Session& session, const fleet::Intended& intended, bool check, const Done& done);

}  // namespace irig::cli
