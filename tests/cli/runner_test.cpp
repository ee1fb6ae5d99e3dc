// irigctl's requests run in-process against simulated units behind a serial component: what each
// command prints, its JSON, the faults of a unit and the retries they cause, the refusals of a file
// or a port, and a watch that outlives an unplugged adapter. What only a process shows (exit codes
// from signals, several ports at once, another process on the port) is in irigctl_test.
#include "cli/runner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <vector>

#include "status/hostclock.h"
#include "support/bytes.h"
#include "support/firmwarefile.h"
#include "support/flashcheck.h"
#include "support/hexrecords.h"
#include "support/inprocess.h"
#include "support/irigctlrun.h"
#include "support/portmapfolder.h"
#include "support/simulatedport.h"
#include "support/unitserver.h"

namespace irig::cli {
namespace {

using test::DataRecord;
using test::Lines;
using test::Ran;

struct TextRow {
    const char* name;
    const char* arguments;
    const char* out;  // a regular expression for the whole of standard output
};

class Commands : public InProcess, public testing::WithParamInterface<TextRow> {};

TEST_P(Commands, PrintTheUnitsAnswer) {
    sim::Options options;
    options.source = "irig";
    options.version = 31;
    options.gpsMessage = "$GPGGA,1\x1b]0;title\x07";
    AddUnit(options);
    const Ran ran = Run(QString::fromUtf8(GetParam().arguments) + QStringLiteral(" --port COM1"));
    EXPECT_EQ(ran.exitCode, 0) << ran.err.toStdString();
    EXPECT_TRUE(ran.err.isEmpty()) << ran.err.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^") + QLatin1String(GetParam().out) +
                                   QStringLiteral("$"))
                    .match(ran.out)
                    .hasMatch())
        << ran.out.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Irigctl, Commands,
    testing::Values(
        TextRow{"status", "status",
                "COM1: IRIG-B  \\d\\d/\\d\\d/\\d{4}  \\d\\d:\\d\\d:\\d\\d  version 3\\.1\\n"},
        TextRow{
            "set_time", "set-time",
            "COM1: set to (\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d), its last byte arriving as "
            "that second began\\n"
            "COM1: read back \\1, this computer \\1: the same second \\(whole seconds\\)\\n"
            "COM1: its answer to the setting showed \\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d, its "
            "clock just before the new second took effect\\n"
            "COM1: host clock [^\\n]+\\n"},
        TextRow{"offsets", "offsets", "COM1: IRIG-B offset 0, GPS offset 0, IEEE 1344 off\\n"},
        TextRow{"set_offsets", "offsets --set --irig -5 --gps 23 --ieee1344 on",
                "COM1: IRIG-B offset -5, GPS offset 23, IEEE 1344 on\\n"},
        TextRow{"set_offsets_keeps_the_flag", "offsets --set --irig 2 --gps \u22123",
                "COM1: IRIG-B offset 2, GPS offset -3, IEEE 1344 off\\n"},
        TextRow{"gps_message_cannot_drive_the_terminal", "gps-message",
                "\\$GPGGA,1\\\\x1B\\]0;title\\\\x07\\n"},
        TextRow{"reboot", "reboot", "COM1: re-boot complete\\n"}),
    [](const testing::TestParamInfo<TextRow>& row) { return row.param.name; });

