// irigctl: the jobs of the irig-config window from the command line, for scripts, production lines
// and many units at once, and the monitor for Prometheus. See irigctl --help. Above both: the
// command line is read here and handed to the commands or to the monitor.
#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstdio>
#include <optional>

#include "cli/ansible.h"
#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/runner.h"
#include "monitor/monitor.h"
#include "monitor/webconfig.h"

int main(int argc, char* argv[]) {
    // Qt's own event loop: with GLib's, every change to the port's notifiers wakes the loop once
    // more, a third of the system calls of a block's round trip.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) {
        qputenv("QT_NO_GLIB", "1");
    }
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    irig::cli::CommandLine line =
        irig::cli::ParseCommandLine(arguments, qEnvironmentVariable(irig::cli::kPortVariable),
                                    qEnvironmentVariable(irig::cli::kInventoryVariable));
    if (!line.request) {
        (void)std::fputs(line.text.toLocal8Bit().constData(),
                         line.exitCode == irig::cli::kDone ? stdout : stderr);
        return line.exitCode;
    }
    // A faulty inventory, or a selection of no unit, is refused before any port is opened.
    if (const std::optional<QString> fault = irig::cli::ResolveInventory(*line.request)) {
        (void)std::fputs(irig::cli::UsageText(*fault).toLocal8Bit().constData(), stderr);
        return irig::cli::kUsage;
    }
    // A file is inspected without the event loop, and so without the application object's start-up
    // (about a millisecond, a tenth of the whole inspection of a full image).
    std::optional<QCoreApplication> app;
    if (line.request->command != QLatin1String("inspect")) {
        app.emplace(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("irigctl"));
        QCoreApplication::setApplicationVersion(QStringLiteral(IRIG_VERSION));
        // The serial component's own warnings would repeat what irigctl says in its words.
        QLoggingCategory::setFilterRules(QStringLiteral("irig.port.warning=false"));
    }
    if (line.request->command == QLatin1String("ansible-module")) {
        return irig::cli::AnsibleModule(line.request->file, stdout);
    }
    if (line.request->command == QLatin1String("monitor")) {
        irig::monitor::Options options;
        options.ports = line.request->ports;
        options.units = line.request->units;
        options.listenHost = line.request->listenHost;
        options.listenPort = line.request->listenPort;
        options.webConfig = line.request->webConfig.isEmpty()
                                ? qEnvironmentVariable(irig::monitor::kWebConfigVariable)
                                : line.request->webConfig;
        options.timeouts = irig::cli::TimeoutsOf(*line.request);
        return irig::monitor::Run(options, stderr);
    }
    return irig::cli::Run(*line.request, stdout, stderr);
}
