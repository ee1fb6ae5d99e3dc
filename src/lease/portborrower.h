// The window's port borrowed from the monitor of this computer for as long as it stays picked:
// a pick asks the monitor whether it watches the port, borrows it if so, and says when the port
// may be opened; the next pick, or Release, gives it back. Opening the port is the window's.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include "lease/leaseclient.h"

namespace irig::lease {

// How long the window asks for at a time, renewed while the port stays picked.
inline constexpr int kWindowLeaseSeconds = 600;

class PortBorrower final : public QObject {
    Q_OBJECT

public:
    explicit PortBorrower(QUrl monitor, QObject* parent = nullptr);
    ~PortBorrower() override;

    void SetWaits(const Waits& waits) { waits_ = waits; }
    void SetCredentials(LeaseClient::CredentialsFor credentials) {
        credentials_ = std::move(credentials);
    }

    // `port` is picked (`asOpened` as the monitor is told it): what was borrowed before is given
    // back, then Ready or Refused follow for it, never from inside the call.
    void Pick(const QString& port, const QString& asOpened);
    // Gives back what is borrowed: Released follows.
    void Release();
    bool Borrowed() const { return borrowed_; }
    // Loans are being given back: Released is still to come.
    bool Returning() const { return returning_ > 0; }

signals:
    // The port may be opened: borrowed, or no monitor here watches it (or none answers).
    void Ready(const QString& port, bool borrowed);
    // The monitor watches the port and would not lend it, or the loan ended: `why`.
    void Refused(const QString& port, const QString& why);
    void Released();

private:
    void GiveBack(LeaseClient* client);

    QUrl monitor_;
    Waits waits_;
    LeaseClient::CredentialsFor credentials_ = NetrcCredentialsFor;
    QPointer<LeaseClient> current_;  // the pick's
    int returning_ = 0;              // loans being given back
    bool borrowed_ = false;
};

}  // namespace irig::lease
