// The whole program end to end: the real window offscreen, the real serial component, a
// pseudo-terminal and the simulated unit as a separate process.
#include <QCheckBox>
#include <QRegularExpression>
#include <QTest>

#include "support/endtoend.h"

namespace irig::test {
namespace {

TEST_F(EndToEnd, StatusShowsTheUnitWithinASecondOfStartUp) {
    Start({QStringLiteral("--source"), QStringLiteral("irig"), QStringLiteral("--firmware"),
           QStringLiteral("31")});
    ASSERT_TRUE(WaitUntil([&] { return !Caption("lblTimeData").isEmpty(); }, 1000));
    EXPECT_EQ(Caption("lblSourceData"), QStringLiteral("IRIG-B"));
    EXPECT_EQ(Caption("lblVersionNumber"), QStringLiteral("3.1"));
    EXPECT_LE(std::abs(ShownClock().secsTo(QDateTime::currentDateTime())), 2);
}

TEST_F(EndToEnd, SetTimeBringsTheUnitsClockToTheComputers) {
    Start({QStringLiteral("--clock-offset"), QStringLiteral("-100000")});
    ASSERT_TRUE(WaitUntil([&] { return ShownClock().isValid(); }, 2000));
    ASSERT_GT(std::abs(ShownClock().secsTo(QDateTime::currentDateTime())), 99000);
    Button("cmdSetTime")->click();
    EXPECT_TRUE(WaitUntil(
        [&] { return std::abs(ShownClock().secsTo(QDateTime::currentDateTime())) <= 1; }, 3000))
        << Caption("lblDateData").toStdString() << ' ' << Caption("lblTimeData").toStdString();
}

TEST_F(EndToEnd, OffsetsAndTheFlagAreSetAndReadBack) {
    Start();
    Find<QLineEdit>("txtIrigOffset")->setText(QStringLiteral("-5"));
    Find<QLineEdit>("txtGpsOffset")->setText(QStringLiteral("99"));
    Find<QCheckBox>("chkIEEE1344")->setChecked(true);
    Button("cmdSetOffset")->click();
    ASSERT_TRUE(WaitUntil(
        [&] { return Find<QLineEdit>("txtGpsOffset")->text() == QStringLiteral(" 23"); }));
    EXPECT_EQ(Find<QLineEdit>("txtIrigOffset")->text(), QStringLiteral("-5"));

    Find<QLineEdit>("txtIrigOffset")->clear();
    Find<QLineEdit>("txtGpsOffset")->clear();
    Find<QCheckBox>("chkIEEE1344")->setChecked(false);
    Button("cmdRetreiveOffset")->click();
    ASSERT_TRUE(WaitUntil([&] { return Find<QCheckBox>("chkIEEE1344")->isChecked(); }));
    EXPECT_EQ(Find<QLineEdit>("txtIrigOffset")->text(), QStringLiteral("-5"));
    EXPECT_EQ(Find<QLineEdit>("txtGpsOffset")->text(), QStringLiteral(" 23"));
}

TEST_F(EndToEnd, GpsMessage) {
    Start(
        {QStringLiteral("--gps-message"), QStringLiteral("$GPGGA,123519,4807.038,N,01131.000,E")});
    Button("cmdRetreiveGpsMessage")->click();
    EXPECT_TRUE(WaitUntil([&] {
        return Find<shell::TextBox>("txtGpsMessage")->text() ==
               QStringLiteral("$GPGGA,123519,4807.038,N,01131.000,E");
    }));
}

TEST_F(EndToEnd, CompleteFirmwareUpdate) {
    Start();
    const FirmwareFile firmware =
        MakeFirmwareFile(dir.path(), 0x6000 + 77, 5, 0x4000, "IRIG-B unit 2.4");
    ASSERT_FALSE(firmware.path.isEmpty());
    LoadInFlashMode(firmware.path);
    ASSERT_TRUE(ProgramAndWait());
    ExpectFlashHolds(firmware);

    Button("cmdFlashExit")->click();
    ASSERT_TRUE(
        WaitForLog(QStringLiteral("Exiting Flash Program Mode\r\nRe-Boot Command Sent\r\n")));
    Find<QLabel>("lblTimeData")->clear();
    EXPECT_TRUE(WaitUntil([&] { return !Caption("lblTimeData").isEmpty(); }, 3000))
        << "the poll resumes";
    EXPECT_TRUE(WaitForLog(QStringLiteral("Unit answers version 2.4\r\n")));
}

TEST_F(EndToEnd, CorruptedEchoStallsTheSessionUntilProgramIsClickedAgain) {
    Start({QStringLiteral("--corrupt-echo"), QStringLiteral("3")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x1000, 6);
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    // The corrupted echo of the third block has come, and nothing has moved since.
    ASSERT_TRUE(WaitUntil([&] { return unit->Errors().contains(QStringLiteral("corrupting")); }));
    EXPECT_FALSE(WaitUntil([&] { return BlocksProgrammed() > 3; }, 300));
    EXPECT_FALSE(Log().contains(QStringLiteral("Programming complete")));
    ASSERT_TRUE(ProgramAndWait());
    ExpectFlashHolds(firmware);
}

TEST_F(EndToEnd, FailedEraseIsReportedAndProgramAgainSucceeds) {
    Start({QStringLiteral("--fail-erase"), QStringLiteral("1")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x800, 7);
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    ASSERT_TRUE(WaitForLog(QStringLiteral("Erase Flash memory failed\r\n")));
    ASSERT_TRUE(ProgramAndWait());
    ExpectFlashHolds(firmware);
}

TEST_F(EndToEnd, HangUpMidProgrammingIsShownAndEndsTheSessionAsAFailure) {
    Start({QStringLiteral("--hang-up-after"), QStringLiteral("5")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x1000, 8);
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    ASSERT_TRUE(WaitUntil([&] { return !port.IsOpen(); }, 5000));
    // The component's words for the reason depend on how the system reports the hang-up.
    EXPECT_TRUE(
        QRegularExpression(QStringLiteral("Error on port COM1 - port closed \\(the [a-z -]+\\)\r\n"
                                          "Programming failed - pick the port again and press "
                                          "Program\r\n$"))
            .match(Log())
            .hasMatch())
        << Log().toStdString();
    for (const char* name : {"cmdSetTime", "cmdSetOffset", "cmdRetreiveOffset",
                             "cmdRetreiveGpsMessage", "cmdReBoot"}) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
    EXPECT_TRUE(Enabled("cmdProgram"));
    EXPECT_TRUE(Find<QWidget>("cmbComPort")->isEnabled());

    const auto cpuBefore = CpuTime();
    QTest::qWait(1000);
    EXPECT_LT(CpuTime() - cpuBefore, std::chrono::milliseconds(200))
        << "a busy loop after the hang-up";
    EXPECT_FALSE(Log().contains(QStringLiteral("Programming complete")));
}

}  // namespace
}  // namespace irig::test
