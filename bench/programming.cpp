// Programming a full firmware image (0x4000-0x1FFFF of random data) end to end: the real window,
// the real serial component, a pseudo-terminal and the simulated unit. Prints the programming time
// and blocks per second beside a bare echo floor over a pty (stop-and-wait, 137-byte frames, as
// many round trips), and with --wire the same run on a simulated 19200-baud line against the time
// the bytes themselves take on the wire (a few minutes), with the worst error of the time left the
// window said on the way.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "link/serialportcontroller.h"
#include "shell/irig.h"
#include "shell/textbox.h"
#include "support/echofloor.h"
#include "support/firmwarefile.h"
#include "support/portmapfolder.h"
#include "support/simulatedunit.h"
#include "support/wait.h"

namespace {

using irig::link::PortController;

// Passes everything to the real component and counts the bytes each way.
class CountingPort final : public PortController {
public:
    explicit CountingPort(PortController& inner) : inner_(inner) {
        connect(&inner_, &PortController::DataReceived, this, &PortController::DataReceived);
    }
    void SetBaudRate(qint32 baud) override { inner_.SetBaudRate(baud); }
    qint32 BaudRate() const override { return inner_.BaudRate(); }
    int OpenPort(const QString& name) override { return inner_.OpenPort(name); }
    int OpenDevice(const QString& name, const QString& device) override {
        return inner_.OpenDevice(name, device);
    }
    irig::link::PortFailure LastFailure() const override { return inner_.LastFailure(); }
    QString Device() const override { return inner_.Device(); }
    void ClosePort() override { inner_.ClosePort(); }
    bool SendData(const QByteArray& data) override {
        sent += data.size();
        blocks += data.startsWith("\x80\xF6") ? 1 : 0;
        return inner_.SendData(data);
    }
    QByteArray ReadData() override {
        QByteArray data = inner_.ReadData();
        received += data.size();
        return data;
    }

    qint64 sent = 0, received = 0;
    int blocks = 0;  // block frames sent

private:
    PortController& inner_;
};

struct Result {
    double milliseconds = 0;
    int blocks = 0;
    qint64 bytes = 0;  // both ways, from Program to "Programming complete"
    bool flashMatches = false;
    double worstEstimate = 0;  // the time left the window said, against the time it took
};

Result ProgramFullImage(long baud) {
    Result result;
    irig::test::TempPortMap ports;
    QTemporaryDir dir;
    const irig::test::FirmwareFile firmware =
        irig::test::MakeFirmwareFile(dir.path(), 0x1C000, 896);
    irig::test::SimulatedUnit unit(ports.Entry(QStringLiteral("COM1")),
                                   dir.filePath(QStringLiteral("flash.bin")),
                                   {QStringLiteral("--baud"), QString::number(baud),
                                    QStringLiteral("--reboot-ms"), QStringLiteral("10")},
                                   /*quiet=*/true);
    if (firmware.path.isEmpty() || !unit.WaitReady()) {
        std::fprintf(stderr, "cannot make the firmware file or start the simulated unit\n");
        std::exit(1);
    }
    irig::link::SerialPortController serial;
    CountingPort port(serial);
    irig::shell::IRIG window(port);
    window.show();
    auto* log = window.findChild<irig::shell::TextBox*>(QStringLiteral("txtFlashStatus"));
    auto click = [&](const char* name) {
        window.findChild<QAbstractButton*>(QLatin1String(name))->click();
    };
    auto logSays = [&](const char* text) {
        return irig::test::WaitUntil([&] { return log->text().contains(QLatin1String(text)); },
                                     400'000);
    };
    click("cmdReBoot");
    logSays("Re-Boot Complete");
    click("cmdFlashMode");
    logSays("Entering Flash Programming Mode");
    window.SetFlashFileChooser([&] { return firmware.path; });
    click("cmdLoad");

    port.sent = port.received = 0;
    port.blocks = 0;
    QElapsedTimer timer;
    timer.start();
    click("cmdProgram");
    std::vector<std::pair<qint64, qint64>> estimates;  // when, and the time left it said
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout,
                     [&] { estimates.emplace_back(timer.elapsed(), window.UpdateRemainingMs()); });
    sample.start(250);
    if (!logSays("Programming complete")) {
        std::fprintf(stderr, "programming did not complete:\n%s\n", qPrintable(log->text()));
        std::exit(1);
    }
    result.milliseconds = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    // The worst error of the time left, from a quarter to three quarters of the way.
    for (const auto& [at, said] : estimates) {
        const double left = result.milliseconds - static_cast<double>(at);
        if (said >= 0 && at > result.milliseconds / 4 && at < result.milliseconds * 3 / 4) {
            result.worstEstimate =
                std::max(result.worstEstimate, std::abs(static_cast<double>(said) - left) / left);
        }
    }
    result.blocks = port.blocks;
    result.bytes = port.sent + port.received;
    result.flashMatches = unit.Flash().mid(0x4000, firmware.bytes.size()) == firmware.bytes;
    return result;
}

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const bool wire = argc > 1 && std::strcmp(argv[1], "--wire") == 0;

    const Result fast = ProgramFullImage(0);
    const double floor = irig::test::EchoFloorMilliseconds(fast.blocks, 137);
    std::printf("full image over a pty, simulated unit answering at once (--baud 0)\n");
    std::printf("  %-38s %9.1f ms  %7.0f blocks/s  (%d blocks, flash %s)\n",
                "irig-config programming", fast.milliseconds,
                fast.blocks / fast.milliseconds * 1000, fast.blocks,
                fast.flashMatches ? "matches" : "DIFFERS");
    std::printf("  %-38s %9.1f ms  %7.0f round trips/s\n", "bare echo floor, 137-byte frames",
                floor, fast.blocks / floor * 1000);
    std::printf("  ratio %.2f (goal: at most 2)\n", fast.milliseconds / floor);
    if (!wire) {
        std::printf("(run with --wire for the 19200-baud line; it takes a few minutes)\n");
        return fast.flashMatches ? 0 : 1;
    }
    const Result paced = ProgramFullImage(19200);
    const double limit = static_cast<double>(paced.bytes) * 10 / 19200 * 1000;
    std::printf("full image on a simulated 19200-baud line (--baud 19200)\n");
    std::printf("  %-38s %9.1f ms  (%lld bytes both ways, flash %s)\n", "irig-config programming",
                paced.milliseconds, static_cast<long long>(paced.bytes),
                paced.flashMatches ? "matches" : "DIFFERS");
    std::printf("  %-38s %9.1f ms\n", "wire time of those bytes", limit);
    std::printf("  ratio %.4f (goal: at most 1.02)\n", paced.milliseconds / limit);
    std::printf(
        "  time left as the window says it, from 25%% to 75%%: worst %.1f%% off the time it "
        "took (goal: within 10%%)\n",
        paced.worstEstimate * 100);
    return fast.flashMatches && paced.flashMatches ? 0 : 1;
}
