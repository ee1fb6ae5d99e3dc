// The irig_unit module as a site runs it: Debian's ansible-core, connection local, the module's
// shim and irigctl on the path, against a simulator of two units. One playbook, each task's
// registered result written out as JSON and checked: a change then none, check mode that sets
// nothing, the diff, a silent unit's failure with its message, and a firmware already answered that
// is not flashed; and the unit borrowed from a monitor that watches it.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include "support/firmwarefile.h"
#include "support/monitorprocess.h"
#include "support/simulatedunit.h"
#include "support/wait.h"

namespace irig::test {
namespace {

// Runs `playbook` with Debian's ansible-playbook, the module's shim and irigctl on the path; what
// it printed.
QByteArray Playbook(const QTemporaryDir& dir, const QString& playbook) {
    QProcess ansible;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), QFileInfo(QStringLiteral(IRIGCTL_PATH)).path() +
                                                   QLatin1Char(':') +
                                                   environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("ANSIBLE_LIBRARY"),
                       QStringLiteral(IRIG_SOURCE_DIR "/packaging/ansible"));
    environment.insert(QStringLiteral("ANSIBLE_LOCAL_TEMP"), dir.filePath(QStringLiteral("tmp")));
    environment.insert(QStringLiteral("ANSIBLE_NOCOLOR"), QStringLiteral("1"));
    ansible.setProcessEnvironment(environment);
    ansible.start(QStringLiteral("ansible-playbook"),
                  {QStringLiteral("-i"), QStringLiteral("localhost,"), playbook});
    EXPECT_TRUE(WaitUntil([&] { return ansible.state() == QProcess::NotRunning; }, 120'000))
        << "ansible-playbook (Debian's ansible-core)";
    return ansible.readAllStandardOutput();
}

TEST(AnsibleModule, ChangesOnceChecksDiffsFailsAndLeavesCurrentFirmware) {
    QTemporaryDir dir;
    SimulatedUnits units(dir.path(), 2, {"--fault-units", "2", "--silent"});
    ASSERT_TRUE(units.WaitReady()) << units.Errors().toStdString();
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x400, 9, 0x4000, "irig 2.3");
    const QString playbook = WriteFile(dir.filePath(QStringLiteral("play.yml")),
                                       QStringLiteral(R"(- hosts: localhost
  connection: local
  gather_facts: false
  tasks:
    - {irig_unit: {port: "%1", gps_offset: -5, ieee1344: true}, register: r0}
    - {irig_unit: {port: "%1", gps_offset: "-5", ieee1344: "yes"}, register: r1}
    - {irig_unit: {port: "%1", gps_offset: -3}, check_mode: true, register: r2}
    - {irig_unit: {port: "%1", gps_offset: -5}, register: r3}
    - {irig_unit: {port: "%1", ieee1344: false}, diff: true, register: r4}
    - {irig_unit: {port: "%2", gps_offset: 1}, ignore_errors: true, register: r5}
    - {irig_unit: {port: "%1", firmware_file: "%3", firmware_version: "2.3"}, register: r6}
    - copy: {content: "{{ [r0, r1, r2, r3, r4, r5, r6] | to_json }}", dest: "%4"}
)")
                                           .arg(units.Link(1), units.Link(2), firmware.path,
                                                dir.filePath(QStringLiteral("results.json")))
                                           .toUtf8());
    const QByteArray output = Playbook(dir, playbook);
    QFile written(dir.filePath(QStringLiteral("results.json")));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly)) << output.toStdString();
    const QJsonArray tasks = QJsonDocument::fromJson(written.readAll()).array();
    ASSERT_EQ(tasks.size(), 7) << output.toStdString();
    const auto result = [&](int task) { return tasks[task].toObject(); };
    EXPECT_TRUE(result(0)[QStringLiteral("changed")].toBool()) << output.toStdString();
    EXPECT_EQ(result(0)[QStringLiteral("state")][QStringLiteral("gps_offset")].toInt(), -5);
    EXPECT_FALSE(result(1)[QStringLiteral("changed")].toBool()) << "the strings -a would give";
    EXPECT_TRUE(result(2)[QStringLiteral("changed")].toBool()) << "check mode says it would";
    EXPECT_FALSE(result(3)[QStringLiteral("changed")].toBool()) << "and set nothing";
    const QJsonObject diff = result(4)[QStringLiteral("diff")].toObject();
    EXPECT_TRUE(diff[QStringLiteral("before")][QStringLiteral("ieee1344")].toBool());
    EXPECT_FALSE(diff[QStringLiteral("after")][QStringLiteral("ieee1344")].toBool());
    EXPECT_TRUE(result(5)[QStringLiteral("failed")].toBool());
    EXPECT_TRUE(result(5)[QStringLiteral("msg")].toString().contains(
        QStringLiteral("reading the offsets: no answer within")))
        << result(5)[QStringLiteral("msg")].toString().toStdString();
    EXPECT_FALSE(result(6)[QStringLiteral("changed")].toBool()) << output.toStdString();
    EXPECT_EQ(result(6)[QStringLiteral("state")][QStringLiteral("version")].toString(),
              QStringLiteral("2.3"))
        << "not flashed: it answers firmware_version already";
}

// With the option monitor, the module borrows its unit from the monitor that watches it, and gives
// it back.
TEST(AnsibleModule, BorrowsItsUnitFromTheMonitor) {
    QTemporaryDir dir;
    SimulatedUnits units(dir.path(), 1, {});
    ASSERT_TRUE(units.WaitReady()) << units.Errors().toStdString();
    MonitorProcess monitor({units.Link(1)});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    const QString playbook = WriteFile(
        dir.filePath(QStringLiteral("play.yml")),
        QStringLiteral("- hosts: localhost\n  connection: local\n  gather_facts: false\n  tasks:\n"
                       "    - irig_unit: {port: \"%1\", gps_offset: 3, monitor: "
                       "\"http://127.0.0.1:%2\"}\n")
            .arg(units.Link(1))
            .arg(monitor.Port())
            .toUtf8());
    const QByteArray output = Playbook(dir, playbook);
    EXPECT_TRUE(output.contains("changed=1")) << output.toStdString();
    const QString record = monitor.Errors();
    EXPECT_TRUE(record.contains(QStringLiteral("lent to")) &&
                record.contains(QStringLiteral("returned by")))
        << record.toStdString();
}

}  // namespace
}  // namespace irig::test
