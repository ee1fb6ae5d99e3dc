// Runs one irigctl request to its end: opens the ports, serves every unit at once from one event
// loop, handles Ctrl-C, and writes results to standard output (text or one JSON document) and
// progress and faults to standard error. With --watch, a lost port is awaited back as itself and
// the watch goes on. Returns the exit code.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>

#include "cli/commandline.h"
#include "link/portcontroller.h"

namespace irig::cli {

// Makes the serial component of one port; by default one on a real serial port.
using PortMaker = std::function<std::unique_ptr<link::PortController>()>;

// Serial components on real serial ports and terminal servers, connecting to a server within
// --timeout (5 s without).
PortMaker RealPorts(const Request& request);

int Run(const Request& request, std::FILE* out, std::FILE* err, const PortMaker& makePort = {});

}  // namespace irig::cli
