// An irigctl command as it is declared once, beside its code: its name, what --help says of it,
// its options and argument, how it reads its own options and what it runs; and the options that
// many commands share. Parsing, --help and the checks of the manual page and the completion all
// follow from these declarations (commandline.h); what a command does is its own.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <any>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <vector>

#include "fleet/inventory.h"
#include "lease/leaseclient.h"
#include "unit/changerecord.h"
#include "unit/session.h"

namespace irig::cli {

enum ExitCode : int {
    kDone = 0,
    kUnitFailed = 1,     // the unit did not answer, or answered that it failed
    kUsage = 2,          // the command line is wrong, or the inventory or the web configuration
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

// The whole numbers an option takes, as its refusal says them: "--retries must be 0 to 100".
struct Range {
    int low;
    int high;
    const char* unit = "";  // " milliseconds"
};

struct Option {
    const char* name = nullptr;         // "port"
    const char* shortName = nullptr;    // "p"
    const char* value = nullptr;        // the value's name in --help ("PORT"); none: a switch
    const char* help = "";              // with an environment default, %1 stands for $VARIABLE
    std::optional<Range> range = {};    // a whole number, refused outside it
    const char* environment = nullptr;  // the variable whose value stands in when it is not given
    bool several = false;               // --port: given once for each of several units
};

// A command's options in --help's order, written as single options and groups of them.
class OptionList {
public:
    // Implicit, so that a list reads {UnitWork(Ports::kOne), Output(), kRequireSync}.
    struct Part {
        // cppcheck-suppress noExplicitConstructor ; an option stands for itself in a list
        Part(const Option& option) : options{&option} {}
        // cppcheck-suppress noExplicitConstructor ; and so does a group
        Part(std::vector<const Option*> group) : options(std::move(group)) {}
        std::vector<const Option*> options;
    };
    OptionList() = default;
    OptionList(std::initializer_list<Part> parts);

    auto begin() const { return options_.begin(); }
    auto end() const { return options_.end(); }

private:
    std::vector<const Option*> options_;
};

// The options that many commands share, and their groups: an option added to a group is taken by
// every command that takes the group, and read into Common (commandline.cpp's Read).
inline constexpr Option kPort{
    .name = "port",
    .shortName = "p",
    .value = "PORT",
    .help =
        "The unit's port: COMn, a device path, rfc2217://HOST:PORT or socket://HOST:PORT "
        "(default: %1).",
    .environment = kPortVariable};
inline constexpr Option kPorts{
    .name = "port",
    .shortName = "p",
    .value = "PORT",
    .help =
        "The unit's port: COMn, a device path, rfc2217://HOST:PORT or socket://HOST:PORT "
        "(default: %1). Give it once for each unit to serve at once.",
    .environment = kPortVariable,
    .several = true};
inline constexpr Option kTimeout{
    .name = "timeout",
    .value = "MS",
    .help =
        "Wait at most MS milliseconds for each answer of the unit, instead of the waits' own "
        "time-outs (an answer: 1 s and four times its wire time; a re-boot: 10 s; an erase: "
        "30 s; connecting to a terminal server: 5 s). On a network each wait adds the "
        "connection's round trip.",
    .range = Range{1, 3'600'000, " milliseconds"}};
inline constexpr Option kInventory{
    .name = "inventory",
    .shortName = "i",
    .value = "FILE",
    .help = "The inventory of the site's units, a YAML file (default: %1).",
    .environment = kInventoryVariable};
inline constexpr Option kMonitor{
    .name = "monitor",
    .value = "URL",
    .help =
        "Borrow each unit from the irigctl monitor at URL (http:// or https://) just before its "
        "port opens, and give it back once the port closes (default: %1, else the inventory's "
        "monitor). A monitor with users is given the user and password for its host in "
        "~/.netrc, or in the file $IRIGCTL_MONITOR_NETRC names.",
    .environment = lease::kMonitorVariable};
inline constexpr Option kUnit{
    .name = "unit",
    .value = "NAME",
    .help = "A unit of the inventory, by its name; give it once for each."};
inline constexpr Option kAll{.name = "all", .help = "Every unit of the inventory."};
inline constexpr Option kSelect{
    .name = "select",
    .value = "KEY=VALUE",
    .help = "The units whose label KEY is VALUE; several must all match."};
inline constexpr Option kJson{.name = "json", .help = "Write the result as one JSON document."};
inline constexpr Option kQuiet{.name = "quiet",
                               .shortName = "q",
                               .help = "Print only results and errors: no progress, no retries."};

// Units of an inventory: --inventory, --unit, --all, --select.
std::vector<const Option*> Selection();
enum class Ports { kOne, kSeveral };
// Every command that works on units over their ports (all but monitor, which serves them): the
// ports (one, or one for each of several units), the waits, the monitor they are borrowed from,
// and units of an inventory instead.
std::vector<const Option*> UnitWork(Ports ports);
// --json and --quiet.
std::vector<const Option*> Output();

// What every command's request holds, whatever the command: its units, where they come from, its
// argument, its output and its waits.
struct Common {
    QStringList ports;  // COMn in capitals, device paths or addresses
    QString inventory;  // the inventory file the units come from
    fleet::Selection selection;
    std::vector<fleet::InventoryUnit> units;  // the units selected, a port each (ResolveInventory)
    QString file;                             // the command's argument
    bool json = false;
    bool quiet = false;            // results and errors only
    std::optional<int> timeoutMs;  // replaces every wait's own time-out
    QUrl monitor;  // the irigctl monitor each unit is borrowed from; empty: none is named
    lease::MonitorTls monitorTls;  // the inventory's files an https:// monitor is met with

    unit::Timeouts Timeouts() const { return {timeoutMs}; }
};

struct Command;

struct Request {
    const Command* command = nullptr;
    Common common;
    std::any options;  // the command's own, as its declaration reads them

    template <class Options>
    const Options& OptionsOf() const {
        return std::any_cast<const Options&>(options);
    }
};

// Where a command writes its results (out) and its messages (err), how it makes each port's serial
// component, and where the changes it makes to units are recorded (none given: the system log, as
// the command writes to it).
struct Context {
    std::FILE* out;
    std::FILE* err;
    unit::PortMaker makePort;
    unit::ChangeRecord::Sink changes;
    // Where a busy port's watcher is asked for when no monitor is named.
    QUrl localMonitor = QUrl(QLatin1String(lease::kLocalMonitor));
};

class Given;

struct Command {
    const char* name = nullptr;
    const char* summary = nullptr;      // its line in irigctl --help
    const char* description = nullptr;  // irigctl COMMAND --help
    OptionList options = {};            // after --help, which every command takes
    const char* argument = nullptr;     // its one argument's name in --help ("FILE"); none: nothing
    const char* argumentHelp = "";
    // Reads the command's own options into request.options and checks what the common ones do not
    // say; what is wrong, if anything. None: it has no options of its own.
    std::optional<QString> (*read)(const Given& given, Request& request) = nullptr;
    int (*run)(const Request& request, const Context& context) = nullptr;
    bool eventLoop = true;  // false: runs without the application object (inspect)

    // The option of that name it takes; null when it takes none.
    const Option* Find(const QString& option) const;
    // It takes one port (or one unit of an inventory), not several.
    bool OneUnit() const;
};

// Every byte of `text` to `file`, a NUL included: nothing after one is lost.
void Write(std::FILE* file, const QString& text);
// One JSON document on one line.
QString JsonLine(const QJsonObject& json);

}  // namespace irig::cli
