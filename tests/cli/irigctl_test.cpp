// irigctl as a technician's script runs it: the program as a process, against simulated units on
// pseudo-terminals. Texts, JSON, exit codes, faults and retries, several units at once, Ctrl-C, and
// ports that cannot be opened.
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <map>

#include "status/hostclock.h"
#include "support/firmwarefile.h"
#include "support/hexrecords.h"
#include "support/portmapfolder.h"
#include "support/simulatedunit.h"
#include "support/wait.h"

#ifndef IRIGCTL_PATH
#error "IRIGCTL_PATH must name the irigctl program"
#endif

namespace irig::test {
namespace {

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

class Irigctl : public testing::Test {
protected:
    ~Irigctl() override {
        if (HasFailure()) {
            for (auto& [name, unit] : units) {
                std::fprintf(stderr, "%s said:\n%s\n", qPrintable(name),
                             qPrintable(unit->Errors()));
            }
        }
    }
    // A simulated unit on a fresh pty, mapped as `name`.
    SimulatedUnit& StartUnit(const QString& name, const QStringList& options = {}) {
        auto& unit = units[name];
        unit = std::make_unique<SimulatedUnit>(
            ports.Entry(name), dir.filePath(name + QStringLiteral(".flash")),
            QStringList{QStringLiteral("--reboot-ms"), QStringLiteral("50")} + options);
        EXPECT_TRUE(unit->WaitReady()) << qPrintable(unit->Errors());
        return *unit;
    }
    Result Run(const QStringList& arguments,
               const QString& program = QStringLiteral(IRIGCTL_PATH)) {
        QProcess process;
        process.start(program, arguments);
        // The event loop runs meanwhile, so that the simulated units' logs keep flowing.
        EXPECT_TRUE(WaitUntil([&] { return process.state() == QProcess::NotRunning; }, 90'000))
            << arguments.join(' ').toStdString();
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromLocal8Bit(process.readAllStandardOutput()),
                QString::fromLocal8Bit(process.readAllStandardError())};
    }
    QString Write(const QString& name, const QByteArray& content) {
        return WriteFile(dir.filePath(name), content);
    }
    // A mapped port as irigctl's messages name it: "COM1 (/dev/pts/3)".
    QString Named(const QString& name) const {
        return QStringLiteral("%1 (%2)").arg(name,
                                             QFileInfo(ports.Entry(name)).canonicalFilePath());
    }
    // The unit's flash holds the firmware at 0x4000 and erased flash elsewhere.
    static void ExpectFlashHolds(const SimulatedUnit& unit, const FirmwareFile& firmware) {
        const QByteArray flash = unit.Flash();
        ASSERT_EQ(flash.size(), 0x20080);
        EXPECT_EQ(flash.left(0x4000), QByteArray(0x4000, '\xFF'));
        EXPECT_TRUE(flash.mid(0x4000, firmware.bytes.size()) == firmware.bytes);
        EXPECT_EQ(flash.mid(0x4000 + firmware.bytes.size()),
                  QByteArray(0x1C080 - firmware.bytes.size(), '\xFF'));
    }
    static QJsonObject Json(const Result& result) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(result.out.toUtf8(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << result.out.toStdString();
        return document.object();
    }

    TempPortMap ports;
    QTemporaryDir dir;
    std::map<QString, std::unique_ptr<SimulatedUnit>> units;
};

struct TextRow {
    const char* name;
    QStringList arguments;
    const char* out;  // a regular expression for the whole of standard output
};

class Commands : public Irigctl, public testing::WithParamInterface<TextRow> {};

TEST_P(Commands, PrintTheUnitsAnswer) {
    StartUnit(QStringLiteral("COM1"),
              {QStringLiteral("--source"), QStringLiteral("irig"), QStringLiteral("--firmware"),
               QStringLiteral("31"), QStringLiteral("--gps-message"),
               QStringLiteral("$GPGGA,1\x1b]0;title\x07")});
    const Result result = Run(GetParam().arguments + QStringList{"--port", "COM1"});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_TRUE(result.err.isEmpty()) << result.err.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^") + QLatin1String(GetParam().out) +
                                   QStringLiteral("$"))
                    .match(result.out)
                    .hasMatch())
        << result.out.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Irigctl, Commands,
    testing::Values(
        TextRow{"status",
                {"status"},
                "COM1: IRIG-B  \\d\\d/\\d\\d/\\d{4}  \\d\\d:\\d\\d:\\d\\d  version 3\\.1\\n"},
        TextRow{
            "set_time",
            {"set-time"},
            "COM1: set to (\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d), its last byte arriving as "
            "that second began\\n"
            "COM1: read back \\1, this computer \\1: the same second \\(whole seconds\\)\\n"
            "COM1: its answer to the setting showed \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d, its "
            "clock just before the new second took effect\\n"
            "COM1: host clock [^\\n]+\\n"},
        TextRow{"offsets", {"offsets"}, "COM1: IRIG-B offset 0, GPS offset 0, IEEE 1344 off\\n"},
        TextRow{"set_offsets",
                {"offsets", "--set", "--irig", "-5", "--gps", "23", "--ieee1344", "on"},
                "COM1: IRIG-B offset -5, GPS offset 23, IEEE 1344 on\\n"},
        TextRow{"set_offsets_keeps_the_flag",
                {"offsets", "--set", "--irig", "2", "--gps", "\u22123"},
                "COM1: IRIG-B offset 2, GPS offset -3, IEEE 1344 off\\n"},
        TextRow{"gps_message_cannot_drive_the_terminal",
                {"gps-message"},
                "\\$GPGGA,1\\\\x1B\\]0;title\\\\x07\\n"},
        TextRow{"reboot", {"reboot"}, "COM1: re-boot complete\\n"}),
    [](const testing::TestParamInfo<TextRow>& row) { return row.param.name; });

TEST_F(Irigctl, JsonIsOneDocumentOnStandardOutput) {
    StartUnit(QStringLiteral("COM1"));
    StartUnit(QStringLiteral("COM2"), {QStringLiteral("--source"), QStringLiteral("crystal")});
    const QJsonObject status = Json(Run({"status", "--port", "COM1", "--port", "COM2", "--json"}));
    const QJsonArray statusUnits = status[QStringLiteral("units")].toArray();
    ASSERT_EQ(statusUnits.size(), 2);
    EXPECT_EQ(statusUnits[0][QStringLiteral("port")].toString(), QStringLiteral("COM1"));
    EXPECT_EQ(statusUnits[0][QStringLiteral("source")].toString(), QStringLiteral("GPS"));
    EXPECT_EQ(statusUnits[1][QStringLiteral("source")].toString(),
              QStringLiteral("Internal Crystal"));
    EXPECT_EQ(statusUnits[1][QStringLiteral("version")].toString(), QStringLiteral("2.3"));

    const QJsonObject offsets = Json(Run({"offsets", "--port", "COM1", "--set", "--irig", "7",
                                          "--gps", "-23", "--ieee1344", "on", "--json"}));
    EXPECT_EQ(offsets[QStringLiteral("irigOffset")].toInt(), 7);
    EXPECT_EQ(offsets[QStringLiteral("gpsOffset")].toInt(), -23);
    EXPECT_TRUE(offsets[QStringLiteral("ieee1344")].toBool());

    const QJsonObject message = Json(Run({"gps-message", "--port", "COM1", "--json"}));
    EXPECT_TRUE(message[QStringLiteral("message")].toString().startsWith(QLatin1String("$GPRMC")));
}

TEST_F(Irigctl, RequireSyncRefusesAClockThatIsNotKnownToBeSynchronised) {
    SimulatedUnit& unit = StartUnit(QStringLiteral("COM1"));
    const Result result = Run({"set-time", "--port", "COM1", "--require-sync", "--json"});
    const bool synchronised =
        status::Trust(status::ReadKernelClock()) == status::ClockTrust::kSynchronised;
    EXPECT_EQ(result.exitCode, synchronised ? 0 : 1) << result.err.toStdString();
    EXPECT_EQ(unit.Errors().contains(QStringLiteral("set time")), synchronised);
    const QJsonObject hostClock = Json(result)[QStringLiteral("hostClock")].toObject();
    EXPECT_EQ(hostClock[QStringLiteral("synchronised")].toBool(), synchronised);
    EXPECT_TRUE(hostClock[QStringLiteral("text")].toString().startsWith(QLatin1String("host")));
    if (!synchronised) {
        EXPECT_TRUE(result.err.contains(Named(QStringLiteral("COM1")) +
                                        QStringLiteral(": not set: the host clock")))
            << result.err.toStdString();
    } else {
        EXPECT_TRUE(
            QDateTime::fromString(Json(result)[QStringLiteral("sent")].toString(), Qt::ISODate)
                .isValid());
    }
}

class Watch : public Irigctl, public testing::WithParamInterface<std::pair<int, int>> {};

// A reading every 500 ms until a signal ends the watch with its documented exit code.
TEST_P(Watch, PrintsAReadingEvery500MsUntilASignal) {
    StartUnit(QStringLiteral("COM1"));
    QProcess watch;
    watch.start(QStringLiteral(IRIGCTL_PATH), {"--watch", "--json", "status", "-p", "com1"});
    QByteArray out;
    ASSERT_TRUE(WaitUntil(
        [&] {
            out += watch.readAllStandardOutput();
            return out.count('\n') >= 3;
        },
        5000));
    ::kill(static_cast<pid_t>(watch.processId()), GetParam().first);
    ASSERT_TRUE(watch.waitForFinished(5000));
    EXPECT_EQ(watch.exitCode(), GetParam().second);
    for (const QByteArray& line : out.trimmed().split('\n')) {
        EXPECT_EQ(QJsonDocument::fromJson(line)[QStringLiteral("source")].toString(),
                  QStringLiteral("GPS"))
            << line.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Irigctl, Watch,
                         testing::Values(std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}),
                         [](const testing::TestParamInfo<std::pair<int, int>>& row) {
                             return row.param.first == SIGINT ? "ctrl_c" : "sigterm";
                         });

TEST_F(Irigctl, FlashWritesAFullImageAndLeavesFlashMode) {
    SimulatedUnit& unit = StartUnit(QStringLiteral("COM1"));
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x1C000, 31);
    const Result result = Run({"flash", firmware.path, "--port", "COM1"});
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    EXPECT_TRUE(result.out.startsWith(QLatin1String("COM1: done: 897 blocks in ")))
        << result.out.toStdString();
    ExpectFlashHolds(unit, firmware);
    EXPECT_EQ(unit.Errors().count(QStringLiteral("re-boot complete")), 2) << "before and after";
}

struct FaultRow {
    const char* name;
    QStringList options;  // of the simulated unit
    QStringList flashOptions;
    int exitCode;
    const char* says;  // on standard error
};

class Faults : public Irigctl, public testing::WithParamInterface<FaultRow> {};

TEST_P(Faults, RetryOrFailWithTheRightExitCode) {
    SimulatedUnit& unit = StartUnit(QStringLiteral("COM1"), GetParam().options);
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x2000 + 9, 32);
    const QString named = Named(QStringLiteral("COM1"));  // before a hang-up makes a new pty
    const Result result =
        Run(QStringList{"flash", firmware.path, "--port", "COM1"} + GetParam().flashOptions);
    EXPECT_EQ(result.exitCode, GetParam().exitCode) << result.err.toStdString();
    const QString says =
        QString::fromUtf8(GetParam().says).replace(QStringLiteral("COM1:"), named + ':');
    EXPECT_TRUE(result.err.contains(says)) << result.err.toStdString();
    if (GetParam().exitCode == 0) {
        ExpectFlashHolds(unit, firmware);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Irigctl, Faults,
    testing::Values(
        FaultRow{"dropped_echo",
                 {"--drop-echo", "4"},
                 {},
                 0,
                 "COM1: no echo of the block at 0x04180 within 1"},
        FaultRow{"corrupted_echo",
                 {"--corrupt-echo", "3"},
                 {},
                 0,
                 "COM1: a wrong echo of the block at 0x04100; starting over from the erase "
                 "(retry 1 of 2)"},
        FaultRow{"failed_erase",
                 {"--fail-erase", "1"},
                 {},
                 0,
                 "COM1: the erase failed (the unit answered 0x00); starting over from the erase "
                 "(retry 1 of 2)"},
        FaultRow{"failed_erase_without_retries",
                 {"--fail-erase", "1"},
                 {"--retries", "0"},
                 1,
                 "COM1: failed: the erase failed (the unit answered 0x00), and no retries are "
                 "left (--retries 0)"},
        FaultRow{"silent_unit",
                 {"--silent"},
                 {"--timeout", "300"},
                 1,
                 "COM1: failed: re-boot: no answer within 300 ms"},
        FaultRow{"hang_up",
                 {"--hang-up-after", "5"},
                 {},
                 1,
                 "COM1: failed: the port closed: the line hung up or the device went away"}),
    [](const testing::TestParamInfo<FaultRow>& row) { return row.param.name; });

TEST_F(Irigctl, ThreeUnitsAreFlashedAtOnce) {
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x6000, 33);
    QStringList arguments{"flash", firmware.path, "--json"};
    for (const QString& name :
         {QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3")}) {
        StartUnit(name, name == QLatin1String("COM2") ? QStringList{"--corrupt-echo", "7"}
                                                      : QStringList{});
        arguments += {QStringLiteral("--port"), name};
    }
    const Result result = Run(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
    const QJsonArray summary = Json(result)[QStringLiteral("units")].toArray();
    ASSERT_EQ(summary.size(), 3);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(summary[i][QStringLiteral("result")].toString(), QStringLiteral("done"));
        EXPECT_EQ(summary[i][QStringLiteral("retries")].toInt(), i == 1 ? 1 : 0);
    }
    for (const auto& [name, unit] : units) {
        ExpectFlashHolds(*unit, firmware);
    }
}

TEST_F(Irigctl, CtrlCStopsAfterTheBlockInFlightAndSaysWhere) {
    SimulatedUnit& unit = StartUnit(QStringLiteral("COM1"), {"--baud", "19200"});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x8000, 34);
    QProcess flash;
    flash.start(QStringLiteral(IRIGCTL_PATH), {"flash", firmware.path, "--port", "COM1"});
    ASSERT_TRUE(
        WaitUntil([&] { return unit.Errors().contains(QStringLiteral("block 5 ")); }, 20000));
    ::kill(static_cast<pid_t>(flash.processId()), SIGINT);
    ASSERT_TRUE(flash.waitForFinished(10000));
    EXPECT_EQ(flash.exitCode(), 130);
    const QString err = QString::fromLocal8Bit(flash.readAllStandardError());
    const QRegularExpressionMatch stopped =
        QRegularExpression(QRegularExpression::escape(Named(QStringLiteral("COM1"))) +
                           QStringLiteral(": stopped after the block at 0x([0-9A-F]{5}): (\\d+) "
                                          "of 257 blocks written"))
            .match(err);
    ASSERT_TRUE(stopped.hasMatch()) << err.toStdString();
    const int written = stopped.captured(2).toInt();
    EXPECT_EQ(stopped.captured(1).toInt(nullptr, 16), 0x4000 + (written - 1) * 128);
    // Nothing was sent after that block: the unit programmed exactly those blocks.
    auto programmed = [&] { return unit.Errors().count(QStringLiteral(": block ")); };
    EXPECT_TRUE(WaitUntil([&] { return programmed() >= written; }, 2000));
    EXPECT_FALSE(WaitUntil([&] { return programmed() > written; }, 300));
}

