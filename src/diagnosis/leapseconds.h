// This computer's leap-second list, as tzdata ships it (leap-seconds.list: NTP seconds, TAI − UTC,
// and an expiry "#@" line): read, bounded, and asked what GPS − UTC is, whether the list still
// holds, and which leap second is announced next. Reading only; what follows from it is the
// diagnosis's.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>
#include <vector>

namespace irig::diagnosis {

inline constexpr char kLeapSecondsPath[] = "/usr/share/zoneinfo/leap-seconds.list";

struct LeapSecond {
    qint64 from;      // when TAI − UTC takes this value, seconds since the epoch (UTC)
    int taiMinusUtc;  // seconds
};

struct LeapList {
    std::vector<LeapSecond> entries;  // in order
    qint64 expires = 0;               // seconds since the epoch
};

// The list, or why there is none ("cannot read …", "no expiry date in …"). A file longer than
// a list can be (64 KiB) or with a line that is not one is refused.
struct LeapListRead {
    std::optional<LeapList> list;
    QString why;
};
LeapListRead ReadLeapList(const QString& path = QLatin1String(kLeapSecondsPath));

// GPS time runs TAI − 19 s: GPS − UTC at `now`.
int GpsMinusUtc(const LeapList& list, qint64 now);

// The leap second that takes effect after `now` and within `withinSeconds`, if the list has one.
std::optional<LeapSecond> Announced(const LeapList& list, qint64 now, qint64 withinSeconds);

}  // namespace irig::diagnosis
