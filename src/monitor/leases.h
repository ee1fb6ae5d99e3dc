// The units irigctl monitor lends to other tools, as a table of decisions: a lease taken, renewed,
// asked about, returned, expired or ended by a reload, each decided as a value (the HTTP answer,
// what becomes of the unit's port, the change record's words). Closing and opening ports, timers
// and HTTP are the lease desk's and the server's.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace irig::monitor {

// The longest lease unless --lease-limit says less: many times a full flash at 19200 baud.
inline constexpr int kLeaseLimitSeconds = 10'800;

// A unit as leases name it: its key on the board, its name in an inventory, its port as watched.
struct LeasedUnit {
    quint64 key = 0;
    QString name;  // empty without an inventory
    QString port;

    // As answers name it: its name, else its port.
    QString Shown() const { return name.isEmpty() ? port : name; }
    // As the record names it: "sub-a-1 (COM1)", else "COM1".
    QString Recorded() const;
};

struct LeaseAnswer {
    int status = 200;
    QJsonObject body;
};

struct LeaseDecision {
    enum class Port {
        kKeep,
        kClose,   // lend it: the answer goes once the port is closed
        kReopen,  // take it back
    };
    LeaseAnswer answer;
    Port port = Port::kKeep;
    QString record;  // the change record's words, "lent to ... for 600 s"; empty: nothing
};

// What a request gives as its own words: ?by= and ?lease= (absent: not given).
struct LeaseWords {
    QString by;
    std::optional<QString> token;
};

// A request of the lease routes, as the server has read and admitted it.
struct LeaseRequest {
    enum class Verb { kTake, kReturn, kAsk };
    Verb verb = Verb::kAsk;
    QString unit;  // /units/NAME/lease: the name
    QString port;  // /lease?port=PORT: the port, as the borrower would open it
    QString who;   // the user, or the client's address without users
    QString seconds;
    LeaseWords words;
};

class Leases {
public:
    // Makes a lease's token: 32 hexadecimal characters.
    using Tokens = std::function<QByteArray()>;
    static QByteArray RandomToken();

    explicit Leases(int limitSeconds = kLeaseLimitSeconds, Tokens tokens = RandomToken);

    // POST: `who` is the user, or the client's address without users; `seconds` as the request
    // gives it. Times in ms since the epoch.
    LeaseDecision Take(const LeasedUnit& unit, const QString& who, const QString& seconds,
                       const LeaseWords& words, qint64 nowMs);
    // DELETE: with a token, only its lease; without one, whoever holds the unit.
    LeaseDecision Return(const LeasedUnit& unit, const QString& who, const LeaseWords& words,
                         qint64 nowMs);
    // GET.
    LeaseAnswer Ask(const LeasedUnit& unit) const;
    // Every lease due by `nowMs` ends, each with its unit's key.
    std::vector<std::pair<quint64, LeaseDecision>> Expire(qint64 nowMs);
    // The unit is watched no more (a reload removed it, or moved it to another port): its lease
    // ends, if it has one; its port is not the monitor's any longer.
    std::optional<LeaseDecision> End(quint64 key, qint64 nowMs);
    // When the next lease ends, if one is held.
    std::optional<qint64> NextExpiry() const;

    // The answers of a request that reaches no unit, or that is refused.
    static LeaseAnswer NotWatched(const QString& asked, bool byName);
    static LeaseAnswer Error(int status, const QString& error);

private:
    struct Lease {
        LeasedUnit unit;
        QString holder;
        QByteArray token;
        qint64 sinceMs = 0;
        qint64 untilMs = 0;
        int seconds = 0;  // granted at the last take or renewal
    };

    LeaseAnswer Granted(const Lease& lease) const;
    static LeaseAnswer Conflict(const Lease& lease);

    int limitSeconds_;
    Tokens tokens_;
    std::map<quint64, Lease> leases_;  // by unit key
};

}  // namespace irig::monitor
