// irigctl as a whole process: (a) flash of a full image (0x4000-0x1FFFF of random data) over an
// unthrottled pty beside the bare pty echo floor of as many round trips; (b) inspect of the same
// file beside `objcopy -I ihex -O binary`. With --wire, on simulated 19200-baud lines: (c)
// irigctl's own delay from each answer to its next request, summed, against the wire time of the
// update, and (d) four units flashed at once by one irigctl against one, and (e) how far the host's
// clock is past the time a Set Time frame carries when the frame's last byte arrives, over 50
// requests (several minutes).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "support/echofloor.h"
#include "support/firmwarefile.h"
#include "support/portmapfolder.h"
#include "support/simulatedunit.h"

namespace {

using irig::test::SimulatedUnit;

struct Run {
    double milliseconds = 0;
    int exitCode = -1;
    QByteArray out;
};

Run Execute(const QString& program, const QStringList& arguments) {
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    process.waitForFinished(-1);
    return {static_cast<double>(timer.nsecsElapsed()) / 1e6, process.exitCode(),
            process.readAllStandardOutput()};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One flash by irigctl of `file` on `units` simulated units at `baud`; the whole command's time.
struct Flash {
    double milliseconds = 0;
    double exchangeMilliseconds = 0;  // from the re-boot request to the end, as irigctl says
    bool ok = false;
    QString hostDelay;  // what each unit says of irigctl's delay (with --gaps)
};

Flash FlashUnits(const QString& file, int units, long baud, bool gaps) {
    irig::test::TempPortMap ports;
    QTemporaryDir dir;
    std::vector<std::unique_ptr<SimulatedUnit>> sims;
    QStringList arguments{QStringLiteral("flash"), file, QStringLiteral("--json")};
    for (int i = 1; i <= units; ++i) {
        const QString name = QStringLiteral("COM%1").arg(i);
        QStringList options{QStringLiteral("--baud"), QString::number(baud),
                            QStringLiteral("--reboot-ms"), QStringLiteral("0")};
        if (gaps) {
            options.append(QStringLiteral("--gaps"));
        }
        sims.push_back(std::make_unique<SimulatedUnit>(
            ports.Entry(name), dir.filePath(name + QStringLiteral(".flash")), options, true));
        if (!sims.back()->WaitReady()) {
            std::fprintf(stderr, "the simulated unit did not start\n");
            std::exit(1);
        }
        arguments += {QStringLiteral("--port"), name};
    }
    const Run run = Execute(QStringLiteral(IRIGCTL_PATH), arguments);
    const QJsonValue first =
        QJsonDocument::fromJson(run.out).object()[QStringLiteral("units")].toArray().at(0);
    Flash flash{run.milliseconds,
                first[QStringLiteral("seconds")].toDouble() * 1000,
                run.exitCode == 0,
                {}};
    for (auto& sim : sims) {
        sim->Stop();
        flash.hostDelay += sim->Errors();
    }
    return flash;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const bool wire = argc > 1 && std::strcmp(argv[1], "--wire") == 0;
    QTemporaryDir dir;
    const irig::test::FirmwareFile firmware =
        irig::test::MakeFirmwareFile(dir.path(), 0x1C000, 896);
    if (firmware.path.isEmpty()) {
        std::fprintf(stderr, "cannot make the firmware file (objcopy)\n");
        return 1;
    }
    const QJsonObject inspection =
        QJsonDocument::fromJson(
            Execute(QStringLiteral(IRIGCTL_PATH),
                    {QStringLiteral("inspect"), firmware.path, QStringLiteral("--json")})
                .out)
            .object();
    const int blocks = inspection[QStringLiteral("blocks")].toInt();
    const double wireBytes = inspection[QStringLiteral("wireBytes")].toDouble();

    // Each flash beside a floor measured right after it, so that both see the same machine.
    std::vector<double> flashes, exchanges, floors;
    bool ok = true;
    for (int i = 0; i < 7; ++i) {
        const Flash flash = FlashUnits(firmware.path, 1, 0, false);
        ok = ok && flash.ok;
        flashes.push_back(flash.milliseconds);
        exchanges.push_back(flash.exchangeMilliseconds);
        floors.push_back(irig::test::EchoFloorMilliseconds(blocks, 137));
    }
    std::printf("(a) full image (%d blocks) over a pty, unit answering at once, median of 7\n",
                blocks);
    std::printf("  %-44s %9.1f ms%s\n", "irigctl flash, the whole command", Median(flashes),
                ok ? "" : "  (FAILED)");
    std::printf("  %-44s %9.1f ms\n", "  of which re-boot to the end of the update",
                Median(exchanges));
    std::printf("  %-44s %9.1f ms\n", "bare echo floor, 137-byte frames", Median(floors));
    std::printf("  ratio %.2f (goal: at most 1.5); the exchange alone %.2f\n",
                Median(flashes) / Median(floors), Median(exchanges) / Median(floors));

    std::vector<double> inspect, objcopy;
    for (int i = 0; i < 21; ++i) {
        inspect.push_back(
            Execute(QStringLiteral(IRIGCTL_PATH), {QStringLiteral("inspect"), firmware.path})
                .milliseconds);
        objcopy.push_back(Execute(QStringLiteral("objcopy"),
                                  {QStringLiteral("-I"), QStringLiteral("ihex"),
                                   QStringLiteral("-O"), QStringLiteral("binary"), firmware.path,
                                   dir.filePath(QStringLiteral("out.bin"))})
                              .milliseconds);
    }
    std::printf("(b) the same file, whole processes, median of 21 (one line per 16 bytes)\n");
    std::printf("  %-44s %9.2f ms\n", "irigctl inspect", Median(inspect));
    std::printf("  %-44s %9.2f ms\n", "objcopy -I ihex -O binary", Median(objcopy));
    std::printf("  ratio %.2f (goal: below 1)\n", Median(inspect) / Median(objcopy));
    if (!wire) {
        std::printf("(run with --wire for the 19200-baud lines; it takes several minutes)\n");
        return ok ? 0 : 1;
    }

    const Flash one = FlashUnits(firmware.path, 1, 19200, true);
    const double wireMs = wireBytes * 10 / 19200 * 1000;
    const QRegularExpressionMatch delay =
        QRegularExpression(QStringLiteral("host delay ([0-9.]+) ms over (\\d+) answers"))
            .match(one.hostDelay);
    std::printf("(c) one unit on a simulated 19200-baud line\n");
    std::printf("  %-44s %9.1f ms%s\n", "irigctl flash, the whole command", one.milliseconds,
                one.ok ? "" : "  (FAILED)");
    std::printf("  %-44s %9.1f ms\n", "wire time of the erase and the blocks", wireMs);
    if (delay.hasMatch()) {
        std::printf("  %-44s %9.1f ms over %s answers\n", "irigctl's delay after answers",
                    delay.captured(1).toDouble(), qPrintable(delay.captured(2)));
        std::printf("  share %.3f%% of the wire time (goal: at most 0.5%%)\n",
                    100 * delay.captured(1).toDouble() / wireMs);
    }
    const Flash four = FlashUnits(firmware.path, 4, 19200, false);
    std::printf("(d) four units on simulated 19200-baud lines, one irigctl\n");
    std::printf("  %-44s %9.1f ms%s\n", "irigctl flash, four ports", four.milliseconds,
                four.ok ? "" : "  (FAILED)");
    std::printf("  ratio to one unit %.3f (goal: at most 1.05)\n",
                four.milliseconds / one.milliseconds);

    irig::test::TempPortMap ports;
    SimulatedUnit unit(ports.Entry(QStringLiteral("COM1")),
                       dir.filePath(QStringLiteral("set.flash")),
                       {QStringLiteral("--baud"), QStringLiteral("19200")});
    unit.WaitReady();
    for (int i = 0; i < 50; ++i) {
        Execute(QStringLiteral(IRIGCTL_PATH),
                {QStringLiteral("set-time"), QStringLiteral("--port"), QStringLiteral("COM1")});
    }
    unit.Stop();
    std::vector<double> lags;
    QRegularExpressionMatchIterator found =
        QRegularExpression(QStringLiteral("was (-?\\d+) ms past it")).globalMatch(unit.Errors());
    while (found.hasNext()) {
        lags.push_back(std::abs(found.next().captured(1).toDouble()));
    }
    std::printf("(e) Set Time on a simulated 19200-baud line, %zu requests\n", lags.size());
    if (!lags.empty()) {
        std::printf(
            "  host clock past the time set, at the frame's arrival: median %.0f ms, worst "
            "%.0f ms (goal: median under 2 ms, worst under 10 ms)\n",
            Median(lags), *std::max_element(lags.begin(), lags.end()));
    }
    return ok && one.ok && four.ok && lags.size() == 50 ? 0 : 1;
}
