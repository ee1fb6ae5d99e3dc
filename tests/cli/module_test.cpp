// The Ansible module in-process against a simulated unit: what it decides, says and diffs, in the
// module's own words and option names, from typed results.
#include "cli/ansible.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

#include "support/fakemonitor.h"
#include "support/inprocess.h"

namespace irig::cli {
namespace {

struct ModuleRow {
    const char* name;
    double clockOffsetSeconds;  // the unit's
    const char* arguments;      // JSON: PORT, FILE (image of "irig 2.4"), DIR, MONITOR stand in
    bool failed;
    bool changed;
    const char* msg;       // part of the message
    const char* not_said;  // in neither the message nor the diff; empty for nothing
    const char* diff;      // part of the diff, compact JSON, or empty
};

class Module : public InProcess, public testing::WithParamInterface<ModuleRow> {
protected:
    test::FakeMonitor monitor;
};

TEST_P(Module, DecidesAndSaysItInItsOwnWords) {
    const ModuleRow& row = GetParam();
    sim::Options options;
    options.clockOffsetSeconds = row.clockOffsetSeconds;
    AddUnit(options);
    const test::FirmwareFile firmware =
        test::MakeFirmwareFile(dir.path(), 0x400, 3, 0x4000, "irig 2.4");
    const QString arguments = Write(QStringLiteral("args.json"),
                                    QString::fromUtf8(row.arguments)
                                        .replace(QStringLiteral("PORT"), QStringLiteral("COM1"))
                                        .replace(QStringLiteral("FILE"), firmware.path)
                                        .replace(QStringLiteral("DIR"), dir.path())
                                        .replace(QStringLiteral("MONITOR"), monitor.Url().url())
                                        .toUtf8());
    std::FILE* out = std::tmpfile();
    AnsibleModule(arguments, out, Ports(), [this](const QString& line) { changes << line; });
    const QString printed = test::ReadBack(out);
    const QJsonObject result = QJsonDocument::fromJson(printed.toUtf8()).object();
    EXPECT_EQ(result[QStringLiteral("failed")].toBool(), row.failed) << printed.toStdString();
    EXPECT_EQ(result[QStringLiteral("changed")].toBool(), row.changed) << printed.toStdString();
    EXPECT_TRUE(result[QStringLiteral("msg")].toString().contains(QLatin1String(row.msg)))
        << printed.toStdString();
    const QByteArray diff =
        QJsonDocument(result[QStringLiteral("diff")].toObject()).toJson(QJsonDocument::Compact);
    if (*row.not_said != '\0') {
        EXPECT_FALSE(
            result[QStringLiteral("msg")].toString().contains(QLatin1String(row.not_said)) ||
            diff.contains(row.not_said))
            << printed.toStdString();
    }
    EXPECT_TRUE(diff.contains(row.diff)) << diff.toStdString();
    // Borrowed (a take, a return), and given back.
    EXPECT_EQ(monitor.requests.size(), QByteArray(row.arguments).contains("MONITOR") ? 2U : 0U);
    EXPECT_TRUE(monitor.lent.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Ansible, Module,
    testing::Values(
        ModuleRow{"a_flash_says_it_flashed", 0,
                  R"({"port": "PORT", "firmware_file": "FILE", "firmware_version": "2.4"})", false,
                  true, "flashed firmware-3.hex: answers version 2.4 (it answered 2.3)", "", ""},
        ModuleRow{"check_mode_would_flash_and_names_no_inventory", 0,
                  R"({"port": "PORT", "firmware_file": "FILE", "firmware_version": "2.4",
                      "_ansible_check_mode": true, "_ansible_diff": true})",
                  false, true, "would flash firmware-3.hex: answers version 2.3, not 2.4",
                  "inventory", R"("firmware_version":"2.4")"},
        ModuleRow{"drift_in_the_modules_words", 0, R"({"port": "PORT", "firmware_version": "2.4"})",
                  false, false, "drift: the unit answers version 2.3, firmware_version is 2.4",
                  "inventory", ""},
        ModuleRow{"diff_keys_are_the_options", 0,
                  R"({"port": "PORT", "gps_offset": -5, "_ansible_diff": true})", false, true,
                  "changed: GPS 0 -> -5", "gpsOffset", R"("after":{"gps_offset":-5)"},
        ModuleRow{"a_clock_within_its_limit_is_not_in_the_diff", 0.001,
                  R"({"port": "PORT", "gps_offset": -5, "max_clock_offset_ms": 1000,
                      "_ansible_check_mode": true, "_ansible_diff": true})",
                  false, true, "would change: GPS 0 -> -5", "clock_offset_ms",
                  R"("after":{"gps_offset":-5)"},
        ModuleRow{"a_missing_inventory_fails_with_port", 0,
                  R"({"port": "PORT", "inventory": "DIR/none.yaml"})", true, false,
                  "none.yaml: no such file", "", ""},
        ModuleRow{"borrowed_from_the_monitor", 0,
                  R"({"port": "PORT", "gps_offset": -5, "monitor": "MONITOR"})", false, true,
                  "changed: GPS 0 -> -5", "", ""}),
    [](const testing::TestParamInfo<ModuleRow>& row) { return row.param.name; });

// A lease lost in the middle of the task (here its first renewal, due after 2/3 s, refused while
// the unit has not answered) stops the work and fails the task, naming the lease.
TEST_F(InProcess, ModuleFailsTheTaskWhenItsLeaseIsLost) {
    sim::Options silent;
    silent.silent = true;
    AddUnit(silent);
    test::FakeMonitor monitor;
    monitor.script = [](const test::FakeMonitor::Request& request) {
        using Answer = test::FakeMonitor::Answer;
        if (request.method != "POST") {
            return std::optional<Answer>();
        }
        return std::optional(request.query.hasQueryItem(QStringLiteral("lease"))
                                 ? Answer{409, R"({"error": "your lease ended: taken back"})"}
                                 : Answer{200, R"({"lease": "00000000000000000000000000000001",
                                                   "seconds": 1})"});
    };
    const QString arguments =
        Write(QStringLiteral("args.json"),
              QStringLiteral(R"({"port": "COM1", "gps_offset": -5, "monitor": "%1"})")
                  .arg(monitor.Url().url())
                  .toUtf8());
    std::FILE* out = std::tmpfile();
    AnsibleModule(arguments, out, Ports(), [this](const QString& line) { changes << line; });
    const QJsonObject result = QJsonDocument::fromJson(test::ReadBack(out).toUtf8()).object();
    EXPECT_TRUE(result[QStringLiteral("failed")].toBool());
    EXPECT_TRUE(result[QStringLiteral("msg")].toString().contains(
        QLatin1String("'s lease ended: taken back: stopping")))
        << result[QStringLiteral("msg")].toString().toStdString();
}

}  // namespace
}  // namespace irig::cli
