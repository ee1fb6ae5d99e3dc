// Files no vendor tool would write: 10 MB of random bytes, and 10 MB of well-formed records at
// random addresses. Each loads without a crash, reports its faults, leaves Program disabled, and
// the window keeps handling events all the while.
#include <QTemporaryDir>
#include <QTimer>
#include <random>

#include "support/bytes.h"
#include "support/hexrecords.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

constexpr qsizetype kTenMegabytes = 10 * 1024 * 1024;

QByteArray RandomBytes(std::mt19937& random) {
    QByteArray bytes(kTenMegabytes, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    return bytes;
}

QByteArray RecordsAtRandomAddresses(std::mt19937& random) {
    QByteArray file;
    file.reserve(kTenMegabytes + 64);
    while (file.size() < kTenMegabytes) {
        if (random() % 8 == 0) {
            file += SegmentRecord(static_cast<uint16_t>(random())) + "\r\n";
        }
        QByteArray data(1 + random() % 32, '\0');
        for (char& byte : data) {
            byte = static_cast<char>(random());
        }
        file += DataRecord(static_cast<uint16_t>(random()), data) + "\r\n";
    }
    return file;
}

class HostileFiles : public WindowTest, public testing::WithParamInterface<int> {};

TEST_P(HostileFiles, LoadReportsFaultsAndStaysResponsive) {
    std::mt19937 random(GetParam());
    const QByteArray content =
        GetParam() == 0 ? RandomBytes(random) : RecordsAtRandomAddresses(random);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hostile.hex"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(content), content.size());
    file.close();

    Receive(Bytes("80 F1"));
    window->SetFlashFileChooser([&] { return path; });
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(5);
    Button("cmdLoad")->click();
    ticker.stop();

    EXPECT_GT(ticks, 2) << "the window handled timer events during the load";
    EXPECT_TRUE(
        Log().contains(QStringLiteral("Flash file load error\r\nClosing flash data file\r\n")));
    EXPECT_FALSE(Enabled("cmdProgram"));
    EXPECT_TRUE(Enabled("cmdLoad"));
}

INSTANTIATE_TEST_SUITE_P(Firmware, HostileFiles, testing::Values(0, 1),
                         [](const testing::TestParamInfo<int>& row) {
                             return row.param == 0 ? std::string("random_bytes")
                                                   : std::string("records_at_random_addresses");
                         });

}  // namespace
}  // namespace irig::test
