#include "diagnosis/diagnosis.h"

#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <cstdlib>

#include "link/protocol.h"

namespace irig::diagnosis {

namespace {

// The kernel's bound on an unsynchronised clock's error, where it gives none larger.
constexpr qint64 kUnsynchronisedErrorMs = 16'000;
constexpr qint64 kThirtyDays = qint64{30} * 86'400;
// GPS − UTC since 2017, where no list says otherwise.
constexpr int kGpsMinusUtcKnown = 18;

// What an offset is made of: whole GPS week rollovers, quarter hours and GPS − UTC.
struct Parts {
    qint64 rollovers = 0;
    qint64 quarterHours = 0;
    bool gps = false;
};

qint64 RoundDiv(qint64 value, qint64 by) {
    return value >= 0 ? (value + by / 2) / by : -((-value + by / 2) / by);
}

qint64 HostErrorMs(const std::optional<status::KernelClock>& clock) {
    const qint64 reported = clock ? (clock->maxErrorUs + 999) / 1000 : 0;
    return clock && !clock->unsynchronised ? reported : std::max(reported, kUnsynchronisedErrorMs);
}

// Quarter hours (a day at most) and perhaps GPS − UTC that make `offsetMs` within `toleranceMs`.
std::optional<Parts> HoursAndSeconds(qint64 offsetMs, qint64 toleranceMs, qint64 gpsMs) {
    std::optional<Parts> best;
    qint64 bestRest = 0;
    for (const bool gps : {false, true}) {
        const qint64 left = offsetMs - (gps ? gpsMs : 0);
        const qint64 quarters = RoundDiv(left, kQuarterHourMs);
        const qint64 rest = std::abs(left - quarters * kQuarterHourMs);
        if (std::abs(quarters) * kQuarterHourMs <= kDayMs && rest <= toleranceMs &&
            (!best || rest < bestRest)) {
            best = Parts{0, quarters, gps};
            bestRest = rest;
        }
    }
    return best;
}

Parts Decompose(qint64 offsetMs, qint64 uncertaintyMs, qint64 gpsMs) {
    const qint64 rollovers = RoundDiv(-offsetMs, kRolloverMs);
    if (rollovers >= 1 && rollovers <= kMostRollovers) {
        if (auto rest = HoursAndSeconds(offsetMs + rollovers * kRolloverMs,
                                        RowOf(Kind::kWeekRollover).giveMs + uncertaintyMs, gpsMs)) {
            rest->rollovers = rollovers;
            return *rest;
        }
    }
    return HoursAndSeconds(offsetMs, RowOf(Kind::kHourOffset).giveMs + uncertaintyMs, gpsMs)
        .value_or(Parts{});
}

Kind KindOf(const Parts& parts, const status::ClockOffset& offset) {
    if (parts.rollovers != 0) {
        return Kind::kWeekRollover;
    }
    if (parts.quarterHours != 0) {
        return Kind::kHourOffset;
    }
    if (parts.gps) {
        return Kind::kGpsTime;
    }
    if (std::abs(offset.offsetMs) > kDayMs) {
        return Kind::kDefaultDate;
    }
    return std::abs(offset.offsetMs) > offset.uncertaintyMs ? Kind::kOff : Kind::kNone;
}

bool CertainOf(Kind kind, qint64 offsetMs, qint64 errorMs, bool synchronised) {
    const KindRow& row = RowOf(kind);
    switch (row.certainty) {
        case Certainty::kErrorBelow:
            return errorMs < row.certainBelowMs;
        case Certainty::kOffsetBeyondError:
            return std::abs(offsetMs) > errorMs;
        case Certainty::kHostSynchronised:
            return synchronised;
    }
    return false;
}

bool FollowsReference(std::optional<uint8_t> source) {
    return source == link::source::kGps || source == link::source::kIrigB ||
           source == link::source::kIrigBBad;
}

QString Side(qint64 value) {
    return value > 0 ? QStringLiteral("ahead of") : QStringLiteral("behind");
}

// "1 hour", "2 hours", "5.5 hours".
QString HoursText(qint64 quarters) {
    const double hours = static_cast<double>(std::abs(quarters)) / 4;
    return quarters == 4 || quarters == -4 ? QStringLiteral("1 hour")
                                           : QStringLiteral("%1 hours").arg(hours, 0, 'g', 4);
}

QString ZoneText(const HostZone& zone) {
    const int minutes = std::abs(zone.offsetSeconds) / 60;
    QString text = QStringLiteral("this computer's zone is UTC%1%2:%3 now")
                       .arg(zone.offsetSeconds < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                       .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                       .arg(minutes % 60, 2, 10, QLatin1Char('0'));
    if (zone.lastChange) {
        text += QStringLiteral(", changed on %1")
                    .arg(QDateTime::fromSecsSinceEpoch(*zone.lastChange, QTimeZone::utc())
                             .toString(QStringLiteral("yyyy-MM-dd")));
    }
    return text;
}

// The hours' part of a text: "1 hour ahead of this computer's local time (the unit's GPS offset
// 0, IRIG-B offset 0; this computer's zone is UTC+01:00 now)".
QString HoursPart(const Inputs& in, const Parts& parts) {
    QString text = QStringLiteral("%1 %2 this computer's local time (")
                       .arg(HoursText(parts.quarterHours), Side(parts.quarterHours));
    if (in.offsets) {
        text += QStringLiteral("the unit's GPS offset %1, IRIG-B offset %2; ")
                    .arg(in.offsets->gps)
                    .arg(in.offsets->irig);
    }
    return text + ZoneText(in.zone) + QLatin1Char(')');
}

// The offsets that take the hours away, or Set Time for a unit on its crystal; nothing where
// whole-hour offsets cannot.
QString HoursCommand(const Inputs& in, qint64 quarters) {
    if (quarters % 4 != 0) {
        return {};
    }
    if (in.source == link::source::kInternalCrystal) {
        return QStringLiteral("irigctl set-time --port %1").arg(in.port);
    }
    if (!in.offsets) {
        return {};
    }
    const bool irig = in.source == link::source::kIrigB || in.source == link::source::kIrigBBad;
    const qint64 hours = quarters / 4;
    return QStringLiteral("irigctl offsets --port %1 --set --irig %2 --gps %3")
        .arg(in.port)
        .arg(in.offsets->irig - (irig ? hours : 0))
        .arg(in.offsets->gps - (irig ? 0 : hours));
}

QString HoursAdvice(const Inputs& in, qint64 quarters, const QString& command) {
    if (!command.isEmpty()) {
        return command;
    }
    if (quarters % 4 != 0) {
        return QStringLiteral(
            "the unit's offsets are whole hours: check this computer's zone and the site's");
    }
    return QStringLiteral("read irigctl offsets --port %1, then set its %2 offset %3 lower")
        .arg(in.port, FollowsReference(in.source) && in.source != link::source::kGps
                          ? QStringLiteral("IRIG-B")
                          : QStringLiteral("GPS"))
        .arg(quarters / 4);
}

int YearShown(const Inputs& in) {
    return QDateTime::fromMSecsSinceEpoch(in.now * 1000 + in.offset.offsetMs, QTimeZone::utc())
        .addSecs(in.zone.offsetSeconds)
        .date()
        .year();
}

// The kind's words and advice, before any "possibly".
void Describe(const Inputs& in, const Parts& parts, int gpsSeconds, Diagnosis& d) {
    const KindRow& row = RowOf(d.kind);
    const QString plusGps =
        parts.gps ? QStringLiteral(" plus %1 s, as GPS time is").arg(gpsSeconds) : QString();
    d.advice = QString::fromUtf8(
        FollowsReference(in.source) && *row.onReference != '\0' ? row.onReference : row.advice);
    switch (d.kind) {
        case Kind::kWeekRollover:
            d.text = QStringLiteral(
                         "the date is %1 weeks behind%2%3: the GPS week number has "
                         "rolled over")
                         .arg(parts.rollovers == 1 ? QStringLiteral("1024")
                                                   : QStringLiteral("%1 (%2 × 1024)")
                                                         .arg(parts.rollovers * 1024)
                                                         .arg(parts.rollovers))
                         .arg(parts.quarterHours != 0 ? QStringLiteral(", and %1 %2 local time")
                                                            .arg(HoursText(parts.quarterHours),
                                                                 Side(parts.quarterHours))
                                                      : QString(),
                              plusGps);
            break;
        case Kind::kHourOffset:
            d.text = HoursPart(in, parts) + plusGps;
            d.command = HoursCommand(in, parts.quarterHours);
            d.advice = HoursAdvice(in, parts.quarterHours, d.command);
            break;
        case Kind::kGpsTime:
            d.text = QStringLiteral("shows GPS time, not UTC: %1 s ahead").arg(gpsSeconds);
            break;
        case Kind::kDefaultDate:
            d.text = QStringLiteral(
                         "the unit's date is far off (%1), as after losing its "
                         "backed-up time")
                         .arg(YearShown(in));
            break;
        case Kind::kOff:
            d.text = QStringLiteral("the clock is %1, which no known fault explains")
                         .arg(status::OffsetText(in.offset));
            break;
        case Kind::kNone:
            d.text = QStringLiteral("on time, within the measurement's uncertainty");
            break;
    }
}

}  // namespace

const KindRow& RowOf(Kind kind) {
    return *std::find_if(kKinds.begin(), kKinds.end(),
                         [kind](const KindRow& row) { return row.kind == kind; });
}

HostZone HostZoneAt(qint64 now) {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const QDateTime at = QDateTime::fromSecsSinceEpoch(now, QTimeZone::utc());
    HostZone host{zone.offsetFromUtc(at), std::nullopt};
    const QTimeZone::OffsetData last = zone.previousTransition(at);
    if (last.atUtc.isValid() && last.atUtc.toSecsSinceEpoch() > now - kThirtyDays) {
        host.lastChange = last.atUtc.toSecsSinceEpoch();
    }
    return host;
}

Inputs ThisComputer(const status::ClockOffset& offset) {
    Inputs in;
    in.offset = offset;
    in.hostClock = status::ReadKernelClock();
    in.leaps = ReadLeapList();
    in.now = status::HostNow() / 1'000'000;
    in.zone = HostZoneAt(in.now);
    return in;
}

Diagnosis Diagnose(const Inputs& in) {
    const status::ClockOffset& offset = in.offset;
    const qint64 errorMs = HostErrorMs(in.hostClock) + offset.uncertaintyMs;
    const bool synchronised = status::Trust(in.hostClock) == status::ClockTrust::kSynchronised;
    const int gpsSeconds = in.leaps.list ? GpsMinusUtc(*in.leaps.list, in.now) : kGpsMinusUtcKnown;
    const Parts parts = Decompose(offset.offsetMs, offset.uncertaintyMs, gpsSeconds * 1000LL);
    Diagnosis d;
    d.kind = KindOf(parts, offset);
    Describe(in, parts, gpsSeconds, d);

    // Each part of a combination must be certain for the whole to be.
    d.certain = CertainOf(d.kind, offset.offsetMs, errorMs, synchronised) &&
                (parts.quarterHours == 0 ||
                 CertainOf(Kind::kHourOffset, offset.offsetMs, errorMs, synchronised)) &&
                (!parts.gps || CertainOf(Kind::kGpsTime, offset.offsetMs, errorMs, synchronised));
    QStringList why;
    if (!d.certain) {
        why << QStringLiteral("this computer's clock may be %1 ms off")
                   .arg(HostErrorMs(in.hostClock));
    }
    const bool listNeeded = parts.gps || RowOf(d.kind).needsLeapList;
    if (listNeeded && !in.leaps.list) {
        why << QStringLiteral("there is no leap-second list (%1)").arg(in.leaps.why);
    } else if (listNeeded && in.leaps.list->expires <= in.now) {
        why << QStringLiteral("the leap-second list expired on %1")
                   .arg(QDateTime::fromSecsSinceEpoch(in.leaps.list->expires, QTimeZone::utc())
                            .toString(QStringLiteral("yyyy-MM-dd")));
    }
    if (!why.isEmpty()) {
        d.certain = false;
        d.text = QStringLiteral("possibly ") + d.text + QStringLiteral(" (uncertain, as ") +
                 why.join(QStringLiteral(" and ")) + QLatin1Char(')');
    }

    if (parts.rollovers != 0) {
        d.weeks = static_cast<int>(parts.rollovers * 1024);
    }
    if (parts.quarterHours != 0) {
        d.hours = static_cast<double>(parts.quarterHours) / 4;
    }
    if (parts.gps) {
        d.seconds = gpsSeconds;
    }
    if (d.kind == Kind::kDefaultDate) {
        d.year = YearShown(in);
    }
    if (in.leaps.list) {
        if (const auto leap = Announced(*in.leaps.list, in.now, kThirtyDays)) {
            d.notes << QStringLiteral(
                           "a leap second is announced for %1 UTC: a unit that misses "
                           "it will be 1 s off afterwards")
                           .arg(QDateTime::fromSecsSinceEpoch(leap->from, QTimeZone::utc())
                                    .toString(QStringLiteral("yyyy-MM-dd HH:mm")));
        }
    }
    if (in.drift) {
        d.driftPpm = in.drift->ppm;
        d.notes << DriftText(*in.drift, in.boundMs);
    }
    return d;
}

QString Line(const Diagnosis& diagnosis) {
    return diagnosis.advice.isEmpty() ? diagnosis.text
                                      : diagnosis.text + QStringLiteral(": ") + diagnosis.advice;
}

}  // namespace irig::diagnosis
