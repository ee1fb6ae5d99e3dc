// irigctl monitor: watches every unit given and serves what it knows at /metrics until a signal
// ends it. Each unit's polling is its UnitMonitor's, the HTTP side the MetricsServer's.
#pragma once

#include <cstdio>

#include "cli/commandline.h"
#include "cli/runner.h"
#include "monitor/unitmonitor.h"

namespace irig::monitor {

// Returns the exit code: 130 or 143 for the signal that ended it, 4 when it cannot listen.
int Run(const cli::Request& request, std::FILE* err, const cli::PortMaker& makePort = {},
        Schedule schedule = {});

}  // namespace irig::monitor
