// The units of one run, each port opened only when its unit's work starts and closed when that
// work ends, so that no more ports are open at once than the work needs; a terminal server's port
// that reaches the address and port another unit of the run reached is refused, naming both; an
// interrupt reaches every unit at work. What each unit's work is, and what is said of it, is the
// caller's.
#pragma once

#include <QHash>
#include <QObject>
#include <memory>
#include <vector>

#include "unit/changerecord.h"
#include "unit/session.h"

namespace irig::cli {

class FanOut final : public QObject {
    Q_OBJECT

public:
    struct Target {
        QString port;
        QString name;  // in the inventory; empty without one
    };

    // Sessions are made by `makePort` with `timeouts` and record their changes in `changes`; with
    // `keepOpen` a lost port is awaited back.
    FanOut(std::vector<Target> targets, unit::PortMaker makePort, unit::Timeouts timeouts,
           std::shared_ptr<unit::ChangeRecord> changes, bool keepOpen);
    ~FanOut() override;

    int Size() const { return static_cast<int>(targets_.size()); }
    const Target& TargetOf(int unit) const { return targets_[static_cast<size_t>(unit)]; }
    // The unit as messages name it: once its port is open, as its session does (with the device
    // it opened); before that, or without it, by its name and port.
    QString Named(int unit) const;
    // Opens the unit's port: Opened or OpenFailed follow, never from inside the call.
    void Open(int unit);
    // The unit's session while its port is open (or opening); null otherwise.
    unit::Session* SessionOf(int unit) const { return sessions_[static_cast<size_t>(unit)]; }
    // The unit's work has ended: its port closes once control is back in the event loop (Closed
    // follows then, when it was open or opening).
    void Close(int unit);
    // How many ports are open or opening.
    int OpenNow() const { return open_; }
    // Ctrl-C: every open session ends its request and its waits at once (Session::Interrupt).
    void Interrupt();

signals:
    void Opened(int unit);
    void OpenFailed(int unit, const QString& why);
    void Closed(int unit);

private:
    std::vector<Target> targets_;
    unit::PortMaker makePort_;
    unit::Timeouts timeouts_;
    std::shared_ptr<unit::ChangeRecord> changes_;
    bool keepOpen_;
    void Identify(int unit);

    std::vector<unit::Session*> sessions_;  // children of this, while open
    int open_ = 0;
    QHash<QString, int> reached_;  // an address and port: the first unit that reached it
};

}  // namespace irig::cli
