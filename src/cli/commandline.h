// What irigctl is asked to do, read from its arguments with QCommandLineParser (options on either
// side of the command, a default port and inventory from the environment), and the texts of --help
// and --version. Input is strict: a value that is not exactly what an option takes is refused here,
// before any port is opened. ParseCommandLine does no I/O (main prints what it returns);
// ResolveInventory reads the inventory file.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "fleet/inventory.h"

namespace irig::cli {

enum ExitCode : int {
    kDone = 0,
    kUnitFailed = 1,     // the unit did not answer, or answered that it failed
    kUsage = 2,          // the command line is wrong
    kBadFile = 3,        // the file cannot be read, is faulty or has nothing to program
    kPortFailed = 4,     // the port cannot be opened
    kWouldChange = 5,    // apply --check: something would change
    kInterrupted = 130,  // Ctrl-C (SIGINT)
    kTerminated = 143,   // SIGTERM
};

// The environment variables that name the port when no --port is given, and the inventory when no
// --inventory is.
inline constexpr char kPortVariable[] = "IRIGCTL_PORT";
inline constexpr char kInventoryVariable[] = "IRIGCTL_INVENTORY";

struct Request {
    QString command;    // status, set-time, check-time, offsets, gps-message, reboot, inspect,
                        // flash, monitor, inventory, apply or ansible-module
    QStringList ports;  // COMn in capitals, device paths or addresses
    QString inventory;  // the inventory file the units come from
    fleet::Selection selection;
    std::vector<fleet::InventoryUnit> units;  // the units selected, a port each (ResolveInventory)
    QString file;
    bool json = false;
    bool quiet = false;  // results and errors only
    bool watch = false;
    std::optional<int> timeoutMs;  // replaces every wait's own time-out
    int retries = 2;
    bool allowOverlap = false;  // flash a file whose records overlap
    bool setOffsets = false;
    fleet::Intended offsets;  // offsets --set: the offsets, and the flag (unset: keep the unit's)
    bool requireSync = false;
    std::optional<int> maxOffsetMs;  // check-time: exit 1 when the unit may be farther off
    QString listenHost = QStringLiteral("127.0.0.1");  // monitor: where /metrics is served
    quint16 listenPort = 9810;                         // 0: any free port
    QString webConfig;   // monitor: the web configuration file (read by the monitor)
    bool check = false;  // apply: read only, and say what would change
    // flash over many units: the canaries first, how many at once, how many failures stop it, and
    // the version each unit must answer afterwards (units that do already are skipped unless
    // forced).
    int canary = 0;
    std::optional<int> maxParallel;
    std::optional<int> maxFailures;
    std::optional<int> expectVersion;  // in tenths
    std::optional<QString> sha256;     // the SHA-256 the file's blocks must have, lower case
    bool force = false;
};

// What a wrong command line says on stderr: "irigctl: " `what`, and where the help is.
QString UsageText(const QString& what);

struct CommandLine {
    std::optional<Request> request;  // unset: print `text` and exit with `exitCode`
    QString text;                    // help, version, or what is wrong and how to get help
    int exitCode = kDone;
};

// `defaultPort` is the value of IRIGCTL_PORT, used when a command that needs a port has none;
// `defaultInventory` that of IRIGCTL_INVENTORY.
CommandLine ParseCommandLine(const QStringList& arguments, const QString& defaultPort = {},
                             const QString& defaultInventory = {});

// Reads the inventory and fills in the units the request selects, with their ports; what is wrong
// (the inventory's fault with its file, line and column, or a selection of no unit), if anything.
std::optional<QString> ResolveInventory(Request& request);

}  // namespace irig::cli
