#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>

#include "link/framecodec.h"
#include "support/bytes.h"
#include "support/firmwarefile.h"
#include "support/hexrecords.h"
#include "support/wait.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

class Firmware : public WindowTest {
protected:
    QString WriteFile(const QByteArray& content) {
        return irig::test::WriteFile(dir.filePath(QStringLiteral("firmware%1.hex").arg(files++)),
                                     content);
    }
    void Load(const QString& path) {
        window->SetFlashFileChooser([path] { return path; });
        Button("cmdLoad")->click();
    }
    void EnterFlashMode() {
        Receive(Bytes("80 F0"));
        Button("cmdFlashMode")->click();
        Receive(Bytes("80 F1"));
    }
    // Flash mode with a sound file whose data ends at `lastData`.
    void LoadImageEndingAt(int32_t lastData, uint8_t value = 0x00) {
        EnterFlashMode();
        const uint16_t segment = static_cast<uint16_t>((lastData >> 4) & 0xF000);
        Load(WriteFile(
            SegmentRecord(segment) + "\r\n" +
            DataRecord(static_cast<uint16_t>(lastData - segment * 16), QByteArray(1, char(value))) +
            "\r\n"));
        ASSERT_TRUE(Enabled("cmdProgram")) << Log().toStdString();
    }
    void EraseSucceeds() { Receive(Bytes("80 F2 FF 80 F3")); }
    void EchoLastFrame() { Receive(port.sent.last()); }
    // The block frames sent so far.
    qsizetype BlocksSent() const {
        return std::count_if(port.sent.cbegin(), port.sent.cend(), [](const QByteArray& frame) {
            return frame.startsWith(Bytes("80 F6"));
        });
    }
    // Program with the image as it is: the first data byte of the first block sent.
    uint8_t FirstByteProgrammed() {
        Button("cmdProgram")->click();
        EraseSucceeds();
        return static_cast<uint8_t>(port.sent.last().at(6));  // 80 F6, address 00 40 00 00
    }
    // Program, erase and echo every block; returns the number of blocks sent.
    int ProgramAll() {
        Button("cmdProgram")->click();
        port.sent.clear();
        EraseSucceeds();
        int blocks = 0;
        while (!Log().endsWith(QStringLiteral("Programming complete\r\n")) && blocks < 2000) {
            ++blocks;
            EchoLastFrame();
        }
        return blocks;
    }
    QProgressBar* Bar() const { return Find<QProgressBar>("prbProgram"); }

    QTemporaryDir dir;
    int files = 0;
};

TEST_F(Firmware, ReBootAndFlashModeLogSendAndChangeNoButton) {
    port.sent.clear();
    Button("cmdReBoot")->click();
    EXPECT_EQ(port.sent, QList<QByteArray>{Bytes("80 F0")});
    EXPECT_TRUE(Log().endsWith(QStringLiteral("opened.Re-Boot Command Sent\r\n")));
    EXPECT_FALSE(Enabled("cmdFlashMode"));  // only the unit's answer enables it

    Receive(Bytes("80 F0"));
    ASSERT_TRUE(Enabled("cmdFlashMode"));
    port.sent.clear();
    Button("cmdFlashMode")->click();
    EXPECT_EQ(port.sent, QList<QByteArray>{Bytes("80 F1")});
    EXPECT_TRUE(Log().endsWith(QStringLiteral("Re-Boot Complete\r\nFlash Mode Command Sent\r\n")));
    EXPECT_FALSE(Find<QTimer>("tmrDateTime")->isActive());
    EXPECT_FALSE(Enabled("cmdLoad"));
    EXPECT_TRUE(Enabled("cmdSetTime"));
}

TEST_F(Firmware, LoadWritesItsMessagesAndShowsTheProgramId) {
    EnterFlashMode();
    const QString path =
        WriteFile(Lines({DataRecord(0x4168, QByteArray("UNIT-7\0", 7)), EndRecord()}));
    Load(path);
    EXPECT_EQ(Log(), QStringLiteral("Initalizing flash image\r\nOpening ") + path +
                         QStringLiteral("\r\nReading flash data\r\nLoaded  7 bytes -  No errors\r\n"
                                        "Closing flash data file\r\nProgram ID: UNIT-7"));
    EXPECT_TRUE(Enabled("cmdProgram"));
    EXPECT_TRUE(Enabled("cmdLoad"));
    Button("cmdFlashExit")->click();  // the next message continues the program ID's line
    EXPECT_TRUE(Log().endsWith(QStringLiteral(
        "Program ID: UNIT-7Exiting Flash Program Mode\r\nRe-Boot Command Sent\r\n")));
}

