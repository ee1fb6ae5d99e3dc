// Whether two ports reach one unit: one table of pairs, each spelling of one device or endpoint
// beside a pair that differs.
#include "link/sameplace.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "support/portmapfolder.h"

namespace irig::link {
namespace {

struct PairRow {
    const char* name;
    const char* one;  // DIR: a folder holding the device ttyUSB0, its link and a folder sub
    const char* other;
    const char* same;  // what both reach; nullptr: different units
};

class PortPairs : public testing::TestWithParam<PairRow> {};

TEST_P(PortPairs, ReachOneUnitOrTwo) {
    test::TempPortMap map;
    const QString dir = QDir(map.Config()).canonicalPath();
    for (const char* device : {"/ttyUSB0", "/ttyUSB1"}) {
        QFile file(dir + QLatin1String(device));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(QFile::link(dir + QStringLiteral("/ttyUSB0"), dir + QStringLiteral("/link")));
    ASSERT_TRUE(map.Map(QStringLiteral("COM5"), dir + QStringLiteral("/ttyUSB0")));
    ASSERT_TRUE(QDir(dir).mkdir(QStringLiteral("sub")));
    const HostAddresses hosts{
        {QStringLiteral("localhost"), {QHostAddress::LocalHost, QHostAddress::LocalHostIPv6}}};
    const auto place = [&](const char* port) {
        return Place::Of(QString::fromUtf8(port).replace(QStringLiteral("DIR"), dir), hosts);
    };
    const std::optional<QString> same = SamePlace(place(GetParam().one), place(GetParam().other));
    if (GetParam().same == nullptr) {
        EXPECT_FALSE(same) << same->toStdString();
    } else {
        ASSERT_TRUE(same);
        EXPECT_EQ(*same, QString::fromUtf8(GetParam().same).replace(QStringLiteral("DIR"), dir));
    }
}

INSTANTIATE_TEST_SUITE_P(
    SamePlace, PortPairs,
    testing::Values(
        PairRow{"a_device_and_its_link", "DIR/ttyUSB0", "DIR/link", "DIR/ttyUSB0"},
        PairRow{"a_com_name_mapped_to_it", "COM5", "DIR/ttyUSB0", "DIR/ttyUSB0"},
        PairRow{"dot_dot_in_a_path", "DIR/sub/../ttyUSB0", "DIR/ttyUSB0", "DIR/ttyUSB0"},
        PairRow{"dot_dot_to_a_device_not_there", "DIR/sub/../ttyUSB9", "DIR/ttyUSB9",
                "DIR/ttyUSB9"},
        PairRow{"two_devices", "DIR/ttyUSB0", "DIR/ttyUSB1", nullptr},
        PairRow{"localhost_and_its_address", "socket://localhost:4001", "socket://127.0.0.1:4001",
                "127.0.0.1:4001"},
        PairRow{"localhost_and_ipv4_mapped", "socket://localhost:4001",
                "socket://[::ffff:127.0.0.1]:4001", "127.0.0.1:4001"},
        PairRow{"leading_zeros", "socket://127.000.000.001:4001", "socket://127.0.0.1:4001",
                "127.0.0.1:4001"},
        PairRow{"either_scheme", "rfc2217://127.0.0.1:4001", "socket://127.0.0.1:4001",
                "127.0.0.1:4001"},
        PairRow{"a_name_not_found_as_written", "rfc2217://ts1:4001", "socket://TS1:4001",
                "ts1:4001"},
        PairRow{"another_port", "socket://localhost:4001", "socket://127.0.0.1:4002", nullptr},
        PairRow{"another_address", "socket://127.0.0.2:4001", "socket://localhost:4001", nullptr},
        PairRow{"a_device_and_an_address", "DIR/ttyUSB0", "socket://127.0.0.1:4001", nullptr}),
    [](const testing::TestParamInfo<PairRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::link
