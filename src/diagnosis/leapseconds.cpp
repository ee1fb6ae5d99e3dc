#include "diagnosis/leapseconds.h"

#include <QFile>
#include <QRegularExpression>
#include <algorithm>

namespace irig::diagnosis {

namespace {

// NTP counts from 1900, the epoch from 1970.
constexpr qint64 kNtpToEpoch = 2'208'988'800;
constexpr qint64 kMostBytes = qint64{64} * 1024;
// GPS time was TAI − 19 s when it began and has not taken a leap second since.
constexpr int kGpsBehindTai = 19;

}  // namespace

LeapListRead ReadLeapList(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {std::nullopt, QStringLiteral("cannot read %1: %2").arg(path, file.errorString())};
    }
    if (file.size() > kMostBytes) {
        return {std::nullopt, QStringLiteral("%1 is too long for a leap-second list").arg(path)};
    }
    static const QRegularExpression entry(QStringLiteral("^(\\d{10})\\s+(\\d{1,3})\\s*(#.*)?$"));
    static const QRegularExpression expiry(QStringLiteral("^#@\\s*(\\d{10})\\s*$"));
    LeapList list;
    const QStringList lines = QString::fromLatin1(file.readAll()).split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (const auto at = expiry.match(line); at.hasMatch()) {
            list.expires = at.captured(1).toLongLong() - kNtpToEpoch;
        } else if (const auto leap = entry.match(line); leap.hasMatch()) {
            list.entries.push_back(
                {leap.captured(1).toLongLong() - kNtpToEpoch, leap.captured(2).toInt()});
        } else if (!line.isEmpty() && !line.startsWith(QLatin1Char('#'))) {
            return {std::nullopt, QStringLiteral("%1, line %2, is not a leap second: %3")
                                      .arg(path)
                                      .arg(i + 1)
                                      .arg(line.left(40))};
        }
    }
    if (list.expires == 0 || list.entries.empty()) {
        return {std::nullopt, QStringLiteral("%1 has no expiry date or no leap seconds").arg(path)};
    }
    return {list, {}};
}

int GpsMinusUtc(const LeapList& list, qint64 now) {
    // The last in the list that has begun.
    const auto begun = std::find_if(list.entries.rbegin(), list.entries.rend(),
                                    [now](const LeapSecond& leap) { return leap.from <= now; });
    const int tai = begun == list.entries.rend() ? kGpsBehindTai : begun->taiMinusUtc;
    return tai - kGpsBehindTai;
}

std::optional<LeapSecond> Announced(const LeapList& list, qint64 now, qint64 withinSeconds) {
    const auto soon =
        std::find_if(list.entries.begin(), list.entries.end(), [&](const LeapSecond& leap) {
            return leap.from > now && leap.from <= now + withinSeconds;
        });
    return soon == list.entries.end() ? std::nullopt : std::optional(*soon);
}

}  // namespace irig::diagnosis