TEST_F(Firmware, FileWithNothingToProgramLeavesProgramDisabled) {
    LoadImageEndingAt(0x4000);
    Load(WriteFile(Lines({DataRecord(0x0100, QByteArray(16, 'A'))})));
    EXPECT_TRUE(Log().contains(QStringLiteral("Nothing to program - no data from 0x4000 up\r\n")));
    EXPECT_FALSE(Enabled("cmdProgram"));
    EXPECT_TRUE(Enabled("cmdLoad"));
}

TEST_F(Firmware, FaultyFileDisablesProgram) {
    LoadImageEndingAt(0x4000);
    Load(WriteFile("garbage\r\n"));
    EXPECT_TRUE(
        Log().contains(QStringLiteral("Length error - Line  1\r\nFlash file load error\r\n")));
    EXPECT_FALSE(Enabled("cmdProgram"));
}

TEST_F(Firmware, FirstAndSecondBlockFramesEscapeAddressAndData) {
    EnterFlashMode();
    QByteArray data;
    for (int i = 0; i < 256; ++i) {
        data.append(static_cast<char>(i ^ 0x5A));  // 0x80 appears once in each block
    }
    Load(WriteFile(Lines({DataRecord(0x4000, data.left(128)), DataRecord(0x4080, data.mid(128))})));
    Button("cmdProgram")->click();
    EXPECT_EQ(port.sent.last(), Bytes("80 F2 55 AA 80 F3"));
    EraseSucceeds();
    EXPECT_EQ(port.sent.last(),
              Bytes("80 F6 00 40 00 00") + link::EscapeBytes(data.left(128)) + Bytes("80 F7"));
    EchoLastFrame();
    EXPECT_EQ(port.sent.last(),
              Bytes("80 F6 80 80 40 00 00") + link::EscapeBytes(data.mid(128)) + Bytes("80 F7"));
    EXPECT_TRUE(port.sent.last().startsWith(Bytes("80 F6 80 80 40 00 00")));
}

struct EndRow {
    int32_t lastData;
    int blocks;
};

class BlockCount : public Firmware, public testing::WithParamInterface<EndRow> {};

TEST_P(BlockCount, FollowsTheLastDataByte) {
    LoadImageEndingAt(GetParam().lastData);
    EXPECT_EQ(ProgramAll(), GetParam().blocks);
}

INSTANTIATE_TEST_SUITE_P(Firmware, BlockCount,
                         testing::Values(EndRow{0x4000, 1}, EndRow{0x4001, 2}, EndRow{0x4080, 2},
                                         EndRow{0x4081, 3}, EndRow{0x20000, 897}));

TEST_F(Firmware, ReplySplitAtEveryPositionStillProgramsEveryBlock) {
    // One block per split position of an echo frame (137 to 139 bytes: a few 0x80 escaped).
    LoadImageEndingAt(0x4000 + 140 * 128);
    Button("cmdProgram")->click();
    const QByteArray erased = Bytes("80 F2 FF 80 F3");
    Receive(erased.left(3));
    Receive(erased.mid(3));
    for (qsizetype cut = 0; !Log().endsWith(QStringLiteral("Programming complete\r\n")); ++cut) {
        ASSERT_LT(cut, 200);
        const QByteArray echo = port.sent.last();
        const qsizetype at = cut % (echo.size() + 1);
        Receive(echo.left(at));
        Receive(echo.mid(at));
    }
    EXPECT_EQ(BlocksSent(), 141);
}

TEST_F(Firmware, TopBlockCarriesTheByteAt0x20000) {
    LoadImageEndingAt(0x20000, 0x5C);
    ProgramAll();
    const QByteArray top = Bytes("00 00 02 00 5C") + QByteArray(127, '\xFF');
    EXPECT_EQ(port.sent.last(), link::Frame(link::code::kStartBlock, top));
}

