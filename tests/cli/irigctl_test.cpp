// irigctl as a technician's script runs it: the program as a process, against simulated units on
// pseudo-terminals, for what only a process shows: exit codes, signals, several units at once, and
// ports held by another process or denied. What each command prints and how it meets a unit's
// faults is tested in-process (runner_test).
#include <crypt.h>
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
#include <optional>

#include "support/firmwarefile.h"
#include "support/flashcheck.h"
#include "support/monitorprocess.h"
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
    Result Run(const QStringList& arguments, const QString& program = QStringLiteral(IRIGCTL_PATH),
               const std::optional<QByteArray>& input = std::nullopt) {
        QProcess process;
        process.start(program, arguments);
        if (input) {
            process.write(*input);
            process.closeWriteChannel();
        }
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
        test::ExpectFlashHolds(unit->Flash(), firmware);
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
}

struct ClockRow {
    const char* port;
    const char* clockOffset;  // as the unit is started: seconds
    qint64 trueOffsetMs;
    bool paced;           // 19200 baud, else unthrottled
    QStringList options;  // besides check-time -p PORT
    int exitCode;
    const char* kind = "";  // the diagnosis --json names
};

// Six units at once, three offsets at 19200 baud and unthrottled: each printed interval holds the
// true offset, however loaded the machine (how narrow it gets is bench_monitor's); --json and
// --max-offset as a script sees them.
TEST_F(Irigctl, CheckTimeIntervalsHoldTheTrueOffset) {
    const ClockRow rows[] = {
        {"COM1", "0.137", 137, true, {}, 0},
        {"COM2", "-2.5", -2500, true, {"--json"}, 0},
        {"COM3", "0", 0, true, {"--max-offset", "1000"}, 0},
        {"COM4", "0.137", 137, false, {"--max-offset", "100"}, 1},
        {"COM5", "-2.5", -2500, false, {"--json"}, 0},
        {"COM6", "0", 0, false, {}, 0},
        {"COM7", "-619315200", -619'315'200'000, false, {"--json"}, 0, "week_rollover"},
        {"COM8", "3600", 3'600'000, false, {"--json"}, 0, "hour_offset"},
    };
    std::vector<std::unique_ptr<QProcess>> checks;
    for (const ClockRow& row : rows) {
        StartUnit(row.port, QStringList{"--clock-offset", row.clockOffset, "--baud",
                                        row.paced ? "19200" : "0"});
        checks.push_back(std::make_unique<QProcess>());
        checks.back()->start(QStringLiteral(IRIGCTL_PATH),
                             QStringList{"check-time", "-p", row.port} + row.options);
    }
    const QRegularExpression said(QStringLiteral(
        "^(COM\\d): the unit is (\\d+) ms (ahead|behind|off) \\(±(\\d+) ms\\); host clock .+\n"
        "COM\\d: .+\n$"));
    for (size_t i = 0; i < checks.size(); ++i) {
        const ClockRow& row = rows[i];
        QProcess& check = *checks[i];
        ASSERT_TRUE(WaitUntil([&] { return check.state() == QProcess::NotRunning; }, 30'000));
        const Result result{check.exitCode(), QString::fromUtf8(check.readAllStandardOutput()),
                            QString::fromUtf8(check.readAllStandardError())};
        SCOPED_TRACE(row.port + (": " + result.out + result.err).toStdString());
        EXPECT_EQ(result.exitCode, row.exitCode);
        qint64 offsetMs = 0;
        qint64 uncertaintyMs = -1;
        if (row.options.contains(QStringLiteral("--json"))) {
            const QJsonObject json = Json(result);
            EXPECT_EQ(json[QStringLiteral("port")].toString(), QLatin1String(row.port));
            offsetMs = json[QStringLiteral("offsetMs")].toInteger();
            uncertaintyMs = json[QStringLiteral("uncertaintyMs")].toInteger(-1);
            EXPECT_EQ(json[QStringLiteral("diagnosis")][QStringLiteral("kind")].toString(),
                      QLatin1String(*row.kind != '\0' ? row.kind : "off"));
        } else {
            const QRegularExpressionMatch match = said.match(result.out);
            ASSERT_TRUE(match.hasMatch());
            EXPECT_EQ(match.captured(1), QLatin1String(row.port));
            offsetMs = match.captured(2).toLongLong() *
                       (match.captured(3) == QStringLiteral("behind") ? -1 : 1);
            uncertaintyMs = match.captured(4).toLongLong();
        }
        EXPECT_LE(std::abs(offsetMs - row.trueOffsetMs), uncertaintyMs);
        EXPECT_EQ(result.err.contains(QStringLiteral("may be more than 100 ms off (--max-offset)")),
                  row.exitCode == 1);
    }
}

struct RefusalRow {
    const char* name;
    QStringList arguments;
    int exitCode;
    const char* says;
};

class Refusals : public Irigctl, public testing::WithParamInterface<RefusalRow> {};

// The exit code of each kind of refusal, as the process ends; nothing reaches the unit. (What each
// says is in runner_test and commandline_test.)
TEST_P(Refusals, ExitWithTheirCodeAndSendNothing) {
    SimulatedUnit& unit = StartUnit(QStringLiteral("COM1"));
    QStringList arguments = GetParam().arguments;
    arguments.replaceInStrings(QStringLiteral("FAULTY"),
                               Write(QStringLiteral("faulty.hex"), "garbage\r\n"));
    const Result result = Run(arguments);
    EXPECT_EQ(result.exitCode, GetParam().exitCode);
    EXPECT_TRUE(result.err.contains(QLatin1String(GetParam().says))) << result.err.toStdString();
    EXPECT_TRUE(result.out.isEmpty()) << result.out.toStdString();
    EXPECT_FALSE(unit.Errors().contains(QStringLiteral("re-boot")));
}

INSTANTIATE_TEST_SUITE_P(
    Irigctl, Refusals,
    testing::Values(
        RefusalRow{"unknown_command", {"flush", "--port", "COM1"}, 2, "unknown command"},
        RefusalRow{"faulty_file",
                   {"flash", "FAULTY", "--port", "COM1"},
                   3,
                   "is refused, nothing was sent:\nLength error - Line  1\nFlash file load error"},
        RefusalRow{"watch_on_a_port_that_is_not_there",
                   {"status", "--watch", "--port", "COM77"},
                   4,
                   "COM77: cannot open the port: no such device: COM77 is /dev/ttyS76"}),
    [](const testing::TestParamInfo<RefusalRow>& row) { return row.param.name; });

struct PasswordRow {
    const char* name;
    QByteArray input;  // standard input, no terminal
    QStringList options;
    int exitCode;
    const char* says;  // the hash's start on standard output, or the refusal on standard error
};

class HashPassword : public Irigctl, public testing::WithParamInterface<PasswordRow> {};

// A hash the system's crypt library (the monitor's) takes for the password, or a refusal.
TEST_P(HashPassword, PrintsABcryptHashOfOneLineOrRefuses) {
    const PasswordRow& row = GetParam();
    const Result result = Run(QStringList{QStringLiteral("hash-password")} + row.options,
                              QStringLiteral(IRIGCTL_PATH), row.input);
    EXPECT_EQ(result.exitCode, row.exitCode) << result.err.toStdString();
    if (row.exitCode != 0) {
        EXPECT_TRUE(result.err.contains(QLatin1String(row.says))) << result.err.toStdString();
        EXPECT_EQ(result.out, QString());
        return;
    }
    ASSERT_TRUE(result.out.startsWith(QLatin1String(row.says))) << result.out.toStdString();
    const QByteArray hash = result.out.trimmed().toLatin1();
    crypt_data data{};
    EXPECT_STREQ(crypt_rn(QByteArray(row.input).replace('\n', "").constData(), hash.constData(),
                          &data, sizeof data),
                 hash.constData());
}

INSTANTIATE_TEST_SUITE_P(
    Irigctl, HashPassword,
    testing::Values(PasswordRow{"a_line", "try-me\n", {}, 0, "$2b$10$"},
                    PasswordRow{"no_line_end_cost_4", "try-me", {"--cost", "4"}, 0, "$2b$04$"},
                    PasswordRow{"empty", "\n", {}, 2, "the password is empty"},
                    PasswordRow{"two_lines", "a\nb\n", {}, 2, "not one line of at most 72"},
                    PasswordRow{"over_72_bytes", QByteArray(73, 'x'), {}, 2, "at most 72 bytes"},
                    PasswordRow{"cost_18", "x\n", {"--cost", "18"}, 2, "--cost must be 4 to 17"}),
    [](const testing::TestParamInfo<PasswordRow>& row) { return row.param.name; });

TEST_F(Irigctl, APortInUseNamesTheProgramThatHoldsIt) {
    StartUnit(QStringLiteral("COM1"));
    QProcess holder;
    holder.start(QStringLiteral(IRIGCTL_PATH), {"status", "--port", "COM1", "--watch"});
    ASSERT_TRUE(WaitUntil([&] { return holder.bytesAvailable() > 0; }, 5000));
    const Result result = Run({"status", "--port", "COM1"});
    EXPECT_EQ(result.exitCode, 4);
    EXPECT_TRUE(result.err.contains(
        QStringLiteral("is in use by irigctl status (process %1)").arg(holder.processId())))
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

// How many units a monitor's metrics show answering, and not lent.
int Watched(MonitorProcess& monitor, QString* metrics = nullptr) {
    const QString text = QString::fromUtf8(Http(monitor.Url(QStringLiteral("/metrics"))).body);
    if (metrics != nullptr) {
        *metrics = text;
    }
    static const QRegularExpression up(QStringLiteral("\nirig_unit_up\\{[^}]*\\} 1"));
    static const QRegularExpression lent(QStringLiteral("\nirig_unit_leased\\{[^}]*\\} 1"));
    return text.contains(lent) ? 0 : static_cast<int>(text.count(up));
}

// With the monitor watching both units, apply and flash borrow them (by other spellings of their
// ports than the monitor's) and give them back: the monitor watches both again, the flashed one's
// new version read, and its record says each loan.
TEST_F(Irigctl, ApplyAndFlashBorrowTheUnitsTheMonitorWatches) {
    StartUnit(QStringLiteral("COM1"));
    StartUnit(QStringLiteral("COM2"));
    MonitorProcess monitor({ports.Entry(QStringLiteral("COM1")), QStringLiteral("COM2")});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(monitor.Port());
    ASSERT_TRUE(WaitUntil([&] { return Watched(monitor) == 2; }, 15'000))
        << monitor.Errors().toStdString();

    const QString inventory = Write(QStringLiteral("units.yaml"),
                                    "units:\n  u1: {port: COM1, gps_offset: -5}\n"
                                    "  u2: {port: COM2, gps_offset: -5}\n");
    const Result applied = Run({"apply", "-i", inventory, "--all", "--monitor", url});
    EXPECT_EQ(applied.exitCode, 0) << applied.err.toStdString();
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x400, 9, 0x4000, "irig 2.4");
    const Result flashed = Run({"flash", firmware.path, "-p", "COM1", "--expect-version", "2.4",
                                "--monitor", url, "--quiet"});
    EXPECT_EQ(flashed.exitCode, 0) << flashed.err.toStdString();

    QString metrics;
    EXPECT_TRUE(WaitUntil(
        [&] { return Watched(monitor, &metrics) == 2 && metrics.contains("version=\"2.4\""); },
        15'000))
        << metrics.toStdString() << monitor.Errors().toStdString();
    const QString record = monitor.Errors();
    EXPECT_EQ(record.count(QStringLiteral(": lent to ")), 3) << record.toStdString();
    EXPECT_EQ(record.count(QStringLiteral(": returned by ")), 3) << record.toStdString();
}

// A borrower killed outright returns nothing: its lease ends by itself, and the monitor watches the
// unit again. (Only root can, on the simulated unit's pseudo-terminal: the borrower killed before it
// closed the port left the terminal's exclusive flag set, which a real serial port loses with its
// last close but a pseudo-terminal keeps while its other side is open.)
TEST_F(Irigctl, TheLeaseOfABorrowerKilledOutrightEndsByItself) {
    StartUnit(QStringLiteral("COM1"));
    MonitorProcess monitor({QStringLiteral("COM1")}, {QStringLiteral("--lease-limit"), "2"});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    QProcess watch;
    watch.start(QStringLiteral(IRIGCTL_PATH),
                {"status", "--watch", "-p", "COM1", "--monitor",
                 QStringLiteral("http://127.0.0.1:%1").arg(monitor.Port())});
    ASSERT_TRUE(WaitUntil([&] { return watch.bytesAvailable() > 0; }, 10'000))
        << "a reading, through the borrowed port";
    ::kill(static_cast<pid_t>(watch.processId()), SIGKILL);
    ASSERT_TRUE(watch.waitForFinished(5000));
    EXPECT_TRUE(WaitUntil([&] { return monitor.Errors().contains("expired after"); }, 10'000))
        << monitor.Errors().toStdString();
    QString metrics;
    if (::geteuid() == 0) {
        EXPECT_TRUE(WaitUntil([&] { return Watched(monitor, &metrics) == 1; }, 10'000))
            << metrics.toStdString() << monitor.Errors().toStdString();
    }
}

}  // namespace
}  // namespace irig::test
