// irigctl ansible-module ARGS_FILE: Ansible's irig_unit module, whose shim runs this. It reads the
// module's arguments (typed, or as the strings -a key=value gives), makes one unit as they say
// (flashing only where firmware_file is given and the unit answers another version), in check
// mode only reads, and prints the result JSON: changed, failed, msg, the unit's state, and with
// diff mode its settings before and after.
#pragma once

#include <QString>
#include <cstdio>

#include "cli/command.h"
#include "unit/changerecord.h"
#include "unit/session.h"

namespace irig::cli {

extern const Command kAnsibleModule;

// Runs the module; prints its JSON on `out`; the exit code (0, or 1 when it failed).
int AnsibleModule(const QString& argsFile, std::FILE* out, const unit::PortMaker& makePort = {},
                  const unit::ChangeRecord::Sink& changes = {});

}  // namespace irig::cli