TEST_F(InProcess, JsonIsOneDocumentOnStandardOutput) {
    AddUnit();
    sim::Options crystal;
    crystal.source = "crystal";
    AddUnit(crystal);
    const QJsonObject status = Json(Run(QStringLiteral("status --port COM1 --port COM2 --json")));
    const QJsonArray statusUnits = status[QStringLiteral("units")].toArray();
    ASSERT_EQ(statusUnits.size(), 2);
    EXPECT_EQ(statusUnits[0][QStringLiteral("port")].toString(), QStringLiteral("COM1"));
    EXPECT_EQ(statusUnits[0][QStringLiteral("source")].toString(), QStringLiteral("GPS"));
    EXPECT_TRUE(
        QDateTime::fromString(statusUnits[0][QStringLiteral("dateTime")].toString(), Qt::ISODate)
            .isValid());
    EXPECT_EQ(statusUnits[1][QStringLiteral("source")].toString(),
              QStringLiteral("Internal Crystal"));
    EXPECT_EQ(statusUnits[1][QStringLiteral("version")].toString(), QStringLiteral("2.3"));

    units.erase(units.begin() + 1);
    const QJsonObject offsets = Json(
        Run(QStringLiteral("offsets --port COM1 --set --irig 7 --gps -23 --ieee1344 on --json")));
    EXPECT_EQ(offsets[QStringLiteral("irigOffset")].toInt(), 7);
    EXPECT_EQ(offsets[QStringLiteral("gpsOffset")].toInt(), -23);
    EXPECT_TRUE(offsets[QStringLiteral("ieee1344")].toBool());

    const QJsonObject message = Json(Run(QStringLiteral("gps-message --port COM1 --json")));
    EXPECT_TRUE(message[QStringLiteral("message")].toString().startsWith(QLatin1String("$GPRMC")));
}

TEST_F(InProcess, RequireSyncRefusesAClockThatIsNotKnownToBeSynchronised) {
    const auto unit = AddUnit();
    const Ran ran = Run(QStringLiteral("set-time --port COM1 --require-sync --json"));
    const bool synchronised =
        status::Trust(status::ReadKernelClock()) == status::ClockTrust::kSynchronised;
    EXPECT_EQ(ran.exitCode, synchronised ? 0 : 1) << ran.err.toStdString();
    EXPECT_EQ(unit->log.join('\n').contains(QStringLiteral("set time")), synchronised);
    const QJsonObject hostClock = Json(ran)[QStringLiteral("hostClock")].toObject();
    EXPECT_EQ(hostClock[QStringLiteral("synchronised")].toBool(), synchronised);
    EXPECT_TRUE(hostClock[QStringLiteral("text")].toString().startsWith(QLatin1String("host")));
    if (!synchronised) {
        EXPECT_TRUE(ran.err.contains(QStringLiteral("COM1 (/dev/ttyS0): not set: the host clock")))
            << ran.err.toStdString();
    } else {
        EXPECT_TRUE(QDateTime::fromString(Json(ran)[QStringLiteral("sent")].toString(), Qt::ISODate)
                        .isValid());
    }
}

TEST_F(InProcess, FlashWritesAFullImageAndLeavesFlashMode) {
    const auto unit = AddUnit();
    const test::FirmwareFile firmware = test::MakeFirmwareFile(dir.path(), 0x1C000, 31);
    const Ran ran = Run(QStringLiteral("flash %1 --port COM1").arg(firmware.path));
    EXPECT_EQ(ran.exitCode, 0) << ran.err.toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^COM1 \\(/dev/ttyS0\\): done in [^,]+, answers "
                                                  "version [0-9]+\\.[0-9]\\n$"))
                    .match(ran.out)
                    .hasMatch())
        << ran.out.toStdString();
    test::ExpectFlashHolds(unit->Flash(), firmware);
    EXPECT_EQ(unit->log.count(QStringLiteral("re-boot complete")), 2) << "before and after";
}

// A unit whose clock cannot be measured says why, and no offset is printed.
TEST_F(InProcess, CheckTimeWithoutAnOffsetFails) {
    const struct {
        bool silent;
        const char* answer;  // to every clock request, in place of the unit's
        const char* says;
    } rows[] = {
        {true, nullptr, "COM1 (/dev/ttyS0): check-time: no answer within 100 ms"},
        {false, "80 E0 01 02 D6 07 0D 07 09 05 1E 17 80 E1",
         "COM1 (/dev/ttyS0): check-time: the unit read an impossible date and time: 13/07/2006 "
         "09:05:30"},
    };
    for (const auto& row : rows) {
        units.clear();
        sim::Options options;
        options.silent = row.silent;
        AddUnit(options);
        answerInstead = [&row](const QByteArray&) -> std::optional<QByteArray> {
            return row.answer ? std::optional(test::Bytes(row.answer)) : std::nullopt;
        };
        const Ran ran = Run(QStringLiteral("check-time --port COM1 --timeout 100"));
        EXPECT_EQ(ran.exitCode, 1);
        EXPECT_TRUE(ran.err.contains(QLatin1String(row.says))) << ran.err.toStdString();
        EXPECT_TRUE(ran.out.isEmpty()) << ran.out.toStdString();
    }
}