struct RefusalRow {
    const char* name;
    QStringList arguments;
    int exitCode;
    const char* says;
};

class Refusals : public Irigctl, public testing::WithParamInterface<RefusalRow> {};

// Nothing reaches the unit when the command line, the port or the file is wrong.
TEST_P(Refusals, ExitWithTheirCodeAndSendNothing) {
    SimulatedUnit& unit = StartUnit(QStringLiteral("COM1"));
    Write(QStringLiteral("faulty.hex"), "garbage\r\n");
    Write(QStringLiteral("low.hex"), Lines({DataRecord(0x0100, QByteArray(16, 'L'))}));
    Write(QStringLiteral("twice.hex"), Lines({DataRecord(0x4000, QByteArray(16, '\x11')),
                                              DataRecord(0x4000, QByteArray(16, '\x22'))}));
    ::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("pipe.hex"))).constData(), 0600);
    const QString device = QFile::symLinkTarget(ports.Entry(QStringLiteral("COM1")));
    QStringList arguments = GetParam().arguments;
    arguments.replaceInStrings(QStringLiteral("DIR"), dir.path());
    arguments.replaceInStrings(QStringLiteral("DEVICE"), device);
    const Result result = Run(arguments);
    EXPECT_EQ(result.exitCode, GetParam().exitCode);
    EXPECT_TRUE(result.err.contains(
        QString::fromUtf8(GetParam().says).replace(QStringLiteral("DEVICE"), device)))
        << result.err.toStdString();
    EXPECT_TRUE(result.out.isEmpty()) << result.out.toStdString();
    EXPECT_FALSE(unit.Errors().contains(QStringLiteral("re-boot")));
}

