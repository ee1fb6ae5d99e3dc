// What must never wipe, misplace or stall a unit's firmware, end to end with the simulated unit:
// Exit during a session, Flash Mode that the unit never answers, linear address records, a file
// with nothing to program, controls clicked or a wheel turned while programming. (A line that
// vanishes mid-update is in the fault matrix.)
#include <QComboBox>
#include <QTest>
#include <QWheelEvent>

#include "support/endtoend.h"
#include "support/firmwarefile.h"
#include "support/hexrecords.h"

namespace irig::test {
namespace {

class FirmwareSafety : public EndToEnd {
protected:
    QString Write(const QString& name, const QByteArray& content) {
        return WriteFile(dir.filePath(name), content);
    }
    void Load(const QString& path) {
        window->SetFlashFileChooser([path] { return path; });
        Button("cmdLoad")->click();
    }
    // A unit on a paced line, so that no session completes between two looks at its blocks.
    void StartPaced() { Start({QStringLiteral("--baud"), QStringLiteral("460800")}); }
    // Program, then wait until the tenth block is on its way.
    void ProgramUntilUnderWay() {
        Button("cmdProgram")->click();
        ASSERT_TRUE(WaitUntil([&] { return BlocksProgrammed() >= 10; }));
    }
};

class ExitDuringASession : public FirmwareSafety, public testing::WithParamInterface<bool> {};

// After Exit only the re-boot and, once the unit is back, the status poll reach the unit; its
// update cut short, the unit stays in its boot loader and ignores the poll.
TEST_P(ExitDuringASession, SendsNoBlockAfterTheReBoot) {
    StartPaced();
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x2000, 26);
    LoadInFlashMode(firmware.path);
    if (GetParam()) {
        ProgramUntilUnderWay();
    } else {
        Button("cmdProgram")->click();  // Program and Exit in one burst
    }
    Button("cmdFlashExit")->click();
    const QString exited = QStringLiteral("Exiting Flash Program Mode");
    const QString poll = QStringLiteral("sim: ignored frame 224 (flash mode): 01 ");
    auto afterExit = [&] { return unit->Errors().section(QStringLiteral("sim: re-boot\n"), -1); };
    ASSERT_TRUE(WaitUntil([&] { return afterExit().contains(poll); }));
    for (const QString& line : afterExit().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        EXPECT_TRUE(line.endsWith(QLatin1String("re-boot complete: the image is incomplete, the "
                                                "boot loader stays in flash mode")) ||
                    line.endsWith(poll) ||
                    line.endsWith(QLatin1String("re-booting: ignored frame 224: 01 ")))
            << line.toStdString();
    }
    const QString logAfterExit = Log().mid(Log().lastIndexOf(exited));
    EXPECT_FALSE(logAfterExit.contains(QStringLiteral("Programming flash memory")));
    EXPECT_FALSE(logAfterExit.contains(QStringLiteral("Erase Flash memory")));
}

INSTANTIATE_TEST_SUITE_P(FirmwareSafety, ExitDuringASession, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& row) {
                             return row.param ? "with_a_block_in_flight" : "in_one_burst";
                         });

TEST_F(FirmwareSafety, FlashModeWithoutAnAnswerGreysTheClockAndAPickPollsAgain) {
    Start({QStringLiteral("--refuse-flash-mode")});
    ASSERT_TRUE(WaitUntil([&] { return Caption("lblSourceData") == QStringLiteral("GPS"); }));
    Button("cmdReBoot")->click();
    ASSERT_TRUE(WaitForLog(QStringLiteral("Re-Boot Complete")));
    Button("cmdFlashMode")->click();
    auto live = [&] { return Find<QWidget>("lblTimeData")->isEnabled(); };
    ASSERT_TRUE(WaitUntil([&] { return !live(); }, 3000)) << "greyed once 1.5 s pass unanswered";
    EXPECT_FALSE(Enabled("cmdFlashExit"));
    PickCom1Again();
    EXPECT_TRUE(WaitUntil(live, 3000)) << "polling again";
}

TEST_F(FirmwareSafety, ImageWithLinearAddressRecordsLandsAtItsAddress) {
    Start();
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x3000 + 5, 21, 0x10000);
    ASSERT_FALSE(firmware.path.isEmpty());
    QFile segmented(firmware.path);
    ASSERT_TRUE(segmented.open(QIODevice::ReadOnly));
    const QString linear =
        Write(QStringLiteral("linear.hex"), WithLinearAddressRecords(segmented.readAll()));
    LoadInFlashMode(linear);
    ASSERT_TRUE(ProgramAndWait());
    ExpectFlashHolds(firmware, 0x10000);
}

TEST_F(FirmwareSafety, FileWithNothingToProgramLeavesTheUnitsFirmwareAlone) {
    Start();
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x800, 22);
    LoadInFlashMode(firmware.path);
    ASSERT_TRUE(ProgramAndWait());

    // Built for base 0: all its data lies below 0x4000.
    const FirmwareFile wrongBase = MakeFirmwareFile(dir.path(), 0x800, 23, 0x0);
    Load(wrongBase.path);
    EXPECT_TRUE(Log().contains(QStringLiteral("Nothing to program - no data from 0x4000 up")));
    EXPECT_FALSE(Enabled("cmdProgram"));
    Button("cmdProgram")->click();
    QTest::qWait(200);
    ExpectFlashHolds(firmware);
}

TEST_F(FirmwareSafety, ClicksOnOtherControlsDuringProgrammingReachNeitherUnitNorPort) {
    StartPaced();
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x2000, 24);
    LoadInFlashMode(firmware.path);
    ProgramUntilUnderWay();
    for (const char* name : {"cmdRetreiveGpsMessage", "cmdReBoot", "cmdFlashMode"}) {
        QTest::mouseClick(Button(name), Qt::LeftButton);
    }
    QTest::mouseClick(Find<QWidget>("cmbComPort"), Qt::LeftButton);
    ASSERT_TRUE(WaitForLog(QStringLiteral("Programming complete")));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(unit->Errors().count(QStringLiteral("sim: re-boot\n")), 1)
        << "before flash mode only";
    EXPECT_FALSE(unit->Errors().contains(QStringLiteral("ignored frame")));
    ExpectFlashHolds(firmware);
}

TEST_F(FirmwareSafety, WheelOverThePortListDuringProgrammingChangesNothing) {
    StartPaced();
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x2000, 25);
    LoadInFlashMode(firmware.path);
    ProgramUntilUnderWay();
    auto* list = Find<QComboBox>("cmbComPort");
    const QPointF at(list->width() / 2.0, list->height() / 2.0);
    for (int notches : {1, -1}) {
        QWheelEvent wheel(at, list->mapToGlobal(at), QPoint(), QPoint(0, -120 * notches),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(list, &wheel);
    }
    ASSERT_TRUE(WaitForLog(QStringLiteral("Programming complete")));
    EXPECT_EQ(list->currentText(), QStringLiteral("COM1"));
    EXPECT_TRUE(port.IsOpen());
    ExpectFlashHolds(firmware);
}

}  // namespace
}  // namespace irig::test
