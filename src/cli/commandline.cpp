#include "cli/commandline.h"

#include <QCommandLineParser>
#include <QHostAddress>
#include <QRegularExpression>
#include <tuple>
#include <utility>

#include "link/portmap.h"

namespace irig::cli {

QString UsageText(const QString& what) {
    return QStringLiteral("irigctl: %1\nRun \"irigctl --help\" for the commands and options.\n")
        .arg(what);
}

namespace {

struct Command {
    const char* name;
    const char* summary;
    const char* description;
    bool unit;       // talks to a unit: --port, --timeout
    bool manyPorts;  // --port may be given several times
    bool file;       // takes FILE
    bool selects;    // takes units from an inventory: --inventory, --unit, --all, --select
    const char* fileName = "FILE";
};

const Command kCommands[] = {
    {"status", "show the unit's source, date, time and firmware version",
     "Shows each unit's reference source, date (month/day/year), time and firmware version, as\n"
     "the window shows them. With --watch, again every 500 ms until interrupted.",
     true, true, false, true},
    {"set-time", "set the unit's clock from this computer's clock",
     "Sets the unit's clock from this computer's local clock and shows what the unit answered.",
     true, false, false, true},
    {"check-time", "measure the unit's clock against this computer's, to the millisecond",
     "Measures how far the unit's clock is from this computer's: polls until the unit's second\n"
     "changes, then places each request so that the unit reads its clock on its second boundary,\n"
     "narrowing the bounds as far as the line allows (a few seconds). Prints the offset with an\n"
     "uncertainty that holds: the true offset lies within offset ± uncertainty, wider on a line\n"
     "with a longer round trip. With --max-offset, exits 1 unless the whole of that lies within\n"
     "the limit.",
     true, false, false, true},
    {"offsets", "show, or with --set change, the offsets and the IEEE 1344 flag",
     "Shows the unit's IRIG-B and GPS offsets (whole hours) and its IEEE 1344 flag. With --set,\n"
     "changes them first: each offset a whole number of hours from -23 to 23 (anything else is\n"
     "refused before the port is opened); without --ieee1344 the unit's flag is kept. What is\n"
     "set is read back: a unit that answers or keeps another value fails (exit 1).",
     true, false, false, true},
    {"gps-message", "show the unit's GPS message", "Shows the unit's GPS message.", true, false,
     false, true},
    {"reboot", "re-boot the unit and wait until it is back",
     "Re-boots the unit and waits for it to report that the re-boot is complete.", true, false,
     false, true},
    {"inspect", "check a firmware file as Load does, without a unit",
     "Reads an Intel HEX file as the window's Load does and shows every faulty line, the bytes\n"
     "loaded, the address ranges present, overlapping records, the blocks Program would send,\n"
     "the program ID, the SHA-256 of the bytes that would be written and how long the update\n"
     "takes at 19200 baud. Anything but a regular file is refused.",
     false, false, true, false},
    {"flash", "replace the unit's firmware from an Intel HEX file, unattended",
     "Replaces each unit's firmware: re-boot, flash mode, erase, every block with its echo\n"
     "checked, a re-boot to leave flash mode, and the unit's answer to the status poll within\n"
     "10 s, with its version. A faulty file, one with nothing to program, or one whose records\n"
     "overlap (unless --allow-overlap) is refused before anything is sent. A missing or wrong\n"
     "echo or a failed erase starts over from the erase, at most --retries times. Over many\n"
     "units: --canary N flashes the first N first and the others only once every canary answers\n"
     "the expected version; --max-parallel M flashes at most M at once; --max-failures K starts\n"
     "no new update once K have failed; a port that cannot be opened is a failed unit. With\n"
     "--expect-version (or the inventory's firmware), the file's program ID must carry that\n"
     "version, a unit that answers another version afterwards has failed, and a unit that\n"
     "answers it already is skipped unless --force; with --sha256 (or the inventory's\n"
     "firmware_sha256) the file's blocks must have that SHA-256: a file that does not is\n"
     "refused before any unit is erased (exit 2). A result line each, the count at the end.\n"
     "Ctrl-C starts no new update and stops the running ones after the block in flight;\n"
     "Ctrl-C again stops them at once.",
     true, true, true, true},
    {"monitor", "serve every unit's state to Prometheus at /metrics, until interrupted",
     "Watches every unit given (--port once for each) and serves what it knows at\n"
     "http://127.0.0.1:9810/metrics in the Prometheus text format: whether each unit answers,\n"
     "its reference source and firmware version, its clock's offset from this computer's with\n"
     "the uncertainty of that, and the state of this computer's clock. Asks each unit for its\n"
     "clock every 5 s and measures its offset every minute (POST /check-time measures now). A\n"
     "port that goes away, or is not there at the start, is awaited and watched again once it\n"
     "is back. Runs until interrupted; what happens to the units goes to standard error. With\n"
     "an inventory, every series also carries the unit's name and labels, the offsets are read\n"
     "every 5 minutes, and irig_unit_setting_matches says whether each setting the inventory\n"
     "gives matches the unit.",
     true, true, false, true},
    {"inventory", "list the selected units of the inventory, with their intended settings",
     "Lists the units the selection names (every unit without one), with their ports, labels\n"
     "and intended settings, without opening a port.",
     false, false, false, true},
    {"apply", "make the selected units as the inventory says: offsets, flag and clock",
     "Reads each selected unit's offsets, IEEE 1344 flag and firmware version. Where the offsets\n"
     "or the flag differ from the inventory, sets all three in one request and reads them back;\n"
     "where max_clock_offset_ms is given, measures the unit's clock as check-time does and sets\n"
     "it as set-time does, only when the whole interval lies beyond the limit, then measures it\n"
     "again. A value the unit does not keep is a failure naming both. A firmware\n"
     "version other than the inventory's is reported as drift: apply never flashes. With\n"
     "--check it only reads and says what it would change (exit 5 when something would). Every\n"
     "change is recorded in the system log. Several units at once, a line each.",
     true, true, false, true},
    {"ansible-module", "run as Ansible's irig_unit module on its arguments file",
     "Reads the arguments that Ansible gives its irig_unit module (ARGS_FILE, JSON), does what\n"
     "they ask of one unit, and prints the result as Ansible expects. ansible-doc irig_unit (or\n"
     "the manual page) lists the module's options.",
     false, false, true, false, "ARGS_FILE"},
};

const char kExitCodes[] =
    "Exit codes:\n"
    "  0    done\n"
    "  1    the unit did not answer, or reported a failure\n"
    "  2    the command line is wrong\n"
    "  3    the file cannot be read, is not a regular file, is faulty, or has nothing to\n"
    "       program\n"
    "  4    a port cannot be opened (no such device, permission denied, in use), or\n"
    "       monitor cannot listen on its --listen address\n"
    "  5    apply --check: something would change\n"
    "  130  interrupted (Ctrl-C), also ending status --watch and monitor\n"
    "  143  terminated (SIGTERM)\n";

const char kPorts[] =
    "Ports: --port COMn (any case), found as the window finds it (the link\n"
    "~/.config/irig-config/ports/COMn, else /dev/ttyS<n-1>), --port /dev/ttyUSB0, or a terminal\n"
    "server's port: --port rfc2217://HOST:PORT (Telnet, RFC 2217 sets the line) or\n"
    "socket://HOST:PORT (raw TCP); -p for short. Without --port, the port in the environment\n"
    "variable IRIGCTL_PORT. Or units of an inventory (-i FILE, or IRIGCTL_INVENTORY): --unit\n"
    "NAME (once for each), --all, or --select KEY=VALUE (by label; several must all match).\n";

// Options that take a value, of every command: the word after them is never the command.
const char* const kValueOptions[] = {"port",
                                     "p",
                                     "timeout",
                                     "retries",
                                     "irig",
                                     "gps",
                                     "ieee1344",
                                     "max-offset",
                                     "listen",
                                     "inventory",
                                     "i",
                                     "unit",
                                     "select",
                                     "canary",
                                     "max-parallel",
                                     "max-failures",
                                     "expect-version",
                                     "sha256",
                                     "web-config"};

QString GeneralHelp() {
    QString text = QStringLiteral(
        "Usage: irigctl COMMAND [options]\n"
        "Configures and maintains IRIG-B time-code units over serial ports at 19200 baud, as the\n"
        "irig-config window does, without a display. Options may stand before or after the\n"
        "command. Results go to standard output; progress and messages to standard error.\n\n"
        "Commands:\n");
    for (const Command& command : kCommands) {
        text += QStringLiteral("  %1%2\n")
                    .arg(QLatin1String(command.name), -16)
                    .arg(QString::fromUtf8(command.summary));
    }
    text += QLatin1Char('\n') + QLatin1String(kPorts) + QLatin1Char('\n');
    text += QLatin1String(kExitCodes);
    text += QStringLiteral(
        "\nOptions:\n"
        "  -h, --help     show this help; \"irigctl COMMAND --help\" shows a command's options\n"
        "  -V, --version  show the version\n");
    return text;
}

CommandLine Usage(const QString& what) {
    return {std::nullopt, UsageText(what), kUsage};
}

QString CommandHelp(const Command& command, const QCommandLineParser& parser) {
    QString options = parser.helpText();
    options = options.mid(options.indexOf(QLatin1String("\nOptions:")));
    QString text =
        QStringLiteral("Usage: irigctl %1%2 [options]\n%3\n")
            .arg(QLatin1String(command.name),
                 command.file ? QLatin1Char(' ') + QLatin1String(command.fileName) : QString(),
                 QString::fromUtf8(command.description)) +
        options + QLatin1Char('\n');
    if (command.unit) {
        text += QLatin1String(kPorts) + QLatin1Char('\n');
    }
    return text + QLatin1String(kExitCodes);
}

// A whole number from `low` to `high`, or nothing.
std::optional<int> Number(const QString& text, int low, int high) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= low && value <= high ? std::optional<int>(value) : std::nullopt;
}

// What stands where: the command word (the first argument that is neither an option nor an
// option's value), and whether help or the version was asked for anywhere.
struct Scan {
    qsizetype command = -1;
    bool help = false;
    bool version = false;
};

Scan ScanArguments(const QStringList& arguments) {
    Scan scan;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            scan.help = true;
        } else if (argument == QLatin1String("-V") || argument == QLatin1String("--version")) {
            scan.version = true;
        } else if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            const QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
            for (const char* option : kValueOptions) {
                if (name == QLatin1String(option)) {
                    ++i;  // its value, whatever it looks like
                }
            }
        } else if (scan.command < 0) {
            scan.command = i;
        }
    }
    return scan;
}

}  // namespace

