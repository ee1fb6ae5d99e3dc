// Faults of the unit and the line, end to end: for each, the window keeps working, the log says
// what it should, and a retry the operator can make ends with the unit's flash equal to the image.
#include "support/endtoend.h"

namespace irig::test {
namespace {

class FaultMatrix : public EndToEnd {
protected:
    void SetUp() override { firmware = MakeFirmwareFile(dir.path(), 0x1000 + 33, 11); }
    FirmwareFile firmware;
};

struct LineFault {
    const char* name;
    QStringList options;
};

class LineFaults : public FaultMatrix, public testing::WithParamInterface<LineFault> {};

// Replies in random pieces, or with junk between them, change nothing the operator sees.
TEST_P(LineFaults, StatusAndAWholeUpdateStillWork) {
    Start(GetParam().options);
    ASSERT_TRUE(WaitUntil([&] { return Caption("lblSourceData") == QStringLiteral("GPS"); }, 2000));
    EXPECT_EQ(Caption("lblVersionNumber"), QStringLiteral("2.3"));
    LoadInFlashMode(firmware.path);
    ASSERT_TRUE(ProgramAndWait());
    ExpectFlashHolds(firmware);
    EXPECT_FALSE(Log().contains(QStringLiteral("failed")));
}

INSTANTIATE_TEST_SUITE_P(
    FaultMatrix, LineFaults,
    testing::Values(LineFault{"replies_in_random_pieces", {"--split", "--seed", "3"}},
                    LineFault{"junk_between_frames", {"--junk", "--seed", "4"}},
                    LineFault{"pieces_and_junk", {"--split", "--junk", "--seed", "5"}}),
    [](const testing::TestParamInfo<LineFault>& row) { return row.param.name; });

TEST_F(FaultMatrix, DroppedEchoStallsTheSessionAndProgramAgainCompletesIt) {
    Start({QStringLiteral("--drop-echo"), QStringLiteral("4")});
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    // The fourth block is sent and its echo never comes.
    ASSERT_TRUE(
        WaitUntil([&] { return unit->Errors().contains(QStringLiteral("dropping its echo")); }));
    EXPECT_FALSE(WaitUntil([&] { return BlocksProgrammed() > 4; }, 300));
    EXPECT_FALSE(Log().contains(QStringLiteral("Programming complete")));
    ASSERT_TRUE(ProgramAndWait());
    ExpectFlashHolds(firmware);
}

TEST_F(FaultMatrix, SilentUnitLeavesTheWindowWorkingAndIdle) {
    Start({QStringLiteral("--silent")});
    Button("cmdReBoot")->click();
    Button("cmdRetreiveGpsMessage")->click();
    const auto cpuBefore = CpuTime();
    EXPECT_FALSE(WaitForLog(QStringLiteral("Re-Boot Complete"), 1200));
    EXPECT_LT(CpuTime() - cpuBefore, std::chrono::milliseconds(300));
    EXPECT_EQ(Caption("lblTimeData"), QString());
    EXPECT_FALSE(Enabled("cmdFlashMode"));
    EXPECT_TRUE(Enabled("cmdSetTime"));
    EXPECT_EQ(Log(), QStringLiteral("Com port COM1 opened.Re-Boot Command Sent\r\n"));
}

TEST_F(FaultMatrix, HungUpLineIsPickedAgainAndProgrammingCompletes) {
    Start({QStringLiteral("--hang-up-after"), QStringLiteral("5")});
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    ASSERT_TRUE(WaitUntil([&] { return !port.IsOpen(); }, 5000));
    ASSERT_TRUE(unit->WaitReady(2)) << "the unit's line comes back";

    PickCom1Again();
    ASSERT_EQ(Log(), QStringLiteral("Com port COM1 opened."));
    ASSERT_TRUE(port.IsOpen());
    ASSERT_TRUE(Enabled("cmdProgram"));
    ASSERT_TRUE(ProgramAndWait());
    ExpectFlashHolds(firmware);
}

TEST_F(FaultMatrix, ProgramClickedDuringProgrammingFailsTheEraseAndAThirdClickCompletes) {
    // Paced, so that the session cannot complete between two looks at its address.
    Start({QStringLiteral("--baud"), QStringLiteral("460800")});
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    ASSERT_TRUE(WaitUntil([&] { return BlocksProgrammed() >= 10; }));
    Button("cmdProgram")->click();
    // The echo of the block in flight is not an erase result.
    ASSERT_TRUE(WaitForLog(QStringLiteral("Erase Flash memory failed\r\n")));
    ASSERT_TRUE(ProgramAndWait());
    ExpectFlashHolds(firmware);
}

}  // namespace
}  // namespace irig::test
