// irigctl: the jobs of the irig-config window from the command line, for scripts, production lines
// and many units at once, and the monitor for Prometheus. See irigctl --help. Above the commands:
// the command line is read here and handed to the command it names.
#include <QCoreApplication>
#include <QLoggingCategory>
#include <cstdio>
#include <optional>

#include "cli/commandline.h"
#include "cli/runner.h"
#include "irigctl/commands.h"

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
    irig::cli::CommandLine line = irig::cli::ParseCommandLine(
        arguments, irig::irigctl::AllCommands(),
        [](const char* variable) { return qEnvironmentVariable(variable); });
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
    std::optional<QCoreApplication> app;
    if (line.request->command->eventLoop) {
        app.emplace(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("irigctl"));
        QCoreApplication::setApplicationVersion(QStringLiteral(IRIG_VERSION));
        // The serial component's own warnings would repeat what irigctl says in its words.
        QLoggingCategory::setFilterRules(QStringLiteral("irig.port.warning=false"));
    }
    return irig::cli::Run(*line.request, stdout, stderr);
}