INSTANTIATE_TEST_SUITE_P(
    Irigctl, Refusals,
    testing::Values(
        RefusalRow{"unknown_command", {"flush", "--port", "COM1"}, 2, "unknown command"},
        RefusalRow{"missing_port_option", {"reboot"}, 2, "reboot needs --port"},
        RefusalRow{"port_that_is_not_there",
                   {"reboot", "--port", "COM77"},
                   4,
                   "COM77: cannot open the port: no such device: COM77 is /dev/ttyS76"},
        RefusalRow{"watch_on_a_port_that_is_not_there",
                   {"status", "--watch", "--port", "COM77"},
                   4,
                   "COM77: cannot open the port: no such device: COM77 is /dev/ttyS76"},
        RefusalRow{"one_device_named_twice",
                   {"status", "--port", "COM1", "--port", "DEVICE"},
                   2,
                   "COM1 and DEVICE are the same device (DEVICE)"},
        RefusalRow{"named_pipe",
                   {"flash", "DIR/pipe.hex", "--port", "COM1"},
                   3,
                   "pipe.hex: it is a named pipe (FIFO), not a regular file"},
        RefusalRow{"overlapping_records",
                   {"flash", "DIR/twice.hex", "--port", "COM1"},
                   3,
                   "16 bytes are stored by more than one record, the first at 0x04000"},
        RefusalRow{"unreadable_file",
                   {"flash", "DIR/none.hex", "--port", "COM1"},
                   3,
                   "none.hex: No such file or directory"},
        RefusalRow{"faulty_file",
                   {"flash", "DIR/faulty.hex", "--port", "COM1"},
                   3,
                   "is refused, nothing was sent:\nLength error - Line  1\nFlash file load error"},
        RefusalRow{"nothing_to_program",
                   {"flash", "DIR/low.hex", "--port", "COM1"},
                   3,
                   "Nothing to program - no data from 0x4000 up"}),
    [](const testing::TestParamInfo<RefusalRow>& row) { return row.param.name; });

