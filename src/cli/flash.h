// irigctl flash FILE over its units, beside the Rollout that orders them: the file loaded and
// judged before anything is sent (its version and SHA-256 against what each unit expects), a
// FlashJob a unit as the Rollout lets each start (a unit that answers the expected version
// already skipped), their progress, Ctrl-C (no new update, the running ones stopped after the
// block in flight; again: at once), and each unit's result line, message and JSON, with the count.
#pragma once

#include <QString>
#include <optional>

#include "cli/command.h"

namespace irig::cli {

struct FlashOptions {
    int retries = 2;
    bool allowOverlap = false;  // flash a file whose records overlap
    // The canaries first, how many at once, how many failures stop it, and the version each unit
    // must answer afterwards (units that do already are skipped unless forced).
    int canary = 0;
    std::optional<int> maxParallel;
    std::optional<int> maxFailures;
    std::optional<int> expectVersion;  // in tenths
    std::optional<QString> sha256;     // the SHA-256 the file's blocks must have, lower case
    bool force = false;
};

extern const Command kFlash;

}  // namespace irig::cli
