// A full update through a terminal server: irigctl flash of a full image (0x4000-0x1FFFF of random
// data) through Debian's ser2net on loopback, Telnet with RFC 2217, in front of the simulated unit.
// (a) Unthrottled, beside the same update over the pty directly, both in this run (median of 5
// each), with ser2net's own floor: an echo of as many frames through ser2net by a bare TCP client,
// beside the same echo over a pty. With --wire, also (b) on a simulated 19200-baud line, against
// the wire time of the bytes of the update (about two minutes).
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/protocol.h"
#include "support/echofloor.h"
#include "support/firmwarefile.h"
#include "support/portmapfolder.h"
#include "support/ser2net.h"
#include "support/simulatedunit.h"

namespace {

using irig::test::Ser2net;
using irig::test::SimulatedUnit;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// irigctl's own figure for one flash of `file` on `port`: from the re-boot request to the end.
double FlashSeconds(const QString& file, const QString& port) {
    QProcess process;
    process.start(
        QStringLiteral(IRIGCTL_PATH),
        {QStringLiteral("flash"), file, QStringLiteral("--port"), port, QStringLiteral("--json")});
    process.waitForFinished(-1);
    const QJsonObject unit = QJsonDocument::fromJson(process.readAllStandardOutput())
                                 .object()[QStringLiteral("units")]
                                 .toArray()
                                 .at(0)
                                 .toObject();
    if (process.exitCode() != 0 || unit[QStringLiteral("result")] != QStringLiteral("done")) {
        std::fprintf(stderr, "the update failed:\n%s\n",
                     process.readAllStandardError().constData());
        std::exit(1);
    }
    return unit[QStringLiteral("seconds")].toDouble();
}

// The floor through ser2net: a process echoes whatever comes on a pty, ser2net serves the pty, and
// a bare TCP client writes `frameSize` bytes and reads them back, `roundTrips` times, acknowledging
// at once as irigctl does.
double Ser2netEchoFloorMilliseconds(int roundTrips, int frameSize) {
    const irig::test::EchoPty pty;
    Ser2net server(pty.SlavePath());
    if (!server.WaitReady()) {
        return -1;
    }
    const int client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(server.Socket().section(':', -1).toUInt()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    double milliseconds = -1;
    if (connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        milliseconds =
            irig::test::RoundTripsMilliseconds(client, roundTrips, frameSize, [](int fd) {
                const int quick = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
            });
    }
    close(client);
    return milliseconds;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const bool wire = argc > 1 && std::strcmp(argv[1], "--wire") == 0;
    QTemporaryDir dir;
    const irig::test::FirmwareFile firmware =
        irig::test::MakeFirmwareFile(dir.path(), 0x1C000, 897);
    if (firmware.path.isEmpty()) {
        std::fprintf(stderr, "cannot make the firmware file (objcopy)\n");
        return 1;
    }
    irig::test::TempPortMap ports;
    const QString link = ports.Entry(QStringLiteral("COM1"));

    auto serve = [&](long baud) {
        auto unit = std::make_unique<SimulatedUnit>(
            link, dir.filePath(QStringLiteral("flash.bin")),
            QStringList{QStringLiteral("--baud"), QString::number(baud),
                        QStringLiteral("--reboot-ms"), QStringLiteral("0")},
            /*quiet=*/true);
        if (!unit->WaitReady()) {
            std::fprintf(stderr, "the simulated unit did not start\n");
            std::exit(1);
        }
        return unit;
    };

    std::vector<double> direct, served;
    {
        // The direct ones first: ser2net closes the device a moment after its client has gone,
        // and a direct update that opened it meanwhile would see the line hang up.
        const auto unit = serve(0);
        for (int i = 0; i < 5; ++i) {
            direct.push_back(FlashSeconds(firmware.path, link));
        }
        Ser2net server(link);
        if (!server.WaitReady()) {
            std::fprintf(stderr, "ser2net did not start:\n%s\n", qPrintable(server.Output()));
            return 1;
        }
        for (int i = 0; i < 5; ++i) {
            served.push_back(FlashSeconds(firmware.path, server.Rfc2217()));
        }
    }
    std::printf(
        "(a) full update, unthrottled, median of 5: through ser2net %.1f ms, over the pty "
        "directly %.1f ms: %.2fx\n",
        Median(served) * 1000, Median(direct) * 1000, Median(served) / Median(direct));
    // As many round trips of a block's frame (137 bytes) as the update has.
    std::vector<double> ser2netFloor, ptyFloor;
    for (int i = 0; i < 5; ++i) {
        ser2netFloor.push_back(Ser2netEchoFloorMilliseconds(897, 137));
        ptyFloor.push_back(irig::test::EchoFloorMilliseconds(897, 137));
    }
    std::printf(
        "    the echo floors of 897 frames, median of 5: through ser2net %.1f ms, over a pty "
        "%.1f ms: %.2fx; the update through ser2net is %.2fx its floor there\n",
        Median(ser2netFloor), Median(ptyFloor), Median(ser2netFloor) / Median(ptyFloor),
        Median(served) * 1000 / Median(ser2netFloor));

    if (wire) {
        const auto unit = serve(irig::link::kBaudRate);
        Ser2net server(link);
        if (!server.WaitReady()) {
            std::fprintf(stderr, "ser2net did not start\n");
            return 1;
        }
        QProcess inspect;
        inspect.start(QStringLiteral(IRIGCTL_PATH),
                      {QStringLiteral("inspect"), firmware.path, QStringLiteral("--json")});
        inspect.waitForFinished(-1);
        const double wireSeconds = QJsonDocument::fromJson(inspect.readAllStandardOutput())
                                       .object()[QStringLiteral("updateSeconds")]
                                       .toDouble();
        const double seconds = FlashSeconds(firmware.path, server.Rfc2217());
        std::printf(
            "(b) full update at 19200 baud through ser2net: %.2f s against %.2f s of "
            "wire time: %.4fx\n",
            seconds, wireSeconds, seconds / wireSeconds);
    }
    return 0;
}
