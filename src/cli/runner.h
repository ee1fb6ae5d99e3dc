// Runs one irigctl request to its end: opens the ports, serves every unit at once from one event
// loop, handles Ctrl-C, and writes results to standard output (text or one JSON document) and
// progress and faults to standard error. With --watch, a lost port is awaited back as itself and
// the watch goes on. Returns the exit code.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>

#include "cli/commandline.h"
#include "unit/changerecord.h"
#include "unit/session.h"

namespace irig::cli {

// `makePort` makes each port's serial component; by default one on a real serial port or a
// terminal server's, connecting within --timeout (5 s without).
// Every change made to a unit is recorded through `changes`, by default the system log.
int Run(const Request& request, std::FILE* out, std::FILE* err,
        const unit::PortMaker& makePort = {}, const unit::ChangeRecord::Sink& changes = {});

}  // namespace irig::cli
