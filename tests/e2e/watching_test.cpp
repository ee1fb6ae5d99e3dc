// What the window works out from a real line, end to end with the simulated unit: the time an
// update has left on a 19200-baud line, a port that comes back by itself after a hang-up as it was
// left, and the unit's clock set to the millisecond and measured.
#include <QElapsedTimer>
#include <QRegularExpression>

#include "support/endtoend.h"

namespace irig::test {
namespace {

TEST_F(EndToEnd, TimeLeftOfAnUpdateAt19200BaudIsWithinTenPercent) {
    Start({QStringLiteral("--baud"), QStringLiteral("19200")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 64 * 128, 51);
    LoadInFlashMode(firmware.path);
    QElapsedTimer clock;
    clock.start();
    Button("cmdProgram")->click();
    // At a quarter, a half and three quarters of the blocks: when, and the estimate.
    std::vector<std::pair<qint64, qint64>> estimates;
    for (const int share : {25, 50, 75}) {
        const qsizetype blocks = 65 * share / 100;
        ASSERT_TRUE(WaitUntil([&] { return BlocksProgrammed() > blocks; }, 30000));
        estimates.emplace_back(clock.elapsed(), window->UpdateRemainingMs());
    }
    ASSERT_TRUE(WaitForLog(QStringLiteral("Programming complete"), 30000));
    const qint64 end = clock.elapsed();
    for (const auto& [at, estimate] : estimates) {
        const double actual = static_cast<double>(end - at);
        EXPECT_NEAR(static_cast<double>(estimate), actual, 0.1 * actual) << "at " << at << " ms";
    }
}

TEST_F(EndToEnd, APortThatComesBackIsOpenedAgainWithinTwoSeconds) {
    Start({QStringLiteral("--hang-up-after"), QStringLiteral("3")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x800, 52);
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    ASSERT_TRUE(WaitUntil([&] { return !port.IsOpen(); }, 5000));
    ASSERT_TRUE(unit->WaitReady(2)) << "the unit's line comes back";
    QElapsedTimer back;
    back.start();
    ASSERT_TRUE(WaitForLog(QStringLiteral("Com port COM1 opened.\r\n"), 3000));
    EXPECT_LT(back.elapsed(), 2000);
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

TEST_F(EndToEnd, SetTimeArrivesAsTheSecondItCarriesBegins) {
    Start({QStringLiteral("--baud"), QStringLiteral("19200")});
    Find<QTimer>("tmrDateTime")->stop();  // a poll on the line would delay the frame
    for (int attempt = 0; attempt < 3; ++attempt) {
        Button("cmdSetTime")->click();
        const QRegularExpression lag(
            QStringLiteral("was (-?\\d+) ms past it when the frame arrived"));
        QRegularExpressionMatch match;
        ASSERT_TRUE(WaitUntil(
            [&] {
                const QRegularExpressionMatchIterator all = lag.globalMatch(unit->Errors());
                int seen = 0;
                for (auto it = all; it.hasNext(); ++seen) {
                    match = it.next();
                }
                return seen > attempt;
            },
            3000));
        EXPECT_LE(std::abs(match.captured(1).toInt()), 20) << unit->Errors().toStdString();
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

// Set Time, then the measurement that follows it: the unit was 2.5 s behind and is now on time,
// to the few milliseconds the sim reports as its lag.
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
    EXPECT_LE(std::abs(after.offsetMs), after.uncertaintyMs + 20) << unit->Errors().toStdString();
    EXPECT_LE(after.uncertaintyMs, 10);
}

}  // namespace
}  // namespace irig::test
