// How close to the start of its second the window's Set Time frame arrives on a simulated
// 19200-baud line, beside a bare floor: the same plan slept out and the frame written to the pty
// at once, without an event loop or a window. Prints the median and worst lag of each, as the
// simulated unit reports them, and their ratio. The end-to-end test asserts only the second.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "link/serialportcontroller.h"
#include "shell/irig.h"
#include "status/settime.h"
#include "support/portmapfolder.h"
#include "support/simulatedunit.h"
#include "support/wait.h"

namespace {

constexpr int kTries = 15;

// Waits for the unit to report its `count`th Set Time and returns how late it came, in ms.
int WaitForLag(irig::test::SimulatedUnit& unit, qsizetype count) {
    static const QRegularExpression lag(
        QStringLiteral("was (-?\\d+) ms past it when the frame arrived"));
    std::vector<int> lags;
    irig::test::WaitUntil(
        [&] {
            lags.clear();
            for (auto it = lag.globalMatch(unit.Errors()); it.hasNext();) {
                lags.push_back(it.next().captured(1).toInt());
            }
            return static_cast<qsizetype>(lags.size()) >= count;
        },
        5000);
    if (static_cast<qsizetype>(lags.size()) < count) {
        std::fprintf(stderr, "no Set Time reached the unit:\n%s\n", qPrintable(unit.Errors()));
        std::exit(1);
    }
    return lags.back();
}

std::vector<int> WindowLags(irig::test::SimulatedUnit& unit) {
    irig::link::SerialPortController port;
    irig::shell::IRIG window(port);
    window.show();
    window.findChild<QTimer*>(QStringLiteral("tmrDateTime"))->stop();
    std::vector<int> lags;
    for (int i = 1; i <= kTries; ++i) {
        window.findChild<QAbstractButton*>(QStringLiteral("cmdSetTime"))->click();
        lags.push_back(WaitForLag(unit, i));
    }
    return lags;
}

std::vector<int> FloorLags(irig::test::SimulatedUnit& unit, const QString& link) {
    const int fd = open(link.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::perror("open");
        std::exit(1);
    }
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    std::vector<int> lags;
    for (int i = 1; i <= kTries; ++i) {
        const irig::status::SetTimeSend send =
            irig::status::PlanSetTimeRequest(std::chrono::system_clock::now());
        std::this_thread::sleep_for(send.plan.wait);
        if (write(fd, send.frame.constData(), send.frame.size()) != send.frame.size()) {
            std::perror("write");
            std::exit(1);
        }
        lags.push_back(WaitForLag(unit, kTries + i));
    }
    close(fd);
    return lags;
}

void Print(const char* what, std::vector<int> lags) {
    std::sort(lags.begin(), lags.end());
    std::printf("  %-34s median %4d ms  worst %4d ms\n", what, lags[lags.size() / 2], lags.back());
}

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    irig::test::TempPortMap ports;
    QTemporaryDir dir;
    const QString link = ports.Entry(QStringLiteral("COM1"));
    irig::test::SimulatedUnit unit(link, dir.filePath(QStringLiteral("flash.bin")),
                                   {QStringLiteral("--baud"), QStringLiteral("19200")});
    if (!unit.WaitReady()) {
        std::fprintf(stderr, "cannot start the simulated unit\n");
        return 1;
    }
    const std::vector<int> window = WindowLags(unit);
    const std::vector<int> floor = FloorLags(unit, link);
    std::printf(
        "Set Time on a simulated 19200-baud line: how late the frame's last byte arrived\n"
        "after the start of the second it carries, %d tries each\n",
        kTries);
    Print("irig-config window", window);
    Print("bare floor (plan, sleep, write)", floor);
    auto median = [](std::vector<int> lags) {
        std::sort(lags.begin(), lags.end());
        return std::max(1, lags[lags.size() / 2]);
    };
    std::printf("  ratio of medians %.2f (goal: at most 3; the test's bound is the second)\n",
                static_cast<double>(median(window)) / median(floor));
    return 0;
}
