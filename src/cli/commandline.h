// What irigctl is asked to do, read from its arguments with QCommandLineParser, and the texts of
// --help and --version. No I/O: main prints what it returns.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace irig::cli {

enum ExitCode : int {
    kDone = 0,
    kUnitFailed = 1,  // the unit did not answer, or answered that it failed
    kUsage = 2,       // the command line is wrong
    kBadFile = 3,     // the file cannot be read, is faulty or has nothing to program
    kPortFailed = 4,  // the port cannot be opened
    kInterrupted = 130,
};

struct Request {
    QString command;  // status, set-time, offsets, gps-message, reboot, inspect or flash
    QStringList ports;
    QString file;
    bool json = false;
    bool watch = false;
    std::optional<int> timeoutMs;  // replaces every wait's own time-out
    int retries = 2;
    bool setOffsets = false;
    QString irigOffset;  // texts, converted as the window converts its offset boxes
    QString gpsOffset;
    std::optional<bool> ieee1344;  // unset: keep the unit's flag
    bool requireSync = false;
};

struct CommandLine {
    std::optional<Request> request;  // unset: print `text` and exit with `exitCode`
    QString text;                    // help, version, or what is wrong and how to get help
    int exitCode = kDone;
};

CommandLine ParseCommandLine(const QStringList& arguments);

}  // namespace irig::cli
