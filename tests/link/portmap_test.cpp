#include "link/portmap.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

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

}  // namespace
}  // namespace irig::link