// A fault of the unit: a block's echo, the erase, silence, the line; or an answer in place of
// the unit's own.
struct FaultRow {
    const char* name;
    std::function<void(sim::Options&)> unit;
    const char* flashOptions;
    int exitCode;
    const char* says;  // on standard error; empty: nothing at all
    std::function<std::optional<QByteArray>(const QByteArray&)> answerInstead = {};
};

class Faults : public InProcess, public testing::WithParamInterface<FaultRow> {};

TEST_P(Faults, RetryOrFailWithTheRightExitCode) {
    sim::Options options;
    GetParam().unit(options);
    const auto unit = AddUnit(options);
    const test::FirmwareFile firmware = test::MakeFirmwareFile(dir.path(), 0x2000 + 9, 32);
    answerInstead = GetParam().answerInstead;
    const Ran ran = Run(QStringLiteral("flash %1 --port COM1 %2")
                            .arg(firmware.path, QLatin1String(GetParam().flashOptions)));
    EXPECT_EQ(ran.exitCode, GetParam().exitCode) << ran.err.toStdString();
    if (QLatin1String(GetParam().says).isEmpty()) {
        EXPECT_TRUE(ran.err.isEmpty()) << ran.err.toStdString();
    } else {
        EXPECT_TRUE(ran.err.contains(QLatin1String(GetParam().says))) << ran.err.toStdString();
    }
    if (GetParam().exitCode == 0) {
        test::ExpectFlashHolds(unit->Flash(), firmware);
    }
}

// The unit's answer to the first request that starts with `start`, replaced by `bytes`.
std::function<std::optional<QByteArray>(const QByteArray&)> Once(const char* start,
                                                                 const char* bytes) {
    auto done = std::make_shared<bool>(false);
    return [=](const QByteArray& sent) -> std::optional<QByteArray> {
        if (*done || !sent.startsWith(test::Bytes(start))) {
            return std::nullopt;
        }
        *done = true;
        return test::Bytes(bytes);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Irigctl, Faults,
    testing::Values(
        FaultRow{"dropped_echo", [](sim::Options& o) { o.dropEcho = 4; }, "--timeout 100", 0,
                 "COM1 (/dev/ttyS0): no echo of the block at 0x04180 within 100 ms"},
        FaultRow{"corrupted_echo", [](sim::Options& o) { o.corruptEcho = 3; }, "", 0,
                 "COM1 (/dev/ttyS0): a wrong echo of the block at 0x04100; starting over from "
                 "the erase (retry 1 of 2)"},
        FaultRow{"corrupted_echo_said_nothing_of_with_quiet",
                 [](sim::Options& o) { o.corruptEcho = 3; }, "--quiet", 0, ""},
        FaultRow{"stray_reply_while_blocks_are_awaited", [](sim::Options&) {}, "", 0,
                 "COM1 (/dev/ttyS0): a wrong echo of the block at 0x04000; starting over",
                 Once("80 F6 00 40", "80 E0 01 02 D6 07 03 07 09 05 1E 17 80 E1")},
        FaultRow{"failed_erase", [](sim::Options& o) { o.failErase = 1; }, "", 0,
                 "COM1 (/dev/ttyS0): the erase failed (the unit answered 0x00); starting over "
                 "from the erase (retry 1 of 2)"},
        FaultRow{"failed_erase_without_retries", [](sim::Options& o) { o.failErase = 1; },
                 "--retries 0", 1,
                 "COM1 (/dev/ttyS0): failed: the erase failed (the unit answered 0x00), and no "
                 "retries are left (--retries 0)"},
        FaultRow{"erase_answer_that_does_not_fit", [](sim::Options&) {}, "--retries 0", 1,
                 "the erase failed: an answer that does not fit: 3 bytes where 1 was expected",
                 Once("80 F2 55 AA", "80 F2 FF FF FF 80 F3")},
        FaultRow{"silent_unit", [](sim::Options& o) { o.silent = true; }, "--timeout 100", 1,
                 "COM1 (/dev/ttyS0): failed: re-boot: no answer within 100 ms"},
        FaultRow{"hang_up", [](sim::Options& o) { o.hangUpAfter = 5; }, "", 1,
                 "COM1 (/dev/ttyS0): failed: the port closed: the line hung up or the device "
                 "went away; the unit is left erased, in flash mode: run flash again when the "
                 "port is back"}),
    [](const testing::TestParamInfo<FaultRow>& row) { return row.param.name; });

TEST_F(InProcess, SeveralUnitsGetAResultLineEachAndTheCount) {
    const test::FirmwareFile firmware = test::MakeFirmwareFile(dir.path(), 0x1000, 33);
    AddUnit();
    sim::Options silent;
    silent.silent = true;
    AddUnit(silent);
    const Ran ran =
        Run(QStringLiteral("flash %1 -p COM1 -p COM2 --timeout 100").arg(firmware.path));
    EXPECT_EQ(ran.exitCode, 1);
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("^COM1 \\(/dev/ttyS0\\): done in [^\\n]+\\n"
                                          "COM2 \\(/dev/ttyS1\\): failed\\n1 done, 1 failed\\n$"))
            .match(ran.out)
            .hasMatch())
        << ran.out.toStdString();
}

