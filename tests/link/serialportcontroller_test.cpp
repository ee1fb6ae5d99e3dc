#include "link/serialportcontroller.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <chrono>

#include "support/cputime.h"
#include "support/portmapfolder.h"
#include "support/pty.h"
#include "support/warnings.h"

namespace irig::link {
namespace {

using test::CpuTime;
using test::Pty;

QByteArray AllByteValues() {
    QByteArray bytes;
    for (int value = 0; value < 256; ++value) {
        bytes.append(static_cast<char>(value));
    }
    return bytes;
}

class SerialPortControllerTest : public testing::Test {
protected:
    SerialPortControllerTest() {
        folder.Map(QStringLiteral("COM1"), pty.SlavePath());
        port.SetBaudRate(19200);
    }

    QByteArray Receive(int count) {
        QByteArray got;
        (void)QTest::qWaitFor(
            [&] {
                got += port.ReadData();
                return got.size() >= count;
            },
            5000);
        return got;
    }

    test::TempPortMap folder;
    Pty pty;
    SerialPortController port;
};

TEST_F(SerialPortControllerTest, OpensTheMappedDeviceAt19200Baud8N1WithoutFlowControl) {
    ASSERT_EQ(port.OpenPort(QStringLiteral("COM1")), kPortOpened);
    const termios line = pty.Attributes();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & PARENB, 0u);
    EXPECT_EQ(line.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(SerialPortControllerTest, EveryByteValuePassesUnchangedBothWays) {
    ASSERT_EQ(port.OpenPort(QStringLiteral("COM1")), kPortOpened);
    const QByteArray all = AllByteValues();

    port.SendData(all);
    QByteArray atDevice;
    EXPECT_TRUE(QTest::qWaitFor([&] {
        atDevice += pty.Read(256 - static_cast<int>(atDevice.size()), 10);
        return atDevice.size() >= 256;
    }));
    EXPECT_EQ(atDevice, all);

    QSignalSpy received(&port, &PortController::DataReceived);
    pty.Write(all);
    EXPECT_EQ(Receive(256), all);
    EXPECT_GE(received.count(), 1);
}

TEST_F(SerialPortControllerTest, ClosePortWithoutAnOpenPortIsHarmlessAndSendsAreDropped) {
    port.ClosePort();
    port.SendData(QByteArray("\x80\xE0\x01\x80\xE1", 5));
    EXPECT_TRUE(port.ReadData().isEmpty());
    ASSERT_EQ(port.OpenPort(QStringLiteral("COM1")), kPortOpened);
    port.ClosePort();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.OpenPort(QStringLiteral("COM1")), kPortOpened);
}

TEST_F(SerialPortControllerTest, FailedOpenReportsANumberOtherThanFiveAndTellsStandardErrorOnce) {
    test::WarningCatcher warnings;
    folder.Map(QStringLiteral("COM9"), QStringLiteral("/dev/ttyUSB-unplugged"));
    const int error = port.OpenPort(QStringLiteral("COM9"));
    EXPECT_NE(error, kPortOpened);
    EXPECT_NE(error, 5);
    EXPECT_FALSE(port.IsOpen());
    ASSERT_EQ(warnings.messages.size(), 1);
    EXPECT_TRUE(warnings.messages[0].contains(QLatin1String("COM9")));
}

TEST_F(SerialPortControllerTest, TwoNamesForOneDeviceCannotBothOpenIt) {
    folder.Map(QStringLiteral("COM2"), pty.SlavePath());
    ASSERT_EQ(port.OpenPort(QStringLiteral("COM1")), kPortOpened);
    test::WarningCatcher warnings;
    SerialPortController second;
    const int error = second.OpenPort(QStringLiteral("COM2"));
    EXPECT_NE(error, kPortOpened);
    EXPECT_NE(error, 5);
    port.ClosePort();
    EXPECT_EQ(second.OpenPort(QStringLiteral("COM2")), kPortOpened);
}

TEST_F(SerialPortControllerTest, VanishedDeviceClosesThePortOnceWithoutABusyLoop) {
    ASSERT_EQ(port.OpenPort(QStringLiteral("COM1")), kPortOpened);
    test::WarningCatcher warnings;
    QSignalSpy lost(&port, &PortController::PortLost);
    pty.HangUp();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !port.IsOpen(); }, 1000));
    ASSERT_EQ(lost.size(), 1);
    EXPECT_FALSE(lost[0][0].toString().isEmpty());

    const auto cpuBefore = CpuTime();
    QTest::qWait(300);
    EXPECT_LT(CpuTime() - cpuBefore, std::chrono::milliseconds(150));
    EXPECT_EQ(warnings.messages.size(), 1)
        << warnings.messages.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(lost.size(), 1);

    port.SendData(QByteArray("\x80\xF0", 2));
    EXPECT_TRUE(port.ReadData().isEmpty());
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
}  // namespace irig::link
