// irigctl's command line: what each argument list asks for, and what is refused as usage (exit 2).
#include "cli/commandline.h"

#include <gtest/gtest.h>

namespace irig::cli {
namespace {

CommandLine Parse(const QString& arguments) {
    return ParseCommandLine(QStringList{QStringLiteral("irigctl")} +
                            arguments.split(QLatin1Char(' '), Qt::SkipEmptyParts));
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
    {"file_missing", "flash --port COM1", "flash takes one FILE"},
    {"two_files", "inspect a.hex b.hex", "inspect takes one FILE"},
    {"extra_argument", "status --port COM1 now", "unexpected argument \"now\""},
    {"timeout_not_a_number", "status --port COM1 --timeout soon", "--timeout must be"},
    {"timeout_zero", "status --port COM1 --timeout 0", "--timeout must be"},
    {"retries_negative", "flash a.hex --port COM1 --retries -1", "--retries must be"},
    {"offset_values_without_set", "offsets --port COM1 --irig 5", "need --set"},
    {"set_without_both_offsets", "offsets --port COM1 --set --irig 5", "needs --irig and --gps"},
    {"flag_neither_on_nor_off", "offsets --port COM1 --set --irig 1 --gps 2 --ieee1344 yes",
     "--ieee1344 must be on or off"},
    {"option_of_another_command", "status --port COM1 --retries 3", "Unknown option 'retries'"},
    {"port_for_inspect", "inspect a.hex --port COM1", "Unknown option 'port'"},
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

TEST(CommandLine, RequestsCarryWhatWasAsked) {
    const CommandLine flash =
        Parse(QStringLiteral("flash fw.hex --port COM1 --port /dev/ttyUSB0 --retries 5 "
                             "--timeout 900 --json"));
    ASSERT_TRUE(flash.request.has_value()) << flash.text.toStdString();
    EXPECT_EQ(flash.request->command, QStringLiteral("flash"));
    EXPECT_EQ(flash.request->file, QStringLiteral("fw.hex"));
    EXPECT_EQ(flash.request->ports,
              (QStringList{QStringLiteral("COM1"), QStringLiteral("/dev/ttyUSB0")}));
    EXPECT_EQ(flash.request->retries, 5);
    EXPECT_EQ(flash.request->timeoutMs, 900);
    EXPECT_TRUE(flash.request->json);

    const CommandLine offsets =
        Parse(QStringLiteral("offsets --port COM3 --set --irig -5 --gps 2.5 --ieee1344 off"));
    ASSERT_TRUE(offsets.request.has_value()) << offsets.text.toStdString();
    EXPECT_TRUE(offsets.request->setOffsets);
    EXPECT_EQ(offsets.request->irigOffset, QStringLiteral("-5"));
    EXPECT_EQ(offsets.request->gpsOffset, QStringLiteral("2.5"));
    EXPECT_EQ(offsets.request->ieee1344, false);
    EXPECT_EQ(offsets.request->retries, 2);
    EXPECT_FALSE(offsets.request->timeoutMs.has_value());

    const CommandLine keepFlag =
        Parse(QStringLiteral("offsets --port COM3 --set --irig 1 --gps 2"));
    ASSERT_TRUE(keepFlag.request.has_value());
    EXPECT_FALSE(keepFlag.request->ieee1344.has_value());
}

TEST(CommandLine, HelpAndVersionGoToStandardOutputWithExitZero) {
    const CommandLine help = Parse(QStringLiteral("--help"));
    EXPECT_EQ(help.exitCode, kDone);
    for (const char* word : {"status", "set-time", "offsets", "gps-message", "reboot", "inspect",
                             "flash", "Exit codes", "130"}) {
        EXPECT_TRUE(help.text.contains(QLatin1String(word))) << word;
    }
    const CommandLine flashHelp = Parse(QStringLiteral("flash --help"));
    EXPECT_EQ(flashHelp.exitCode, kDone);
    EXPECT_TRUE(flashHelp.text.startsWith(QLatin1String("Usage: irigctl flash FILE [options]")));
    for (const char* option : {"--port", "--retries", "--timeout", "--json", "Exit codes"}) {
        EXPECT_TRUE(flashHelp.text.contains(QLatin1String(option))) << option;
    }
    const CommandLine version = Parse(QStringLiteral("--version"));
    EXPECT_EQ(version.exitCode, kDone);
    EXPECT_EQ(version.text, QStringLiteral("irigctl %1\n").arg(QLatin1String(IRIG_VERSION)));
}

}  // namespace
}  // namespace irig::cli