struct RefusalRow {
    const char* name;
    const char* arguments;
    int exitCode;
    const char* says;
};

class Refusals : public InProcess, public testing::WithParamInterface<RefusalRow> {};

// Nothing reaches a unit when the port or the file is wrong.
TEST_P(Refusals, ExitWithTheirCodeAndSendNothing) {
    const auto unit = AddUnit();
    Write(QStringLiteral("faulty.hex"), "garbage\r\n");
    Write(QStringLiteral("low.hex"), Lines({DataRecord(0x0100, QByteArray(16, 'L'))}));
    Write(QStringLiteral("twice.hex"), Lines({DataRecord(0x4000, QByteArray(16, '\x11')),
                                              DataRecord(0x4000, QByteArray(16, '\x22'))}));
    Write(QStringLiteral("lf.hex"), Lines({DataRecord(0x4000, QByteArray(16, '\x11'))}, "\n"));
    ::mkfifo(QFile::encodeName(dir.filePath(QStringLiteral("pipe.hex"))).constData(), 0600);
    test::MakeFirmwareFile(dir.path(), 0x400, 24, 0x4000, "irig 2.4");
    Write(QStringLiteral("pinned.yaml"),
          "units:\n  u1: {port: COM1, firmware_sha256: " + QByteArray(64, '0') + "}\n");
    Write(QStringLiteral("badpin.yaml"),
          "defaults: {firmware_sha256: f00}\nunits: {u1: {port: COM1}}\n");
    if (QLatin1String(GetParam().name).contains(QLatin1String("not_there"))) {
        failOpen = link::PortFailure{
            link::PortFailure::kNoSuchDevice, QStringLiteral("/dev/ttyS76"), {}, {}};
    }
    const Ran ran = Run(QLatin1String(GetParam().arguments));
    EXPECT_EQ(ran.exitCode, GetParam().exitCode);
    EXPECT_TRUE(ran.err.contains(QLatin1String(GetParam().says))) << ran.err.toStdString();
    EXPECT_TRUE(ran.out.isEmpty()) << ran.out.toStdString();
    EXPECT_TRUE(unit->log.isEmpty()) << unit->log.join('\n').toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Irigctl, Refusals,
    testing::Values(
        RefusalRow{"port_that_is_not_there", "reboot --port COM77", 4,
                   "COM77: cannot open the port: no such device: COM77 is /dev/ttyS76"},
        RefusalRow{"watch_on_a_port_that_is_not_there", "status --watch --port COM77", 4,
                   "COM77: cannot open the port: no such device: COM77 is /dev/ttyS76"},
        RefusalRow{"one_device_named_twice", "status --port COM1 --port /dev/ttyS0", 2,
                   "COM1 and /dev/ttyS0 reach one unit (/dev/ttyS0)"},
        RefusalRow{"unreadable_file", "flash DIR/none.hex --port COM1", 3,
                   "none.hex: No such file or directory"},
        RefusalRow{"named_pipe", "flash DIR/pipe.hex --port COM1", 3,
                   "pipe.hex: it is a named pipe (FIFO), not a regular file"},
        RefusalRow{"faulty_file", "flash DIR/faulty.hex --port COM1", 3,
                   "is refused, nothing was sent:\nLength error - Line  1\nFlash file load error"},
        RefusalRow{"lines_ending_in_lf_only", "flash DIR/lf.hex --port COM1", 3,
                   "Flash file load error\nThe file's lines end in LF only; the loader needs CR "
                   "LF"},
        RefusalRow{"nothing_to_program", "flash DIR/low.hex --port COM1", 3,
                   "Nothing to program - no data from 0x4000 up"},
        RefusalRow{"overlapping_records", "flash DIR/twice.hex --port COM1", 3,
                   "16 bytes are stored by more than one record, the first at 0x04000"},
        RefusalRow{
            "a_file_of_another_version", "flash DIR/firmware-24.hex -p COM1 --expect-version 2.5",
            2, "firmware-24.hex carries version 2.4, not 2.5 (--expect-version): nothing flashed"},
        RefusalRow{"a_file_pinned_by_the_inventory",
                   "flash DIR/firmware-24.hex -i DIR/pinned.yaml --all", 2,
                   "(the inventory's firmware_sha256 for u1): nothing flashed"},
        RefusalRow{"a_pin_that_is_no_sha256", "flash DIR/firmware-24.hex -i DIR/badpin.yaml --all",
                   2, "badpin.yaml:1:29: firmware_sha256 must be 64 hexadecimal digits"},
        RefusalRow{"a_file_of_another_sha256",
                   "flash DIR/firmware-24.hex -p COM1 --sha256 "
                   "0000000000000000000000000000000000000000000000000000000000000000",
                   2, "firmware-24.hex has SHA-256 "}),
    [](const testing::TestParamInfo<RefusalRow>& row) { return row.param.name; });

