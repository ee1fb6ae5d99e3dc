// Where irigctl monitor's leases are put in place, in the main thread: a request finds its unit (by
// name, or by its port however it is spelt), the lease table decides, and the desk has the unit's
// port closed or reopened by whoever watches it, writes the record, ends leases when they are
// due, and answers once the port is closed. Reading requests is the server's, deciding the
// table's, watching the ports the monitor's.
#pragma once

#include <QHash>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "lease/leases.h"
#include "link/sameplace.h"
#include "unit/changerecord.h"

namespace irig::lease {

// What the desk asks of whoever watches the units' ports, by the unit's key: to close one for a
// loan (`closed` then called, from any thread, with false when the unit is not watched), and to
// open it again.
struct LendingPorts {
    std::function<void(quint64 key, std::function<void(bool closed)> closed)> lend;
    std::function<void(quint64 key)> takeBack;
};

class LeaseDesk final : public QObject {
    Q_OBJECT

public:
    using Answer = std::function<void(const LeaseAnswer&)>;
    using Clock = std::function<qint64()>;  // ms since the epoch

    // Lines for the monitor's log go to `say`; what `ports` reaches must outlive every call but
    // the destructor's.
    LeaseDesk(Leases leases, LendingPorts ports, unit::ChangeRecord record,
              std::function<void(const QString&)> say, link::HostLookup lookup = link::SystemLookup,
              Clock clock = {});
    ~LeaseDesk() override;
    LeaseDesk(const LeaseDesk&) = delete;
    LeaseDesk& operator=(const LeaseDesk&) = delete;

    // The units watched from now on; a lent unit no longer among them (or on another port) is
    // lent no more, one renamed (the same key) stays lent under its new name.
    void SetUnits(const std::vector<LeasedUnit>& units);
    // Answers `request`, perhaps later (once the unit's port is closed), always once.
    void Serve(const LeaseRequest& request, const Answer& answer);
    // The answer `granted` to `request` did not reach its borrower: the unit is taken back.
    void Undelivered(const LeaseRequest& request, const LeaseAnswer& granted);
    // Each decision put in place, with its unit's key, for whoever shows a unit's leases.
    void SetNoted(std::function<void(quint64 key, const LeaseDecision&)> noted) {
        noted_ = std::move(noted);
    }

private:
    void Decide(const LeaseRequest& request, const LeasedUnit& unit, const Answer& answer);
    void Apply(const LeasedUnit& unit, const LeaseDecision& decision, const Answer& answer);
    void Lent(quint64 key, bool closed, const LeaseAnswer& granted, const Answer& answer);
    void Expire();
    void Arm();
    void FindPort(const QString& asked, std::function<void(const LeasedUnit*)> found);
    const LeasedUnit* Matching(const link::Place& asked) const;
    const LeasedUnit* ByKey(quint64 key) const;
    void LookUp(const QString& host);

    Leases leases_;
    LendingPorts ports_;
    unit::ChangeRecord record_;
    std::function<void(const QString&)> say_;
    std::function<void(quint64, const LeaseDecision&)> noted_;
    link::HostLookup lookup_;
    Clock clock_;
    std::vector<LeasedUnit> units_;
    link::HostAddresses hosts_;  // the watched terminal servers' addresses
    QTimer expiry_;
};

}  // namespace irig::lease
