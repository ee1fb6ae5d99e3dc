// irigctl monitor as the command line declares it: its options (the units, where it listens, the
// web configuration) read into monitor::Options, and Run on them. What the monitor does is
// monitor.h's.
#pragma once

#include "cli/command.h"

namespace irig::monitor {

extern const cli::Command kCommand;

}  // namespace irig::monitor
