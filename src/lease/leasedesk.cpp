#include "lease/leasedesk.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>
#include <algorithm>

#include "link/printable.h"
#include "link/sameplace.h"

namespace irig::lease {

namespace {

// How long a borrower's terminal server name is looked up for before it is taken as written.
constexpr int kLookupMs = 3'000;
// The longest the expiry timer waits at once: a clock set meanwhile is caught up with then.
constexpr qint64 kLongestWaitMs = 60'000;

// Runs `then` in the main thread, if `desk` is still there, from whichever thread calls.
void InDesk(const QPointer<LeaseDesk>& desk, std::function<void(LeaseDesk&)> then) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [desk, then = std::move(then)] {
            if (desk) {
                then(*desk);
            }
        },
        Qt::QueuedConnection);
}

}  // namespace

LeaseDesk::LeaseDesk(Leases leases, LendingPorts ports, unit::ChangeRecord record,
                     std::function<void(const QString&)> say, link::HostLookup lookup, Clock clock)
    : leases_(std::move(leases)),
      ports_(std::move(ports)),
      record_(std::move(record)),
      say_(std::move(say)),
      lookup_(std::move(lookup)),
      clock_(clock ? std::move(clock) : [] { return QDateTime::currentMSecsSinceEpoch(); }) {
    expiry_.setSingleShot(true);
    connect(&expiry_, &QTimer::timeout, this, &LeaseDesk::Expire);
}

LeaseDesk::~LeaseDesk() = default;

void LeaseDesk::SetUnits(const std::vector<LeasedUnit>& units) {
    const std::vector<LeasedUnit> before = std::exchange(units_, units);
    for (const LeasedUnit& unit : before) {
        if (const LeasedUnit* now = ByKey(unit.key); now == nullptr) {
            if (const std::optional<LeaseDecision> ended = leases_.End(unit.key, clock_())) {
                Apply(unit, *ended, {});
            }
        } else if (const std::optional<LeaseDecision> renamed = leases_.Rename(*now)) {
            Apply(*now, *renamed, {});
        }
    }
    for (const LeasedUnit& unit : units_) {
        const QString host = link::HostToLookUp(unit.port);
        if (!host.isEmpty() && !hosts_.contains(host)) {
            LookUp(host);
        }
    }
    Arm();
}

void LeaseDesk::LookUp(const QString& host) {
    hosts_.insert(host, {});
    lookup_(host, [desk = QPointer<LeaseDesk>(this), host](const QList<QHostAddress>& addresses,
                                                           const QString&) {
        InDesk(desk, [host, addresses](LeaseDesk& self) { self.hosts_.insert(host, addresses); });
    });
}

void LeaseDesk::Serve(const LeaseRequest& request, const Answer& answer) {
    if (!request.unit.isEmpty()) {
        const auto named = std::find_if(units_.begin(), units_.end(), [&](const LeasedUnit& unit) {
            return unit.name == request.unit;
        });
        if (named == units_.end()) {
            answer(Leases::NotWatched(request.unit, true));
        } else {
            Decide(request, *named, answer);
        }
        return;
    }
    FindPort(request.port, [this, request, answer](const LeasedUnit* unit) {
        if (unit == nullptr) {
            answer(Leases::NotWatched(request.port, false));
        } else {
            Decide(request, *unit, answer);
        }
    });
}

void LeaseDesk::Undelivered(const LeaseRequest& request, const LeaseAnswer& granted) {
    say_(link::PrintableUtf8(
        QStringLiteral("%1: the lease for %2 did not reach its borrower; taken back")
            .arg(granted.body.value(QStringLiteral("unit")).toString(), request.who)));
    LeaseRequest back = request;
    back.verb = LeaseRequest::Verb::kReturn;
    back.words.token = granted.body.value(QStringLiteral("lease")).toString();
    Serve(back, [](const LeaseAnswer&) {});
}

void LeaseDesk::Decide(const LeaseRequest& request, const LeasedUnit& unit, const Answer& answer) {
    Expire();  // a lease due now has ended, whether its timer has fired or not
    Apply(unit, leases_.Decide(unit, request, clock_()), answer);
}

