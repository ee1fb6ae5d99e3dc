#include "cli/borrowing.h"

#include <algorithm>

namespace irig::cli {

Borrowing::Borrowing(QUrl monitor, QUrl localMonitor, QString by, int units)
    : monitor_(std::move(monitor)),
      localMonitor_(std::move(localMonitor)),
      by_(std::move(by)),
      leases_(static_cast<size_t>(units), nullptr) {}

Borrowing::~Borrowing() = default;

void Borrowing::Take(int unit, const lease::Target& target, std::function<void()> taken,
                     std::function<void(const QString& why)> refused) {
    auto* lease = new lease::LeaseClient(monitor_, &network_, this);
    leases_[static_cast<size_t>(unit)] = lease;
    connect(lease, &lease::LeaseClient::Taken, this, std::move(taken));
    connect(lease, &lease::LeaseClient::Refused, this, std::move(refused));
    connect(lease, &lease::LeaseClient::Lost, this,
            [this, unit](const lease::LostLease& lost) { emit Lost(unit, lost.text); });
    lease->Take(target, kLeaseSeconds, by_);
}

void Borrowing::Return(int unit) {
    lease::LeaseClient*& lease = leases_[static_cast<size_t>(unit)];
    if (lease == nullptr) {
        return;
    }
    lease::LeaseClient* returned = lease;
    lease = nullptr;
    returned->disconnect(this);
    ++returning_;
    connect(returned, &lease::LeaseClient::Returned, this,
            [this, unit, returned](const QString& problem) {
                returned->deleteLater();
                --returning_;
                emit Returned(unit, problem);
            });
    returned->Return();
}

int Borrowing::Outstanding() const {
    return returning_ +
           static_cast<int>(std::count_if(leases_.begin(), leases_.end(),
                                          [](const auto* lease) { return lease != nullptr; }));
}

void Borrowing::AskWatcher(const QString& named, const QString& asOpened,
                           std::function<void(const std::optional<QString>& said)> said) {
    auto* ask = new lease::LeaseClient(localMonitor_, &network_, this);
    connect(ask, &lease::LeaseClient::Answered, this,
            [this, ask, named, said = std::move(said)](const lease::Watch& watch) {
                ask->deleteLater();
                if (watch.state != lease::Watch::kWatched) {
                    said(std::nullopt);
                    return;
                }
                said(QStringLiteral("%1 is watched by irigctl monitor at %2: add --monitor %3 to "
                                    "borrow it")
                         .arg(named, lease::HostAndPort(localMonitor_),
                              localMonitor_.toString(QUrl::StripTrailingSlash)));
            });
    ask->Ask(asOpened);
}

}  // namespace irig::cli
