#include "cli/commandline.h"

#include <QJsonDocument>
#include <algorithm>

#include "link/portmap.h"

namespace irig::cli {

QString UsageText(const QString& what) {
    return QStringLiteral("irigctl: %1\nRun \"irigctl --help\" for the commands and options.\n")
        .arg(what);
}

OptionList::OptionList(std::initializer_list<Part> parts) {
    for (const Part& part : parts) {
        options_.insert(options_.end(), part.options.begin(), part.options.end());
    }
}

std::vector<const Option*> Selection() {
    return {&kInventory, &kUnit, &kAll, &kSelect};
}

std::vector<const Option*> UnitWork(Ports ports) {
    std::vector<const Option*> options{ports == Ports::kSeveral ? &kPorts : &kPort, &kTimeout,
                                       &kMonitor};
    const std::vector<const Option*> selection = Selection();
    options.insert(options.end(), selection.begin(), selection.end());
    return options;
}

std::vector<const Option*> Output() {
    return {&kJson, &kQuiet};
}

const Option* Command::Find(const QString& option) const {
    for (const Option* candidate : options) {
        if (option == QLatin1String(candidate->name)) {
            return candidate;
        }
    }
    return nullptr;
}

bool Command::OneUnit() const {
    const Option* port = Find(QLatin1String(kPort.name));
    return port != nullptr && !port->several;
}

void Write(std::FILE* file, const QString& text) {
    if (!text.isEmpty()) {
        const QByteArray bytes = text.toLocal8Bit();
        (void)std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), file);
        (void)std::fflush(file);
    }
}

QString JsonLine(const QJsonObject& json) {
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) +
           QLatin1Char('\n');
}

Given::Given(const QCommandLineParser& parser, const Command& command, Environment environment)
    : parser_(parser), command_(command), environment_(std::move(environment)) {}

bool Given::IsSet(const Option& option) const {
    return Takes(option) && parser_.isSet(Name(option));
}

QStringList Given::Values(const Option& option) const {
    const Option* taken = command_.Find(Name(option));
    if (taken == nullptr) {
        return {};
    }
    QStringList values = parser_.values(Name(option));
    if (values.isEmpty() && taken->environment != nullptr && environment_) {
        if (QString value = environment_(taken->environment); !value.isEmpty()) {
            values.append(value);
        }
    }
    return values;
}

QString Given::Value(const Option& option) const {
    const QStringList values = Values(option);
    return values.isEmpty() ? QString() : values.constLast();
}

std::optional<QString> Given::Number(const Option& option, std::optional<int>& into) const {
    const Option* taken = command_.Find(Name(option));
    if (taken == nullptr || !taken->range || !parser_.isSet(Name(option))) {
        return std::nullopt;
    }
    const Range& range = *taken->range;
    bool ok = false;
    const int value = parser_.value(Name(option)).toInt(&ok);
    if (!ok || value < range.low || value > range.high) {
        return QStringLiteral("--%1 must be %2 to %3%4")
            .arg(Name(option))
            .arg(range.low)
            .arg(range.high)
            .arg(QLatin1String(range.unit));
    }
    into = value;
    return std::nullopt;
}