void LeaseDesk::Apply(const LeasedUnit& unit, const LeaseDecision& decision, const Answer& answer) {
    if (noted_) {
        noted_(unit.key, decision);
    }
    if (!decision.record.isEmpty()) {
        record_.LeaseEvent(unit.Recorded(), decision.record);
        say_(link::PrintableUtf8(QStringLiteral("%1: %2").arg(unit.Recorded(), decision.record)));
    }
    if (decision.port == LeaseDecision::Port::kClose) {
        const quint64 key = unit.key;
        ports_.lend(key, [desk = QPointer<LeaseDesk>(this), key, granted = decision.answer,
                          answer](bool closed) {
            InDesk(desk, [key, closed, granted, answer](LeaseDesk& self) {
                self.Lent(key, closed, granted, answer);
            });
        });
    } else {
        if (decision.port == LeaseDecision::Port::kReopen) {
            ports_.takeBack(unit.key);
        }
        if (answer) {
            answer(decision.answer);
        }
    }
    Arm();
}

// The port of a unit lent has closed, or it was not lent after all.
void LeaseDesk::Lent(quint64 key, bool closed, const LeaseAnswer& granted, const Answer& answer) {
    const LeasedUnit* unit = ByKey(key);
    if (closed && unit != nullptr) {
        answer(granted);
    } else if (unit == nullptr) {
        answer(Leases::NotWatched(granted.body.value(QStringLiteral("unit")).toString(), true));
    } else {
        answer(Leases::Error(
            409, QStringLiteral("%1 was taken back before its port closed").arg(unit->Shown())));
    }
}

void LeaseDesk::Expire() {
    for (const auto& [key, decision] : leases_.Expire(clock_())) {
        if (const LeasedUnit* unit = ByKey(key)) {
            Apply(*unit, decision, {});
        }
    }
    Arm();
}

void LeaseDesk::Arm() {
    const std::optional<qint64> next = leases_.NextExpiry();
    if (!next) {
        expiry_.stop();
        return;
    }
    expiry_.start(static_cast<int>(std::clamp<qint64>(*next - clock_(), 0, kLongestWaitMs)));
}

void LeaseDesk::FindPort(const QString& asked, std::function<void(const LeasedUnit*)> found) {
    const auto exact = std::find_if(units_.begin(), units_.end(),
                                    [&](const LeasedUnit& unit) { return unit.port == asked; });
    if (exact != units_.end()) {
        found(&*exact);
        return;
    }
    const QString host = link::HostToLookUp(asked);
    if (host.isEmpty()) {
        found(Matching(link::Place::Of(asked)));
        return;
    }
    // Whichever comes first, the addresses or the deadline; the other finds nothing to do.
    auto pending = std::make_shared<std::function<void(const QList<QHostAddress>&)>>(
        [this, asked, host, found = std::move(found)](const QList<QHostAddress>& addresses) {
            found(Matching(link::Place::Of(asked, {{host, addresses}})));
        });
    const auto finish = [pending](const QList<QHostAddress>& addresses) {
        if (const auto then = std::exchange(*pending, {})) {
            then(addresses);
        }
    };
    QTimer::singleShot(kLookupMs, this, [finish] { finish({}); });
    lookup_(host, [desk = QPointer<LeaseDesk>(this), finish](const QList<QHostAddress>& addresses,
                                                             const QString&) {
        InDesk(desk, [finish, addresses](LeaseDesk&) { finish(addresses); });
    });
}

const LeasedUnit* LeaseDesk::Matching(const link::Place& asked) const {
    const auto found = std::find_if(units_.begin(), units_.end(), [&](const LeasedUnit& unit) {
        return link::SamePlace(asked, link::Place::Of(unit.port, hosts_));
    });
    return found == units_.end() ? nullptr : &*found;
}

const LeasedUnit* LeaseDesk::ByKey(quint64 key) const {
    const auto found = std::find_if(units_.begin(), units_.end(),
                                    [key](const LeasedUnit& unit) { return unit.key == key; });
    return found == units_.end() ? nullptr : &*found;
}

}  // namespace irig::lease
