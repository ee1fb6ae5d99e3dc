// The whole program end to end: the real window offscreen, the real serial component, a
// pseudo-terminal and the simulated unit as a separate process.
#include <sys/resource.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>
#include <chrono>

#include "link/serialportcontroller.h"
#include "support/firmwarefile.h"
#include "support/portmapfolder.h"
#include "support/simulatedunit.h"
#include "support/wait.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

std::chrono::milliseconds CpuTime() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec));
}

class EndToEnd : public WindowAccess {
protected:
    EndToEnd() { QLocale::setDefault(QLocale::c()); }
    ~EndToEnd() override {
        window.reset();
        if (HasFailure() && unit) {
            std::fprintf(stderr, "simulated unit said:\n%s\n", qPrintable(unit->Errors()));
        }
        QLocale::setDefault(QLocale::system());
    }

    // A simulated unit on COM1, then the window, which opens COM1 as it starts.
    void Start(const QStringList& options = {}) {
        unit = std::make_unique<SimulatedUnit>(
            ports.Entry(QStringLiteral("COM1")), dir.filePath(QStringLiteral("flash.bin")),
            QStringList{QStringLiteral("--reboot-ms"), QStringLiteral("100")} + options);
        ASSERT_TRUE(unit->WaitReady()) << qPrintable(unit->Errors());
        window = std::make_unique<shell::IRIG>(port);
        window->show();
        ASSERT_EQ(Log(), QStringLiteral("Com port COM1 opened."));
    }
    bool WaitForLog(const QString& text, int timeoutMs = 10000) {
        return WaitUntil([&] { return Log().contains(text); }, timeoutMs);
    }
    // The unit's clock as the window shows it.
    QDateTime ShownClock() const {
        return QDateTime(QDate::fromString(Caption("lblDateData"), QStringLiteral("MM/dd/yyyy")),
                         QTime::fromString(Caption("lblTimeData"), QStringLiteral("HH:mm:ss")));
    }
    // Re-Boot, Flash Mode and Load, as an operator does it.
    void LoadInFlashMode(const QString& path) {
        Button("cmdReBoot")->click();
        ASSERT_TRUE(WaitForLog(QStringLiteral("Re-Boot Complete")));
        Button("cmdFlashMode")->click();
        ASSERT_TRUE(WaitForLog(QStringLiteral("Entering Flash Programming Mode")));
        window->SetFlashFileChooser([path] { return path; });
        Button("cmdLoad")->click();
        ASSERT_TRUE(Log().contains(QStringLiteral("No errors"))) << Log().toStdString();
        ASSERT_TRUE(Enabled("cmdProgram"));
    }
    bool ProgramAndWait(int timeoutMs = 60000) {
        Button("cmdProgram")->click();
        return WaitForLog(QStringLiteral("Programming complete"), timeoutMs);
    }
    // The unit's flash holds the firmware at 0x4000, and erased flash where no block went.
    void ExpectFlashHolds(const FirmwareFile& firmware) {
        const QByteArray flash = unit->Flash();
        ASSERT_EQ(flash.size(), 0x20080);
        EXPECT_TRUE(flash.mid(0x4000, firmware.bytes.size()) == firmware.bytes);
        EXPECT_EQ(flash.mid(0x4000 + firmware.bytes.size()),
                  QByteArray(0x1C080 - firmware.bytes.size(), '\xFF'));
    }

    TempPortMap ports;
    QTemporaryDir dir;
    link::SerialPortController port;
    std::unique_ptr<SimulatedUnit> unit;
};

TEST_F(EndToEnd, StatusShowsTheUnitWithinASecondOfStartUp) {
    Start({QStringLiteral("--source"), QStringLiteral("irig"), QStringLiteral("--version"),
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
        [&] { return std::abs(ShownClock().secsTo(QDateTime::currentDateTime())) <= 1; }, 2000))
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
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x6000 + 77, 5);
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
}

TEST_F(EndToEnd, CorruptedEchoStallsTheSessionUntilProgramIsClickedAgain) {
    Start({QStringLiteral("--corrupt-echo"), QStringLiteral("3")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x1000, 6);
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    // The corrupted echo of the third block has arrived and changed nothing.
    ASSERT_TRUE(WaitUntil([&] {
        return window->Session().lngFlashAddress == 0x4180 &&
               window->Receiver().strRxData.size() == 132 &&
               window->Receiver().strRxData != window->Session().strFlashBlock;
    }));
    EXPECT_FALSE(Log().contains(QStringLiteral("Programming complete")));
    EXPECT_EQ(window->FlashState(), 4);
    ASSERT_TRUE(ProgramAndWait());
    ExpectFlashHolds(firmware);
}

TEST_F(EndToEnd, FailedEraseIsReportedAndProgramAgainSucceeds) {
    Start({QStringLiteral("--fail-erase"), QStringLiteral("1")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x800, 7);
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    ASSERT_TRUE(WaitForLog(QStringLiteral("Erase Flash memory failed\r\n")));
    EXPECT_EQ(window->FlashState(), 0);
    ASSERT_TRUE(ProgramAndWait());
    ExpectFlashHolds(firmware);
}

TEST_F(EndToEnd, HangUpMidProgrammingLeavesTheWindowWorkingAndIdle) {
    Start({QStringLiteral("--hang-up-after"), QStringLiteral("5")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x1000, 8);
    LoadInFlashMode(firmware.path);
    Button("cmdProgram")->click();
    ASSERT_TRUE(WaitUntil([&] { return !port.IsOpen(); }, 5000));

    const auto cpuBefore = CpuTime();
    QTest::qWait(1000);
    EXPECT_LT(CpuTime() - cpuBefore, std::chrono::milliseconds(200))
        << "a busy loop after the hang-up";
    EXPECT_FALSE(Log().contains(QStringLiteral("Programming complete")));
    Button("cmdReBoot")->click();  // sends into the void, harmlessly
    EXPECT_TRUE(Log().endsWith(QStringLiteral("Re-Boot Command Sent\r\n")));
}

}  // namespace
}  // namespace irig::test
