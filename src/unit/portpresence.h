// A port kept as itself: opened by name (a terminal server's without blocking), lost when its
// device goes away, and, while watched, found again as itself and reopened (PortWatch). The window,
// irigctl and the monitor share it; what they show of it is theirs.
#pragma once

#include <QObject>
#include <memory>

#include "link/portcontroller.h"
#include "link/portwatch.h"

namespace irig::unit {

class PortPresence final : public QObject {
    Q_OBJECT

public:
    // `port` must outlive the presence.
    explicit PortPresence(link::PortController& port, QObject* parent = nullptr);
    ~PortPresence() override;

    // Opens `name` through the serial component and returns what OpenPort returned. After
    // kPortOpening, Opened or OpenFailed tells how it ended; other results are the caller's.
    int Open(const QString& name);
    // Closes the port and forgets it: nothing is watched for.
    void Close();
    // Whether a lost port is watched for and reopened (it is unless told otherwise).
    void SetWatching(bool watching) { watching_ = watching; }
    // The longest wait between two tries on a terminal server's port (link::kRetryCapMs unless
    // set).
    void SetRetryCap(int milliseconds) { watch_->SetRetryCap(milliseconds); }
    // Watches for `name`, which did not open, as for a lost port.
    void Await(const QString& name);
    // What the watch waits for, while it watches.
    const QString& Waiting() const { return watch_->Waiting(); }

signals:
    void Opened(const QString& name);
    void OpenFailed(const QString& name, const QString& why);
    // The port closed itself (its device went away); said before the watch says what it awaits.
    void Lost(const QString& reason);
    void WaitingChanged(const QString& waiting);
    void Reopened(const QString& name);

private:
    void Finished(int result);

    link::PortController& port_;
    std::unique_ptr<link::PortWatch> watch_;
    QString opening_;  // the name being connected, while an open is under way
    bool watching_ = true;
};

}  // namespace irig::unit