TEST_F(Firmware, ProgressMovesWithEachEchoAndCompletionHidesTheBar) {
    LoadImageEndingAt(0x4F80);  // the session's end is 0x5000
    Button("cmdProgram")->click();
    EXPECT_TRUE(Bar()->isVisibleTo(window.get()));
    EXPECT_EQ(Bar()->value(), 0);
    EraseSucceeds();
    EchoLastFrame();
    EXPECT_EQ(window->ProgressValue(), 3.125f);
    EXPECT_TRUE(WaitUntil([&] { return Bar()->value() == 3; }, 1000)) << Bar()->value();
    for (int i = 0; i < 30; ++i) {
        EchoLastFrame();
    }
    EXPECT_EQ(window->ProgressValue(), 96.875f);
    EXPECT_TRUE(WaitUntil([&] { return Bar()->value() == 96; }, 1000)) << Bar()->value();
    EchoLastFrame();
    EXPECT_TRUE(Log().endsWith(QStringLiteral("Programming complete\r\n")));
    EXPECT_FALSE(Bar()->isVisibleTo(window.get()));
    EXPECT_EQ(Bar()->value(), 96);
    EchoLastFrame();
    EXPECT_TRUE(Log().endsWith(QStringLiteral("Programming complete\r\nProgramming complete\r\n")));
}

TEST_F(Firmware, FailedEraseLogsReturnsToIdleAndLeavesTheBarAtZero) {
    LoadImageEndingAt(0x5000);
    Button("cmdProgram")->click();
    const QString before = Log();
    Receive(Bytes("80 F2 00 80 F3"));
    EXPECT_EQ(Log(), before + QStringLiteral("Erase Flash memory failed\r\n"));
    port.sent.clear();
    EraseSucceeds();  // back to idle: a late erase result starts nothing
    EXPECT_TRUE(port.sent.isEmpty());
    EXPECT_TRUE(Bar()->isVisibleTo(window.get()));
    EXPECT_EQ(Bar()->value(), 0);
    EXPECT_TRUE(Enabled("cmdLoad"));
    EXPECT_TRUE(Enabled("cmdProgram"));
}

TEST_F(Firmware, MismatchedEchoIsIgnoredAndProgramStartsOver) {
    LoadImageEndingAt(0x5000);
    Button("cmdProgram")->click();
    EraseSucceeds();
    QByteArray wrong = port.sent.last();
    wrong[10] = static_cast<char>(wrong[10] ^ 0x01);
    port.sent.clear();
    Receive(wrong);
    EXPECT_TRUE(port.sent.isEmpty());

    Button("cmdProgram")->click();
    EXPECT_EQ(port.sent.last(), Bytes("80 F2 55 AA 80 F3"));
    EraseSucceeds();
    EXPECT_TRUE(port.sent.last().startsWith(Bytes("80 F6 00 40 00 00"))) << "from the start";
}

TEST_F(Firmware, ExitLogsTwoLinesRestoresTheClockButtonsAndThePoll) {
    LoadImageEndingAt(0x5000);
    Button("cmdProgram")->click();
    EraseSucceeds();
    const QByteArray inFlight = port.sent.last();
    const QString before = Log();
    port.sent.clear();
    Button("cmdFlashExit")->click();
    EXPECT_EQ(Log(),
              before + QStringLiteral("Exiting Flash Program Mode\r\nRe-Boot Command Sent\r\n"));
    EXPECT_EQ(port.sent, QList<QByteArray>{Bytes("80 F0")});
    for (const char* name : {"cmdFlashMode", "cmdLoad", "cmdProgram", "cmdFlashExit"}) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
    for (const char* name : {"cmdSetTime", "cmdSetOffset", "cmdRetreiveOffset"}) {
        EXPECT_TRUE(Enabled(name)) << name;
    }
    EXPECT_TRUE(Find<QTimer>("tmrDateTime")->isActive());
    EXPECT_TRUE(Bar()->isVisibleTo(window.get()));
    // The session ended before the re-boot: the echo of the block in flight sends nothing.
    port.sent.clear();
    Receive(inFlight);
    EXPECT_TRUE(port.sent.isEmpty());
}

TEST_F(Firmware, LoadStaysDisabledFromProgramToTheSessionsEnd) {
    LoadImageEndingAt(0x4080);
    Button("cmdProgram")->click();
    EXPECT_FALSE(Enabled("cmdLoad"));
    EXPECT_TRUE(Enabled("cmdProgram"));
    Receive(Bytes("80 F1"));  // the unit repeating its flash-mode code changes nothing
    EXPECT_FALSE(Enabled("cmdLoad"));
    EraseSucceeds();
    EchoLastFrame();
    EXPECT_FALSE(Enabled("cmdLoad"));
    EchoLastFrame();
    ASSERT_TRUE(Log().endsWith(QStringLiteral("Programming complete\r\n")));
    EXPECT_TRUE(Enabled("cmdLoad"));

    Button("cmdProgram")->click();
    EXPECT_FALSE(Enabled("cmdLoad"));
    Receive(Bytes("80 F2 00 80 F3"));
    EXPECT_TRUE(Enabled("cmdLoad"));
}