namespace {

// "127.0.0.1:9810" or "[::1]:9810" as its address and port; nothing for any other text.
std::optional<std::pair<QString, quint16>> ListenAddress(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("^([0-9.]+|\\[[0-9A-Fa-f:.]+\\]):([0-9]{1,5})$"));
    const QRegularExpressionMatch match = form.match(text);
    QString host = match.captured(1);
    if (host.startsWith(QLatin1Char('['))) {
        host = host.mid(1, host.size() - 2);
    }
    const int port = match.captured(2).toInt();
    if (!match.hasMatch() || QHostAddress(host).isNull() || port > 65535) {
        return std::nullopt;
    }
    return std::pair{host, static_cast<quint16>(port)};
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments, const QString& defaultPort,
                             const QString& defaultInventory) {
    const Scan scan = ScanArguments(arguments);
    const Command* command = nullptr;
    const QString name = scan.command < 0 ? QString() : arguments[scan.command];
    for (const Command& candidate : kCommands) {
        if (name == QLatin1String(candidate.name)) {
            command = &candidate;
        }
    }
    if (scan.version) {
        return {std::nullopt, QStringLiteral("irigctl %1\n").arg(QLatin1String(IRIG_VERSION)),
                kDone};
    }
    if (scan.help && command == nullptr) {
        return {std::nullopt, GeneralHelp(), kDone};
    }
    if (scan.command < 0) {
        return Usage(QStringLiteral("no command given"));
    }
    if (command == nullptr) {
        return Usage(QStringLiteral("unknown command \"%1\"").arg(name));
    }

    QCommandLineParser parser;
    const QCommandLineOption commandHelp({QStringLiteral("h"), QStringLiteral("help")},
                                         QStringLiteral("Show this help."));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("Write the result as one JSON document%1.")
            .arg(name == QLatin1String("status") ? QStringLiteral(" (with --watch, one a line)")
                                                 : QString()));
    const QCommandLineOption quiet(
        {QStringLiteral("q"), QStringLiteral("quiet")},
        QStringLiteral("Print only results and errors: no progress, no retries."));
    const QCommandLineOption port(
        {QStringLiteral("p"), QStringLiteral("port")},
        command->manyPorts
            ? QStringLiteral("The unit's port: COMn or a device path (default: $IRIGCTL_PORT). "
                             "Give it once for each unit to serve at once.")
            : QStringLiteral("The unit's port: COMn or a device path (default: $IRIGCTL_PORT)."),
        QStringLiteral("PORT"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Wait at most MS milliseconds for each answer of the unit, instead of the "
                       "waits' own time-outs (an answer: 1 s and four times its wire time; a "
                       "re-boot: 10 s; an erase: 30 s; connecting to a terminal server: 5 s). On "
                       "a network each wait adds the connection's round trip."),
        QStringLiteral("MS"));
    const QCommandLineOption retries(
        QStringLiteral("retries"),
        QStringLiteral("Start over from the erase at most N times (default 2)."),
        QStringLiteral("N"));
    const QCommandLineOption allowOverlap(
        QStringLiteral("allow-overlap"),
        QStringLiteral("Flash a file whose records overlap (the last record of an address wins); "
                       "refused otherwise."));
    const QCommandLineOption watch(QStringLiteral("watch"),
                                   QStringLiteral("Ask again every 500 ms until interrupted."));
    const QCommandLineOption set(QStringLiteral("set"),
                                 QStringLiteral("Change the offsets (and the flag) first."));
    const QCommandLineOption irig(
        QStringLiteral("irig"),
        QStringLiteral("The IRIG-B offset, a whole number of hours from -23 to 23, with --set."),
        QStringLiteral("H"));
    const QCommandLineOption gps(
        QStringLiteral("gps"),
        QStringLiteral("The GPS offset, a whole number of hours from -23 to 23, with --set."),
        QStringLiteral("H"));
    const QCommandLineOption ieee1344(QStringLiteral("ieee1344"),
                                      QStringLiteral("The IEEE 1344 flag, on or off, with --set."),
                                      QStringLiteral("on|off"));
    const QCommandLineOption requireSync(
        QStringLiteral("require-sync"),
        QStringLiteral("Refuse (exit 1) when this computer's clock is not synchronised."));
    const QCommandLineOption maxOffset(
        QStringLiteral("max-offset"),
        QStringLiteral("Exit 1 unless the unit's offset, with its uncertainty, lies within MS "
                       "milliseconds of this computer's clock."),
        QStringLiteral("MS"));

    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Serve on ADDRESS:PORT (default 127.0.0.1:9810, this computer only): an "
                       "IP address, an IPv6 one in brackets; port 0 takes a free port and says "
                       "which."),
        QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption webConfig(
        QStringLiteral("web-config"),
        QStringLiteral("TLS, users and headers from FILE, the Prometheus exporter toolkit's web "
                       "configuration (default: $IRIGCTL_WEB_CONFIG)."),
        QStringLiteral("FILE"));

    const QCommandLineOption inventory(
        {QStringLiteral("i"), QStringLiteral("inventory")},
        QStringLiteral("The inventory of the site's units, a YAML file (default: "
                       "$IRIGCTL_INVENTORY)."),
        QStringLiteral("FILE"));
    const QCommandLineOption unitName(
        QStringLiteral("unit"),
        QStringLiteral("A unit of the inventory, by its name; give it once for each."),
        QStringLiteral("NAME"));
    const QCommandLineOption allUnits(QStringLiteral("all"),
                                      QStringLiteral("Every unit of the inventory."));
    const QCommandLineOption select(
        QStringLiteral("select"),
        QStringLiteral("The units whose label KEY is VALUE; several must all match."),
        QStringLiteral("KEY=VALUE"));
    const QCommandLineOption check(
        QStringLiteral("check"),
        QStringLiteral("Read only, and say what would change (exit 5 when something would)."));
    const QCommandLineOption canary(
        QStringLiteral("canary"),
        QStringLiteral("Flash the first N units first; the others only once every one of them "
                       "is done and answers the expected version."),
        QStringLiteral("N"));
    const QCommandLineOption maxParallel(
        QStringLiteral("max-parallel"),
        QStringLiteral(
            "Flash at most M units at once (default: 1000, and no more than the open-file "
            "limit allows)."),
        QStringLiteral("M"));
    const QCommandLineOption maxFailures(
        QStringLiteral("max-failures"),
        QStringLiteral("Start no new update once K units have failed."), QStringLiteral("K"));
    const QCommandLineOption expectVersion(
        QStringLiteral("expect-version"),
        QStringLiteral("The version N.N each unit must answer after its update (default: the "
                       "inventory's firmware); units that answer it already are skipped."),
        QStringLiteral("N.N"));
    const QCommandLineOption force(
        QStringLiteral("force"),
        QStringLiteral("Flash also the units that already answer the expected version."));
    const QCommandLineOption sha256(
        QStringLiteral("sha256"),
        QStringLiteral("Refuse the file unless the SHA-256 of the blocks it writes (as inspect "
                       "shows it) is HEX; nothing is flashed otherwise."),
        QStringLiteral("HEX"));

    parser.addOption(commandHelp);
    if (command->unit) {
        parser.addOptions({port, timeout});
    }
    if (command->selects) {
        parser.addOptions({inventory, unitName, allUnits, select});
    }
    if (name == QLatin1String("monitor")) {
        parser.addOptions({listen, webConfig});
    } else {
        parser.addOptions({json, quiet});
    }
    if (name == QLatin1String("status")) {
        parser.addOption(watch);
    } else if (name == QLatin1String("set-time")) {
        parser.addOption(requireSync);
    } else if (name == QLatin1String("check-time")) {
        parser.addOption(maxOffset);
    } else if (name == QLatin1String("offsets")) {
        parser.addOptions({set, irig, gps, ieee1344});
    } else if (name == QLatin1String("flash")) {
        parser.addOptions({retries, allowOverlap, canary, maxParallel, maxFailures, expectVersion,
                           force, sha256});
    } else if (name == QLatin1String("apply")) {
        parser.addOption(check);
    }
    if (command->file) {
        parser.addPositionalArgument(QLatin1String(command->fileName),
                                     name == QLatin1String("ansible-module")
                                         ? QStringLiteral("The module's arguments, as Ansible "
                                                          "writes them (JSON).")
                                         : QStringLiteral("The firmware, an Intel HEX file."));
    }

    QStringList rest = arguments;
    rest.removeAt(scan.command);
    if (!parser.parse(rest)) {
        return Usage(QStringLiteral("%1: %2").arg(name, parser.errorText()));
    }
    if (scan.help) {
        return {std::nullopt, CommandHelp(*command, parser), kDone};
    }

    Request request;
    request.command = name;
    request.json = name != QLatin1String("monitor") && parser.isSet(json);
    request.quiet = name != QLatin1String("monitor") && parser.isSet(quiet);
    const QStringList positional = parser.positionalArguments();
    if (command->file) {
        if (positional.size() != 1) {
            return Usage(
                QStringLiteral("%1 takes one %2").arg(name, QLatin1String(command->fileName)));
        }
        request.file = positional.constFirst();
    } else if (!positional.isEmpty()) {
        return Usage(QStringLiteral("%1: unexpected argument \"%2\"").arg(name, positional[0]));
    }
    if (command->selects) {
        request.selection.names = parser.values(unitName);
        request.selection.all = parser.isSet(allUnits);
        for (const QString& pair : parser.values(select)) {
            const qsizetype equals = pair.indexOf(QLatin1Char('='));
            if (equals <= 0 || equals == pair.size() - 1) {
                return Usage(QStringLiteral("--select \"%1\" is not KEY=VALUE").arg(pair));
            }
            request.selection.labels.append({pair.left(equals), pair.mid(equals + 1)});
        }
        request.inventory = parser.isSet(inventory) ? parser.value(inventory) : defaultInventory;
        if (request.inventory.isEmpty() &&
            (!request.selection.Empty() || name == QLatin1String("inventory"))) {
            return Usage(QStringLiteral("%1 needs --inventory (or %2)")
                             .arg(request.selection.Empty() ? name
                                                            : QStringLiteral("--unit, --all and "
                                                                             "--select"),
                                  kInventoryVariable));
        }
        if (!request.selection.Empty() && command->unit && parser.isSet(port)) {
            return Usage(QStringLiteral("--port and --unit, --all or --select do not go together"));
        }
    }
    if (name == QLatin1String("apply") && request.selection.Empty()) {
        return Usage(QStringLiteral("apply needs --unit, --all or --select"));
    }
    if (command->unit && !request.selection.Empty()) {
        // The ports come from the inventory, with the units.
    } else if (command->unit) {
        QStringList given = parser.values(port);
        if (given.isEmpty() && !defaultPort.isEmpty()) {
            given.append(defaultPort);
        }
        if (given.isEmpty()) {
            return Usage(QStringLiteral("%1 needs --port (or %2)%3")
                             .arg(name, kPortVariable,
                                  command->selects ? QStringLiteral(", or --unit, --all or "
                                                                    "--select")
                                                   : QString()));
        }
        if (given.size() > 1 && !command->manyPorts) {
            return Usage(QStringLiteral("%1 takes one --port").arg(name));
        }
        for (const QString& text : given) {
            const std::optional<QString> normal = link::PortArgument(text);
            if (!normal) {
                return Usage(QStringLiteral("--port \"%1\" is neither COMn (n from 1), a device "
                                            "path, rfc2217://HOST:PORT nor socket://HOST:PORT")
                                 .arg(text));
            }
            request.ports.append(*normal);
        }
        if (request.ports.removeDuplicates() > 0) {
            return Usage(QStringLiteral("%1: the same --port twice").arg(name));
        }
    }
    if (command->unit) {
        if (parser.isSet(timeout)) {
            request.timeoutMs = Number(parser.value(timeout), 1, 3'600'000);
            if (!request.timeoutMs) {
                return Usage(QStringLiteral("--timeout must be 1 to 3600000 milliseconds"));
            }
        }
    }
    request.watch = name == QLatin1String("status") && parser.isSet(watch);
    request.requireSync = name == QLatin1String("set-time") && parser.isSet(requireSync);
    if (name == QLatin1String("check-time") && parser.isSet(maxOffset)) {
        request.maxOffsetMs = Number(parser.value(maxOffset), 0, 3'600'000);
        if (!request.maxOffsetMs) {
            return Usage(QStringLiteral("--max-offset must be 0 to 3600000 milliseconds"));
        }
    }
    if (name == QLatin1String("monitor") && parser.isSet(listen)) {
        const std::optional<std::pair<QString, quint16>> address =
            ListenAddress(parser.value(listen));
        if (!address) {
            return Usage(QStringLiteral("--listen \"%1\" is not ADDRESS:PORT (an IP address, an "
                                        "IPv6 one in brackets, and a port from 0 to 65535)")
                             .arg(parser.value(listen)));
        }
        std::tie(request.listenHost, request.listenPort) = *address;
    }
    request.webConfig = name == QLatin1String("monitor") ? parser.value(webConfig) : QString();
    request.check = name == QLatin1String("apply") && parser.isSet(check);
    if (name == QLatin1String("flash")) {
        for (const auto& [option, value] : {std::pair{&maxParallel, &request.maxParallel},
                                            std::pair{&maxFailures, &request.maxFailures}}) {
            if (parser.isSet(*option)) {
                *value = Number(parser.value(*option), 1, 100'000);
                if (!*value) {
                    return Usage(QStringLiteral("--%1 must be 1 to 100000")
                                     .arg(option->names().constFirst()));
                }
            }
        }
        if (parser.isSet(canary)) {
            const std::optional<int> count = Number(parser.value(canary), 1, 100'000);
            if (!count) {
                return Usage(QStringLiteral("--canary must be 1 to 100000"));
            }
            request.canary = *count;
        }
        if (parser.isSet(expectVersion)) {
            const auto parsed = fleet::Parse(fleet::Setting::kFirmware, parser.value(expectVersion),
                                             fleet::Spelling::kCommandLine);
            if (const auto* refusal = std::get_if<QString>(&parsed)) {
                return Usage(*refusal);
            }
            request.expectVersion = static_cast<int>(std::get<fleet::Value>(parsed));
        }
        if (parser.isSet(sha256)) {
            static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
            if (!hex.match(parser.value(sha256)).hasMatch()) {
                return Usage(QStringLiteral("--sha256 \"%1\" is not 64 hexadecimal digits")
                                 .arg(parser.value(sha256)));
            }
            request.sha256 = parser.value(sha256).toLower();
        }
        request.force = parser.isSet(force);
        request.allowOverlap = parser.isSet(allowOverlap);
        if (parser.isSet(retries)) {
            const std::optional<int> count = Number(parser.value(retries), 0, 100);
            if (!count) {
                return Usage(QStringLiteral("--retries must be 0 to 100"));
            }
            request.retries = *count;
        }
    }
    if (name == QLatin1String("offsets")) {
        request.setOffsets = parser.isSet(set);
        const bool values = parser.isSet(irig) || parser.isSet(gps) || parser.isSet(ieee1344);
        if (!request.setOffsets && values) {
            return Usage(QStringLiteral("offsets: --irig, --gps and --ieee1344 need --set"));
        }
        if (request.setOffsets && (!parser.isSet(irig) || !parser.isSet(gps))) {
            return Usage(QStringLiteral("offsets --set needs --irig and --gps"));
        }
        for (const QCommandLineOption* option : {&irig, &gps, &ieee1344}) {
            if (!parser.isSet(*option)) {
                continue;
            }
            const QString spelt = option->names().constFirst();
            const auto row = std::find_if(fleet::kSettings.begin(), fleet::kSettings.end(),
                                          [&spelt](const fleet::SettingRow& setting) {
                                              return spelt == QLatin1String(setting.option);
                                          });
            const auto parsed =
                fleet::Parse(row->setting, parser.value(*option), fleet::Spelling::kCommandLine);
            if (const auto* refusal = std::get_if<QString>(&parsed)) {
                return Usage(*refusal);
            }
            request.offsets.Set(row->setting, std::get<fleet::Value>(parsed));
        }
    }
    return {request, {}, kDone};
}

std::optional<QString> ResolveInventory(Request& request) {
    if (request.inventory.isEmpty() ||
        (request.selection.Empty() && request.command != QLatin1String("inventory"))) {
        return std::nullopt;
    }
    const auto loaded = fleet::LoadInventory(request.inventory);
    if (const auto* fault = std::get_if<fleet::InventoryFault>(&loaded)) {
        return fault->Text();
    }
    const fleet::Inventory& inventory = std::get<fleet::Inventory>(loaded);
    fleet::Selection selection = request.selection;
    selection.all = selection.all || selection.Empty();
    const auto selected = fleet::Select(inventory, selection);
    if (const auto* fault = std::get_if<fleet::InventoryFault>(&selected)) {
        return fault->Text();
    }
    request.units = std::get<std::vector<fleet::InventoryUnit>>(selected);
    request.ports.clear();
    for (const fleet::InventoryUnit& unit : request.units) {
        request.ports.append(unit.port);
    }
    const Command* command = nullptr;
    for (const Command& candidate : kCommands) {
        if (request.command == QLatin1String(candidate.name)) {
            command = &candidate;
        }
    }
    if (command != nullptr && command->unit && !command->manyPorts && request.ports.size() > 1) {
        return QStringLiteral("%1 takes one unit; the selection names %2")
            .arg(request.command)
            .arg(request.ports.size());
    }
    return std::nullopt;
}

}  // namespace irig::cli
