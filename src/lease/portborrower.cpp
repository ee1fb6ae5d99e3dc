#include "lease/portborrower.h"

#include <QCoreApplication>

namespace irig::lease {

PortBorrower::PortBorrower(QUrl monitor, QObject* parent)
    : QObject(parent), monitor_(std::move(monitor)) {}

PortBorrower::~PortBorrower() = default;

void PortBorrower::Pick(const QString& port, const QString& asOpened) {
    GiveBack(current_);
    auto* client = new LeaseClient(monitor_, nullptr, this);
    client->SetWaits(waits_);
    client->SetCredentials(credentials_);
    current_ = client;
    connect(
        client, &LeaseClient::Answered, this, [this, client, port, asOpened](const Watch& watch) {
            if (client != current_) {
                return;
            }
            if (watch.state != Watch::kWatched) {
                emit Ready(port, false);  // as without a monitor: the port's own open says the rest
                return;
            }
            client->Take(
                {asOpened}, kWindowLeaseSeconds,
                QStringLiteral("irig-config (pid %1)").arg(QCoreApplication::applicationPid()));
        });
    connect(client, &LeaseClient::Taken, this, [this, client, port] {
        if (client == current_) {
            borrowed_ = true;
            emit Ready(port, true);
        }
    });
    connect(client, &LeaseClient::Refused, this, [this, client, port](const QString& why) {
        if (client == current_) {
            emit Refused(port, why);
        }
    });
    connect(client, &LeaseClient::Lost, this, [this, client, port](const LostLease& lost) {
        if (client == current_) {
            borrowed_ = false;
            emit Refused(port, lost.text);
        }
    });
    client->Ask(asOpened);
}

void PortBorrower::Release() {
    GiveBack(current_);
    if (returning_ == 0) {
        QMetaObject::invokeMethod(this, &PortBorrower::Released, Qt::QueuedConnection);
    }
}

void PortBorrower::GiveBack(LeaseClient* client) {
    current_ = nullptr;
    borrowed_ = false;
    if (client == nullptr) {
        return;
    }
    ++returning_;
    connect(client, &LeaseClient::Returned, this, [this, client] {
        client->deleteLater();
        if (--returning_ == 0) {
            emit Released();
        }
    });
    client->Return();
}

}  // namespace irig::lease
