// What irigctl is asked to do, read from its arguments with QCommandLineParser (options on either
// side of the command, a default port from the environment), and the texts of --help and
// --version. Input is strict: a value that is not exactly what an option takes is refused here,
// before any port is opened. No I/O: main prints what it returns.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace irig::cli {

enum ExitCode : int {
    kDone = 0,
    kUnitFailed = 1,     // the unit did not answer, or answered that it failed
    kUsage = 2,          // the command line is wrong
    kBadFile = 3,        // the file cannot be read, is faulty or has nothing to program
    kPortFailed = 4,     // the port cannot be opened
    kInterrupted = 130,  // Ctrl-C (SIGINT)
    kTerminated = 143,   // SIGTERM
};

// The environment variable that names the port when no --port is given.
inline constexpr char kPortVariable[] = "IRIGCTL_PORT";

struct Request {
    QString command;    // status, set-time, check-time, offsets, gps-message, reboot, inspect,
                        // flash or monitor
    QStringList ports;  // COMn in capitals, or device paths
    QString file;
    bool json = false;
    bool quiet = false;  // results and errors only
    bool watch = false;
    std::optional<int> timeoutMs;  // replaces every wait's own time-out
    int retries = 2;
    bool allowOverlap = false;  // flash a file whose records overlap
    bool setOffsets = false;
    int irigOffset = 0;  // whole hours, -23..23
    int gpsOffset = 0;
    std::optional<bool> ieee1344;  // unset: keep the unit's flag
    bool requireSync = false;
    std::optional<int> maxOffsetMs;  // check-time: exit 1 when the unit may be farther off
    QString listenHost = QStringLiteral("127.0.0.1");  // monitor: where /metrics is served
    quint16 listenPort = 9810;                         // 0: any free port
};

struct CommandLine {
    std::optional<Request> request;  // unset: print `text` and exit with `exitCode`
    QString text;                    // help, version, or what is wrong and how to get help
    int exitCode = kDone;
};

// `defaultPort` is the value of IRIGCTL_PORT, used when a command that needs a port has none.
CommandLine ParseCommandLine(const QStringList& arguments, const QString& defaultPort = {});

// An offset as the command line takes it: a whole number from -23 to 23, with an ASCII minus or
// U+2212; nothing for anything else.
std::optional<int> StrictOffset(const QString& text);

// A port as the command line takes it: "COMn" (any case, n from 1) as "COMn", or a device path;
// nothing for anything else.
std::optional<QString> PortArgument(const QString& text);

}  // namespace irig::cli
