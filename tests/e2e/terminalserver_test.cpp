// Units behind a terminal server, end to end: the simulated unit on a pseudo-terminal, Debian's
// ser2net in front of it on loopback, and irigctl's requests or the window reaching it by its
// address, Telnet with RFC 2217 or raw.
#include <QComboBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "link/portswitch.h"
#include "support/firmwarefile.h"
#include "support/irigctlrun.h"
#include "support/portmapfolder.h"
#include "support/ser2net.h"
#include "support/simulatedunit.h"
#include "support/unitserver.h"
#include "support/wait.h"
#include "support/windowtest.h"

namespace irig::test {
namespace {

class TerminalServer : public WindowAccess {
protected:
    void Start(const QStringList& options = {}) {
        unit = std::make_unique<SimulatedUnit>(
            ports.Entry(QStringLiteral("COM1")), dir.filePath(QStringLiteral("flash.bin")),
            QStringList{QStringLiteral("--reboot-ms"), QStringLiteral("50")} + options);
        ASSERT_TRUE(unit->WaitReady()) << qPrintable(unit->Errors());
        server = std::make_unique<Ser2net>(ports.Entry(QStringLiteral("COM1")));
        ASSERT_TRUE(server->WaitReady()) << qPrintable(server->Output());
    }
    ~TerminalServer() override {
        window.reset();
        if (HasFailure() && server) {
            std::fprintf(stderr, "ser2net said:\n%s\n", qPrintable(server->Output()));
        }
    }

    TempPortMap ports;
    QTemporaryDir dir;
    std::unique_ptr<SimulatedUnit> unit;
    std::unique_ptr<Ser2net> server;
};

class BothKinds : public TerminalServer, public testing::WithParamInterface<bool> {};

TEST_P(BothKinds, StatusSetTimeAndAWholeUpdate) {
    Start();
    const QString address = GetParam() ? server->Rfc2217() : server->Socket();
    const Ran status = RunIrigctl({"status", "--port", address});
    EXPECT_EQ(status.exitCode, 0) << status.err.toStdString();
    EXPECT_TRUE(status.out.startsWith(address + QStringLiteral(": GPS  ")))
        << status.out.toStdString();
    EXPECT_TRUE(status.err.isEmpty()) << "ser2net takes RFC 2217: " << status.err.toStdString();

    const Ran setTime = RunIrigctl({"set-time", "--port", address});
    EXPECT_EQ(setTime.exitCode, 0) << setTime.err.toStdString();
    EXPECT_TRUE(setTime.out.contains(QStringLiteral("the same second")))
        << setTime.out.toStdString();

    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x1C000, 61);
    const Ran flash = RunIrigctl({"flash", firmware.path, "--port", address, "--quiet"});
    EXPECT_EQ(flash.exitCode, 0) << flash.err.toStdString();
    EXPECT_TRUE(unit->Flash().mid(0x4000, firmware.bytes.size()) == firmware.bytes);
}

INSTANTIATE_TEST_SUITE_P(TerminalServer, BothKinds, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& row) {
                             return row.param ? "rfc2217" : "socket";
                         });

TEST_F(TerminalServer, AServerStoppedMidUpdateFailsIt) {
    Start({QStringLiteral("--baud"), QStringLiteral("19200")});
    const FirmwareFile firmware = MakeFirmwareFile(dir.path(), 0x8000, 62);
    QTimer::singleShot(1500, [&] { server->Stop(); });
    const Ran flash = RunIrigctl({"flash", firmware.path, "--port", server->Rfc2217()});
    EXPECT_EQ(flash.exitCode, 1);
    EXPECT_TRUE(flash.err.contains(
        QStringLiteral("%1: failed: the port closed: the connection to %1 closed")
            .arg(server->Rfc2217())))
        << flash.err.toStdString();
}

// COM7 names the server's address in the port map: the window follows the unit through it, says
// so, takes the server's stop for a vanished line and connects again when it is back.
TEST_F(TerminalServer, TheWindowReachesAMappedAddress) {
    Start({QStringLiteral("--baud"), QStringLiteral("115200")});
    ASSERT_TRUE(ports.Map(QStringLiteral("COM7"), server->Rfc2217()));
    link::PortSwitch comIrig;
    window = std::make_unique<shell::IRIG>(comIrig);
    window->show();
    auto* list = Find<QComboBox>("cmbComPort");
    list->setFocus(Qt::TabFocusReason);
    list->setCurrentIndex(6);
    emit list->activated(6);
    EXPECT_TRUE(window->StatusLineText().startsWith(
        QStringLiteral("COM7 → %1: connecting…  ·  host clock ").arg(server->Rfc2217())))
        << window->StatusLineText().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return Log() == QStringLiteral("Com port COM7 opened."); }, 3000));
    EXPECT_TRUE(window->StatusLineText().startsWith(
        QStringLiteral("COM7 → %1: open  ·  host clock ").arg(server->Rfc2217())));
    ASSERT_TRUE(WaitUntil([&] { return Caption("lblSourceData") == QStringLiteral("GPS"); }, 3000));

    server->Stop();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return Log().contains(QStringLiteral("Error on port COM7 - port closed (the "
                                                 "connection to %1 closed)")
                                      .arg(server->Rfc2217()));
        },
        3000))
        << Log().toStdString();
    server->Start();
    ASSERT_TRUE(server->WaitReady());
    EXPECT_TRUE(WaitUntil(
        [&] { return Log().contains(QStringLiteral("Com port COM7 opened.\r\n")); }, 3000))
        << Log().toStdString();
}

// A server 600 ms away each way, as over a satellite: the window's replies come later than its
// poll, and the status line says it cannot measure rather than give a figure.
TEST(FarTerminalServer, TheWindowSaysItCannotMeasureWhereRepliesTakeLongerThanThePoll) {
    TempPortMap ports;
    UnitServer server(UnitServer::Behaviour::kRfc2217);
    server.DelayAnswers(1200);
    ASSERT_TRUE(ports.Map(QStringLiteral("COM7"), server.Address()));
    link::PortSwitch comIrig;
    shell::IRIG window(comIrig);
    window.findChild<QComboBox*>(QStringLiteral("cmbComPort"))->setCurrentIndex(6);
    window.cmbComPort_Click();
    EXPECT_TRUE(WaitUntil(
        [&] {
            return window.StatusLineText().contains(
                QStringLiteral("unit offset: replies take longer than the poll"));
        },
        10'000))
        << window.StatusLineText().toStdString();
    EXPECT_FALSE(window.StatusLineText().contains(QStringLiteral(" ms ±")));
}

}  // namespace
}  // namespace irig::test
