#include "cli/commandline.h"

#include <QCommandLineParser>

namespace irig::cli {

namespace {

struct Command {
    const char* name;
    const char* summary;
    const char* description;
    bool unit;       // talks to a unit: --port, --timeout
    bool manyPorts;  // --port may be given several times
    bool file;       // takes FILE
};

const Command kCommands[] = {
    {"status", "show the unit's source, date, time and firmware version",
     "Shows each unit's reference source, date (month/day/year), time and firmware version, as\n"
     "the window shows them. With --watch, again every 500 ms until interrupted.",
     true, true, false},
    {"set-time", "set the unit's clock from this computer's clock",
     "Sets the unit's clock from this computer's local clock and shows what the unit answered.",
     true, false, false},
    {"offsets", "show, or with --set change, the offsets and the IEEE 1344 flag",
     "Shows the unit's IRIG-B and GPS offsets (whole hours) and its IEEE 1344 flag. With --set,\n"
     "changes them first: the offsets are read as the window reads its boxes (a value beyond\n"
     "-23..23 is sent as -23 or 23); without --ieee1344 the unit's flag is kept.",
     true, false, false},
    {"gps-message", "show the unit's GPS message", "Shows the unit's GPS message.", true, false,
     false},
    {"reboot", "re-boot the unit and wait until it is back",
     "Re-boots the unit and waits for it to report that the re-boot is complete.", true, false,
     false},
    {"inspect", "check a firmware file as Load does, without a unit",
     "Reads an Intel HEX file as the window's Load does and shows every faulty line, the bytes\n"
     "loaded, the address ranges present, the blocks Program would send, the program ID, the\n"
     "SHA-256 of the bytes that would be written and how long the update takes at 19200 baud.",
     false, false, true},
    {"flash", "replace the unit's firmware from an Intel HEX file, unattended",
     "Replaces each unit's firmware: re-boot, flash mode, erase, every block with its echo\n"
     "checked, and a re-boot to leave flash mode. A faulty file, or one with nothing to program,\n"
     "is refused before anything is sent. A missing or wrong echo or a failed erase starts over\n"
     "from the erase, at most --retries times. Several --port options flash several units at\n"
     "once. Ctrl-C stops after the block in flight.",
     true, true, true},
};

const char kExitCodes[] =
    "Exit codes:\n"
    "  0    done\n"
    "  1    the unit did not answer, or reported a failure\n"
    "  2    the command line is wrong\n"
    "  3    the file cannot be read, is faulty, or has nothing to program\n"
    "  4    a port cannot be opened (no such device, permission denied, in use)\n"
    "  130  interrupted (Ctrl-C)\n";

QString GeneralHelp() {
    QString text = QStringLiteral(
        "Usage: irigctl COMMAND [options]\n"
        "Configures and maintains IRIG-B time-code units over serial ports at 19200 baud, as the\n"
        "irig-config window does, without a display.\n\nCommands:\n");
    for (const Command& command : kCommands) {
        text += QStringLiteral("  %1%2\n")
                    .arg(QLatin1String(command.name), -14)
                    .arg(QLatin1String(command.summary));
    }
    text += QStringLiteral(
        "\nPorts: --port COMn, found as the window finds it (the link\n"
        "~/.config/irig-config/ports/COMn, else /dev/ttyS<n-1>), or --port /dev/ttyUSB0.\n\n");
    text += QLatin1String(kExitCodes);
    text += QStringLiteral(
        "\nOptions:\n"
        "  -h, --help     show this help; \"irigctl COMMAND --help\" shows a command's options\n"
        "  -V, --version  show the version\n");
    return text;
}

CommandLine Usage(const QString& what) {
    return {std::nullopt,
            QStringLiteral("irigctl: %1\nRun \"irigctl --help\" for the commands and options.\n")
                .arg(what),
            kUsage};
}

QString CommandHelp(const Command& command, const QCommandLineParser& parser) {
    QString options = parser.helpText();
    options = options.mid(options.indexOf(QLatin1String("\nOptions:")));
    return QStringLiteral("Usage: irigctl %1%2 [options]\n%3\n")
               .arg(QLatin1String(command.name), command.file ? QStringLiteral(" FILE") : QString(),
                    QLatin1String(command.description)) +
           options + QLatin1Char('\n') + QLatin1String(kExitCodes);
}

// A whole number from `low` to `high`, or nothing.
std::optional<int> Number(const QString& text, int low, int high) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value >= low && value <= high ? std::optional<int>(value) : std::nullopt;
}

}  // namespace

CommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser first;
    first.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")}, {});
    first.addOptions({help, version});
    first.addPositionalArgument(QStringLiteral("command"), {});
    if (!first.parse(arguments)) {
        return Usage(first.errorText());
    }
    if (first.positionalArguments().isEmpty()) {
        if (first.isSet(version)) {
            return {std::nullopt, QStringLiteral("irigctl %1\n").arg(QLatin1String(IRIG_VERSION)),
                    kDone};
        }
        if (first.isSet(help)) {
            return {std::nullopt, GeneralHelp(), kDone};
        }
        return Usage(QStringLiteral("no command given"));
    }

    const QString name = first.positionalArguments().constFirst();
    const Command* command = nullptr;
    for (const Command& candidate : kCommands) {
        if (name == QLatin1String(candidate.name)) {
            command = &candidate;
        }
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
    const QCommandLineOption port(
        QStringLiteral("port"),
        command->manyPorts ? QStringLiteral("The unit's port: COMn or a device path. Give it once "
                                            "for each unit to serve at once.")
                           : QStringLiteral("The unit's port: COMn or a device path."),
        QStringLiteral("PORT"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("Wait at most MS milliseconds for each answer of the unit, instead of the "
                       "waits' own time-outs (a reply: 1 s and its wire time; a re-boot: 10 s; "
                       "an erase: 30 s)."),
        QStringLiteral("MS"));
    const QCommandLineOption retries(
        QStringLiteral("retries"),
        QStringLiteral("Start over from the erase at most N times (default 2)."),
        QStringLiteral("N"));
    const QCommandLineOption watch(QStringLiteral("watch"),
                                   QStringLiteral("Ask again every 500 ms until interrupted."));
    const QCommandLineOption set(QStringLiteral("set"),
                                 QStringLiteral("Change the offsets (and the flag) first."));
    const QCommandLineOption irig(QStringLiteral("irig"),
                                  QStringLiteral("The IRIG-B offset in hours, with --set."),
                                  QStringLiteral("H"));
    const QCommandLineOption gps(QStringLiteral("gps"),
                                 QStringLiteral("The GPS offset in hours, with --set."),
                                 QStringLiteral("H"));
    const QCommandLineOption ieee1344(QStringLiteral("ieee1344"),
                                      QStringLiteral("The IEEE 1344 flag, on or off, with --set."),
                                      QStringLiteral("on|off"));
    const QCommandLineOption requireSync(
        QStringLiteral("require-sync"),
        QStringLiteral("Refuse (exit 1) when this computer's clock is not synchronised."));

    parser.addOption(commandHelp);
    if (command->unit) {
        parser.addOptions({port, timeout});
    }
    parser.addOption(json);
    if (name == QLatin1String("status")) {
        parser.addOption(watch);
    } else if (name == QLatin1String("set-time")) {
        parser.addOption(requireSync);
    } else if (name == QLatin1String("offsets")) {
        parser.addOptions({set, irig, gps, ieee1344});
    } else if (name == QLatin1String("flash")) {
        parser.addOption(retries);
    }
    if (command->file) {
        parser.addPositionalArgument(QStringLiteral("FILE"),
                                     QStringLiteral("The firmware, an Intel HEX file."));
    }

    QStringList rest = arguments.mid(0, 1) + first.positionalArguments().mid(1);
    if (!parser.parse(rest)) {
        return Usage(QStringLiteral("%1: %2").arg(name, parser.errorText()));
    }
    if (parser.isSet(commandHelp)) {
        return {std::nullopt, CommandHelp(*command, parser), kDone};
    }

    Request request;
    request.command = name;
    request.json = parser.isSet(json);
    const QStringList positional = parser.positionalArguments();
    if (command->file) {
        if (positional.size() != 1) {
            return Usage(QStringLiteral("%1 takes one FILE").arg(name));
        }
        request.file = positional.constFirst();
    } else if (!positional.isEmpty()) {
        return Usage(QStringLiteral("%1: unexpected argument \"%2\"").arg(name, positional[0]));
    }
    if (command->unit) {
        request.ports = parser.values(port);
        if (request.ports.isEmpty()) {
            return Usage(QStringLiteral("%1 needs --port").arg(name));
        }
        if (request.ports.size() > 1 && !command->manyPorts) {
            return Usage(QStringLiteral("%1 takes one --port").arg(name));
        }
        if (request.ports.removeDuplicates() > 0) {
            return Usage(QStringLiteral("%1: the same --port twice").arg(name));
        }
        if (parser.isSet(timeout)) {
            request.timeoutMs = Number(parser.value(timeout), 1, 3'600'000);
            if (!request.timeoutMs) {
                return Usage(QStringLiteral("--timeout must be 1 to 3600000 milliseconds"));
            }
        }
    }
    request.watch = name == QLatin1String("status") && parser.isSet(watch);
    request.requireSync = name == QLatin1String("set-time") && parser.isSet(requireSync);
    if (name == QLatin1String("flash") && parser.isSet(retries)) {
        const std::optional<int> count = Number(parser.value(retries), 0, 100);
        if (!count) {
            return Usage(QStringLiteral("--retries must be 0 to 100"));
        }
        request.retries = *count;
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
        request.irigOffset = parser.value(irig);
        request.gpsOffset = parser.value(gps);
        if (parser.isSet(ieee1344)) {
            const QString flag = parser.value(ieee1344);
            if (flag != QLatin1String("on") && flag != QLatin1String("off")) {
                return Usage(QStringLiteral("--ieee1344 must be on or off"));
            }
            request.ieee1344 = flag == QLatin1String("on");
        }
    }
    return {request, {}, kDone};
}

}  // namespace irig::cli
