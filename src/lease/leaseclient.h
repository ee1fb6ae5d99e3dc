// One unit borrowed from an irigctl monitor over HTTP(S): the lease taken for its port, renewed
// by itself while a third of its time is left (each answer's token kept), said lost at once when
// the monitor ends it, and returned; and whether the monitor watches a port. Never blocks; every
// answer is a signal, each wait bounded. What a borrower does with the port meanwhile is its own.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <optional>
#include <variant>

#include "lease/netrc.h"

class QNetworkAccessManager;
class QNetworkReply;

namespace irig::lease {

// The variable that names the monitor to borrow from; those that name a CA file for its
// certificate besides the system's, and the certificate and key a borrower presents to it.
inline constexpr char kMonitorVariable[] = "IRIGCTL_MONITOR";
inline constexpr char kCaVariable[] = "IRIGCTL_MONITOR_CA";
inline constexpr char kCertVariable[] = "IRIGCTL_MONITOR_CERT";
inline constexpr char kKeyVariable[] = "IRIGCTL_MONITOR_KEY";
// Where a monitor of this computer listens unless told otherwise.
inline constexpr char kLocalMonitor[] = "http://127.0.0.1:9810";

// A monitor's URL as --monitor, IRIGCTL_MONITOR, an inventory and the Ansible module take it:
// http:// or https://, a host, no user or password (those come from netrc), no query; else what
// is wrong with it.
std::variant<QUrl, QString> ParseMonitorUrl(const QString& text);
// "127.0.0.1:9810", as messages name a monitor.
QString HostAndPort(const QUrl& monitor);

// The files (PEM) a borrower meets an https:// monitor with: a CA beside the system's, and a
// client certificate and its key for a monitor that asks for one.
struct MonitorTls {
    QString ca;
    QString cert;
    QString key;

    // IRIGCTL_MONITOR_CA, IRIGCTL_MONITOR_CERT and IRIGCTL_MONITOR_KEY.
    static MonitorTls Environment();
    // These files, each where given, over `under`'s.
    MonitorTls Over(const MonitorTls& under) const;
    bool operator==(const MonitorTls&) const = default;
};

// How long each request may take: a take waits while the monitor finishes the request in flight.
struct Waits {
    int takeMs = 30'000;
    int askMs = 1'000;
    int returnMs = 5'000;
};

// What is borrowed: a port as the borrower opens it (PortAsOpened). By its port, not its name in
// an inventory: the monitor may watch it from another inventory, or from --port.
struct Target {
    QString port;
};

// Whether a monitor watches a port, as it answered.
struct Watch {
    enum State { kWatched, kNotWatched, kNoMonitor, kUnknown };
    State state = kUnknown;
    bool leased = false;
    QString holder;
    QString why;  // kNoMonitor, kUnknown: what went wrong
};

// A lease that ended while its borrower held it, in the words the borrower says at once: "COM1's
// lease was taken back by 127.0.0.1 at 10:02:11: stopping". Its work on the port stops as a lost
// port's would.
struct LostLease {
    enum How {
        kTakenBack,  // by an operator (the monitor's "taken back")
        kExpired,    // its time ran out before a renewal came through
        kRefused,    // a renewal was refused otherwise (the unit no longer watched, the monitor
                     // started again), or unanswered until the lease's end
    };
    How how = kRefused;
    QString text;
};

class LeaseClient final : public QObject {
    Q_OBJECT

public:
    using CredentialsFor = std::function<std::optional<Credentials>(const QString& host)>;

    // Requests go through `network` (shared by a borrower's leases), or a manager of its own.
    explicit LeaseClient(QUrl monitor, QNetworkAccessManager* network = nullptr,
                         QObject* parent = nullptr);
    ~LeaseClient() override;

    void SetWaits(const Waits& waits) { waits_ = waits; }
    // Where the credentials for the monitor's host come from: netrc unless a test says.
    void SetCredentials(CredentialsFor credentials) { credentials_ = std::move(credentials); }
    // The files an https:// monitor is met with: the environment's unless told.
    void SetTls(const MonitorTls& tls) { tls_ = tls; }

    // Asks for `target` for `seconds`, saying it is `by` ("irigctl apply (pid 4242)"): Taken or
    // Refused follow, never from inside the call.
    void Take(const Target& target, int seconds, const QString& by);
    // Gives the lease back (waiting for a take in flight first): Returned follows, once, whether
    // a lease was held or not.
    void Return();
    // Asks whether the monitor watches `port`: Answered follows.
    void Ask(const QString& port);

    bool Held() const { return !token_.isEmpty(); }
    int GrantedSeconds() const { return granted_; }
    const QUrl& Monitor() const { return monitor_; }

signals:
    void Taken();
    void Refused(const QString& why);
    // A renewal was refused, or none came through before the lease ended: it is no longer held.
    void Lost(const irig::lease::LostLease& lost);
    // `problem` is empty when the monitor took it back (or nothing was held).
    void Returned(const QString& problem);
    void Answered(const Watch& watch);

private:
    using Done = std::function<void(int status, const QByteArray& body, const QString& failure,
                                    bool refused)>;

    void Send(const QByteArray& verb, const QString& path,
              const QList<QPair<QString, QString>>& query, int waitMs, Done done);
    void TakeAnswered(int status, const QByteArray& body, const QString& failure);
    void Renew();
    void Renewed(int status, const QByteArray& body, const QString& failure);
    LostLease Ended(int status, const QByteArray& body, const QString& failure) const;
    void ScheduleRenewal(int seconds);
    void SendReturn();
    void Finish(const QString& problem);
    QList<QPair<QString, QString>> TargetQuery() const;
    QString Failure(int status, const QByteArray& body, const QString& failure) const;
    QString Unreached(const QNetworkReply& reply) const;

    QUrl monitor_;
    QNetworkAccessManager* network_;
    CredentialsFor credentials_;
    MonitorTls tls_ = MonitorTls::Environment();
    Waits waits_;
    Target target_;
    QString by_;
    int asked_ = 0;    // the seconds asked for
    int granted_ = 0;  // the seconds granted
    QString token_;
    bool taking_ = false;
    bool returnAfterTake_ = false;
    bool returning_ = false;
    QTimer renewal_;
    QElapsedTimer sinceGrant_;
    QPointer<QNetworkReply> inFlight_;
};

}  // namespace irig::lease
