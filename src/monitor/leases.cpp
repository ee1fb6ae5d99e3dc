#include "monitor/leases.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTimeZone>
#include <algorithm>
#include <limits>

namespace irig::monitor {

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

bool Printable(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.isPrint(); });
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

LeaseDecision Leases::Take(const LeasedUnit& unit, const QString& who, const QString& seconds,
                           const LeaseWords& words, qint64 nowMs) {
    const std::optional<int> granted = Seconds(seconds, limitSeconds_);
    if (!granted) {
        return Only(Error(kBadRequest, QStringLiteral("seconds must be a whole number of seconds "
                                                      "from 1 (at most %1 are granted)")
                                           .arg(limitSeconds_)));
    }
    if (words.by.size() > kMostByCharacters || !Printable(words.by)) {
        return Only(Error(kBadRequest, QStringLiteral("by must be printable text of at most %1 "
                                                      "characters")
                                           .arg(kMostByCharacters)));
    }
    const auto held = leases_.find(unit.key);
    if (held != leases_.end()) {
        Lease& renewed = held->second;
        if (!words.token || words.token->toLatin1() != renewed.token) {
            return Only(Conflict(renewed));
        }
        renewed.seconds = *granted;
        renewed.untilMs = nowMs + static_cast<qint64>(*granted) * 1000;
        return Only(Granted(renewed));
    }
    Lease lease{unit,
                words.by.isEmpty() ? who : QStringLiteral("%1 (%2)").arg(who, words.by),
                tokens_(),
                nowMs,
                nowMs + static_cast<qint64>(*granted) * 1000,
                *granted};
    LeaseDecision decision{
        Granted(lease), LeaseDecision::Port::kClose,
        QStringLiteral("lent to %1 for %2 s").arg(lease.holder).arg(lease.seconds)};
    leases_.insert_or_assign(unit.key, std::move(lease));
    return decision;
}

LeaseDecision Leases::Return(const LeasedUnit& unit, const QString& who, const LeaseWords& words,
                             qint64 nowMs) {
    const auto held = leases_.find(unit.key);
    if (held == leases_.end()) {
        return Only({kOk, QJsonObject{{QStringLiteral("unit"), unit.Shown()},
                                      {QStringLiteral("returned"), false}}});
    }
    const Lease& lease = held->second;
    if (words.token && words.token->toLatin1() != lease.token) {
        return Only(Conflict(lease));
    }
    const QString returner =
        words.by.isEmpty() || !Printable(words.by) || words.by.size() > kMostByCharacters
            ? who
            : QStringLiteral("%1 (%2)").arg(who, words.by);
    const qint64 after = Elapsed(lease.sinceMs, nowMs);
    LeaseDecision decision{
        {kOk,
         QJsonObject{{QStringLiteral("unit"), unit.Shown()}, {QStringLiteral("returned"), true}}},
        LeaseDecision::Port::kReopen,
        words.token || returner == lease.holder
            ? QStringLiteral("returned by %1 after %2 s").arg(lease.holder).arg(after)
            : QStringLiteral("taken back by %1 from %2 after %3 s")
                  .arg(returner, lease.holder)
                  .arg(after)};
    leases_.erase(held);
    return decision;
}

LeaseAnswer Leases::Ask(const LeasedUnit& unit) const {
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
        lease = leases_.erase(lease);
    }
    return ended;
}

std::optional<LeaseDecision> Leases::End(quint64 key, qint64 nowMs) {
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

}  // namespace irig::monitor
