// Units borrowed from an irigctl monitor, by every tool that borrows (irigctl's runs, the Ansible
// module, the window): each lease taken just before its unit's port opens and given back once that
// port has closed, over one network manager; a lease lost meanwhile said through one signal; and,
// with no monitor named, whether the monitor of this computer watches a port that was busy. When
// ports open and close is the tool's.
#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>
#include <functional>
#include <optional>
#include <vector>

#include "lease/leaseclient.h"

namespace irig::lease {

// What a unit is borrowed for at a time, renewed while its work lasts (a flash at 19200 baud may
// take an hour): a borrower that dies blinds the monitor to it no longer than this.
inline constexpr int kLeaseSeconds = 600;

class Borrower final : public QObject {
    Q_OBJECT

public:
    // Leases come from `monitor` (none when empty) for `units` units, each said to be for `by`;
    // a busy port's watcher is asked for at `localMonitor`.
    Borrower(QUrl monitor, QString by, int units, QUrl localMonitor = {},
             QObject* parent = nullptr);
    ~Borrower() override;

    void SetWaits(const Waits& waits) { waits_ = waits; }
    // Where the credentials for the monitor's host come from: netrc unless a test says.
    void SetCredentials(LeaseClient::CredentialsFor credentials) {
        credentials_ = std::move(credentials);
    }

    // The files an https:// monitor is met with: the environment's unless told.
    void SetTls(const MonitorTls& tls) { tls_ = tls; }

    bool Named() const { return !monitor_.isEmpty(); }
    // Takes the unit's lease: `taken` or `refused` (why) follow, never from inside the call, and
    // neither once the lease is given back.
    void Take(int unit, const Target& target, std::function<void()> taken,
              std::function<void(const QString& why)> refused);
    // As Take where the monitor watches the port; where it does not (or none answers), `taken`
    // follows with nothing borrowed: the port opens as without a monitor.
    void TakeIfWatched(int unit, const Target& target,
                       const std::function<void(bool borrowed)>& taken,
                       std::function<void(const QString& why)> refused);
    // Gives the unit's lease back, if it was asked for: Returned follows then.
    void Return(int unit);
    // Leases asked for, held or being given back: a tool ends once there are none.
    int Outstanding() const;
    // Whether the local monitor watches `asOpened`: `said` gets "COM7 is watched by irigctl monitor
    // at 127.0.0.1:9810: add --monitor http://127.0.0.1:9810 to borrow it" (`named` as the user
    // named the port), or nothing.
    void AskWatcher(const QString& named, const QString& asOpened,
                    std::function<void(const std::optional<QString>& said)> said);

signals:
    // The unit's lease ended before its work did, in the words to say ("COM1's lease was taken
    // back by … at …: stopping"): its work stops as if its port was lost.
    void Lost(int unit, const QString& why);
    // Given back; `problem` says what went wrong, if anything.
    void Returned(int unit, const QString& problem);

private:
    LeaseClient* Client(int unit);

    QUrl monitor_;
    QUrl localMonitor_;
    QString by_;
    Waits waits_;
    LeaseClient::CredentialsFor credentials_ = NetrcCredentialsFor;
    MonitorTls tls_ = MonitorTls::Environment();
    QNetworkAccessManager network_;
    std::vector<LeaseClient*> leases_;  // children, while asked for or held
    int returning_ = 0;
};

}  // namespace irig::lease
