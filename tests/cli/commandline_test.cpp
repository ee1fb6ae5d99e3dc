// irigctl's command line: what each argument list asks for (options on either side of the command,
// ports named the usual ways, settings through the settings table), and what is refused as usage
// (exit 2).
#include "cli/commandline.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "cli/commands.h"
#include "cli/flash.h"
#include "irigctl/commands.h"
#include "monitor/monitor.h"
#include "support/warnings.h"

namespace irig::cli {
namespace {

CommandLine Parse(const QString& arguments, const QString& defaultPort = {}) {
    return ParseCommandLine(QStringList{QStringLiteral("irigctl")} +
                                arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts),
                            irigctl::AllCommands(), [defaultPort](const char* variable) {
                                return QLatin1String(variable) == QLatin1String(kPortVariable)
                                           ? defaultPort
                                           : QString();
                            });
}

struct UsageRow {
    const char* name;
    const char* arguments;
    const char* says;  // part of the message
};

const UsageRow kUsageRows[] = {
    {"no_command", "", "no command given"},
    {"unknown_command", "frobnicate --port COM1", "unknown command \"frobnicate\""},
    {"unknown_option", "status --port COM1 --fast", "Unknown option 'fast'"},
    {"port_missing", "status", "status needs --port"},
    {"port_without_value", "status --port", "Missing value after '--port'"},
    {"two_ports_where_one_is_served", "set-time --port COM1 --port COM2",
     "set-time takes one --port"},
    {"same_port_twice", "flash a.hex --port COM1 --port COM1", "the same --port twice"},
    {"sha256_not_hexadecimal", "flash a.hex -p COM1 --sha256 a1b2", "is not 64 hexadecimal digits"},
    {"file_missing", "flash --port COM1", "flash takes one FILE"},
    {"two_files", "inspect a.hex b.hex", "inspect takes one FILE"},
    {"extra_argument", "status --port COM1 now", "unexpected argument \"now\""},
    {"timeout_not_a_number", "status --port COM1 --timeout soon", "--timeout must be"},
    {"timeout_zero", "status --port COM1 --timeout 0", "--timeout must be"},
    {"retries_negative", "flash a.hex --port COM1 --retries -1", "--retries must be"},
    {"offset_values_without_set", "offsets --port COM1 --irig 5", "need --set"},
    {"set_without_both_offsets", "offsets --port COM1 --set --irig 5", "needs --irig and --gps"},
    {"flag_neither_on_nor_off", "offsets --port COM1 --set --irig 1 --gps 2 --ieee1344 maybe",
     "--ieee1344 must be on or off"},
    {"option_of_another_command", "status --port COM1 --retries 3", "Unknown option 'retries'"},
    {"port_for_inspect", "inspect a.hex --port COM1", "Unknown option 'port'"},
    {"unknown_option_before_the_command", "--fast status --port COM1", "Unknown option 'fast'"},
    {"same_port_in_two_cases", "status --port COM1 --port com1", "the same --port twice"},
    {"port_zero", "status --port COM0", "--port \"COM0\": COM ports are numbered from COM1"},
    {"address_without_a_port", "status -p rfc2217://10.1.2.3", "--port \"rfc2217://10.1.2.3\" is"},
    {"address_of_another_kind", "status -p telnet://10.1.2.3:23",
     "--port \"telnet://10.1.2.3:23\""},
    {"address_past_the_last_port", "status -p socket://h:65536", "--port \"socket://h:65536\""},
    {"relative_path", "status -p dev/ttyS0", "--port \"dev/ttyS0\" is neither"},
    {"offset_not_a_number", "offsets -p COM1 --set --irig abc --gps 0",
     "--irig \"abc\" is not a whole number of hours from -23 to 23"},
    {"offset_in_hexadecimal", "offsets -p COM1 --set --irig 0 --gps 0x10", "--gps \"0x10\" is not"},
    {"offset_with_a_fraction", "offsets -p COM1 --set --irig 2.5 --gps 0", "--irig \"2.5\" is not"},
    {"offset_beyond_the_range", "offsets -p COM1 --set --irig 30 --gps 0", "--irig \"30\" is not"},
    {"offset_below_the_range", "offsets -p COM1 --set --irig 0 --gps \u221224",
     "--gps \"\u221224\" is not"},
    {"max_offset_not_a_number", "check-time -p COM1 --max-offset 5ms", "--max-offset must be"},
    {"max_offset_of_another_command", "set-time -p COM1 --max-offset 5",
     "Unknown option 'max-offset'"},
    {"check_time_of_two_ports", "check-time -p COM1 -p COM2", "check-time takes one --port"},
    {"listen_without_a_port", "monitor -p COM1 --listen 127.0.0.1",
     "--listen \"127.0.0.1\" is not ADDRESS:PORT"},
    {"listen_on_a_host_name", "monitor -p COM1 --listen localhost:9810",
     "--listen \"localhost:9810\" is not"},
    {"listen_past_the_last_port", "monitor -p COM1 --listen 0.0.0.0:65536",
     "--listen \"0.0.0.0:65536\" is not"},
    {"json_for_monitor", "monitor -p COM1 --json", "Unknown option 'json'"},
    {"monitor_not_http", "status -p COM1 --monitor ftp://mon:21",
     "--monitor: \"ftp://mon:21\" is not a monitor's URL"},
    {"monitor_with_a_password", "apply -i u.yaml --all --monitor http://ops:pw@mon:9810",
     "--monitor: the monitor's URL \"http://mon:9810\" holds a user"},
};

class Usage : public testing::TestWithParam<UsageRow> {};

TEST_P(Usage, IsRefusedWithExitTwoAndAPointerToHelp) {
    const CommandLine line = Parse(QLatin1String(GetParam().arguments));
    EXPECT_FALSE(line.request.has_value());
    EXPECT_EQ(line.exitCode, kUsage);
    EXPECT_TRUE(line.text.contains(QLatin1String(GetParam().says))) << line.text.toStdString();
    EXPECT_TRUE(line.text.contains(QLatin1String("irigctl --help")));
}

INSTANTIATE_TEST_SUITE_P(CommandLine, Usage, testing::ValuesIn(kUsageRows),
                         [](const testing::TestParamInfo<UsageRow>& row) {
                             return row.param.name;
                         });

// Where options stand, how a port is named, and where it comes from.
struct PlacementRow {
    const char* name;
    const char* arguments;
    const char* environment;  // IRIGCTL_PORT
    const char* command;
    const char* ports;  // joined with commas
};

class Placement : public testing::TestWithParam<PlacementRow> {};

TEST_P(Placement, FindsTheCommandAndItsPorts) {
    const CommandLine line =
        Parse(QLatin1String(GetParam().arguments), QLatin1String(GetParam().environment));
    ASSERT_TRUE(line.request.has_value()) << line.text.toStdString();
    EXPECT_STREQ(line.request->command->name, GetParam().command);
    EXPECT_EQ(line.request->common.ports.join(QLatin1Char(',')).toStdString(), GetParam().ports);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Placement,
    testing::Values(
        PlacementRow{"options_after", "status --port COM1 --json", "", "status", "COM1"},
        PlacementRow{"options_before", "--port COM1 --json status", "", "status", "COM1"},
        PlacementRow{"options_around", "-p COM2 flash --retries 1 fw.hex -p /dev/ttyUSB0", "",
                     "flash", "COM2,/dev/ttyUSB0"},
        PlacementRow{"lower_case_com", "reboot -p com7", "", "reboot", "COM7"},
        PlacementRow{"terminal_servers", "status -p rfc2217://10.1.2.3:4001 -p socket://[::1]:7",
                     "", "status", "rfc2217://10.1.2.3:4001,socket://[::1]:7"},
        PlacementRow{"port_from_the_environment", "status", "com3", "status", "COM3"},
        PlacementRow{"option_over_the_environment", "status -p COM4", "COM3", "status", "COM4"},
        PlacementRow{"negative_offset_is_no_option", "offsets --set --irig -5 --gps -3 -p COM1", "",
                     "offsets", "COM1"}),
    [](const testing::TestParamInfo<PlacementRow>& row) { return row.param.name; });

TEST(CommandLine, RequestsCarryWhatWasAsked) {
    const CommandLine flash =
        Parse(QStringLiteral("flash fw.hex --port COM1 --port /dev/ttyUSB0 --retries 5 "
                             "--timeout 900 --json"));
    ASSERT_TRUE(flash.request.has_value()) << flash.text.toStdString();
    EXPECT_STREQ(flash.request->command->name, "flash");
    EXPECT_EQ(flash.request->common.file, QStringLiteral("fw.hex"));
    EXPECT_EQ(flash.request->common.ports,
              (QStringList{QStringLiteral("COM1"), QStringLiteral("/dev/ttyUSB0")}));
    EXPECT_EQ(flash.request->OptionsOf<FlashOptions>().retries, 5);
    EXPECT_EQ(flash.request->common.timeoutMs, 900);
    EXPECT_TRUE(flash.request->common.json);
    const CommandLine pinned = Parse(QStringLiteral("flash fw.hex -p COM1 --expect-version 2.4 "
                                                    "--sha256 ") +
                                     QString(64, QLatin1Char('A')));
    ASSERT_TRUE(pinned.request.has_value()) << pinned.text.toStdString();
    EXPECT_EQ(pinned.request->OptionsOf<FlashOptions>().expectVersion, 24);
    EXPECT_EQ(pinned.request->OptionsOf<FlashOptions>().sha256, QString(64, QLatin1Char('a')));
    EXPECT_EQ(pinned.request->OptionsOf<FlashOptions>().retries, 2);

    test::WarningCatcher warnings;  // a command without --port asks nothing of it
    ASSERT_TRUE(Parse(QStringLiteral("inventory -i units.yaml --all")).request.has_value());
    EXPECT_TRUE(warnings.messages.isEmpty()) << warnings.messages.join('\n').toStdString();

    const CommandLine offsets = Parse(
        QStringLiteral("offsets --port COM3 --set --irig -5 --gps \u22122 --ieee1344 off -q"));
    ASSERT_TRUE(offsets.request.has_value()) << offsets.text.toStdString();
    const OffsetsOptions& set = offsets.request->OptionsOf<OffsetsOptions>();
    EXPECT_TRUE(set.set);
    EXPECT_TRUE(offsets.request->common.quiet);
    EXPECT_EQ(set.offsets.irigOffset, -5);
    EXPECT_EQ(set.offsets.gpsOffset, -2);
    EXPECT_EQ(set.offsets.ieee1344, false);
    EXPECT_FALSE(offsets.request->common.timeoutMs.has_value());

    const CommandLine monitor = Parse(QStringLiteral("monitor -p COM1 -p COM2 --listen [::1]:0"));
    ASSERT_TRUE(monitor.request.has_value()) << monitor.text.toStdString();
    EXPECT_EQ(monitor.request->common.ports.size(), 2);
    EXPECT_EQ(monitor.request->OptionsOf<monitor::Options>().listenHost, QStringLiteral("::1"));
    EXPECT_EQ(monitor.request->OptionsOf<monitor::Options>().listenPort, 0);
    EXPECT_EQ(
        Parse(QStringLiteral("monitor -p COM1")).request->OptionsOf<monitor::Options>().listenPort,
        9810);
    EXPECT_EQ(Parse(QStringLiteral("check-time -p COM1 --max-offset 5"))
                  .request->OptionsOf<CheckTimeOptions>()
                  .maxOffsetMs,
              5);

    const CommandLine keepFlag =
        Parse(QStringLiteral("offsets --port COM3 --set --irig 1 --gps 2"));
    ASSERT_TRUE(keepFlag.request.has_value());
    EXPECT_FALSE(keepFlag.request->OptionsOf<OffsetsOptions>().offsets.ieee1344.has_value());
}

// The monitor units are borrowed from: the command line's (or the environment's, as every default
// is), else the inventory's.
TEST(CommandLine, TheInventorysMonitorComesLast) {
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("u.yaml")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) &&
                file.write("monitor: http://inventory:1\nunits: {u1: {port: COM1}}\n") > 0);
    file.close();
    for (const char* given : {"--monitor=http://line:1", "--all"}) {
        CommandLine line =
            Parse(QStringLiteral("status --all -i %1 %2").arg(file.fileName(), given));
        ASSERT_TRUE(line.request && !ResolveInventory(*line.request)) << line.text.toStdString();
        EXPECT_EQ(line.request->common.monitor.host(), given[2] == 'm' ? "line" : "inventory");
    }
}

