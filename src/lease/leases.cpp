#include "lease/leases.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimeZone>
#include <algorithm>
#include <limits>

namespace irig::lease {

namespace {

constexpr int kOk = 200;
constexpr int kBadRequest = 400;
constexpr int kNotFound = 404;
constexpr int kConflict = 409;
constexpr int kMostByCharacters = 100;

// "2026-12-08T14:03:07Z".
QString Utc(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc())
        .toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'"));
}

// Whole seconds from `sinceMs` to `nowMs`, rounded.
qint64 Elapsed(qint64 sinceMs, qint64 nowMs) {
    return (std::max<qint64>(0, nowMs - sinceMs) + 500) / 1000;
}

// The seconds asked for, up to `limit`; nothing for what is no whole number from 1.
std::optional<int> Seconds(const QString& text, int limit) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,64}$"));
    if (!digits.match(text).hasMatch()) {
        return std::nullopt;
    }
    bool fits = false;
    const qlonglong asked = text.toLongLong(&fits);
    if (fits && asked == 0) {
        return std::nullopt;
    }
    return fits ? static_cast<int>(std::min<qlonglong>(asked, limit)) : limit;
}

// An answer alone: the port stays as it is, nothing is recorded.
LeaseDecision Only(LeaseAnswer answer) {
    return {std::move(answer), LeaseDecision::Port::kKeep, {}};
}

// ?by=: printable, and short.
bool ValidBy(const QString& text) {
    return text.size() <= kMostByCharacters &&
           std::all_of(text.begin(), text.end(), [](QChar c) { return c.isPrint(); });
}

}  // namespace

QString LeasedUnit::Recorded() const {
    return name.isEmpty() ? port : QStringLiteral("%1 (%2)").arg(name, port);
}

QByteArray Leases::RandomToken() {
    QByteArray bytes(16, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                          bytes.size() / 4);
    return bytes.toHex();
}

Leases::Leases(int limitSeconds, Tokens tokens)
    : limitSeconds_(std::max(1, limitSeconds)), tokens_(std::move(tokens)) {}

LeaseOutcome OutcomeOf(LeaseVerb verb, TokenIs token, UnitIs unit) {
    const auto rule =
        std::find_if(std::begin(kLeaseRules), std::end(kLeaseRules), [&](const LeaseRule& rule) {
            return rule.verb == verb && (rule.token == TokenIs::kAny || rule.token == token) &&
                   (rule.unit == UnitIs::kAny || rule.unit == unit);
        });
    // Not in the table: a token, and not the current lease's.
    return rule == std::end(kLeaseRules) ? LeaseOutcome::kEnded : rule->outcome;
}

LeaseDecision Leases::Decide(const LeasedUnit& unit, const LeaseRequest& request, qint64 nowMs) {
    const std::optional<QByteArray> token =
        request.words.token ? std::optional(request.words.token->toLatin1()) : std::nullopt;
    LeaseVerb verb = LeaseVerb::kAsk;
    if (request.verb == LeaseRequest::Verb::kTake) {
        verb = token ? LeaseVerb::kRenew : LeaseVerb::kTake;
    } else if (request.verb == LeaseRequest::Verb::kReturn) {
        verb = LeaseVerb::kReturn;
    }
    std::optional<int> granted;
    if (verb == LeaseVerb::kTake || verb == LeaseVerb::kRenew) {
        granted = Seconds(request.seconds, limitSeconds_);
        if (!granted) {
            return Only(Error(kBadRequest, QStringLiteral("seconds must be a whole number of "
                                                          "seconds from 1 (at most %1 are granted)")
                                               .arg(limitSeconds_)));
        }
        if (!ValidBy(request.words.by)) {
            return Only(Error(kBadRequest, QStringLiteral("by must be printable text of at most %1 "
                                                          "characters")
                                               .arg(kMostByCharacters)));
        }
    }
    const auto held = leases_.find(unit.key);
    const TokenIs is = !token                                                  ? TokenIs::kNone
                       : held != leases_.end() && *token == held->second.token ? TokenIs::kCurrent
                                                                               : TokenIs::kStale;
    switch (OutcomeOf(verb, is, State(unit.key))) {
        case LeaseOutcome::kLend:
            return Lend(unit, request, *granted, nowMs);
        case LeaseOutcome::kBusy:
            return Only(Conflict(held->second));
        case LeaseOutcome::kExtend:
            held->second.seconds = *granted;
            held->second.untilMs = nowMs + static_cast<qint64>(*granted) * 1000;
            return Only(Granted(held->second));
        case LeaseOutcome::kGiveBack:
        case LeaseOutcome::kTakeBack:
            return GiveBack(unit, request, nowMs);
        case LeaseOutcome::kNotLent:
            return Only({kOk, QJsonObject{{QStringLiteral("unit"), unit.Shown()},
                                          {QStringLiteral("returned"), false}}});
        case LeaseOutcome::kEnded:
            return Only(Ended(unit, token.value_or(QByteArray())));
        case LeaseOutcome::kTell:
            break;
    }
    return Only(Told(unit));
}

