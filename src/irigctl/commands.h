// irigctl's commands, in the order irigctl --help lists them: each declared beside its code, in
// src/cli and src/monitor; this list is all that names them together.
#pragma once

#include "cli/commandline.h"

namespace irig::irigctl {

cli::Commands AllCommands();

}  // namespace irig::irigctl
