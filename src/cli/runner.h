// Runs one irigctl request to its end: opens the ports, serves every unit at once from one event
// loop, handles Ctrl-C, and writes results to standard output (text or one JSON document) and
// progress and faults to standard error. Returns the exit code.
#pragma once

#include <cstdio>

#include "cli/commandline.h"

namespace irig::cli {

int Run(const Request& request, std::FILE* out, std::FILE* err);

}  // namespace irig::cli