LeaseDecision Leases::Lend(const LeasedUnit& unit, const LeaseRequest& request, int seconds,
                           qint64 nowMs) {
    Lease lease{unit,
                request.words.by.isEmpty()
                    ? request.who
                    : QStringLiteral("%1 (%2)").arg(request.who, request.words.by),
                tokens_(),
                nowMs,
                nowMs + static_cast<qint64>(seconds) * 1000,
                seconds};
    LeaseDecision decision{
        Granted(lease), LeaseDecision::Port::kClose,
        QStringLiteral("lent to %1 for %2 s").arg(lease.holder).arg(lease.seconds)};
    leases_.insert_or_assign(unit.key, std::move(lease));
    return decision;
}

// Returned by its token, or without one by whoever asks: by an operator unless by its holder.
LeaseDecision Leases::GiveBack(const LeasedUnit& unit, const LeaseRequest& request, qint64 nowMs) {
    const auto held = leases_.find(unit.key);
    const Lease& lease = held->second;
    const QString returner = ValidBy(request.words.by) && !request.words.by.isEmpty()
                                 ? QStringLiteral("%1 (%2)").arg(request.who, request.words.by)
                                 : request.who;
    const bool own = request.words.token || returner == lease.holder;
    const qint64 after = Elapsed(lease.sinceMs, nowMs);
    LeaseDecision decision{
        {kOk,
         QJsonObject{{QStringLiteral("unit"), unit.Shown()}, {QStringLiteral("returned"), true}}},
        LeaseDecision::Port::kReopen,
        own ? QStringLiteral("returned by %1 after %2 s").arg(lease.holder).arg(after)
            : QStringLiteral("taken back by %1 from %2 after %3 s")
                  .arg(returner, lease.holder)
                  .arg(after)};
    ended_.insert_or_assign(unit.key,
                            Ending{lease.token, own ? Ending::kReturned : Ending::kTakenBack,
                                   own ? lease.holder : returner, nowMs});
    leases_.erase(held);
    return decision;
}

UnitIs Leases::State(quint64 key) const {
    if (leases_.count(key) > 0) {
        return UnitIs::kHeld;
    }
    const auto ended = ended_.find(key);
    if (ended == ended_.end() || ended->second.how == Ending::kReturned) {
        return UnitIs::kFree;
    }
    return ended->second.how == Ending::kExpired ? UnitIs::kExpired : UnitIs::kTakenBack;
}

LeaseAnswer Leases::Told(const LeasedUnit& unit) const {
    QJsonObject body{{QStringLiteral("unit"), unit.Shown()},
                     {QStringLiteral("port"), unit.port},
                     {QStringLiteral("leased"), false}};
    if (const auto held = leases_.find(unit.key); held != leases_.end()) {
        body.insert(QStringLiteral("leased"), true);
        body.insert(QStringLiteral("holder"), held->second.holder);
        body.insert(QStringLiteral("until"), Utc(held->second.untilMs));
    }
    return {kOk, body};
}