TEST_F(Irigctl, APortInUseNamesTheProgramThatHoldsIt) {
    StartUnit(QStringLiteral("COM1"));
    QProcess holder;
    holder.start(QStringLiteral(IRIGCTL_PATH), {"status", "--port", "COM1", "--watch"});
    ASSERT_TRUE(WaitUntil([&] { return holder.bytesAvailable() > 0; }, 5000));
    const Result result = Run({"status", "--port", "COM1"});
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_TRUE(result.err.contains(
        QStringLiteral("is in use by another program (process %1)").arg(holder.processId())))
        << result.err.toStdString();
    holder.terminate();
    holder.waitForFinished();
}

TEST_F(Irigctl, APortWithoutPermissionSaysWhichGroupToJoin) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand the device to a group and run as another user";
    }
    StartUnit(QStringLiteral("COM1"));
    const QString device = QFile::symLinkTarget(ports.Entry(QStringLiteral("COM1")));
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(::chown(QFile::encodeName(device).constData(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(device).constData(), 0660), 0);
    const Result result = Run({"--reuid=65534", "--regid=65534", "--clear-groups",
                               QStringLiteral(IRIGCTL_PATH), "status", "--port", device},
                              QStringLiteral("setpriv"));
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_TRUE(result.err.contains(
        QStringLiteral("permission denied on %1: it belongs to the group dialout; add yourself "
                       "with \"sudo adduser $USER dialout\"")
            .arg(device)))
        << result.err.toStdString();
}

}  // namespace
}  // namespace irig::test