TEST(CommandLine, HelpAndVersionGoToStandardOutputWithExitZero) {
    const CommandLine help = Parse(QStringLiteral("--help"));
    EXPECT_EQ(help.exitCode, kDone);
    for (const char* word :
         {"status", "set-time", "check-time", "offsets", "gps-message", "reboot", "inspect",
          "flash", "monitor", "Exit codes", "130", "143", "IRIGCTL_PORT"}) {
        EXPECT_TRUE(help.text.contains(QLatin1String(word))) << word;
    }
    EXPECT_TRUE(Parse(QStringLiteral("check-time --help"))
                    .text.contains(QStringLiteral("offset \u00B1 uncertainty")))
        << "UTF-8 in a command's description";
    const CommandLine flashHelp = Parse(QStringLiteral("flash --help"));
    EXPECT_EQ(flashHelp.exitCode, kDone);
    EXPECT_TRUE(flashHelp.text.startsWith(QLatin1String("Usage: irigctl flash FILE [options]")));
    for (const char* option : {"--port", "--retries", "--timeout", "--json", "irigctl --help"}) {
        EXPECT_TRUE(flashHelp.text.contains(QLatin1String(option))) << option;
    }
    // Its own options first; what every command shares, once, in irigctl --help.
    EXPECT_LT(flashHelp.text.indexOf(QLatin1String("--retries")),
              flashHelp.text.indexOf(QLatin1String("--port")));
    EXPECT_FALSE(flashHelp.text.contains(QLatin1String("Exit codes")));
    for (const char* arguments : {"--version", "-V status", "status --port COM1 --version"}) {
        const CommandLine version = Parse(QLatin1String(arguments));
        EXPECT_EQ(version.exitCode, kDone) << arguments;
        EXPECT_EQ(version.text, QStringLiteral("irigctl %1\n").arg(QLatin1String(IRIG_VERSION)))
            << arguments;
    }
    // Help wins wherever it stands, and says where a reply's wait comes from.
    for (const char* arguments : {"--help status", "status --help", "-p COM1 -h status"}) {
        const CommandLine statusHelp = Parse(QLatin1String(arguments));
        EXPECT_EQ(statusHelp.exitCode, kDone) << arguments;
        EXPECT_TRUE(statusHelp.text.startsWith(QLatin1String("Usage: irigctl status [options]")))
            << arguments;
        EXPECT_TRUE(statusHelp.text.simplified().contains(
            QLatin1String("1 s and four times its wire time")));
        EXPECT_TRUE(statusHelp.text.contains(QLatin1String("IRIGCTL_PORT")));
    }
}

}  // namespace
}  // namespace irig::cli