// A token of no current lease: how the unit's last lease ended, when the token is that lease's.
LeaseAnswer Leases::Ended(const LeasedUnit& unit, const QByteArray& token) const {
    const auto ended = ended_.find(unit.key);
    if (ended == ended_.end() || ended->second.token != token) {
        LeaseAnswer answer =
            Error(kConflict, QStringLiteral("your lease ended: no lease of %1 has that token (the "
                                            "monitor may have started again since)")
                                 .arg(unit.Shown()));
        answer.body.insert(QStringLiteral("ended"), QStringLiteral("unknown"));
        return answer;
    }
    static const QString kHow[] = {QStringLiteral("returned"), QStringLiteral("expired"),
                                   QStringLiteral("taken back")};
    const Ending& ending = ended->second;
    const QString how = kHow[ending.how];
    const QString at = Utc(ending.atMs);
    LeaseAnswer answer =
        Error(kConflict,
              ending.how == Ending::kExpired
                  ? QStringLiteral("your lease ended: expired at %1").arg(at)
                  : QStringLiteral("your lease ended: %1 by %2 at %3").arg(how, ending.by, at));
    answer.body.insert(QStringLiteral("ended"), how);
    answer.body.insert(QStringLiteral("at"), at);
    if (ending.how != Ending::kExpired) {
        answer.body.insert(QStringLiteral("by"), ending.by);
    }
    return answer;
}

std::vector<std::pair<quint64, LeaseDecision>> Leases::Expire(qint64 nowMs) {
    std::vector<std::pair<quint64, LeaseDecision>> ended;
    for (auto lease = leases_.begin(); lease != leases_.end();) {
        if (lease->second.untilMs > nowMs) {
            ++lease;
            continue;
        }
        ended.emplace_back(lease->first,
                           LeaseDecision{{},
                                         LeaseDecision::Port::kReopen,
                                         QStringLiteral("lease of %1 expired after %2 s")
                                             .arg(lease->second.holder)
                                             .arg(Elapsed(lease->second.sinceMs, nowMs))});
        ended_.insert_or_assign(
            lease->first, Ending{lease->second.token, Ending::kExpired, {}, lease->second.untilMs});
        lease = leases_.erase(lease);
    }
    return ended;
}

std::optional<LeaseDecision> Leases::End(quint64 key, qint64 nowMs) {
    ended_.erase(key);
    const auto held = leases_.find(key);
    if (held == leases_.end()) {
        return std::nullopt;
    }
    LeaseDecision decision{{},
                           LeaseDecision::Port::kKeep,
                           QStringLiteral("lease ended: the unit left the inventory (lent to %1 "
                                          "%2 s before)")
                               .arg(held->second.holder)
                               .arg(Elapsed(held->second.sinceMs, nowMs))};
    leases_.erase(held);
    return decision;
}

std::optional<LeaseDecision> Leases::Rename(const LeasedUnit& unit) {
    const auto held = leases_.find(unit.key);
    if (held == leases_.end() || held->second.unit.name == unit.name) {
        return std::nullopt;
    }
    Lease& lease = held->second;
    LeaseDecision decision{{},
                           LeaseDecision::Port::kKeep,
                           QStringLiteral("renamed from %1: still lent to %2 until %3")
                               .arg(lease.unit.name, lease.holder, Utc(lease.untilMs))};
    lease.unit = unit;
    return decision;
}

std::optional<qint64> Leases::NextExpiry() const {
    std::optional<qint64> next;
    for (const auto& [key, lease] : leases_) {
        next = std::min(next.value_or(std::numeric_limits<qint64>::max()), lease.untilMs);
    }
    return next;
}

LeaseAnswer Leases::NotWatched(const QString& asked, bool byName) {
    return Error(kNotFound, byName ? QStringLiteral("no unit %1 is watched here").arg(asked)
                                   : QStringLiteral("%1 is not watched here").arg(asked));
}

LeaseAnswer Leases::Error(int status, const QString& error) {
    return {status, QJsonObject{{QStringLiteral("error"), error}}};
}

LeaseAnswer Leases::Granted(const Lease& lease) const {
    return {kOk, QJsonObject{{QStringLiteral("unit"), lease.unit.Shown()},
                             {QStringLiteral("port"), lease.unit.port},
                             {QStringLiteral("holder"), lease.holder},
                             {QStringLiteral("seconds"), lease.seconds},
                             {QStringLiteral("until"), Utc(lease.untilMs)},
                             {QStringLiteral("lease"), QString::fromLatin1(lease.token)}}};
}

LeaseAnswer Leases::Conflict(const Lease& lease) {
    LeaseAnswer answer =
        Error(kConflict, QStringLiteral("%1 is lent to %2 until %3")
                             .arg(lease.unit.Shown(), lease.holder, Utc(lease.untilMs)));
    answer.body.insert(QStringLiteral("holder"), lease.holder);
    answer.body.insert(QStringLiteral("until"), Utc(lease.untilMs));
    return answer;
}

}  // namespace irig::lease
