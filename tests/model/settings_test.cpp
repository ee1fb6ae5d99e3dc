// The one table of settings: every spelling the inventory, the command line and the Ansible module
// take, each refusal in its own words, and which observed values drift from the intended.
#include "model/settings.h"

#include <gtest/gtest.h>

namespace irig::fleet {
namespace {

struct ParseRow {
    const char* name;
    Setting setting;
    Spelling spelling;
    const char* text;
    std::optional<Value> value;  // nothing: refused
    const char* shown;           // as shown, or the refusal
};

class Parsing : public testing::TestWithParam<ParseRow> {};

TEST_P(Parsing, TakesEachSpellingAndRefusesInItsOwnWords) {
    const ParseRow& row = GetParam();
    const auto parsed = Parse(row.setting, QString::fromUtf8(row.text), row.spelling);
    if (row.value) {
        ASSERT_TRUE(std::holds_alternative<Value>(parsed))
            << std::get<QString>(parsed).toStdString();
        EXPECT_EQ(std::get<Value>(parsed), *row.value);
        EXPECT_EQ(Show(row.setting, *row.value), QString::fromUtf8(row.shown));
    } else {
        ASSERT_TRUE(std::holds_alternative<QString>(parsed));
        EXPECT_EQ(std::get<QString>(parsed), QString::fromUtf8(row.shown));
    }
}

constexpr auto kInv = Spelling::kInventory;
constexpr auto kCli = Spelling::kCommandLine;
constexpr auto kMod = Spelling::kModule;

INSTANTIATE_TEST_SUITE_P(
    Settings, Parsing,
    testing::Values(ParseRow{"hours_signed", Setting::kGpsOffset, kInv, "-5", -5, "-5"},
                    ParseRow{"hours_with_a_minus_sign", Setting::kIrigOffset, kCli, "\u22127", -7,
                             "-7"},
                    ParseRow{"hours_plus", Setting::kIrigOffset, kMod, "+23", 23, "23"},
                    ParseRow{"hours_outside_inventory",
                             Setting::kGpsOffset,
                             kInv,
                             "24",
                             {},
                             "gps_offset 24 is outside -23 to 23"},
                    ParseRow{"hours_outside_command_line",
                             Setting::kGpsOffset,
                             kCli,
                             "30",
                             {},
                             "--gps \"30\" is not a whole number of hours from -23 to 23"},
                    ParseRow{"hours_hexadecimal",
                             Setting::kIrigOffset,
                             kMod,
                             "0x10",
                             {},
                             "irig_offset \"0x10\" is not a whole number of hours from -23 to 23"},
                    ParseRow{"hours_fraction",
                             Setting::kIrigOffset,
                             kInv,
                             "2.5",
                             {},
                             "irig_offset must be a whole number of hours from -23 to 23"},
                    ParseRow{"hours_too_many_digits",
                             Setting::kIrigOffset,
                             kInv,
                             "99999999999",
                             {},
                             "irig_offset must be a whole number of hours from -23 to 23"},
                    ParseRow{"flag_inventory", Setting::kIeee1344, kInv, "True", 1, "on"},
                    ParseRow{"flag_command_line", Setting::kIeee1344, kCli, "off", 0, "off"},
                    ParseRow{"flag_module_word", Setting::kIeee1344, kMod, "yes", 1, "on"},
                    ParseRow{"flag_inventory_refused",
                             Setting::kIeee1344,
                             kInv,
                             "maybe",
                             {},
                             "ieee1344 must be true or false"},
                    ParseRow{"flag_command_line_refused",
                             Setting::kIeee1344,
                             kCli,
                             "2",
                             {},
                             "--ieee1344 must be on or off"},
                    ParseRow{"flag_module_refused",
                             Setting::kIeee1344,
                             kMod,
                             "",
                             {},
                             "ieee1344 \"\" is not a boolean"},
                    ParseRow{"version", Setting::kFirmware, kInv, "2.4", 24, "2.4"},
                    ParseRow{"version_highest", Setting::kFirmware, kMod, "25.5", 255, "25.5"},
                    ParseRow{"version_beyond_a_byte",
                             Setting::kFirmware,
                             kMod,
                             "25.6",
                             {},
                             "firmware_version \"25.6\" is not a version N.N"},
                    ParseRow{"version_three_parts",
                             Setting::kFirmware,
                             kInv,
                             "2.3.1",
                             {},
                             "firmware must be a version N.N, as \"2.3\"; \"2.3.1\" is not"},
                    ParseRow{"version_command_line",
                             Setting::kFirmware,
                             kCli,
                             "2",
                             {},
                             "--expect-version \"2\" is not a version N.N, as 2.4"},
                    ParseRow{"limit", Setting::kMaxClockOffsetMs, kMod, " 50", 50, "50"},
                    ParseRow{"limit_negative",
                             Setting::kMaxClockOffsetMs,
                             kInv,
                             "-1",
                             {},
                             "max_clock_offset_ms must not be negative"},
                    ParseRow{"limit_beyond_an_int",
                             Setting::kMaxClockOffsetMs,
                             kInv,
                             "2147483648",
                             {},
                             "max_clock_offset_ms must be a whole number of milliseconds"},
                    ParseRow{"limit_module",
                             Setting::kMaxClockOffsetMs,
                             kMod,
                             "-3",
                             {},
                             "max_clock_offset_ms \"-3\" is not a whole number of milliseconds"}),
    [](const testing::TestParamInfo<ParseRow>& row) { return row.param.name; });

TEST(Settings, AnsibleTypedValuesAreTakenAsTheirText) {
    EXPECT_EQ(std::get<Value>(ParseJson(Setting::kIeee1344, QJsonValue(true))), 1);
    EXPECT_EQ(std::get<Value>(ParseJson(Setting::kGpsOffset, QJsonValue(-5.0))), -5);
    EXPECT_EQ(std::get<QString>(ParseJson(Setting::kGpsOffset, QJsonValue(true))),
              QStringLiteral("gps_offset \"true\" is not a whole number of hours from -23 to 23"));
    EXPECT_EQ(std::get<Value>(ParseJson(Setting::kFirmware, QJsonValue(QStringLiteral("2.4")))),
              24);
}

struct CompareRow {
    const char* name;
    Intended intended;
    Observed observed;
    std::vector<Setting> compared;
    std::vector<Drift> drifts;
};

class Comparing : public testing::TestWithParam<CompareRow> {};

TEST_P(Comparing, FindsWhatTheUnitDoesNotHave) {
    EXPECT_EQ(Compared(GetParam().intended, GetParam().observed), GetParam().compared);
    EXPECT_EQ(Compare(GetParam().intended, GetParam().observed), GetParam().drifts);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, Comparing,
    testing::Values(CompareRow{"kept_settings",
                               {.irigOffset = 0, .gpsOffset = -5, .ieee1344 = true, .firmware = 24},
                               {.irigOffset = 0, .gpsOffset = 0, .ieee1344 = true, .version = 23},
                               {Setting::kIrigOffset, Setting::kGpsOffset, Setting::kIeee1344,
                                Setting::kFirmware},
                               {{Setting::kGpsOffset, -5, 0}, {Setting::kFirmware, 24, 23}}},
                    CompareRow{"unread_or_not_intended",
                               {.gpsOffset = 1, .maxClockOffsetMs = 2},
                               {.irigOffset = 3, .version = 23},
                               {},
                               {}},
                    CompareRow{"clock_within_the_limit",
                               {.maxClockOffsetMs = 2},
                               {.clock = MeasuredOffset{1, 0}},
                               {Setting::kMaxClockOffsetMs},
                               {}},
                    CompareRow{"clock_interval_reaching_into_the_limit",
                               {.maxClockOffsetMs = 50},
                               {.clock = MeasuredOffset{-53, 3}},
                               {Setting::kMaxClockOffsetMs},
                               {}},
                    CompareRow{"clock_interval_wholly_beyond",
                               {.maxClockOffsetMs = 50},
                               {.clock = MeasuredOffset{-54, 3}},
                               {Setting::kMaxClockOffsetMs},
                               {{Setting::kMaxClockOffsetMs, 50, -54}}}),
    [](const testing::TestParamInfo<CompareRow>& row) { return row.param.name; });

TEST(Settings, OwnSettingsStandOverTheDefaults) {
    const Intended defaults{.irigOffset = 0, .gpsOffset = 0, .firmware = 23};
    EXPECT_EQ(defaults.Over({.gpsOffset = -5, .ieee1344 = false}),
              (Intended{.irigOffset = 0, .gpsOffset = -5, .ieee1344 = false, .firmware = 23}));
}

}  // namespace
}  // namespace irig::fleet
