#include "link/portmap.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "link/portfailure.h"
#include "link/portswitch.h"
#include "support/portmapfolder.h"

namespace irig::link {
namespace {

using test::TempPortMap;

TEST(PortMap, FolderFollowsXdgConfigHome) {
    TempPortMap folder;
    EXPECT_EQ(PortMapFolder(), folder.Ports());
}

TEST(PortMap, FolderDefaultsToDotConfigWhenXdgConfigHomeIsUnset) {
    TempPortMap folder;  // restores the variable afterwards
    qunsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(PortMapFolder(), QDir::homePath() + QStringLiteral("/.config/irig-config/ports"));
}

struct UnmappedRow {
    const char* what;
    const char* name;
    const char* device;
};

class UnmappedNames : public testing::TestWithParam<UnmappedRow> {};

TEST_P(UnmappedNames, Resolve) {
    TempPortMap folder;
    EXPECT_EQ(ResolvePortName(QLatin1String(GetParam().name)), QLatin1String(GetParam().device));
}

INSTANTIATE_TEST_SUITE_P(
    PortMap, UnmappedNames,
    testing::Values(UnmappedRow{"first port is ttyS0", "COM1", "/dev/ttyS0"},
                    UnmappedRow{"numbers count from one", "COM12", "/dev/ttyS11"},
                    UnmappedRow{"last listed port", "COM4096", "/dev/ttyS4095"},
                    UnmappedRow{"zero is not a port", "COM0", ""},
                    UnmappedRow{"leading zero is not a port", "COM01", ""},
                    UnmappedRow{"lower case is not the list's name", "com1", ""},
                    UnmappedRow{"a device path is taken as it is", "/dev/ttyS0", "/dev/ttyS0"},
                    UnmappedRow{"a relative path is not a port", "dev/ttyS0", ""},
                    UnmappedRow{"empty", "", ""}),
    [](const testing::TestParamInfo<UnmappedRow>& row) {
        QString name = QLatin1String(row.param.what);
        name.replace(QLatin1Char(' '), QLatin1Char('_')).remove(QLatin1Char('\''));
        return name.toStdString();
    });

TEST(PortMap, EntryIsResolvedToTheRealDevice) {
    TempPortMap folder;
    QFile device(folder.Config() + QStringLiteral("/ttyFAKE0"));
    ASSERT_TRUE(device.open(QIODevice::WriteOnly));
    // A chain of links (as /dev/serial/by-id/... -> ../../ttyUSB0) ends at the device itself.
    ASSERT_TRUE(QFile::link(device.fileName(), folder.Config() + QStringLiteral("/by-id")));
    ASSERT_TRUE(folder.Map(QStringLiteral("COM5"), folder.Config() + QStringLiteral("/by-id")));
    EXPECT_EQ(ResolvePortName(QStringLiteral("COM5")),
              QFileInfo(device.fileName()).canonicalFilePath());
    EXPECT_EQ(ResolvePortName(QStringLiteral("COM6")), QStringLiteral("/dev/ttyS5"));
}

TEST(PortMap, DanglingEntryStillTakesPrecedence) {
    TempPortMap folder;
    ASSERT_TRUE(folder.Map(QStringLiteral("COM2"), QStringLiteral("/dev/ttyUSB-unplugged")));
    EXPECT_EQ(ResolvePortName(QStringLiteral("COM2")), folder.Entry(QStringLiteral("COM2")));
}

TEST(PortMap, FolderIsReadAfreshAtEveryLookup) {
    TempPortMap folder;
    EXPECT_EQ(ResolvePortName(QStringLiteral("COM3")), QStringLiteral("/dev/ttyS2"));
    ASSERT_TRUE(folder.Map(QStringLiteral("COM3"), QStringLiteral("/dev/null")));
    EXPECT_EQ(ResolvePortName(QStringLiteral("COM3")), QStringLiteral("/dev/null"));
    ASSERT_TRUE(QFile::remove(folder.Entry(QStringLiteral("COM3"))));
    EXPECT_EQ(ResolvePortName(QStringLiteral("COM3")), QStringLiteral("/dev/ttyS2"));
}

struct AddressRow {
    const char* name;
    const char* text;
    const char* problem;  // empty: an address
};

class Addresses : public testing::TestWithParam<AddressRow> {};

TEST_P(Addresses, AreTakenOrSayWhatKeepsThemFromBeingOne) {
    const QString text = QLatin1String(GetParam().text);
    const QString problem = QLatin1String(GetParam().problem);
    EXPECT_EQ(AddressProblem(text), problem);
    const QString said = PortArgumentProblem(text);
    EXPECT_TRUE(problem.isEmpty() ? said.isEmpty() : said.endsWith(problem)) << said.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    PortMap, Addresses,
    testing::Values(
        AddressRow{"rfc2217", "rfc2217://ts1:4001", ""},
        AddressRow{"ipv6", "socket://[::1]:4001", ""},
        AddressRow{"a_trailing_slash", "rfc2217://127.0.0.1:29401/",
                   "a trailing \"/\" after the port"},
        AddressRow{"a_path", "rfc2217://127.0.0.1:24011/ttyS0", "a path after the port"},
        AddressRow{"no_host", "socket://:4001", "no host"},
        AddressRow{"port_not_a_number", "socket://ts1:40o1",
                   "port 40o1 is not a port from 1 to 65535"},
        AddressRow{"port_zero", "rfc2217://127.0.0.1:0", "port 0 is not a port from 1 to 65535"},
        AddressRow{"a_query", "rfc2217://ts1:4001?timeout=3", "a query after the port"},
        AddressRow{"no_port", "socket://ts1", "no port"},
        AddressRow{"another_scheme", "telnet://ts1:23",
                   "only rfc2217://HOST:PORT and socket://HOST:PORT are taken"}),
    [](const testing::TestParamInfo<AddressRow>& row) { return row.param.name; });

struct HolderRow {
    const char* name;
    QStringList commandLine;
    const char *program, *monitor;
    const char* webConfig = "";  // the file web.yml, as the holder would read it
};

class Holders : public testing::TestWithParam<HolderRow> {};

// A busy port's holder as its command line names it; a monitor with the URL that borrows from it.
TEST_P(Holders, AreNamedWithTheMonitorToBorrowFrom) {
    const Holder holder = HolderOf(GetParam().commandLine, [](const QString& path) {
        return path == QLatin1String("web.yml") ? QByteArray(GetParam().webConfig) : QByteArray();
    });
    EXPECT_EQ(holder.program, QLatin1String(GetParam().program));
    EXPECT_EQ(holder.monitor, QLatin1String(GetParam().monitor));
}

INSTANTIATE_TEST_SUITE_P(
    PortFailure, Holders,
    testing::Values(
        HolderRow{"another_program", {"/usr/bin/minicom", "-D", "/dev/ttyUSB0"}, "minicom", ""},
        HolderRow{"monitor_by_default",
                  {"irigctl", "monitor", "-p", "COM1"},
                  "irigctl monitor",
                  "http://127.0.0.1:9810"},
        HolderRow{"monitor_elsewhere",
                  {"irigctl", "monitor", "--listen", "0.0.0.0:9811"},
                  "irigctl monitor",
                  "http://127.0.0.1:9811"},
        HolderRow{"monitor_on_ipv6",
                  {"irigctl", "monitor", "--listen=[::1]:9812"},
                  "irigctl monitor",
                  "http://[::1]:9812"},
        HolderRow{"monitor_with_tls",
                  {"irigctl", "monitor", "--web-config", "web.yml"},
                  "irigctl monitor",
                  "https://127.0.0.1:9810",
                  "basic_auth_users: {a: b}\ntls_server_config:\n  cert_file: c.pem\n"},
        HolderRow{"monitor_with_users_only",
                  {"irigctl", "monitor", "--web-config=web.yml", "--listen", "0.0.0.0:9811"},
                  "irigctl monitor",
                  "http://127.0.0.1:9811",
                  "basic_auth_users: {a: b}\n"},
        HolderRow{"monitor_on_a_port_of_its_choice",
                  {"irigctl", "monitor", "--listen", "127.0.0.1:0"},
                  "irigctl monitor",
                  ""}),
    [](const testing::TestParamInfo<HolderRow>& row) { return row.param.name; });

struct LeadsNowhereRow {
    const char* name;
    const char* target;  // the link's text
    const char* said;    // %1: the link
};

class LinksThatLeadNowhere : public testing::TestWithParam<LeadsNowhereRow> {};

// A port-map link that leads nowhere says where it points and why that fails, at the open and, for
// an address that is none, before it.
TEST_P(LinksThatLeadNowhere, SayWhereTheyPoint) {
    test::TempPortMap map;
    ASSERT_TRUE(map.Map(QStringLiteral("COM8"), QLatin1String(GetParam().target)));
    const QString said = QLatin1String(GetParam().said).arg(map.Entry(QStringLiteral("COM8")));
    EXPECT_EQ(PortAddressProblem(QStringLiteral("COM8")),
              said.startsWith(QLatin1String("no such device")) ? QString() : said);
    PortSwitch port;
    EXPECT_EQ(port.OpenPort(QStringLiteral("COM8")), kNoSuchDevice);
    EXPECT_EQ(FailureText(QStringLiteral("COM8"), port.LastFailure()), said);
}

INSTANTIATE_TEST_SUITE_P(
    PortMap, LinksThatLeadNowhere,
    testing::Values(LeadsNowhereRow{"no_address", "rfc2217://127.0.0.1:24011/",
                                    "COM8 is mapped to \"rfc2217://127.0.0.1:24011/\" by %1, "
                                    "which is not a terminal server's address: a trailing \"/\" "
                                    "after the port"},
                    LeadsNowhereRow{"a_device_unplugged", "/dev/ttyUSB-unplugged",
                                    "no such device: COM8 is mapped by %1 to "
                                    "/dev/ttyUSB-unplugged, which is not there"}),
    [](const testing::TestParamInfo<LeadsNowhereRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::link