// Controls that would send to the unit or close the port mid-session.
const char* const kHeldDuringASession[] = {"cmdReBoot", "cmdRetreiveGpsMessage", "cmdFlashMode",
                                           "cmdLoad", "cmbComPort"};

TEST_F(Firmware, OnlyProgramAndExitStayUsableWhileASessionRuns) {
    LoadImageEndingAt(0x4080);
    ASSERT_TRUE(Enabled("cmdFlashMode"));
    Button("cmdProgram")->click();
    Receive(Bytes("80 F0"));  // a re-boot code mid-session is logged, its button stays held
    for (const char* name : kHeldDuringASession) {
        EXPECT_FALSE(Find<QWidget>(name)->isEnabled()) << name;
    }
    for (const char* name : {"cmdSetTime", "cmdSetOffset", "cmdRetreiveOffset"}) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
    EXPECT_TRUE(Enabled("cmdProgram"));
    EXPECT_TRUE(Enabled("cmdFlashExit"));

    EraseSucceeds();
    EchoLastFrame();
    EchoLastFrame();
    ASSERT_TRUE(Log().endsWith(QStringLiteral("Programming complete\r\n")));
    for (const char* name : kHeldDuringASession) {
        EXPECT_TRUE(Find<QWidget>(name)->isEnabled()) << name;
    }
    for (const char* name : {"cmdSetTime", "cmdSetOffset", "cmdRetreiveOffset"}) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
}

TEST_F(Firmware, AFailedEraseOrExitEndsTheHold) {
    LoadImageEndingAt(0x4080);
    Button("cmdProgram")->click();
    Receive(Bytes("80 F2 00 80 F3"));
    EXPECT_TRUE(Enabled("cmdReBoot"));
    EXPECT_TRUE(Enabled("cmdRetreiveGpsMessage"));

    Button("cmdProgram")->click();
    ASSERT_FALSE(Enabled("cmdReBoot"));
    Button("cmdFlashExit")->click();
    for (const char* name : {"cmdReBoot", "cmdRetreiveGpsMessage", "cmdSetTime", "cmdSetOffset",
                             "cmdRetreiveOffset"}) {
        EXPECT_TRUE(Enabled(name)) << name;
    }
    EXPECT_FALSE(Enabled("cmdFlashMode"));
    EXPECT_TRUE(Find<QWidget>("cmbComPort")->isEnabled());
}

TEST_F(Firmware, VanishedLineIsLoggedDisablesTheLinkAndFailsARunningSession) {
    LoadImageEndingAt(0x5000);
    Button("cmdProgram")->click();
    EraseSucceeds();
    const QByteArray inFlight = port.sent.last();
    port.sent.clear();
    port.Lose(QStringLiteral("the device went away"));
    EXPECT_TRUE(Log().endsWith(
        QStringLiteral("Error on port COM1 - port closed (the device went away)\r\n"
                       "Programming failed - pick the port again and press Program\r\n")));
    for (const char* name : {"cmdSetTime", "cmdSetOffset", "cmdRetreiveOffset",
                             "cmdRetreiveGpsMessage", "cmdReBoot"}) {
        EXPECT_FALSE(Enabled(name)) << name;
    }
    EXPECT_TRUE(Enabled("cmdProgram"));
    EXPECT_TRUE(Enabled("cmdLoad"));
    EXPECT_TRUE(Find<QWidget>("cmbComPort")->isEnabled());
    Receive(inFlight);  // an echo that was on its way sends nothing more
    EXPECT_TRUE(port.sent.isEmpty());
}

TEST_F(Firmware, VanishedLineOutsideASessionOnlyLogsAndDisablesTheLink) {
    port.Lose(QStringLiteral("the device went away"));
    EXPECT_EQ(Log(), QStringLiteral("Com port COM1 opened.Error on port COM1 - port closed (the "
                                    "device went away)\r\n"));
    EXPECT_FALSE(Enabled("cmdSetTime"));
    port.sent.clear();
    window->tmrDateTime_Timer();
    EXPECT_TRUE(port.sent.isEmpty());
}

