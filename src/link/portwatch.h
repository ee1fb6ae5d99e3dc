// A lost port found again only as itself: what the operator's choice named when the port opened
// (its port-map link, or its device and that device's /dev/serial/by-id name, or a terminal
// server's address), where that is now, and a watch that reopens it there, a terminal server's
// with a growing wait between attempts. What the views show of it is theirs.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <algorithm>

#include "link/portcontroller.h"
#include "link/portmap.h"

namespace irig::link {

// Where the system keeps a stable name for each USB serial adapter.
inline const QString kByIdFolder = QStringLiteral("/dev/serial/by-id");

// The longest wait between two attempts to reach a terminal server, where one person waits on one
// port (the window, irigctl status --watch); a monitor of many units waits longer.
inline constexpr int kRetryCapMs = 5'000;

// The waits between attempts to reach a server that does not answer: steps from `firstMs`,
// doubling up to `capMs`, each wait drawn from the upper half of its step, so that the units
// behind one server that restarts spread their attempts, and none waits longer than its step.
class Backoff {
public:
    Backoff(int firstMs, int capMs)
        : firstMs_(std::min(firstMs, capMs)), capMs_(capMs), stepMs_(firstMs_) {}

    // The step the next wait is drawn from.
    int StepMs() const { return stepMs_; }
    // The next wait, for `draw` from 0 to 1; the step doubles for the one after.
    int Next(double draw);
    void Reset() { stepMs_ = firstMs_; }

private:
    int firstMs_;
    int capMs_;
    int stepMs_;
};

struct PortIdentity {
    QString name;      // COMn or a device path, as chosen
    QString mapEntry;  // the port-map link that named the device, if one did
    QString device;    // the device that was opened
    QString byId;      // a link in the by-id folder to that device, if there was one
};

// The identity of `name`, just opened as `device`.
PortIdentity IdentifyPort(const QString& name, const QString& device,
                          const QString& byIdFolder = kByIdFolder);

struct PortWhereabouts {
    QString device;   // where the port is now; empty while it is not there
    QString waiting;  // otherwise what is awaited: "waiting for /dev/ttyUSB0 to come back"
};

// Where the identity's port is now. A mapped name follows its link, wherever it points now, and
// never falls back to /dev/ttyS<n-1>; a device with a by-id name follows that name; any other
// device is looked for at its own path.
PortWhereabouts Locate(const PortIdentity& identity);

// Watches for a lost port to come back and reopens it through the serial component. Armed by each
// successful open, it starts when the component reports the port lost (or when told to await a
// port that did not open) and stops at the reopen or when told to forget the port. A local device
// is looked for once a second. A terminal server's port is tried by connecting, which never
// blocks, one try at a time, with the Backoff's waits between tries: it starts over from the
// first step once the port has stayed open for the longest wait.
class PortWatch final : public QObject {
    Q_OBJECT

public:
    // `port` must outlive the watch; `byIdFolder` is where stable adapter names are looked up.
    explicit PortWatch(PortController& port, QString byIdFolder = kByIdFolder,
                       QObject* parent = nullptr);

    // The port `name` has just been opened: its identity is what a loss will look for.
    void Opened(const QString& name);
    // The port `name` could not be opened: it is watched for as a lost one, by what its name
    // says (its port-map link, or the device or address it names).
    void Await(const QString& name);
    // Stops watching and forgets the port.
    void Forget();
    // Looks once: reopens the port if it is back. The timer calls it while watching.
    void Check();
    // The longest wait between two tries on a terminal server (kRetryCapMs unless set).
    void SetRetryCap(int milliseconds) {
        retryCapMs_ = milliseconds;
        backoff_ = Backoff(kFirstRetryMs, milliseconds);
    }

    static constexpr int kFirstRetryMs = 1'000;
    // How often a local device that is not there is looked for.
    static constexpr int kLookMs = 1'000;

    bool Watching() const { return watching_; }
    const PortIdentity& Identity() const { return identity_; }
    // What the watch waits for, while it watches.
    const QString& Waiting() const { return waiting_; }

signals:
    // The lost port is open again.
    void Reopened(const QString& name);
    // What the watch waits for has changed (also when it starts).
    void WaitingChanged(const QString& waiting);

private:
    void Lost();
    void Reopen(const QString& device);
    void OpenFinished(int result);
    void Retry(const QString& why);
    void Back();
    void Say(const QString& waiting);

    PortController& port_;
    QString byIdFolder_;
    PortIdentity identity_;
    QString waiting_;
    QTimer timer_;
    int retryCapMs_ = kRetryCapMs;
    Backoff backoff_{kFirstRetryMs, kRetryCapMs};
    QElapsedTimer opened_;  // since the port last opened
    int saidStepMs_ = 0;    // the largest step said since the waits started over
    bool watching_ = false;
    bool reopening_ = false;  // a connection this watch started is still being made
};

}  // namespace irig::link
