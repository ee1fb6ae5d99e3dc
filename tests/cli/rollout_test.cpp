// A firmware rollout over many units of one simulator process: canaries first and waves no larger
// than asked, a failed canary or too many failures stopping new starts, units already at the
// version skipped unless forced, a unit silent or at another version after its update failed, and
// Ctrl-C starting nothing new.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QTimer>
#include <algorithm>
#include <csignal>

#include "support/inprocess.h"
#include "support/simulatedunit.h"

namespace irig::cli {
namespace {

struct RolloutRow {
    const char* name;
    int units;
    QStringList simulator;  // options of the simulator beyond the units
    const char* programId;  // carried by the image
    QStringList arguments;  // of flash, beyond the file and the ports
    int exitCode;
    QStringList results;  // each unit's, in order
    int mostAtOnce;       // the most updates that may overlap (0: no matter)
    const char* said;     // part of standard error or the JSON
};

class Rollouts : public testing::TestWithParam<RolloutRow> {};

TEST_P(Rollouts, GoAsTheOptionsSay) {
    const RolloutRow& row = GetParam();
    QTemporaryDir dir;
    test::SimulatedUnits units(
        dir.path(), row.units,
        QStringList{QStringLiteral("--reboot-ms"), QStringLiteral("20")} + row.simulator);
    ASSERT_TRUE(units.WaitReady()) << units.Errors().toStdString();
    const test::FirmwareFile firmware =
        test::MakeFirmwareFile(dir.path(), 0x400, 3, 0x4000, row.programId);
    QStringList words{QStringLiteral("flash"), firmware.path, QStringLiteral("--json")};
    for (int number = 1; number <= row.units; ++number) {
        words += {QStringLiteral("--port"), units.Link(number)};
    }
    if (row.exitCode == 130) {
        QTimer::singleShot(300, [] { std::raise(SIGINT); });
    }
    const test::Ran ran = test::RunIrigctl(words + row.arguments);
    EXPECT_EQ(ran.exitCode, row.exitCode) << ran.err.toStdString();
    EXPECT_TRUE(ran.err.contains(QLatin1String(row.said)) ||
                ran.out.contains(QLatin1String(row.said)))
        << ran.err.toStdString() << ran.out.toStdString();
    const QJsonArray each =
        QJsonDocument::fromJson(ran.out.toUtf8())[QStringLiteral("units")].toArray();
    QStringList results;
    std::vector<std::pair<double, double>> spans;
    for (const QJsonValue& unit : each) {
        results << unit[QStringLiteral("result")].toString();
        if (unit[QStringLiteral("startedAt")].toDouble() >= 0) {
            spans.emplace_back(unit[QStringLiteral("startedAt")].toDouble(),
                               unit[QStringLiteral("endedAt")].toDouble());
        }
    }
    EXPECT_EQ(results, row.results) << ran.out.toStdString();
    if (row.mostAtOnce > 0) {
        int most = 0;
        for (const auto& [start, end] : spans) {
            most =
                std::max<int>(most, static_cast<int>(std::count_if(
                                        spans.begin(), spans.end(), [start = start](const auto& s) {
                                            return s.first <= start && start < s.second;
                                        })));
        }
        EXPECT_LE(most, row.mostAtOnce);
        EXPECT_LE(spans.front().second, std::min_element(spans.begin() + 1, spans.end())->first)
            << "the canary ends before any other starts";
    }
}

const QStringList kAllDone(5, QStringLiteral("done"));

INSTANTIATE_TEST_SUITE_P(
    Flash, Rollouts,
    testing::Values(
        RolloutRow{"a_canary_then_waves",
                   5,
                   {},
                   "",
                   {"--canary", "1", "--max-parallel", "2"},
                   0,
                   kAllDone,
                   2,
                   ""},
        RolloutRow{"a_failed_canary_stops_all",
                   4,
                   {"--fault-units", "1", "--fail-erase", "1"},
                   "",
                   {"--canary", "1", "--retries", "0"},
                   1,
                   {"failed", "not started", "not started", "not started"},
                   0,
                   "not started: the canary"},
        RolloutRow{"failures_stop_new_starts",
                   5,
                   {"--fault-units", "1,2", "--fail-erase", "1"},
                   "",
                   {"--max-parallel", "1", "--max-failures", "2", "--retries", "0"},
                   1,
                   {"failed", "failed", "not started", "not started", "not started"},
                   0,
                   "not started: --max-failures 2 reached"},
        RolloutRow{"units_at_the_version_are_skipped",
                   3,
                   {"--firmware", "24"},
                   "irig 2.4",
                   {"--expect-version", "2.4"},
                   0,
                   {"skipped", "skipped", "skipped"},
                   0,
                   "\"version\":\"2.4\""},
        RolloutRow{"forced_they_are_flashed",
                   2,
                   {"--firmware", "24"},
                   "irig 2.4",
                   {"--expect-version", "2.4", "--force"},
                   0,
                   {"done", "done"},
                   0,
                   "\"version\":\"2.4\""},
        RolloutRow{"silent_after_its_update",
                   2,
                   {"--fault-units", "2", "--silent-after-update"},
                   "irig 2.4",
                   {"--timeout", "1000"},
                   1,
                   {"done", "failed"},
                   0,
                   "flashed, but the unit did not answer within 1 s of the re-boot: it may need "
                   "flash again, or a power cycle"},
        RolloutRow{"a_file_of_another_version_is_refused",
                   1,
                   {},
                   "irig 2.4",
                   {"--expect-version", "2.5"},
                   2,
                   {},
                   0,
                   "carries version 2.4, not 2.5 (--expect-version): nothing flashed"},
        RolloutRow{"ctrl_c_starts_nothing_new",
                   3,
                   {"--baud", "19200"},
                   "",
                   {"--max-parallel", "1"},
                   130,
                   {"interrupted", "not started", "not started"},
                   0,
                   "not started: interrupted"}),
    [](const testing::TestParamInfo<RolloutRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::cli