TEST_F(Firmware, LoadAndProgramAreDisabledWhileALoadRuns) {
    LoadImageEndingAt(0x4000);
    QByteArray content;
    for (int i = 0; i < 200; ++i) {
        content += DataRecord(static_cast<uint16_t>(0x4000 + 16 * i), QByteArray(16, 'A')) + "\r\n";
    }
    std::optional<std::pair<bool, bool>> during;
    QTimer::singleShot(0, window.get(), [&] {
        during = {Enabled("cmdLoad"), Enabled("cmdProgram")};
    });
    Load(WriteFile(content));
    ASSERT_TRUE(during.has_value());
    EXPECT_EQ(*during, std::make_pair(false, false));
    EXPECT_TRUE(Enabled("cmdLoad"));
    EXPECT_TRUE(Enabled("cmdProgram"));
}

TEST_F(Firmware, EchoArrivingDuringALoadCannotSendABlockOfTheNewImage) {
    LoadImageEndingAt(0x5000);
    Button("cmdProgram")->click();
    Button("cmdFlashExit")->click();  // leaves the erase pending
    EnterFlashMode();
    port.sent.clear();
    QTimer::singleShot(0, window.get(), [&] { EraseSucceeds(); });
    Load(WriteFile(DataRecord(0x4000, QByteArray(16, 'B')) + "\r\n"));
    EXPECT_TRUE(port.sent.isEmpty());
}

TEST_F(Firmware, ExitDuringALoadLeavesProgramDisabled) {
    EnterFlashMode();
    QTimer::singleShot(0, window.get(), [&] { Button("cmdFlashExit")->click(); });
    Load(WriteFile(DataRecord(0x4000, QByteArray(16, 'B')) + "\r\n"));
    EXPECT_TRUE(Log().contains(QStringLiteral("No errors")));
    EXPECT_FALSE(Enabled("cmdProgram"));
    EXPECT_FALSE(Enabled("cmdLoad"));
    Receive(Bytes("80 F1"));
    EXPECT_TRUE(Enabled("cmdLoad"));
    EXPECT_FALSE(Enabled("cmdProgram"));
}

TEST_F(Firmware, CancelledDialogChangesNothing) {
    LoadImageEndingAt(0x4000, 0x42);
    const QString log = Log();
    window->SetFlashFileChooser([] { return QString(); });
    Button("cmdLoad")->click();
    EXPECT_EQ(Log(), log);
    EXPECT_TRUE(Enabled("cmdProgram"));
    EXPECT_EQ(FirstByteProgrammed(), 0x42);
}

TEST_F(Firmware, DialogOffersHexFilesAndCancelChangesNothing) {
    EnterFlashMode();
    const QString log = Log();
    QStringList filters;
    QTimer::singleShot(0, window.get(), [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->objectName(), QStringLiteral("cdlFlashOpenSave"));
        filters = dialog->nameFilters();
        dialog->reject();
    });
    Button("cmdLoad")->click();
    EXPECT_EQ(filters, QStringList{QStringLiteral("Flash Files (*.hex)")});
    EXPECT_EQ(Log(), log);
}

TEST_F(Firmware, UnreadableFileEndsTheLoadAtOnceWithProgramDisabled) {
    LoadImageEndingAt(0x4000, 0x42);
    for (const QString& path : {dir.filePath(QStringLiteral("missing.hex")), dir.path()}) {
        const QString log = Log();
        Load(path);
        EXPECT_EQ(Log(), log + QStringLiteral("Flash file load error\r\n")) << path.toStdString();
        EXPECT_FALSE(Enabled("cmdProgram"));
        EXPECT_TRUE(Enabled("cmdLoad"));
    }
}

QByteArray ManyLines(int count) {
    QByteArray content;
    for (int i = 0; i < count; ++i) {
        content += DataRecord(static_cast<uint16_t>(16 * i), QByteArray(16, 'C')) + "\r\n";
    }
    return content;
}

TEST_F(Firmware, ClosingTheWindowEndsALoadWithoutProgramming) {
    EnterFlashMode();
    window->show();
    QTimer::singleShot(0, window.get(), [&] { window->close(); });
    Load(WriteFile(ManyLines(3000)));
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(Log().contains(QStringLiteral("Closing flash data file")));
    EXPECT_FALSE(Enabled("cmdProgram"));
}

TEST_F(Firmware, DestroyingTheWindowDuringALoadTouchesNothingOfIt) {
    EnterFlashMode();
    window->SetFlashFileChooser([path = WriteFile(ManyLines(3000))] { return path; });
    QTimer::singleShot(0, [&] { window.reset(); });
    shell::IRIG* const loading = window.get();
    loading->cmdLoad_Click();
    EXPECT_EQ(window, nullptr);
}

}  // namespace
}  // namespace irig::test
