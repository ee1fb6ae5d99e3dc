// The exposition of what the monitor knows: which series each kind of unit has, their values as
// Prometheus reads them, and labels that stay labels whatever the port is called. That Prometheus
// itself accepts it is exporter_test's.
#include "monitor/metrics.h"

#include <gtest/gtest.h>

namespace irig::monitor {
namespace {

status::ClockReading Clock(uint8_t source, std::optional<uint8_t> version) {
    status::ClockReading clock;
    clock.source = source;
    clock.version = version;
    return clock;
}

// Diagnosed: whole hours, with the command its advice gives, and drifting.
UnitReading Diagnosed(const char* port, std::optional<status::ClockOffset> offset) {
    UnitReading unit;
    unit.port = QLatin1String(port);
    unit.up = true;
    unit.offset = offset;
    unit.diagnosis.emplace().kind = diagnosis::Kind::kHourOffset;
    unit.diagnosis->command = QStringLiteral("irigctl offsets");
    unit.drift.emplace().ppm = -0.5;
    unit.drift->uncertaintyPpm = 0.25;
    return unit;
}

struct SeriesRow {
    const char* name;
    UnitReading unit;
    std::vector<const char*> present;  // whole lines
    std::vector<const char*> absent;   // the start of lines that must not be there
};

class Series : public testing::TestWithParam<SeriesRow> {};

TEST_P(Series, AreThoseTheUnitsStateAllows) {
    const QByteArray text = Exposition({GetParam().unit}, std::nullopt);
    for (const char* line : GetParam().present) {
        EXPECT_TRUE(text.contains(QByteArray("\n") + line + '\n')) << line << "\n" << text.data();
    }
    for (const char* start : GetParam().absent) {
        EXPECT_FALSE(text.contains(QByteArray("\n") + start)) << start << "\n" << text.data();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Metrics, Series,
    testing::Values(
        SeriesRow{"answering_unit",
                  {QStringLiteral("COM1"),
                   true,
                   Clock(0x02, 23),
                   status::ClockOffset{137, 5},
                   1'765'000'000'123'456,
                   {},
                   {},
                   {},
                   {}},
                  {"irig_unit_up{port=\"COM1\"} 1", "irig_unit_leased{port=\"COM1\"} 0",
                   "irig_unit_reference_source{port=\"COM1\",source=\"gps\"} 1",
                   "irig_unit_reference_source{port=\"COM1\",source=\"irig_b\"} 0",
                   "irig_unit_reference_source{port=\"COM1\",source=\"irig_b_bad\"} 0",
                   "irig_unit_reference_source{port=\"COM1\",source=\"internal_crystal\"} 0",
                   "irig_unit_firmware_info{port=\"COM1\",version=\"2.3\"} 1",
                   "irig_unit_clock_offset_seconds{port=\"COM1\"} 0.137",
                   "irig_unit_clock_offset_uncertainty_seconds{port=\"COM1\"} 0.005",
                   "irig_unit_last_reply_timestamp_seconds{port=\"COM1\"} 1765000000.123"},
                  {}},
        SeriesRow{"unit_behind_on_bad_irig_b",
                  {QStringLiteral("/dev/ttyUSB0"),
                   true,
                   Clock(0x0C, 100),
                   status::ClockOffset{-2500, 12},
                   1'000'000,
                   {},
                   {},
                   {},
                   {}},
                  {"irig_unit_reference_source{port=\"/dev/ttyUSB0\",source=\"irig_b_bad\"} 1",
                   "irig_unit_firmware_info{port=\"/dev/ttyUSB0\",version=\"10.0\"} 1",
                   "irig_unit_clock_offset_seconds{port=\"/dev/ttyUSB0\"} -2.500",
                   "irig_unit_clock_offset_uncertainty_seconds{port=\"/dev/ttyUSB0\"} 0.012"},
                  {}},
        // Once a unit stops answering, nothing it said before stands for it but when it last did.
        SeriesRow{"unit_that_stopped_answering",
                  {QStringLiteral("COM2"),
                   false,
                   Clock(0x02, 23),
                   status::ClockOffset{1, 1},
                   1'765'000'000'000'000,
                   {},
                   {},
                   {},
                   {}},
                  {"irig_unit_up{port=\"COM2\"} 0",
                   "irig_unit_last_reply_timestamp_seconds{port=\"COM2\"} 1765000000.000"},
                  {"irig_unit_reference_source{", "irig_unit_firmware_info{",
                   "irig_unit_clock_offset_seconds{", "irig_unit_clock_offset_uncertainty"}},
        SeriesRow{"unit_never_heard",
                  {QStringLiteral("rfc2217://ts1:4001"), false, {}, {}, {}, {}, {}, {}, {}},
                  {"irig_unit_up{port=\"rfc2217://ts1:4001\"} 0"},
                  {"irig_unit_last_reply_timestamp_seconds{"}},
        SeriesRow{"source_code_of_no_kind",
                  {QStringLiteral("COM3"), true, Clock(0x07, 23), {}, 1'000'000, {}, {}, {}, {}},
                  {"irig_unit_reference_source{port=\"COM3\",source=\"gps\"} 0",
                   "irig_unit_reference_source{port=\"COM3\",source=\"internal_crystal\"} 0"},
                  {"irig_unit_clock_offset_seconds{"}},
        SeriesRow{
            "port_that_needs_escaping",
            {QStringLiteral("/dev/serial/by-id/a\"b\\c\nd"), false, {}, {}, {}, {}, {}, {}, {}},
            {"irig_unit_up{port=\"/dev/serial/by-id/a\\\"b\\\\c\\nd\"} 0"},
            {}},
        // From an inventory: the unit's name and labels on every series, and whether each setting
        // the inventory gives matches, where it is known (the IRIG-B offset is not read yet).
        SeriesRow{"unit_of_an_inventory",
                  {QStringLiteral("COM4"),
                   true,
                   Clock(0x02, 24),
                   {},
                   1'000'000,
                   QStringLiteral("sub-a-1"),
                   {{QStringLiteral("site"), QStringLiteral("a")}},
                   fleet::Intended{std::nullopt, -5, true, 24, 50},
                   unit::Offsets{0, 0, true}},
                  {"irig_unit_up{port=\"COM4\",unit=\"sub-a-1\",site=\"a\"} 1",
                   "irig_unit_setting_matches{port=\"COM4\",unit=\"sub-a-1\",site=\"a\","
                   "setting=\"gps_offset\"} 0",
                   "irig_unit_setting_matches{port=\"COM4\",unit=\"sub-a-1\",site=\"a\","
                   "setting=\"ieee1344\"} 1",
                   "irig_unit_setting_matches{port=\"COM4\",unit=\"sub-a-1\",site=\"a\","
                   "setting=\"firmware\"} 1"},
                  {"setting=\"irig_offset\""}},
        // A unit lent to another tool: no up series for it, nor anything measured before.
        SeriesRow{"unit_on_loan",
                  {QStringLiteral("COM5"),
                   false,
                   Clock(0x02, 23),
                   status::ClockOffset{1, 1},
                   1'000'000,
                   {},
                   {},
                   {},
                   {},
                   true},
                  {"irig_unit_leased{port=\"COM5\"} 1"},
                  {"irig_unit_up{", "irig_unit_firmware_info{", "irig_unit_clock_offset"}},
        // Diagnosed: each kind, 1 for its own, the command its advice gives, and the drift.
        SeriesRow{"unit_an_hour_ahead_and_drifting",
                  Diagnosed("COM6", status::ClockOffset{3'600'000, 2}),
                  {"irig_unit_clock_diagnosis{port=\"COM6\",kind=\"hour_offset\"} 1",
                   "irig_unit_clock_diagnosis{port=\"COM6\",kind=\"none\"} 0",
                   "irig_unit_clock_advice_info{port=\"COM6\",command=\"irigctl offsets\"} 1",
                   "irig_unit_clock_drift_ppm{port=\"COM6\"} -0.500",
                   "irig_unit_clock_drift_uncertainty_ppm{port=\"COM6\"} 0.250"},
                  {}},
        SeriesRow{"diagnosis_without_an_offset",
                  Diagnosed("COM7", std::nullopt),
                  {},
                  {"irig_unit_clock_diagnosis{", "irig_unit_clock_advice_info{"}}),
    [](const testing::TestParamInfo<SeriesRow>& row) { return std::string(row.param.name); });

TEST(Metrics, EveryFamilyHasHelpAndTypeOnceAndTheHostClockItsOwnSeries) {
    const QByteArray text = Exposition(
        {UnitReading{QStringLiteral("COM1"), true, Clock(0x01, 23), {{0, 1}}, 1, {}, {}, {}, {}},
         UnitReading{QStringLiteral("COM2"), true, Clock(0x04, 23), {{0, 1}}, 1, {}, {}, {}, {}}},
        status::KernelClock{false, 1'500, 2'001}, std::nullopt, 1'782'604'800);
    for (const char* family :
         {"irig_unit_up", "irig_unit_leased", "irig_unit_reference_source",
          "irig_unit_firmware_info", "irig_unit_clock_offset_seconds",
          "irig_unit_clock_offset_uncertainty_seconds", "irig_unit_last_reply_timestamp_seconds",
          "irig_host_clock_synchronized", "irig_host_clock_max_error_seconds"}) {
        EXPECT_EQ(text.count(QByteArray("# HELP ") + family + ' '), 1) << family;
        EXPECT_EQ(text.count(QByteArray("# TYPE ") + family + " gauge\n"), 1) << family;
    }
    EXPECT_TRUE(text.contains("\nirig_host_clock_synchronized 1\n"));
    EXPECT_TRUE(
        text.contains("\nirig_host_leap_seconds_list_expiry_timestamp_seconds 1782604800\n"));
    EXPECT_TRUE(text.contains("\nirig_host_clock_max_error_seconds 0.003\n")) << "rounded up";
    EXPECT_TRUE(text.endsWith('\n'));

    const QByteArray unknown = Exposition({}, std::nullopt);
    EXPECT_FALSE(unknown.contains("\nirig_host_clock")) << "no host clock where none is known";
}

}  // namespace
}  // namespace irig::monitor
