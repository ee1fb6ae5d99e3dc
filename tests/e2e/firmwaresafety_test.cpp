// What must never wipe, misplace or stall a unit's firmware, end to end with the simulated unit:
// linear address records, a file with nothing to program, controls clicked or a wheel turned while
// programming. (A line that vanishes mid-update is in the fault matrix.)
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
    // Program, then wait until the tenth block is on its way.
    void ProgramUntilUnderWay() {
        Button("cmdProgram")->click();
        ASSERT_TRUE(
            WaitUntil([&] { return window->Session().FlashAddress() >= 0x4000 + 10 * 128; }));
    }
};

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
    Start();
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
    Start();
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
