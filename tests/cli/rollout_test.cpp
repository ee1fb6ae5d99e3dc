// A firmware rollout: its order as pure decisions (canaries first, waves no larger than asked, a
// failed canary or too many failures stopping new starts, dead units failed like any other, an
// interrupt starting nothing new), then its accounting over many units of one simulator process:
// every unit's result, message and record, for a dead canary, --max-failures, a double Ctrl-C,
// units already at the version (skipped unless forced), and a unit silent after its update.
#include "cli/rollout.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QRegularExpression>
#include <QTimer>
#include <csignal>

#include "support/inprocess.h"
#include "support/simulatedunit.h"
#include "unit/changerecord.h"

namespace irig::cli {
namespace {

using State = Rollout::State;

// One event and the units the rollout starts after it.
struct Step {
    enum Kind { kBegin, kEnd, kStop } kind;
    int unit = -1;  // kEnd: the unit that ended
    State state = State::kDone;
    std::vector<int> started;
};

struct OrderRow {
    const char* name;
    int units;
    int canary;
    std::optional<int> maxParallel;
    std::optional<int> maxFailures;
    std::vector<Step> steps;
    std::vector<int> notStarted;  // once nothing runs
    Rollout::Summary summary;
    std::optional<int> stoppedBy;  // the unit whose failure stopped it
};

class Order : public testing::TestWithParam<OrderRow> {};

TEST_P(Order, StartsWhatTheOptionsLetStart) {
    const OrderRow& row = GetParam();
    Rollout rollout(row.units, row.canary, row.maxParallel, row.maxFailures);
    for (size_t i = 0; i < row.steps.size(); ++i) {
        const Step& step = row.steps[i];
        if (step.kind == Step::kEnd) {
            rollout.Ended(step.unit, step.state);
        } else if (step.kind == Step::kStop) {
            rollout.Stop();
        }
        EXPECT_EQ(rollout.Next(), step.started) << "step " << i;
    }
    EXPECT_EQ(rollout.NotStarted(), row.notStarted);
    EXPECT_TRUE(rollout.Over());
    EXPECT_EQ(rollout.Count(), row.summary);
    EXPECT_EQ(rollout.StoppedBy(), row.stoppedBy);
}

using S = Step;
constexpr auto kFailed = State::kFailed;
constexpr auto kDone = State::kDone;

INSTANTIATE_TEST_SUITE_P(
    Rollout, Order,
    testing::Values(OrderRow{"a_canary_then_waves_of_two",
                             5,
                             1,
                             2,
                             {},
                             {S{S::kBegin, -1, kDone, {0}}, S{S::kEnd, 0, kDone, {1, 2}},
                              S{S::kEnd, 2, kDone, {3}}, S{S::kEnd, 1, State::kSkipped, {4}},
                              S{S::kEnd, 3, kDone, {}}, S{S::kEnd, 4, kDone, {}}},
                             {},
                             {4, 0, 1, 0, 0},
                             {}},
                    OrderRow{"every_canary_before_the_others",
                             4,
                             2,
                             {},
                             {},
                             {S{S::kBegin, -1, kDone, {0, 1}}, S{S::kEnd, 0, kDone, {}},
                              S{S::kEnd, 1, kDone, {2, 3}}, S{S::kEnd, 2, kDone, {}},
                              S{S::kEnd, 3, kDone, {}}},
                             {},
                             {4, 0, 0, 0, 0},
                             {}},
                    OrderRow{"a_dead_canary_stops_all",
                             4,
                             1,
                             {},
                             2,
                             {S{S::kBegin, -1, kDone, {0}}, S{S::kEnd, 0, kFailed, {}}},
                             {1, 2, 3},
                             {0, 1, 0, 0, 3},
                             0},
                    OrderRow{"dead_units_count_toward_max_failures",
                             5,
                             0,
                             1,
                             2,
                             {S{S::kBegin, -1, kDone, {0}}, S{S::kEnd, 0, kFailed, {1}},
                              S{S::kEnd, 1, kFailed, {}}},
                             {2, 3, 4},
                             {0, 2, 0, 0, 3},
                             1},
                    OrderRow{"max_failures_lets_the_running_finish",
                             4,
                             0,
                             2,
                             1,
                             {S{S::kBegin, -1, kDone, {0, 1}}, S{S::kEnd, 0, kFailed, {}},
                              S{S::kEnd, 1, kDone, {}}},
                             {2, 3},
                             {1, 1, 0, 0, 2},
                             0},
                    OrderRow{"an_interrupt_starts_nothing_new",
                             3,
                             0,
                             1,
                             {},
                             {S{S::kBegin, -1, kDone, {0}}, S{S::kStop, -1, kDone, {}},
                              S{S::kEnd, 0, State::kStopped, {}}},
                             {1, 2},
                             {0, 0, 0, 1, 2},
                             {}}),
    [](const testing::TestParamInfo<OrderRow>& row) { return row.param.name; });

// What became of one unit: its JSON result, part of its message (or of its JSON), and its
// records in order, each a pattern (USER for the login name).
struct UnitEnd {
    const char* result;
    const char* said;
    std::vector<const char*> records;
};

struct AccountingRow {
    const char* name;
    QStringList simulator;  // its options beyond the units
    const char* programId;  // carried by the image
    int dead;               // a unit that cannot be opened goes first in the inventory (0: none)
    QStringList arguments;  // of flash, beyond the file, the inventory and --json
    bool ctrlCTwice;        // while the first wave leaves flash mode
    int exitCode;
    std::vector<UnitEnd> units;  // in inventory order
};

class Accounting : public testing::TestWithParam<AccountingRow> {};

const char kStarted[] = "flash started by USER: firmware-3\\.hex, [0-9]+ blocks";

TEST_P(Accounting, EveryUnitEndsWithItsResultItsMessageAndItsRecords) {
    const AccountingRow& row = GetParam();
    const int live = static_cast<int>(row.units.size()) - (row.dead > 0 ? 1 : 0);
    QTemporaryDir dir;
    test::SimulatedUnits units(dir.path(), live,
                               QStringList{QStringLiteral("--verbose")} + row.simulator);
    ASSERT_TRUE(units.WaitReady()) << units.Errors().toStdString();
    const test::FirmwareFile firmware =
        test::MakeFirmwareFile(dir.path(), 0x400, 3, 0x4000, row.programId);
    QByteArray yaml = "units:\n";
    QStringList names;
    for (int i = 0, number = 1; i < static_cast<int>(row.units.size()); ++i) {
        const bool dead = i + 1 == row.dead;
        names << (dead ? QStringLiteral("dead") : QStringLiteral("u%1").arg(number));
        yaml += "  " + names.back().toUtf8() + ": {port: \"" +
                (dead ? QByteArray("socket://127.0.0.1:1") : units.Link(number++).toUtf8()) +
                "\"}\n";
    }
    const QString inventory = test::WriteFile(dir.filePath(QStringLiteral("units.yaml")), yaml);
    QTimer leaving;  // both units of the first wave asked to leave flash mode: Ctrl-C twice
    QObject::connect(&leaving, &QTimer::timeout, [&] {
        if (units.Errors().count(QStringLiteral("unit1: re-boot\n")) == 2 &&
            units.Errors().count(QStringLiteral("unit2: re-boot\n")) == 2) {
            leaving.stop();
            std::raise(SIGINT);
            std::raise(SIGINT);
        }
    });
    if (row.ctrlCTwice) {
        leaving.start(1);
    }
    QStringList changes;
    const test::Ran ran = test::RunIrigctl(
        QStringList{QStringLiteral("flash"), firmware.path, QStringLiteral("--json"),
                    QStringLiteral("-i"), inventory, QStringLiteral("--all")} +
            row.arguments,
        {}, &changes);
    EXPECT_EQ(ran.exitCode, row.exitCode) << ran.err.toStdString();
    const QJsonArray each =
        QJsonDocument::fromJson(ran.out.toUtf8())[QStringLiteral("units")].toArray();
    ASSERT_EQ(each.size(), static_cast<qsizetype>(row.units.size())) << ran.out.toStdString();
    for (size_t i = 0; i < row.units.size(); ++i) {
        const UnitEnd& expected = row.units[i];
        const QString& name = names[static_cast<qsizetype>(i)];
        SCOPED_TRACE(name.toStdString());
        const QJsonObject json = each[static_cast<qsizetype>(i)].toObject();
        EXPECT_EQ(json[QStringLiteral("unit")].toString(), name);
        EXPECT_FALSE(json[QStringLiteral("port")].toString().isEmpty());
        EXPECT_EQ(json[QStringLiteral("result")].toString(), QLatin1String(expected.result));
        const QString json_text = QString::fromUtf8(QJsonDocument(json).toJson());
        EXPECT_TRUE(ran.err.contains(QLatin1String(expected.said)) ||
                    json_text.contains(QLatin1String(expected.said)))
            << ran.err.toStdString() << json_text.toStdString();
        const QStringList records =
            changes.filter(QRegularExpression(QStringLiteral("^%1 \\(").arg(name)));
        ASSERT_EQ(records.size(), static_cast<qsizetype>(expected.records.size()))
            << changes.join('\n').toStdString();
        for (size_t r = 0; r < expected.records.size(); ++r) {
            const QString pattern =
                QString::fromUtf8(expected.records[r])
                    .replace(QStringLiteral("USER"),
                             QRegularExpression::escape(unit::ChangeRecord::User()));
            EXPECT_TRUE(
                QRegularExpression(pattern).match(records[static_cast<qsizetype>(r)]).hasMatch())
                << records[static_cast<qsizetype>(r)].toStdString();
        }
    }
}

const UnitEnd kNotStartedCanary{"not started", "not started: the canary dead", {}};
const UnitEnd kFlashed{"done", "\"version\": \"2.4\"", {kStarted, "flash done by USER"}};

INSTANTIATE_TEST_SUITE_P(
    Flash, Accounting,
    testing::Values(
        AccountingRow{"a_dead_canary_stops_all",
                      {"--reboot-ms", "20"},
                      "irig 2.4",
                      1,
                      {"--canary", "1", "--max-failures", "2"},
                      false,
                      4,
                      {{"failed", "dead (socket://127.0.0.1:1): failed: cannot open the port", {}},
                       kNotStartedCanary,
                       kNotStartedCanary,
                       kNotStartedCanary}},
        AccountingRow{"a_dead_unit_counts_toward_max_failures",
                      {"--reboot-ms", "20", "--fault-units", "1", "--fail-erase", "1"},
                      "irig 2.4",
                      2,
                      {"--max-parallel", "1", "--max-failures", "2", "--retries", "0"},
                      false,
                      4,
                      {{"failed", "the erase failed", {kStarted, "flash failed by USER"}},
                       {"failed", "cannot open the port", {}},
                       {"not started", "not started: --max-failures 2 reached", {}},
                       {"not started", "not started: --max-failures 2 reached", {}}}},
        AccountingRow{"ctrl_c_twice_stops_at_once",
                      {"--reboot-ms", "2000"},
                      "irig 2.4",
                      0,
                      {"--max-parallel", "2"},
                      true,
                      130,
                      {{"interrupted",
                        "stopped after all 9 blocks were written, before the unit reported its "
                        "re-boot",
                        {kStarted, "flash left by USER: stopped after all 9 blocks"}},
                       {"interrupted",
                        "before the unit reported its re-boot",
                        {kStarted, "flash left by USER"}},
                       {"not started", "not started: interrupted", {}}}},
        AccountingRow{
            "units_at_the_version_are_skipped",
            {"--reboot-ms", "20", "--firmware", "24"},
            "irig 2.4",
            0,
            {"--expect-version", "2.4"},
            false,
            0,
            {{"skipped", "\"version\": \"2.4\"", {}}, {"skipped", "\"version\": \"2.4\"", {}}}},
        AccountingRow{"forced_they_are_flashed",
                      {"--reboot-ms", "20", "--firmware", "24"},
                      "irig 2.4",
                      0,
                      {"--expect-version", "2.4", "--force"},
                      false,
                      0,
                      {kFlashed, kFlashed}},
        AccountingRow{"silent_after_its_update",
                      {"--reboot-ms", "20", "--fault-units", "2", "--silent-after-update"},
                      "irig 2.4",
                      0,
                      {"--timeout", "1000"},
                      false,
                      1,
                      {kFlashed,
                       {"failed",
                        "flashed, but the unit did not answer within 1 s of the re-boot",
                        {kStarted, "flash failed by USER"}}}}),
    [](const testing::TestParamInfo<AccountingRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::cli
