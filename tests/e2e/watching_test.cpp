// What the window works out from a real line, end to end with the simulated unit: the time an
// update has left on a 19200-baud line, a port that comes back by itself after a hang-up as it was
// left, and the unit's clock set on its second and measured. Only what a loaded machine cannot
// break is asserted here; how close each comes on a quiet one is the benchmarks' (bench_settime,
// bench_programming --wire, bench_monitor).
#include <QRegularExpression>

#include "link/protocol.h"

#include "support/endtoend.h"

namespace irig::test {
namespace {

// However slow the machine, the line is no faster than 19200 baud: the time left never promises
// less than the wire time of the blocks still to go, each sent and echoed.
TEST_F(EndToEnd, TimeLeftOfAnUpdateAt19200BaudIsNeverLessThanTheWireTimeLeft) {
    Start({QStringLiteral("--baud"), QStringLiteral("19200")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 64 * 128, 51);
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    for (const int share : {25, 50, 75}) {
        const qsizetype blocks = 65 * share / 100;
        ASSERT_TRUE(WaitUntil([&] { return BlocksProgrammed() > blocks; }, 30000));
        const qint64 left = 65 - BlocksProgrammed();
        EXPECT_GE(window->UpdateRemainingMs(), left * link::WireMilliseconds(2 * 128) * 9 / 10)
            << share << "% of the blocks, " << left << " left";
    }
    ASSERT_TRUE(WaitForLog(QStringLiteral("Programming complete"), 30000));
}

TEST_F(EndToEnd, APortThatComesBackIsOpenedAgainAsItWasLeft) {
    Start({QStringLiteral("--hang-up-after"), QStringLiteral("3")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x800, 52);
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    ASSERT_TRUE(WaitUntil([&] { return !port.IsOpen(); }, 5000));
    ASSERT_TRUE(unit->WaitReady(2)) << "the unit's line comes back";
    ASSERT_TRUE(WaitForLog(QStringLiteral("Com port COM1 opened.\r\n"), 10000));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(Log().contains(QStringLiteral("Error on port COM1 - port closed")))
        << "the record of what happened stays";
    // Back as it was before the loss: still in flash mode.
    for (const char* name : {"cmdRetreiveGpsMessage", "cmdReBoot", "cmdFlashExit", "cmdLoad"}) {
        EXPECT_TRUE(Enabled(name)) << name;
    }
    for (const char* name : {"cmdSetTime", "cmdSetOffset", "cmdRetreiveOffset"}) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
    EXPECT_FALSE(
        WaitUntil([&] { return unit->Errors().count(QStringLiteral("sim: erase")) > 1; }, 300))
        << "a failed update is not restarted";
}

TEST_F(EndToEnd, ExitOnALostPortKeepsTheClockButtonsDisabledUntilItIsBack) {
    Start({QStringLiteral("--hang-up-after"), QStringLiteral("3")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x800, 53);
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    ASSERT_TRUE(WaitUntil([&] { return !port.IsOpen(); }, 5000));
    Button("cmdFlashExit")->click();
    const char* const clockButtons[] = {"cmdSetTime", "cmdSetOffset", "cmdRetreiveOffset"};
    for (const char* name : clockButtons) {
        EXPECT_FALSE(Enabled(name)) << name << " while the port is closed";
    }
    ASSERT_TRUE(WaitForLog(QStringLiteral("Com port COM1 opened.\r\n"), 3000));
    for (const char* name : clockButtons) {
        EXPECT_TRUE(Enabled(name)) << name << " once it is back, as Exit left them";
    }
}

// How late each Set Time frame came, as the simulated unit says: "was 2 ms past it".
std::vector<int> SetTimeLags(const QString& unitLog) {
    static const QRegularExpression lag(
        QStringLiteral("was (-?\\d+) ms past it when the frame arrived"));
    std::vector<int> lags;
    for (QRegularExpressionMatchIterator it = lag.globalMatch(unitLog); it.hasNext();) {
        lags.push_back(it.next().captured(1).toInt());
    }
    return lags;
}

// The frame arrives within the second it names: never before it (1 ms for the rounding), and
// however loaded the machine, not a second late. How close to its start is bench_settime's.
TEST_F(EndToEnd, SetTimeArrivesWithinTheSecondItCarries) {
    Start({QStringLiteral("--baud"), QStringLiteral("19200")});
    Find<QTimer>("tmrDateTime")->stop();  // a poll on the line would delay the frame
    for (size_t attempt = 0; attempt < 2; ++attempt) {
        Button("cmdSetTime")->click();
        ASSERT_TRUE(WaitUntil([&] { return SetTimeLags(unit->Errors()).size() > attempt; }, 5000));
        const int lag = SetTimeLags(unit->Errors()).back();
        EXPECT_GE(lag, -1) << unit->Errors().toStdString();
        EXPECT_LT(lag, 1000) << unit->Errors().toStdString();
    }
    EXPECT_TRUE(window->StatusLineText().contains(QStringLiteral("set at ")))
        << window->StatusLineText().toStdString();
}

// How far the unit's clock is, as the status line says it: "unit +137 ms ±5 ms".
struct ShownOffset {
    int offsetMs = 0;
    int uncertaintyMs = -1;
};
ShownOffset UnitOffsetShown(const QString& statusLine) {
    static const QRegularExpression shown(QStringLiteral("unit ([+−]?)(\\d+) ms ±(\\d+) ms"));
    const QRegularExpressionMatch match = shown.match(statusLine);
    if (!match.hasMatch()) {
        return {};
    }
    const int size = match.captured(2).toInt();
    return {match.captured(1) == QStringLiteral("−") ? -size : size, match.captured(3).toInt()};
}

// Set Time, then the measurement that follows it: the unit was 2.5 s behind and is now as far
// from this computer's clock as the frame came late, which the interval shown holds (1 ms for the
// rounding of each). How narrow it gets on a quiet machine is bench_monitor's.
TEST_F(EndToEnd, TheStatusLineSaysHowFarTheUnitsClockIsAfterSetTime) {
    Start({QStringLiteral("--baud"), QStringLiteral("19200"), QStringLiteral("--clock-offset"),
           QStringLiteral("-2.5")});
    ASSERT_TRUE(WaitUntil([&] { return ShownClock().isValid(); }, 2000));
    Button("cmdSetTime")->click();
    ASSERT_TRUE(WaitUntil(
        [&] { return window->StatusLineText().contains(QStringLiteral("set at")); }, 2000));
    ASSERT_TRUE(WaitUntil(
        [&] { return UnitOffsetShown(window->StatusLineText()).uncertaintyMs >= 0; }, 30000))
        << window->StatusLineText().toStdString();
    const ShownOffset after = UnitOffsetShown(window->StatusLineText());
    ASSERT_EQ(SetTimeLags(unit->Errors()).size(), 1U) << unit->Errors().toStdString();
    EXPECT_LE(std::abs(after.offsetMs + SetTimeLags(unit->Errors()).front()),
              after.uncertaintyMs + 2)
        << unit->Errors().toStdString();
}

}  // namespace
}  // namespace irig::test