TEST_F(InProcess, OverlappingRecordsAreFlashedWhenAllowed) {
    const auto unit = AddUnit();
    const QString path =
        Write(QStringLiteral("twice.hex"), Lines({DataRecord(0x4000, QByteArray(16, '\x11')),
                                                  DataRecord(0x4000, QByteArray(16, '\x22'))}));
    const Ran ran = Run(QStringLiteral("flash %1 --port COM1 --allow-overlap").arg(path));
    EXPECT_EQ(ran.exitCode, 0) << ran.err.toStdString();
    EXPECT_EQ(unit->Flash().mid(0x4000, 16), QByteArray(16, '\x22')) << "the last record wins";
}

// Terminal servers that trickle or leave: a clear message and a clean end; after a server that
// left mid-update, flashing again leaves the unit's flash equal to the image.
TEST_F(InProcess, TerminalServersThatTrickleOrLeaveEndCleanly) {
    test::UnitServer trickles(test::UnitServer::Behaviour::kTrickles);
    const Ran slow = test::RunIrigctl({"status", "-p", trickles.Address(), "--timeout", "300"});
    EXPECT_EQ(slow.exitCode, 1);
    EXPECT_TRUE(slow.err.contains(
        QStringLiteral("%1: status: no answer within 30").arg(trickles.Address())))
        << slow.err.toStdString();

    sim::Options options;
    options.rebootMs = 5;
    const auto unit = std::make_shared<test::SimUnit>(options);
    const test::FirmwareFile firmware = test::MakeFirmwareFile(dir.path(), 0x2000, 35);
    {
        test::UnitServer leaves(test::UnitServer::Behaviour::kRfc2217, unit);
        leaves.CloseAfterBlocks(5);
        const Ran cut = test::RunIrigctl({"flash", firmware.path, "-p", leaves.Address()});
        EXPECT_EQ(cut.exitCode, 1);
        EXPECT_TRUE(cut.err.contains(QStringLiteral("%1: failed: the port closed: the connection "
                                                    "to %1 closed; the unit is left erased, in "
                                                    "flash mode: run flash again when the port "
                                                    "is back")
                                         .arg(leaves.Address())))
            << cut.err.toStdString();
    }
    test::UnitServer back(test::UnitServer::Behaviour::kRfc2217, unit);
    const Ran again = test::RunIrigctl({"flash", firmware.path, "-p", back.Address()});
    EXPECT_EQ(again.exitCode, 0) << again.err.toStdString();
    test::ExpectFlashHolds(unit->Flash(), firmware);
}

