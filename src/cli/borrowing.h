// The units of one run borrowed from an irigctl monitor: each lease taken just before its unit's
// port opens and given back once that port has closed, over one network manager; and, with no
// monitor named, whether the monitor of this computer watches a port that was busy. When ports
// open and close is the runner's.
#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QUrl>
#include <functional>
#include <optional>
#include <vector>

#include "lease/leaseclient.h"

namespace irig::cli {

// What a unit is borrowed for at a time, renewed while its work lasts (a full image is 2 min 8 s on
// the wire, and a rollout's waves may be longer): a borrower that dies blinds the monitor to it no
// longer than this.
inline constexpr int kLeaseSeconds = 600;

class Borrowing final : public QObject {
    Q_OBJECT

public:
    // Leases come from `monitor` (none when empty) for `units` units, each said to be for `by`;
    // a busy port's watcher is asked for at `localMonitor`.
    Borrowing(QUrl monitor, QUrl localMonitor, QString by, int units);
    ~Borrowing() override;

    bool Named() const { return !monitor_.isEmpty(); }
    // Takes the unit's lease: `taken` or `refused` (why) follow, never from inside the call, and
    // neither once the lease is given back.
    void Take(int unit, const lease::Target& target, std::function<void()> taken,
              std::function<void(const QString& why)> refused);
    // Gives the unit's lease back, if it was asked for: Returned follows then.
    void Return(int unit);
    // Leases asked for, held or being given back: a run ends once there are none.
    int Outstanding() const;
    // Whether the local monitor watches `asOpened`: `said` gets "COM7 is watched by irigctl monitor
    // at 127.0.0.1:9810: add --monitor http://127.0.0.1:9810 to borrow it" (`named` as the user
    // named the port), or nothing.
    void AskWatcher(const QString& named, const QString& asOpened,
                    std::function<void(const std::optional<QString>& said)> said);

signals:
    // The unit's lease ended before its work did.
    void Lost(int unit, const QString& why);
    // Given back; `problem` says what went wrong, if anything.
    void Returned(int unit, const QString& problem);

private:
    QUrl monitor_;
    QUrl localMonitor_;
    QString by_;
    QNetworkAccessManager network_;
    std::vector<lease::LeaseClient*> leases_;  // children, while asked for or held
    int returning_ = 0;
};

}  // namespace irig::cli
