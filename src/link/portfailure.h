// Why a port did not open, and the words that tell a technician what to do about it. The serial
// component classifies a failed open; the views say it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

namespace irig::link {

struct PortFailure {
    enum Kind {
        kNone,
        kNoSuchDevice,
        kPermissionDenied,
        kInUse,
        kUnreachable,
        kClosedWhileSetUp,  // a terminal server that serves one client closed the new connection
        kBadAddress,
        kOther
    };

    Kind kind = kNone;
    QString device;    // what the name resolved to; empty when it names no device
    QString mapEntry;  // the port map entry that named the device, if one did
    QString detail;    // kInUse: the lock holder's process id, if known; kUnreachable, kOther: the
                       // system's words; kBadAddress: what is wrong with the address

    // Another program has the port: a lock, or a terminal server that serves one client.
    bool Busy() const { return kind == kInUse || kind == kClosedWhileSetUp; }
};

// "no such device: COM5 is /dev/ttyS4 ...", "permission denied on ...: ...", "in use by irigctl
// monitor (process 1234)" (the holder's program as /proc tells it, and the URL to borrow the port
// from a monitor with); empty for kNone.
QString FailureText(const QString& name, const PortFailure& failure);

// The program a process runs, as its command line names it: "irigctl monitor", "minicom"; with
// the URL an irigctl monitor lends its ports at (its --listen address, a wildcard one as this
// computer's loopback; none for port 0, which it chooses itself), https:// where its web
// configuration, as `read` gives a file named on that command line, serves TLS.
struct Holder {
    QString program;
    QString monitor;
};
Holder HolderOf(const QStringList& commandLine,
                const std::function<QByteArray(const QString& path)>& read = {});
// The command line of process `pid` as Linux tells it under /proc (its cmdline, else its comm);
// empty where it is not told.
QStringList CommandLineOf(const QString& pid);

// The process id in the lock file that a serial port library writes for `device` (LCK..name in the
// usual lock folders), or empty.
QString LockHolder(const QString& device);

}  // namespace irig::link
