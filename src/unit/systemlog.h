// Where the change record's lines go: the system log at /dev/log, else journald's own socket,
// else standard error, saying once per run when it is not the system log. It carries lines only;
// their words are the change record's.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

namespace irig::unit {

struct LogDestinations {
    QByteArray devLog = "/dev/log";                      // syslog datagrams
    QByteArray journal = "/run/systemd/journal/socket";  // journald's native protocol
    // Writes one line to standard error; tests catch it.
    std::function<void(const QString& line)> stderrLine;
    // Whether a line that reaches no log is written to standard error; not where the caller's own
    // log, on standard error, already has it.
    bool stderrCopy = true;
};

// A sink that sends each line to the first destination that takes it, under `identifier` (a
// literal: it is kept) at notice level. The first line that is not the system log's says so on
// standard error first, once.
std::function<void(const QString& line)> SystemLogSink(const char* identifier,
                                                       LogDestinations where = {});

}  // namespace irig::unit