namespace {

const char kExitCodes[] =
    "Exit codes:\n"
    "  0    done\n"
    "  1    the unit did not answer, or reported a failure\n"
    "  2    the command line is wrong, or the inventory or monitor's web configuration is\n"
    "       faulty\n"
    "  3    the file cannot be read, is not a regular file, is faulty, or has nothing to\n"
    "       program\n"
    "  4    a port cannot be opened (no such device, permission denied, in use, not lent\n"
    "       by its --monitor), or monitor cannot listen on its --listen address\n"
    "  5    apply --check: something would change\n"
    "  130  interrupted (Ctrl-C), also ending status --watch and monitor\n"
    "  143  terminated (SIGTERM)\n";

const char kPortsText[] =
    "Ports: --port COMn (any case), found as the window finds it (the link\n"
    "~/.config/irig-config/ports/COMn, else /dev/ttyS<n-1>), --port /dev/ttyUSB0, or a terminal\n"
    "server's port: --port rfc2217://HOST:PORT (Telnet, RFC 2217 sets the line) or\n"
    "socket://HOST:PORT (raw TCP); -p for short. Without --port, the port in the environment\n"
    "variable IRIGCTL_PORT. Or units of an inventory (-i FILE, or IRIGCTL_INVENTORY): --unit\n"
    "NAME (once for each), --all, or --select KEY=VALUE (by label; several must all match).\n"
    "A port that irigctl monitor watches is borrowed from it with --monitor URL (or\n"
    "IRIGCTL_MONITOR, or the inventory's monitor:).\n";

QString GeneralHelp(Commands commands) {
    QString text = QStringLiteral(
        "Usage: irigctl COMMAND [options]\n"
        "Configures and maintains IRIG-B time-code units over serial ports at 19200 baud, as the\n"
        "irig-config window does, without a display. Options may stand before or after the\n"
        "command. Results go to standard output; progress and messages to standard error.\n\n"
        "Commands:\n");
    for (const Command* command : commands) {
        text += QStringLiteral("  %1%2\n")
                    .arg(QLatin1String(command->name), -16)
                    .arg(QString::fromUtf8(command->summary));
    }
    text += QLatin1Char('\n') + QLatin1String(kPortsText) + QLatin1Char('\n');
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

// Whether `option` is one that many commands share (UnitWork, Output): irigctl --help says what
// they have in common.
bool Shared(const Option* option) {
    std::vector<const Option*> shared = UnitWork(Ports::kSeveral);
    for (const std::vector<const Option*>& group : {UnitWork(Ports::kOne), Output()}) {
        shared.insert(shared.end(), group.begin(), group.end());
    }
    return std::find(shared.begin(), shared.end(), option) != shared.end();
}

void AddOption(QCommandLineParser& parser, const Option& option) {
    QStringList names{QLatin1String(option.name)};
    if (option.shortName != nullptr) {
        names.prepend(QLatin1String(option.shortName));
    }
    QString help = QString::fromUtf8(option.help);
    if (option.environment != nullptr) {
        help = help.arg(QLatin1Char('$') + QLatin1String(option.environment));
    }
    parser.addOption({names, help, QLatin1String(option.value)});
}

// The options of `command` that are (or are not) shared, as QCommandLineParser lays them out,
// without its heading; --help and the argument with its own.
QString OptionsText(const Command& command, bool shared) {
    QCommandLineParser parser;
    if (!shared) {
        parser.addOption(
            {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")});
    }
    for (const Option* option : command.options) {
        if (Shared(option) == shared) {
            AddOption(parser, *option);
        }
    }
    if (!shared && command.argument != nullptr) {
        parser.addPositionalArgument(QLatin1String(command.argument),
                                     QString::fromUtf8(command.argumentHelp));
    }
    const QString text = parser.helpText();
    return text.mid(text.indexOf(QLatin1String("\nOptions:\n")) + 10);
}

// The command's own options first; the shared ones after; what all commands have in common
// (ports, inventories, exit codes) only in irigctl --help.
QString CommandHelp(const Command& command) {
    QString text =
        QStringLiteral("Usage: irigctl %1%2 [options]\n%3\n")
            .arg(QLatin1String(command.name),
                 command.argument != nullptr ? QLatin1Char(' ') + QLatin1String(command.argument)
                                             : QString(),
                 QString::fromUtf8(command.description));
    text += QStringLiteral("\nOptions:\n") + OptionsText(command, false);
    if (const QString shared = OptionsText(command, true); !shared.trimmed().isEmpty()) {
        text += QStringLiteral("\nCommon options:\n") + shared;
    }
    return text + QStringLiteral(
                      "\nPorts, inventories, monitors and exit codes: \"irigctl --help\" and "
                      "\"man irigctl\".\n");
}

// The command's options, its argument and --help, as QCommandLineParser reads them.
void Declare(QCommandLineParser& parser, const Command& command) {
    parser.addOption(
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help.")});
    for (const Option* option : command.options) {
        AddOption(parser, *option);
    }
    if (command.argument != nullptr) {
        parser.addPositionalArgument(QLatin1String(command.argument),
                                     QString::fromUtf8(command.argumentHelp));
    }
}

// Whether `name` (without its dashes) is an option that takes a value, of any command: the word
// after it is never the command.
bool TakesValue(Commands commands, const QString& name) {
    for (const Command* command : commands) {
        for (const Option* option : command->options) {
            if (option->value != nullptr &&
                (name == QLatin1String(option->name) ||
                 (option->shortName != nullptr && name == QLatin1String(option->shortName)))) {
                return true;
            }
        }
    }
    return false;
}

// What stands where: the command word (the first argument that is neither an option nor an
// option's value), and whether help or the version was asked for anywhere.
struct Scan {
    qsizetype command = -1;
    bool help = false;
    bool version = false;
};

Scan ScanArguments(const QStringList& arguments, Commands commands) {
    Scan scan;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            scan.help = true;
        } else if (argument == QLatin1String("-V") || argument == QLatin1String("--version")) {
            scan.version = true;
        } else if (argument.startsWith(QLatin1Char('-')) && argument.size() > 1) {
            if (TakesValue(commands,
                           argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1))) {
                ++i;  // its value, whatever it looks like
            }
        } else if (scan.command < 0) {
            scan.command = i;
        }
    }
    return scan;
}

std::optional<QString> ReadArgument(const QCommandLineParser& parser, const Command& command,
                                    Common& common) {
    const QStringList positional = parser.positionalArguments();
    if (command.argument != nullptr) {
        if (positional.size() != 1) {
            return QStringLiteral("%1 takes one %2")
                .arg(QLatin1String(command.name), QLatin1String(command.argument));
        }
        common.file = positional.constFirst();
    } else if (!positional.isEmpty()) {
        return QStringLiteral("%1: unexpected argument \"%2\"")
            .arg(QLatin1String(command.name), positional[0]);
    }
    return std::nullopt;
}

// The units of an inventory: --unit, --all, --select, and the inventory they need.
std::optional<QString> ReadSelection(const Given& given, Common& common) {
    if (!given.Takes(kUnit)) {
        return std::nullopt;
    }
    common.selection.names = given.Values(kUnit);
    common.selection.all = given.IsSet(kAll);
    for (const QString& pair : given.Values(kSelect)) {
        const qsizetype equals = pair.indexOf(QLatin1Char('='));
        if (equals <= 0 || equals == pair.size() - 1) {
            return QStringLiteral("--select \"%1\" is not KEY=VALUE").arg(pair);
        }
        common.selection.labels.append({pair.left(equals), pair.mid(equals + 1)});
    }
    common.inventory = given.Value(kInventory);
    if (common.inventory.isEmpty() && !common.selection.Empty()) {
        return QStringLiteral("--unit, --all and --select needs --inventory (or %1)")
            .arg(QLatin1String(kInventoryVariable));
    }
    if (!common.selection.Empty() && given.IsSet(kPort)) {
        return QStringLiteral("--port and --unit, --all or --select do not go together");
    }
    return std::nullopt;
}

// The ports given (or IRIGCTL_PORT's), unless the units come from an inventory.
std::optional<QString> ReadPorts(const Given& given, Common& common) {
    const Option* port = given.Of().Find(QLatin1String(kPort.name));
    if (port == nullptr || !common.selection.Empty()) {
        return std::nullopt;
    }
    const QString name = QLatin1String(given.Of().name);
    const QStringList values = given.Values(*port);
    if (values.isEmpty()) {
        return QStringLiteral("%1 needs --port (or %2)%3")
            .arg(name, QLatin1String(kPortVariable),
                 given.Takes(kUnit) ? QStringLiteral(", or --unit, --all or --select") : QString());
    }
    if (values.size() > 1 && !port->several) {
        return QStringLiteral("%1 takes one --port").arg(name);
    }
    for (const QString& text : values) {
        const std::optional<QString> normal = link::PortArgument(text);
        if (!normal) {
            return QStringLiteral("--port ") + link::PortArgumentProblem(text);
        }
        common.ports.append(*normal);
    }
    if (common.ports.removeDuplicates() > 0) {
        return QStringLiteral("%1: the same --port twice").arg(name);
    }
    return std::nullopt;
}

// The monitor the units are borrowed from: --monitor, else IRIGCTL_MONITOR (else the inventory's,
// read with it).
std::optional<QString> ReadMonitor(const Given& given, Common& common) {
    const QString text = given.Value(kMonitor);
    if (text.isEmpty()) {
        return std::nullopt;
    }
    const auto url = lease::ParseMonitorUrl(text);
    if (const auto* wrong = std::get_if<QString>(&url)) {
        return QStringLiteral("--monitor: %1").arg(*wrong);
    }
    common.monitor = std::get<QUrl>(url);
    return std::nullopt;
}

// Everything the command was given: its argument, output and selection, its own options, then
// its ports and waits (so that apply, which takes units only from an inventory, says so first).
std::optional<QString> Read(const QCommandLineParser& parser, const Given& given,
                            Request& request) {
    Common& common = request.common;
    common.json = given.IsSet(kJson);
    common.quiet = given.IsSet(kQuiet);
    std::optional<QString> wrong = ReadArgument(parser, *request.command, common);
    if (!wrong) {
        wrong = ReadSelection(given, common);
    }
    if (!wrong && request.command->read != nullptr) {
        wrong = request.command->read(given, request);
    }
    if (!wrong) {
        wrong = ReadPorts(given, common);
    }
    if (!wrong) {
        wrong = ReadMonitor(given, common);
    }
    return wrong ? wrong : given.Number(kTimeout, common.timeoutMs);
}

const Command* Find(Commands commands, const QString& name) {
    for (const Command* command : commands) {
        if (name == QLatin1String(command->name)) {
            return command;
        }
    }
    return nullptr;
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments, Commands commands,
                             const Environment& environment) {
    const Scan scan = ScanArguments(arguments, commands);
    const QString name = scan.command < 0 ? QString() : arguments[scan.command];
    const Command* command = Find(commands, name);
    if (scan.version) {
        return {std::nullopt, QStringLiteral("irigctl %1\n").arg(QLatin1String(IRIG_VERSION)),
                kDone};
    }
    if (scan.help && command == nullptr) {
        return {std::nullopt, GeneralHelp(commands), kDone};
    }
    if (scan.command < 0) {
        return Usage(QStringLiteral("no command given"));
    }
    if (command == nullptr) {
        return Usage(QStringLiteral("unknown command \"%1\"").arg(name));
    }
    QCommandLineParser parser;
    Declare(parser, *command);
    QStringList rest = arguments;
    rest.removeAt(scan.command);
    if (!parser.parse(rest)) {
        return Usage(QStringLiteral("%1: %2").arg(name, parser.errorText()));
    }
    if (scan.help) {
        return {std::nullopt, CommandHelp(*command), kDone};
    }
    Request request;
    request.command = command;
    if (const std::optional<QString> wrong =
            Read(parser, Given(parser, *command, environment), request)) {
        return Usage(*wrong);
    }
    return {request, {}, kDone};
}

std::optional<QString> ResolveInventory(Request& request) {
    Common& common = request.common;
    if (common.inventory.isEmpty() || common.selection.Empty()) {
        return std::nullopt;
    }
    const auto loaded = fleet::LoadInventory(common.inventory);
    if (const auto* fault = std::get_if<fleet::InventoryFault>(&loaded)) {
        return fault->Text();
    }
    const auto selected = fleet::Select(std::get<fleet::Inventory>(loaded), common.selection);
    if (const auto* fault = std::get_if<fleet::InventoryFault>(&selected)) {
        return fault->Text();
    }
    common.units = std::get<std::vector<fleet::InventoryUnit>>(selected);
    if (common.monitor.isEmpty()) {
        common.monitor = std::get<fleet::Inventory>(loaded).monitor;
    }
    common.monitorTls = std::get<fleet::Inventory>(loaded).monitorTls;
    common.ports.clear();
    for (const fleet::InventoryUnit& unit : common.units) {
        common.ports.append(unit.port);
    }
    if (request.command->OneUnit() && common.ports.size() > 1) {
        return QStringLiteral("%1 takes one unit; the selection names %2")
            .arg(QLatin1String(request.command->name))
            .arg(common.ports.size());
    }
    return std::nullopt;
}

}  // namespace irig::cli
