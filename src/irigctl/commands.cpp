#include "irigctl/commands.h"

#include "cli/ansible.h"
#include "cli/apply.h"
#include "cli/commands.h"
#include "cli/flash.h"
#include "cli/inspect.h"
#include "irigctl/hashpassword.h"
#include "irigctl/monitorcommand.h"

namespace irig::irigctl {

namespace {

const cli::Command* const kCommands[] = {
    &cli::kStatus,        &cli::kSetTime,          &cli::kCheckTime,        &cli::kOffsets,
    &cli::kGpsMessage,    &cli::kReboot,           &cli::kInspect,          &cli::kFlash,
    &monitor::kCommand,   &monitor::kHashPassword, &cli::kInventoryCommand, &cli::kApply,
    &cli::kAnsibleModule,
};

}  // namespace

cli::Commands AllCommands() {
    return kCommands;
}

}  // namespace irig::irigctl
