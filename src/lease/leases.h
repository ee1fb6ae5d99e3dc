// The units irigctl monitor lends to other tools, as a table of decisions: each request's outcome
// read from one table (verb, token, the unit's state), and a lease expired, renamed or ended by a
// reload, each decided as a value (the HTTP answer, what becomes of the unit's port, the change
// record's words). Closing and opening ports, timers and HTTP are the lease desk's and the
// server's.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace irig::lease {

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

// The lease table's own words for a request: a POST without a token takes, with one renews.
enum class LeaseVerb { kTake, kRenew, kReturn, kAsk };
// The request's token against the unit's lease: none given, the lease's own, or any other (the
// token of a lease that ended, or one never given out here).
enum class TokenIs { kNone, kCurrent, kStale, kAny };
// The unit: not lent (never, or its last lease returned by its holder), lent, or its last lease
// ended by its time or by an operator.
enum class UnitIs { kFree, kHeld, kExpired, kTakenBack, kAny };
enum class LeaseOutcome {
    kLend,      // a new lease: the port closes, then 200 with its token
    kBusy,      // 409: lent to another
    kExtend,    // 200: a new end, the same token
    kGiveBack,  // 200: returned by its holder, the port opens again
    kTakeBack,  // 200: returned without a token, by an operator (or the holder), the port opens
    kNotLent,   // 200 "returned": false
    kEnded,     // 409 "your lease ended: ...": never a new lease
    kTell,      // 200: whether it is lent, to whom, until when
};
struct LeaseRule {
    LeaseVerb verb;
    TokenIs token;
    UnitIs unit;
    LeaseOutcome outcome;
};

// Every request's outcome, as one table (kAny: in a rule, whichever). What cannot be asked is not
// in it: a take with a token, a renewal without one, the current token of a unit not lent.
inline constexpr LeaseRule kLeaseRules[] = {
    {LeaseVerb::kTake, TokenIs::kNone, UnitIs::kFree, LeaseOutcome::kLend},
    {LeaseVerb::kTake, TokenIs::kNone, UnitIs::kHeld, LeaseOutcome::kBusy},
    {LeaseVerb::kTake, TokenIs::kNone, UnitIs::kExpired, LeaseOutcome::kLend},
    {LeaseVerb::kTake, TokenIs::kNone, UnitIs::kTakenBack, LeaseOutcome::kLend},
    {LeaseVerb::kRenew, TokenIs::kCurrent, UnitIs::kHeld, LeaseOutcome::kExtend},
    {LeaseVerb::kRenew, TokenIs::kStale, UnitIs::kFree, LeaseOutcome::kEnded},
    {LeaseVerb::kRenew, TokenIs::kStale, UnitIs::kHeld, LeaseOutcome::kEnded},
    {LeaseVerb::kRenew, TokenIs::kStale, UnitIs::kExpired, LeaseOutcome::kEnded},
    {LeaseVerb::kRenew, TokenIs::kStale, UnitIs::kTakenBack, LeaseOutcome::kEnded},
    {LeaseVerb::kReturn, TokenIs::kNone, UnitIs::kFree, LeaseOutcome::kNotLent},
    {LeaseVerb::kReturn, TokenIs::kNone, UnitIs::kHeld, LeaseOutcome::kTakeBack},
    {LeaseVerb::kReturn, TokenIs::kNone, UnitIs::kExpired, LeaseOutcome::kNotLent},
    {LeaseVerb::kReturn, TokenIs::kNone, UnitIs::kTakenBack, LeaseOutcome::kNotLent},
    {LeaseVerb::kReturn, TokenIs::kCurrent, UnitIs::kHeld, LeaseOutcome::kGiveBack},
    {LeaseVerb::kReturn, TokenIs::kStale, UnitIs::kFree, LeaseOutcome::kEnded},
    {LeaseVerb::kReturn, TokenIs::kStale, UnitIs::kHeld, LeaseOutcome::kEnded},
    {LeaseVerb::kReturn, TokenIs::kStale, UnitIs::kExpired, LeaseOutcome::kEnded},
    {LeaseVerb::kReturn, TokenIs::kStale, UnitIs::kTakenBack, LeaseOutcome::kEnded},
    {LeaseVerb::kAsk, TokenIs::kAny, UnitIs::kAny, LeaseOutcome::kTell},
};
LeaseOutcome OutcomeOf(LeaseVerb verb, TokenIs token, UnitIs unit);

class Leases {
public:
    // Makes a lease's token: 32 hexadecimal characters.
    using Tokens = std::function<QByteArray()>;
    static QByteArray RandomToken();

    explicit Leases(int limitSeconds = kLeaseLimitSeconds, Tokens tokens = RandomToken);

    // A request for `unit`, decided by the table. Times in ms since the epoch; a lease due by
    // `nowMs` has ended (Expire ends it).
    LeaseDecision Decide(const LeasedUnit& unit, const LeaseRequest& request, qint64 nowMs);
    // Every lease due by `nowMs` ends, each with its unit's key.
    std::vector<std::pair<quint64, LeaseDecision>> Expire(qint64 nowMs);
    // The unit is watched no more (a reload removed it, or moved it to another port): its lease
    // ends, if it has one; its port is not the monitor's any longer.
    std::optional<LeaseDecision> End(quint64 key, qint64 nowMs);
    // The unit on the same port has a new name (a reload): a lease of it goes on under that name.
    std::optional<LeaseDecision> Rename(const LeasedUnit& unit);
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
    // How a unit's last lease ended, for its holder's next request.
    struct Ending {
        enum How { kReturned, kExpired, kTakenBack };
        QByteArray token;
        How how = kReturned;
        QString by;  // who returned it or took it back
        qint64 atMs = 0;
    };

    LeaseDecision Lend(const LeasedUnit& unit, const LeaseRequest& request, int seconds,
                       qint64 nowMs);
    LeaseDecision GiveBack(const LeasedUnit& unit, const LeaseRequest& request, qint64 nowMs);
    UnitIs State(quint64 key) const;
    LeaseAnswer Granted(const Lease& lease) const;
    LeaseAnswer Told(const LeasedUnit& unit) const;
    LeaseAnswer Ended(const LeasedUnit& unit, const QByteArray& token) const;
    static LeaseAnswer Conflict(const Lease& lease);

    int limitSeconds_;
    Tokens tokens_;
    std::map<quint64, Lease> leases_;  // by unit key
    std::map<quint64, Ending> ended_;  // each watched unit's last lease ended, by unit key
};

}  // namespace irig::lease
