#include "monitor/leasedesk.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QPointer>
#include <algorithm>

#include "link/portmap.h"
#include "link/printable.h"
#include "monitor/unitloops.h"

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace irig::monitor {

namespace {

// How long a borrower's terminal server name is looked up for before it is taken as written.
constexpr int kLookupMs = 3'000;
// The longest the expiry timer waits at once: a clock set meanwhile is caught up with then.
constexpr qint64 kLongestWaitMs = 60'000;

struct FileId {
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const FileId&) const = default;
};

// The file a device path reaches, its links followed.
std::optional<FileId> FileOf(const QString& path) {
#ifdef Q_OS_UNIX
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        return FileId{static_cast<quint64>(status.st_dev), static_cast<quint64>(status.st_ino)};
    }
#else
    Q_UNUSED(path);
#endif
    return std::nullopt;
}

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

// Where a port leads: the device file it reaches, or the terminal server's address.
struct LeaseDesk::Place {
    std::optional<FileId> file;
    std::optional<link::NetworkAddress> address;
    QList<QHostAddress> addresses;  // the address's host, looked up; empty for a literal one

    static Place Of(const QString& text) {
        Place place;
        const QString resolved = link::ResolvePortName(text);
        place.address = link::ParseNetworkAddress(resolved.isEmpty() ? text : resolved);
        if (!place.address && !resolved.isEmpty()) {
            place.file = FileOf(resolved);
        }
        return place;
    }
    bool NeedsLookup() const {
        return address && !link::LiteralAddress(address->host) && addresses.isEmpty();
    }
    // Whether both reach one unit: one file, or one endpoint (one host as written where a name
    // could not be looked up).
    bool Meets(const Place& other) const {
        if (file && other.file) {
            return *file == *other.file;
        }
        if (!address || !other.address || address->port != other.address->port) {
            return false;
        }
        if (NeedsLookup() || other.NeedsLookup()) {
            return address->host.compare(other.address->host, Qt::CaseInsensitive) == 0;
        }
        return link::EndpointOf(*address, addresses)
            .Meets(link::EndpointOf(*other.address, other.addresses));
    }
};

LeaseDesk::LeaseDesk(Leases leases, UnitLoops& loops, unit::ChangeRecord record,
                     std::function<void(const QString&)> say, link::HostLookup lookup, Clock clock)
    : leases_(std::move(leases)),
      loops_(loops),
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
        if (ByKey(unit.key) == nullptr) {
            if (const std::optional<LeaseDecision> ended = leases_.End(unit.key, clock_())) {
                Apply(unit, *ended, {});
            }
        }
    }
    for (const LeasedUnit& unit : units_) {
        const Place place = Place::Of(unit.port);
        if (place.NeedsLookup() && !hosts_.contains(place.address->host)) {
            LookUp(place.address->host);
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
    switch (request.verb) {
        case LeaseRequest::Verb::kAsk:
            answer(leases_.Ask(unit));
            return;
        case LeaseRequest::Verb::kTake:
            Apply(unit, leases_.Take(unit, request.who, request.seconds, request.words, clock_()),
                  answer);
            return;
        case LeaseRequest::Verb::kReturn:
            Apply(unit, leases_.Return(unit, request.who, request.words, clock_()), answer);
            return;
    }
}

void LeaseDesk::Apply(const LeasedUnit& unit, const LeaseDecision& decision, const Answer& answer) {
    if (!decision.record.isEmpty()) {
        record_.LeaseEvent(unit.Recorded(), decision.record);
        say_(link::PrintableUtf8(QStringLiteral("%1: %2").arg(unit.Recorded(), decision.record)));
    }
    if (decision.port == LeaseDecision::Port::kClose) {
        const quint64 key = unit.key;
        loops_.Lend(key, [desk = QPointer<LeaseDesk>(this), key, granted = decision.answer,
                          answer](bool closed) {
            InDesk(desk, [key, closed, granted, answer](LeaseDesk& self) {
                self.Lent(key, closed, granted, answer);
            });
        });
    } else {
        if (decision.port == LeaseDecision::Port::kReopen) {
            loops_.TakeBack(unit.key);
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
    Place place = Place::Of(asked);
    if (!place.NeedsLookup()) {
        found(Matching(place));
        return;
    }
    // Whichever comes first, the addresses or the deadline; the other finds nothing to do.
    auto pending = std::make_shared<std::function<void(const QList<QHostAddress>&)>>(
        [this, place, found = std::move(found)](const QList<QHostAddress>& addresses) mutable {
            place.addresses = addresses;
            found(Matching(place));
        });
    const auto finish = [pending](const QList<QHostAddress>& addresses) {
        if (const auto then = std::exchange(*pending, {})) {
            then(addresses);
        }
    };
    QTimer::singleShot(kLookupMs, this, [finish] { finish({}); });
    lookup_(place.address->host, [desk = QPointer<LeaseDesk>(this), finish](
                                     const QList<QHostAddress>& addresses, const QString&) {
        InDesk(desk, [finish, addresses](LeaseDesk&) { finish(addresses); });
    });
}

const LeasedUnit* LeaseDesk::Matching(const Place& asked) {
    for (const LeasedUnit& unit : units_) {
        Place watched = Place::Of(unit.port);
        if (watched.address) {
            watched.addresses = hosts_.value(watched.address->host);
        }
        if (asked.Meets(watched)) {
            return &unit;
        }
    }
    return nullptr;
}

const LeasedUnit* LeaseDesk::ByKey(quint64 key) const {
    const auto found = std::find_if(units_.begin(), units_.end(),
                                    [key](const LeasedUnit& unit) { return unit.key == key; });
    return found == units_.end() ? nullptr : &*found;
}

}  // namespace irig::monitor
