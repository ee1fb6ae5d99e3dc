// The diagnosis table, row by row: each kind and combination at its limits, with an injected
// clock, zone and leap-second list; and the drift from successive measurements.
#include "diagnosis/diagnosis.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>

#include "link/protocol.h"

namespace irig::diagnosis {
namespace {

constexpr qint64 kW = kRolloverMs;
constexpr qint64 kH = 3'600'000;

enum class List { kHolds, kExpired, kMissing, kFaulty, kAnnounced };
enum class Host { kSynchronised, kUnsynchronised };

qint64 At(const char* iso) {
    return QDateTime::fromString(QLatin1String(iso), Qt::ISODate).toSecsSinceEpoch();
}

// tzdata's format: NTP seconds, TAI − UTC, and the expiry.
QString WriteList(const QTemporaryDir& dir, List list) {
    QByteArray text =
        "# leap seconds\n#$\t3676924800\n3550089600\t35\t# 1 Jul 2012\n"
        "3644697600\t36\t# 1 Jul 2015\n3692217600\t37\t# 1 Jan 2017\n";
    text += list == List::kAnnounced ? "3976214400\t38\t# 1 Jan 2026\n" : "";
    text += list == List::kFaulty ? "soon 38\n" : "";
    text += list == List::kExpired ? "#@\t3991593600\n" : "#@\t4007318400\n";
    const QString path = dir.filePath(QStringLiteral("leap-seconds.list"));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(list == List::kMissing ? QByteArray() : text);
    file.close();
    if (list == List::kMissing) {
        file.remove();
    }
    return path;
}

struct Row {
    const char* name;
    qint64 offsetMs;
    qint64 uncertaintyMs = 2;
    uint8_t source = link::source::kGps;
    Host host = Host::kSynchronised;
    List list = List::kHolds;
    const char* now = "2026-12-09T10:00:00Z";
    Kind kind = Kind::kNone;
    bool certain = true;
    std::optional<int> weeks = std::nullopt;
    std::optional<double> hours = std::nullopt;
    std::optional<int> seconds = std::nullopt;
    std::optional<int> year = std::nullopt;
    const char* says = "";    // a part of the text, or of a note
    const char* advice = "";  // a part of the advice
};

class Table : public testing::TestWithParam<Row> {};

TEST_P(Table, NamesTheFaultWithItsFiguresAndAdvice) {
    const Row& row = GetParam();
    QTemporaryDir dir;
    Inputs in;
    in.offset = {row.offsetMs, row.uncertaintyMs};
    in.hostClock = status::KernelClock{row.host == Host::kUnsynchronised, 3'000, 16'000'000};
    if (row.host == Host::kSynchronised) {
        in.hostClock->maxErrorUs = 20'000;
    }
    in.source = row.source;
    in.offsets = status::OffsetsReading{3, 0, false};
    in.leaps = ReadLeapList(WriteList(dir, row.list));
    in.now = At(row.now);
    in.zone = {3600, At("2026-11-20T01:00:00Z")};
    in.port = QStringLiteral("COM1");
    const Diagnosis d = Diagnose(in);
    const QString all = Line(d) + QLatin1Char('\n') + d.notes.join(QLatin1Char('\n'));
    EXPECT_EQ(RowOf(d.kind).key, std::string(RowOf(row.kind).key)) << all.toStdString();
    EXPECT_EQ(d.certain, row.certain) << all.toStdString();
    EXPECT_EQ(d.weeks, row.weeks);
    EXPECT_EQ(d.hours, row.hours);
    EXPECT_EQ(d.seconds, row.seconds);
    EXPECT_EQ(d.year, row.year);
    EXPECT_TRUE(all.contains(QString::fromUtf8(row.says))) << all.toStdString();
    EXPECT_TRUE(d.advice.contains(QString::fromUtf8(row.advice))) << all.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Diagnosis, Table,
    testing::Values(
        Row{.name = "on_time", .offsetMs = 1, .says = "on time"},
        Row{.name = "on_time_unsynchronised_host",
            .offsetMs = 1,
            .host = Host::kUnsynchronised,
            .certain = false,
            .says = "possibly on time"},
        Row{.name = "off_on_crystal",
            .offsetMs = 137,
            .source = link::source::kInternalCrystal,
            .kind = Kind::kOff,
            .says = "137 ms ahead",
            .advice = "irigctl set-time"},
        Row{.name = "off_on_gps", .offsetMs = -2500, .kind = Kind::kOff, .advice = "reference"},
        Row{.name = "off_unsynchronised_host",
            .offsetMs = 137,
            .host = Host::kUnsynchronised,
            .kind = Kind::kOff,
            .certain = false,
            .says = "may be 16000 ms off"},
        Row{.name = "gps_time",
            .offsetMs = 18'003,
            .kind = Kind::kGpsTime,
            .seconds = 18,
            .says = "GPS time, not UTC: 18 s ahead",
            .advice = "UTC"},
        Row{.name = "gps_time_at_its_limit",
            .offsetMs = 18'502,
            .kind = Kind::kGpsTime,
            .seconds = 18},
        Row{.name = "past_gps_time_is_off", .offsetMs = 18'503, .kind = Kind::kOff},
        Row{.name = "gps_time_unsynchronised_host",
            .offsetMs = 18'000,
            .host = Host::kUnsynchronised,
            .kind = Kind::kGpsTime,
            .certain = false,
            .seconds = 18,
            .says = "possibly shows GPS time"},
        Row{.name = "gps_time_expired_list",
            .offsetMs = 18'000,
            .list = List::kExpired,
            .kind = Kind::kGpsTime,
            .certain = false,
            .seconds = 18,
            .says = "the leap-second list expired on 2026-06-28"},
        Row{.name = "gps_time_missing_list",
            .offsetMs = 18'000,
            .list = List::kMissing,
            .kind = Kind::kGpsTime,
            .certain = false,
            .seconds = 18,
            .says = "no leap-second list (cannot read"},
        Row{.name = "gps_time_faulty_list",
            .offsetMs = 18'000,
            .list = List::kFaulty,
            .kind = Kind::kGpsTime,
            .certain = false,
            .seconds = 18,
            .says = "line 6, is not a leap second: soon 38"},
        Row{.name = "expired_list_leaves_hours_certain",
            .offsetMs = kH,
            .list = List::kExpired,
            .kind = Kind::kHourOffset,
            .hours = 1.0},
        Row{.name = "hour_ahead_on_gps",
            .offsetMs = kH + 2,
            .kind = Kind::kHourOffset,
            .hours = 1.0,
            .says = "1 hour ahead of this computer's local time (the unit's GPS offset 0, IRIG-B "
                    "offset 3; this computer's zone is UTC+01:00 now, changed on 2026-11-20)",
            .advice = "irigctl offsets --port COM1 --set --irig 3 --gps -1"},
        Row{.name = "hours_behind_on_irig",
            .offsetMs = -2 * kH,
            .source = link::source::kIrigB,
            .kind = Kind::kHourOffset,
            .hours = -2.0,
            .advice = "--set --irig 5 --gps 0"},
        Row{.name = "hour_on_crystal",
            .offsetMs = kH,
            .source = link::source::kInternalCrystal,
            .kind = Kind::kHourOffset,
            .hours = 1.0,
            .advice = "irigctl set-time --port COM1"},
        Row{.name = "half_hour",
            .offsetMs = kH / 2,
            .kind = Kind::kHourOffset,
            .hours = 0.5,
            .advice = "whole hours"},
        Row{.name = "hours_plus_gps_time",
            .offsetMs = kH + 18'001,
            .kind = Kind::kHourOffset,
            .hours = 1.0,
            .seconds = 18,
            .says = "plus 18 s, as GPS time is"},
        Row{.name = "hours_plus_gps_time_unsynchronised",
            .offsetMs = kH + 18'000,
            .host = Host::kUnsynchronised,
            .kind = Kind::kHourOffset,
            .certain = false,
            .hours = 1.0,
            .seconds = 18},
        Row{.name = "week_rollover",
            .offsetMs = -kW + 1,
            .kind = Kind::kWeekRollover,
            .weeks = 1024,
            .says = "the date is 1024 weeks behind: the GPS week number",
            .advice = "firmware"},
        Row{.name = "two_rollovers",
            .offsetMs = -2 * kW,
            .kind = Kind::kWeekRollover,
            .weeks = 2048,
            .says = "2048 (2 × 1024) weeks behind"},
        Row{.name = "rollover_plus_hours",
            .offsetMs = -kW + kH,
            .kind = Kind::kWeekRollover,
            .weeks = 1024,
            .hours = 1.0,
            .says = "and 1 hour ahead of local time"},
        Row{.name = "rollover_unsynchronised_host_still_certain",
            .offsetMs = -kW,
            .host = Host::kUnsynchronised,
            .kind = Kind::kWeekRollover,
            .weeks = 1024},
        Row{.name = "four_rollovers_are_a_default_date",
            .offsetMs = -4 * kW,
            .kind = Kind::kDefaultDate,
            .year = 1948},
        Row{.name = "default_date",
            .offsetMs = (At("2000-01-01T00:00:00Z") - At("2026-12-09T11:00:00Z")) * 1000,
            .kind = Kind::kDefaultDate,
            .year = 2000,
            .says = "far off (2000)",
            .advice = "set-time"},
        Row{.name = "a_day_and_a_second",
            .offsetMs = 24 * kH + 1000,
            .kind = Kind::kDefaultDate,
            .year = 2026},
        Row{.name = "leap_second_announced",
            .offsetMs = 0,
            .list = List::kAnnounced,
            .now = "2025-12-10T00:00:00Z",
            .says = "a leap second is announced for 2026-01-01 00:00 UTC"}),
    [](const testing::TestParamInfo<Row>& row) { return std::string(row.param.name); });

struct DriftRow {
    const char* name;
    std::vector<std::tuple<int, qint64, uint8_t>> measured;  // seconds, offset ms (±1), source
    std::optional<double> ppm;
    std::optional<qint64> secondsToBound = std::nullopt;
};

class Drifts : public testing::TestWithParam<DriftRow> {};

TEST_P(Drifts, ComeFromMeasurementsWhileTheSourceStays) {
    DriftTracker tracker;
    for (const auto& [seconds, offsetMs, source] : GetParam().measured) {
        tracker.Add(seconds * 1'000'000LL, {offsetMs, 1}, source);
    }
    const std::optional<Drift> drift = tracker.Current();
    ASSERT_EQ(drift.has_value(), GetParam().ppm.has_value());
    if (drift) {
        EXPECT_DOUBLE_EQ(drift->ppm, *GetParam().ppm);
        EXPECT_LT(drift->uncertaintyPpm, std::abs(drift->ppm) + 7);
        EXPECT_EQ(drift->secondsToBound, GetParam().secondsToBound);
    }
}

constexpr uint8_t kGps = link::source::kGps;
constexpr uint8_t kCrystal = link::source::kInternalCrystal;

INSTANTIATE_TEST_SUITE_P(
    Drift, Drifts,
    testing::Values(
        DriftRow{"plain_and_beyond_the_bound", {{0, 0, kCrystal}, {10, 5, kCrystal}}, 500.0, 0},
        DriftRow{"not_yet_plain", {{0, 0, kCrystal}, {10, 2, kCrystal}}, std::nullopt},
        DriftRow{"just_plain", {{0, 0, kCrystal}, {10, 3, kCrystal}}, 300.0, 0},
        DriftRow{"five_minutes_say_it_anyway", {{0, 0, kGps}, {300, 1, kGps}}, 1000.0 / 300},
        DriftRow{"towards_the_bound", {{0, -6, kCrystal}, {20, -1, kCrystal}}, 250.0, 12},
        DriftRow{"a_new_source_starts_over", {{0, 0, kGps}, {10, 5, kCrystal}}, std::nullopt},
        DriftRow{"a_set_clock_starts_over", {{0, 0, kCrystal}, {10, 900, kCrystal}}, std::nullopt}),
    [](const testing::TestParamInfo<DriftRow>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace irig::diagnosis
