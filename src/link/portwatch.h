// A lost port found again only as itself: what the operator's choice named when the port opened
// (its port-map link, or its device and that device's /dev/serial/by-id name, or a terminal
// server's address), where that is now, and a watch that reopens it there. What the views show of
// it is theirs.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include "link/portcontroller.h"
#include "link/portmap.h"

namespace irig::link {

// Where the system keeps a stable name for each USB serial adapter.
inline const QString kByIdFolder = QStringLiteral("/dev/serial/by-id");

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
// port that did not open) and stops at the reopen or when told to forget the port. A terminal
// server's port is tried by connecting, which never blocks; one try at a time.
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
    // Looks once: reopens the port if it is back. The timer calls it every 500 ms while watching.
    void Check();

    bool Watching() const { return timer_.isActive(); }
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
    void Back();

    PortController& port_;
    QString byIdFolder_;
    PortIdentity identity_;
    QString waiting_;
    QTimer timer_;
    bool reopening_ = false;  // a connection this watch started is still being made
};

}  // namespace irig::link
