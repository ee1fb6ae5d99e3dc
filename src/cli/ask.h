// The commands that ask each unit something and print its answer (status, set-time, check-time,
// offsets, gps-message, reboot), run over their units: each unit asked once, or with a watch again
// every 500 ms (a lost port awaited back as itself, the watch going on), and each answer's Outcome
// printed as text or one JSON document. What is asked, and what its Outcome says, is each
// command's.
#pragma once

#include <functional>

#include "cli/commands.h"

namespace irig::cli {

// Asks one unit; `done` gets its Outcome.
using Ask = std::function<void(unit::Session& session, const Done& done)>;

// The exit code: the worst of the units' (a signal's, when one came).
int AskEach(const Request& request, const Context& context, const Ask& ask, bool watch = false);

}  // namespace irig::cli
