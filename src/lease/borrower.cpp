#include "lease/borrower.h"

#include <algorithm>

namespace irig::lease {

Borrower::Borrower(QUrl monitor, QString by, int units, QUrl localMonitor, QObject* parent)
    : QObject(parent),
      monitor_(std::move(monitor)),
      localMonitor_(std::move(localMonitor)),
      by_(std::move(by)),
      leases_(static_cast<size_t>(units), nullptr) {}

Borrower::~Borrower() = default;

LeaseClient* Borrower::Client(int unit) {
    auto* lease = new LeaseClient(monitor_, &network_, this);
    lease->SetWaits(waits_);
    lease->SetCredentials(credentials_);
    lease->SetTls(tls_);
    leases_[static_cast<size_t>(unit)] = lease;
    connect(lease, &LeaseClient::Lost, this,
            [this, unit](const LostLease& lost) { emit Lost(unit, lost.text); });
    return lease;
}

void Borrower::Take(int unit, const Target& target, std::function<void()> taken,
                    std::function<void(const QString& why)> refused) {
    LeaseClient* lease = Client(unit);
    connect(lease, &LeaseClient::Taken, this, std::move(taken));
    connect(lease, &LeaseClient::Refused, this, std::move(refused));
    lease->Take(target, kLeaseSeconds, by_);
}

void Borrower::TakeIfWatched(int unit, const Target& target,
                             const std::function<void(bool borrowed)>& taken,
                             std::function<void(const QString& why)> refused) {
    LeaseClient* lease = Client(unit);
    connect(lease, &LeaseClient::Taken, this, [taken] { taken(true); });
    connect(lease, &LeaseClient::Refused, this, std::move(refused));
    connect(lease, &LeaseClient::Answered, this,
            [this, unit, lease, target, taken](const Watch& watch) {
                if (watch.state == Watch::kWatched) {
                    lease->Take(target, kLeaseSeconds, by_);
                    return;
                }
                leases_[static_cast<size_t>(unit)] = nullptr;
                lease->deleteLater();
                taken(false);  // the port's own open says the rest
            });
    lease->Ask(target.port);
}

void Borrower::Return(int unit) {
    LeaseClient*& lease = leases_[static_cast<size_t>(unit)];
    if (lease == nullptr) {
        return;
    }
    LeaseClient* returned = lease;
    lease = nullptr;
    returned->disconnect(this);
    ++returning_;
    connect(returned, &LeaseClient::Returned, this, [this, unit, returned](const QString& problem) {
        returned->deleteLater();
        --returning_;
        emit Returned(unit, problem);
    });
    returned->Return();
}

int Borrower::Outstanding() const {
    return returning_ +
           static_cast<int>(std::count_if(leases_.begin(), leases_.end(),
                                          [](const auto* lease) { return lease != nullptr; }));
}

void Borrower::AskWatcher(const QString& named, const QString& asOpened,
                          std::function<void(const std::optional<QString>& said)> said) {
    auto* ask = new LeaseClient(localMonitor_, &network_, this);
    ask->SetCredentials(credentials_);
    ask->SetTls(tls_);
    connect(ask, &LeaseClient::Answered, this,
            [this, ask, named, said = std::move(said)](const Watch& watch) {
                ask->deleteLater();
                if (watch.state != Watch::kWatched) {
                    said(std::nullopt);
                    return;
                }
                said(QStringLiteral("%1 is watched by irigctl monitor at %2: add --monitor %3 to "
                                    "borrow it")
                         .arg(named, HostAndPort(localMonitor_),
                              localMonitor_.toString(QUrl::StripTrailingSlash)));
            });
    ask->Ask(asOpened);
}

}  // namespace irig::lease
