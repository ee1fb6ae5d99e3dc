// What irigctl is asked to do, read from its arguments through the commands' declarations with
// QCommandLineParser (options on either side of the command, defaults from the environment), and
// the texts of --help and --version. Input is strict: a value that is not exactly what an option
// takes is refused here, before any port is opened. ParseCommandLine does no I/O (main prints what
// it returns); ResolveInventory reads the inventory file.
#pragma once

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <span>

#include "cli/command.h"

namespace irig::cli {

using Commands = std::span<const Command* const>;
// The value of an environment variable; empty when it is not set.
using Environment = std::function<QString(const char* variable)>;

// The options one command was given, read through its declaration: an option the command does not
// take is never set, and one not given takes its environment default, if it has one.
class Given {
public:
    Given(const QCommandLineParser& parser, const Command& command, Environment environment);

    const Command& Of() const { return command_; }
    bool Takes(const Option& option) const { return command_.Find(Name(option)) != nullptr; }
    bool IsSet(const Option& option) const;
    // Every value given, else the environment's.
    QStringList Values(const Option& option) const;
    // The last value given, else the environment's.
    QString Value(const Option& option) const;
    // The whole number given, into `into`, when it lies within the option's range; what is wrong
    // with it otherwise. Nothing is said, and `into` is kept, when the option is not given.
    std::optional<QString> Number(const Option& option, std::optional<int>& into) const;
    std::optional<QString> Number(const Option& option, int& into) const {
        std::optional<int> number;
        std::optional<QString> wrong = Number(option, number);
        into = number.value_or(into);
        return wrong;
    }

private:
    static QString Name(const Option& option) { return QLatin1String(option.name); }

    const QCommandLineParser& parser_;
    const Command& command_;
    Environment environment_;
};

// What a wrong command line says on stderr: "irigctl: " `what`, and where the help is.
QString UsageText(const QString& what);

struct CommandLine {
    std::optional<Request> request;  // unset: print `text` and exit with `exitCode`
    QString text;                    // help, version, or what is wrong and how to get help
    int exitCode = kDone;
};

// `commands` in the order --help lists them; `environment` gives the defaults of options that
// have one (IRIGCTL_PORT, IRIGCTL_INVENTORY, ...).
CommandLine ParseCommandLine(const QStringList& arguments, Commands commands,
                             const Environment& environment = {});

// Reads the inventory and fills in the units the request selects, with their ports; what is wrong
// (the inventory's fault with its file, line and column, or a selection of no unit), if anything.
std::optional<QString> ResolveInventory(Request& request);

}  // namespace irig::cli
