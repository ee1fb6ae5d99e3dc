// Where irigctl monitor's leases are put in place, in the main thread: a request finds its unit (by
// name, or by its port however it is spelt), the lease table decides, and the desk closes or
// reopens the unit's port through its loop, writes the record, ends leases when they are due, and
// answers once the port is closed. Reading requests is the server's, deciding the table's.
#pragma once

#include <QHash>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "link/endpoint.h"
#include "monitor/leases.h"
#include "unit/changerecord.h"

namespace irig::monitor {

class UnitLoops;

class LeaseDesk final : public QObject {
    Q_OBJECT

public:
    using Answer = std::function<void(const LeaseAnswer&)>;
    using Clock = std::function<qint64()>;  // ms since the epoch

    // Lines for the monitor's log go to `say`; `loops` must outlive every call but the
    // destructor's.
    LeaseDesk(Leases leases, UnitLoops& loops, unit::ChangeRecord record,
              std::function<void(const QString&)> say, link::HostLookup lookup = link::SystemLookup,
              Clock clock = {});
    ~LeaseDesk() override;
    LeaseDesk(const LeaseDesk&) = delete;
    LeaseDesk& operator=(const LeaseDesk&) = delete;

    // The units watched from now on; a lent unit no longer among them (or on another port) is
    // lent no more.
    void SetUnits(const std::vector<LeasedUnit>& units);
    // Answers `request`, perhaps later (once the unit's port is closed), always once.
    void Serve(const LeaseRequest& request, const Answer& answer);
    // The answer `granted` to `request` did not reach its borrower: the unit is taken back.
    void Undelivered(const LeaseRequest& request, const LeaseAnswer& granted);

private:
    struct Place;

    void Decide(const LeaseRequest& request, const LeasedUnit& unit, const Answer& answer);
    void Apply(const LeasedUnit& unit, const LeaseDecision& decision, const Answer& answer);
    void Lent(quint64 key, bool closed, const LeaseAnswer& granted, const Answer& answer);
    void Expire();
    void Arm();
    void FindPort(const QString& asked, std::function<void(const LeasedUnit*)> found);
    const LeasedUnit* Matching(const Place& asked);
    const LeasedUnit* ByKey(quint64 key) const;
    void LookUp(const QString& host);

    Leases leases_;
    UnitLoops& loops_;
    unit::ChangeRecord record_;
    std::function<void(const QString&)> say_;
    link::HostLookup lookup_;
    Clock clock_;
    std::vector<LeasedUnit> units_;
    QHash<QString, QList<QHostAddress>> hosts_;  // the watched terminal servers' addresses
    QTimer expiry_;
};

}  // namespace irig::monitor