// One terminal server's port under two names is one unit: the name that reaches it second is
// refused, naming the first.
TEST_F(InProcess, OneUnitUnderTwoNamesIsServedOnce) {
    test::UnitServer server(test::UnitServer::Behaviour::kRaw);
    QString other = server.Address();
    other.replace(QStringLiteral("127.0.0.1"), QStringLiteral("localhost"));
    const Ran ran = test::RunIrigctl({"status", "-p", server.Address(), "-p", other});
    EXPECT_EQ(ran.exitCode, 4);
    const QRegularExpression twice(
        QStringLiteral("^(\\S+): cannot open the port: it reaches %1, as (\\S+) does: one unit "
                       "twice$")
            .arg(QRegularExpression::escape(server.Address().mid(9))),
        QRegularExpression::MultilineOption);
    const QRegularExpressionMatch said = twice.match(ran.err);
    ASSERT_TRUE(said.hasMatch()) << ran.err.toStdString();
    EXPECT_EQ((QSet<QString>{said.captured(1), said.captured(2)}),
              (QSet<QString>{server.Address(), other}));
}

// A watched adapter pulled out and plugged in again: the watch says so and goes on by itself.
TEST_F(InProcess, AWatchOutlivesAnUnpluggedAdapter) {
    const auto unit = AddUnit();
    const QString device = Write(QStringLiteral("ttyUSB0"), {});
    const QString canonical = QFileInfo(device).canonicalFilePath();
    ASSERT_TRUE(map.Map(QStringLiteral("COM1"), device));
    auto polls = [&] { return unit->log.count(QStringLiteral("status")); };
    qsizetype pollsWhenBack = -1;
    QTimer step;  // a look every 250 ms: pull the adapter, plug it in, stop
    int looks = 0;
    QObject::connect(&step, &QTimer::timeout, [&] {
        ++looks;
        if (looks == 2) {
            QFile::remove(device);
            ports.at(0)->Unplug();
        } else if (looks == 4) {
            pollsWhenBack = polls();
            Write(QStringLiteral("ttyUSB0"), {});
        } else if (looks == 10) {
            std::raise(SIGINT);
        }
    });
    step.start(250);
    const Ran ran = Run(QStringLiteral("status --watch --port COM1"));
    EXPECT_EQ(ran.exitCode, 130);
    EXPECT_TRUE(ran.err.contains(QStringLiteral("COM1 (%1): lost: the port closed: the device "
                                                "went away; waiting for %1, where its port-map "
                                                "link")
                                     .arg(canonical)))
        << ran.err.toStdString();
    EXPECT_TRUE(ran.err.contains(QStringLiteral("COM1 (%1): back; watching again").arg(canonical)))
        << ran.err.toStdString();
    EXPECT_GE(polls() - pollsWhenBack, 2) << "it polls again once the adapter is back";
}

// A port whose port-map link is meant as a terminal server's address but is none is a command-line
// error, said before anything is opened.
TEST_F(InProcess, ALinkToNoAddressIsRefusedBeforeAnythingOpens) {
    ASSERT_TRUE(map.Map(QStringLiteral("COM8"), QStringLiteral("rfc2217://127.0.0.1:0")));
    AddUnit();
    const Ran ran = Run(QStringLiteral("status --port COM8"));
    EXPECT_EQ(ran.exitCode, 2);
    EXPECT_TRUE(ran.err.startsWith(
        QStringLiteral("irigctl: COM8 is mapped to \"rfc2217://127.0.0.1:0\" by %1, which is not "
                       "a terminal server's address: port 0 is not a port from 1 to 65535\n")
            .arg(map.Entry(QStringLiteral("COM8")))))
        << ran.err.toStdString();
    EXPECT_TRUE(ports.empty()) << "nothing was opened";
}

}  // namespace
}  // namespace irig::cli
