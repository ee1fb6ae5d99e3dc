#include "irigctl/monitorcommand.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <tuple>
#include <utility>

#include "cli/commandline.h"
#include "monitor/monitor.h"
#include "web/webconfig.h"

namespace irig::monitor {

namespace {

constexpr cli::Option kListen{
    .name = "listen",
    .value = "ADDRESS:PORT",
    .help =
        "Serve on ADDRESS:PORT (default 127.0.0.1:9810, this computer only): an IP address, an "
        "IPv6 one in brackets; port 0 takes a free port and says which."};
constexpr cli::Option kWebConfig{
    .name = "web-config",
    .value = "FILE",
    .help =
        "TLS, users and headers from FILE, the Prometheus exporter toolkit's web configuration "
        "(default: %1).",
    .environment = web::kWebConfigVariable};
constexpr cli::Option kExternalHost{
    .name = "web-external-host",
    .value = "NAME",
    .help =
        "Without users, a request that changes something (POST /check-time, a lease) is served "
        "only when its Host is this computer's address, localhost, or a NAME given here (once "
        "for each name this computer is reached by), so that no web page can rebind its own name "
        "to this computer and act through a browser on it.",
    .several = true};
constexpr cli::Option kLeaseLimit{
    .name = "lease-limit",
    .value = "SECONDS",
    .help =
        "Lend a unit for at most SECONDS at a time (default 10800, 3 h, many times the 2 min 8 s "
        "a full image takes on the wire); a longer lease asked for is granted for this long.",
    .range = cli::Range{1, lease::kLeaseLimitSeconds, " seconds"}};

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

std::optional<QString> Read(const cli::Given& given, cli::Request& request) {
    Options options;
    if (given.IsSet(kListen)) {
        const QString listen = given.Value(kListen);
        const std::optional<std::pair<QString, quint16>> address = ListenAddress(listen);
        if (!address) {
            return QStringLiteral(
                       "--listen \"%1\" is not ADDRESS:PORT (an IP address, an IPv6 one in "
                       "brackets, and a port from 0 to 65535)")
                .arg(listen);
        }
        std::tie(options.listenHost, options.listenPort) = *address;
    }
    options.webConfig = given.Value(kWebConfig);
    static const QRegularExpression name(
        QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$"));
    for (const QString& host : given.Values(kExternalHost)) {
        if (!name.match(host).hasMatch() || host.size() > 253) {
            return QStringLiteral("--web-external-host \"%1\" is not a host name").arg(host);
        }
        options.externalHosts.append(host.toLower());
    }
    std::optional<QString> wrong = given.Number(kLeaseLimit, options.leaseLimitSeconds);
    request.options = options;
    return wrong;
}

int RunMonitor(const cli::Request& request, const cli::Context& context) {
    Options options = request.OptionsOf<Options>();
    options.ports = request.common.ports;
    options.units = request.common.units;
    if (!options.units.empty()) {
        options.inventory = request.common.inventory;
        options.selection = request.common.selection;
    }
    options.timeouts = request.common.Timeouts();
    options.changes = context.changes;
    return Run(options, context.err, context.makePort);
}

}  // namespace

const cli::Command kCommand{
    .name = "monitor",
    .summary = "serve every unit's state to Prometheus at /metrics, until interrupted",
    .description =
        "Watches every unit given (--port once for each) and serves what it knows at\n"
        "http://127.0.0.1:9810/metrics in the Prometheus text format: whether each unit answers,\n"
        "its reference source and firmware version, its clock's offset from this computer's with\n"
        "the uncertainty of that, and the state of this computer's clock. Asks each unit for its\n"
        "clock every 5 s and measures its offset every minute (POST /check-time measures now). A\n"
        "port that goes away, or is not there at the start, is awaited and watched again once it\n"
        "is back. Runs until interrupted; what happens to the units goes to standard error. With\n"
        "an inventory, every series also carries the unit's name and labels, the offsets are read\n"
        "every 5 minutes, and irig_unit_setting_matches says whether each setting the inventory\n"
        "gives matches the unit. Lends a unit to another tool (irigctl --monitor, the window)\n"
        "on POST /units/NAME/lease or /lease?port=PORT: it closes the port until the unit is\n"
        "returned or the lease ends, publishes irig_unit_leased 1 meanwhile, and records each\n"
        "lease in the system log. Its / is a page for technicians: every unit at a glance, the\n"
        "worst first, with its offset over the last two hours; /units/NAME is one unit's page\n"
        "(Measure now), /units the same as JSON.",
    .options = {cli::kPorts, cli::kTimeout, cli::Selection(), kListen, kWebConfig, kExternalHost,
                kLeaseLimit},
    .read = Read,
    .run = RunMonitor,
};

}  // namespace irig::monitor
