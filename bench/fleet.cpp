// A fleet from one many-units simulator, each figure beside an anchor measured in the same run:
// (a) irigctl apply over 64 units against apply over one (each run changes the GPS offset), the
//     offsets alone and with the clock measured (max_clock_offset_ms, as a site's inventory has),
//     on pseudo-terminals (serial ports: each open takes QSerialPort's lock file) and, the
//     offsets alone, on raw TCP ports (socket://, no lock file);
// (b) irigctl flash of a small image over 64 units, --max-parallel 64, against one unit, the
//     version check after each update included, at 19200 baud;
// (c) irigctl monitor over 1000 units for 2 minutes (--minutes N) against 32 units: CPU per
//     unit-minute and resident memory per unit, and the median and worst of 100 scrapes;
// (d) irigctl apply --check over 1000 units on raw TCP ports, against one unit: how many answer,
//     and the time.
// Every program runs under the usual soft limit of 1,024 open files.
// Usage: bench_fleet [--minutes N] [--skip-monitor]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <sys/resource.h>

#include "support/cputime.h"
#include "support/firmwarefile.h"
#include "support/monitorprocess.h"
#include "support/simulatedunit.h"
#include "support/wait.h"

namespace {

using irig::test::MonitorProcess;
using irig::test::SimulatedUnits;

constexpr int kRuns = 5;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// irigctl with `arguments`; its wall time in seconds, or a negative one when it ended with another
// exit code than `expected`. With `out`, its standard output.
double Irigctl(const QStringList& arguments, QByteArray* out = nullptr, int expected = 0) {
    QElapsedTimer clock;
    clock.start();
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(IRIGCTL_PATH), arguments);
    process.waitForFinished(-1);
    const double seconds = clock.elapsed() / 1000.0;
    if (out != nullptr) {
        *out = process.readAllStandardOutput();
    }
    return process.exitCode() == expected ? seconds : -seconds;
}

// `count` simulated units on TCP ports above the range the system hands out for connections,
// where a free run of ports is found; null when none is.
std::unique_ptr<SimulatedUnits> ListeningUnits(int count) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const auto first = static_cast<quint16>(
            61000 + QRandomGenerator::global()->bounded(65535 - 61000 - count));
        auto units = std::make_unique<SimulatedUnits>(
            first, count, QStringList{QStringLiteral("--baud"), QStringLiteral("19200")});
        if (units->WaitReady(30'000)) {
            return units;
        }
    }
    return nullptr;
}

QString Inventory(const QTemporaryDir& dir, const SimulatedUnits& units, int count, int gps,
                  const QString& name, bool clock) {
    QByteArray yaml = "defaults: {gps_offset: " + QByteArray::number(gps) +
                      (clock ? ", max_clock_offset_ms: 50" : "") + "}\nunits:\n";
    for (int number = 1; number <= count; ++number) {
        yaml += "  u" + QByteArray::number(number) + ": {port: \"" + units.Link(number).toUtf8() +
                "\"}\n";
    }
    return irig::test::WriteFile(dir.filePath(name), yaml);
}

// `count` GETs of /metrics on one kept-alive connection, each one's time in milliseconds.
std::vector<double> Scrapes(quint16 port, int count) {
    std::vector<double> times;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(5000);
    for (int i = 0; i < count; ++i) {
        QElapsedTimer clock;
        clock.start();
        socket.write("GET /metrics HTTP/1.1\r\nHost: bench\r\n\r\n");
        QByteArray reply;
        qsizetype length = -1;
        qsizetype body = -1;
        while (body < 0 || reply.size() - body < length) {
            if (!socket.waitForReadyRead(10'000)) {
                return times;
            }
            reply += socket.readAll();
            if (body < 0 && (body = reply.indexOf("\r\n\r\n")) >= 0) {
                const qsizetype at = reply.toLower().indexOf("content-length:");
                length =
                    reply.mid(at + 15, reply.indexOf("\r\n", at) - at - 15).trimmed().toLongLong();
                body += 4;
            }
        }
        times.push_back(clock.nsecsElapsed() / 1e6);
    }
    return times;
}

struct Watched {
    double cpuPerUnitMinute;
    double kibPerUnit;
    std::vector<double> scrapes;
    int answering;  // units up at the end
    int measured;   // units with an offset at the end
};

Watched Watch(const QTemporaryDir& dir, int count, int minutes) {
    SimulatedUnits units(dir.filePath(QStringLiteral("m%1").arg(count)), count,
                         {QStringLiteral("--baud"), QStringLiteral("19200")});
    QDir().mkpath(dir.filePath(QStringLiteral("m%1").arg(count)));
    units.WaitReady(60'000);
    QStringList ports;
    for (int number = 1; number <= count; ++number) {
        ports << units.Link(number);
    }
    MonitorProcess monitor(ports);
    monitor.WaitServing(60'000);
    irig::test::WaitUntil(
        [&] {
            return irig::test::Http(monitor.Url(QStringLiteral("/metrics")))
                       .body.count("irig_unit_up{") == count;
        },
        60'000);
    irig::test::WaitUntil([] { return false; }, 70'000);  // the first measurements done
    const double before = irig::test::ProcessCpuMs(monitor.Pid());
    irig::test::WaitUntil([] { return false; }, minutes * 60'000);
    const QByteArray metrics = irig::test::Http(monitor.Url(QStringLiteral("/metrics"))).body;
    const QList<QByteArray> lines = metrics.split('\n');
    Watched watched{(irig::test::ProcessCpuMs(monitor.Pid()) - before) / count / minutes,
                    static_cast<double>(monitor.ResidentKiB()) / count,
                    Scrapes(monitor.Port(), 100),
                    static_cast<int>(std::count_if(lines.cbegin(), lines.cend(),
                                                   [](const QByteArray& line) {
                                                       return line.startsWith("irig_unit_up{") &&
                                                              line.endsWith("} 1");
                                                   })),
                    static_cast<int>(metrics.count("irig_unit_clock_offset_seconds{"))};
    monitor.Terminate();
    return watched;
}

}  // namespace

int main(int argc, char* argv[]) {
    // The usual soft limit of a login shell, 1,024 open files, for this program and every program
    // it starts: irigctl (and the simulator) must raise it themselves.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 1024);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    QCoreApplication app(argc, argv);
    int minutes = 2;
    bool skipMonitor = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) {
            minutes = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--skip-monitor") == 0) {
            skipMonitor = true;
        }
    }
    QTemporaryDir dir;
    {
        SimulatedUnits units(dir.path(), 64, {QStringLiteral("--baud"), QStringLiteral("19200")});
        if (!units.WaitReady()) {
            std::fprintf(stderr, "the simulator did not start: %s\n", qPrintable(units.Errors()));
            return 1;
        }
        std::printf("(a) irigctl apply, median of %d runs, each changing the GPS offset:\n", kRuns);
        for (const bool clock : {false, true}) {
            std::vector<double> one;
            std::vector<double> many;
            for (int run = 0; run < kRuns; ++run) {
                const int gps = run % 2 == 0 ? -5 : 3;
                const auto apply = [&](int count, int offset) {
                    return Irigctl({QStringLiteral("apply"), QStringLiteral("--all"),
                                    QStringLiteral("-i"),
                                    Inventory(dir, units, count, offset,
                                              QStringLiteral("units%1.yaml").arg(count), clock)});
                };
                one.push_back(apply(1, gps));
                many.push_back(apply(64, gps + 1));
            }
            std::printf("  %-22s 1 unit %.3f s, 64 units %.3f s: %.2fx\n",
                        clock ? "offsets and clock" : "offsets", Median(one), Median(many),
                        Median(many) / Median(one));
            std::fflush(stdout);
        }

        if (const std::unique_ptr<SimulatedUnits> tcp = ListeningUnits(64)) {
            std::vector<double> one;
            std::vector<double> many;
            for (int run = 0; run < kRuns; ++run) {
                const int gps = run % 2 == 0 ? -5 : 3;
                const auto apply = [&](int count, int offset) {
                    return Irigctl({QStringLiteral("apply"), QStringLiteral("--all"),
                                    QStringLiteral("-i"),
                                    Inventory(dir, *tcp, count, offset,
                                              QStringLiteral("tcp%1.yaml").arg(count), false)});
                };
                one.push_back(apply(1, gps));
                many.push_back(apply(64, gps + 1));
            }
            std::printf("  %-22s 1 unit %.3f s, 64 units %.3f s: %.2fx\n", "offsets, socket://",
                        Median(one), Median(many), Median(many) / Median(one));
            std::fflush(stdout);
        }

        const irig::test::FirmwareFile firmware =
            irig::test::MakeFirmwareFile(dir.path(), 0x2000, 11, 0x4000, "irig 2.3");
        std::printf("(b) irigctl flash of 0x2000 bytes at 19200 baud, the version checked:\n");
        QStringList all{QStringLiteral("flash"), firmware.path, QStringLiteral("--quiet"),
                        QStringLiteral("--max-parallel"), QStringLiteral("64")};
        for (int number = 1; number <= 64; ++number) {
            all << QStringLiteral("--port") << units.Link(number);
        }
        const double single =
            Irigctl({QStringLiteral("flash"), firmware.path, QStringLiteral("--quiet"),
                     QStringLiteral("--port"), units.Link(1)});
        const double fleet = Irigctl(all);
        std::printf("  1 unit    %.2f s\n  64 units  %.2f s: %.2fx\n", single, fleet,
                    fleet / single);
        std::fflush(stdout);
    }
    if (const std::unique_ptr<SimulatedUnits> tcp = ListeningUnits(1000)) {
        std::printf(
            "(d) irigctl apply --check over raw TCP ports, soft limit 1024 files, median of "
            "%d runs:\n",
            kRuns);
        const QString one = Inventory(dir, *tcp, 1, 0, QStringLiteral("check1.yaml"), false);
        const QString all = Inventory(dir, *tcp, 1000, 0, QStringLiteral("check1000.yaml"), false);
        std::vector<double> single;
        std::vector<double> fleet;
        int answering = 0;
        for (int run = 0; run < kRuns; ++run) {
            single.push_back(Irigctl({QStringLiteral("apply"), QStringLiteral("--check"),
                                      QStringLiteral("--all"), QStringLiteral("-i"), one}));
            QByteArray out;
            fleet.push_back(Irigctl(
                {QStringLiteral("apply"), QStringLiteral("--check"), QStringLiteral("--all"),
                 QStringLiteral("-i"), all, QStringLiteral("--json")},
                &out));
            const QJsonArray units =
                QJsonDocument::fromJson(out)[QStringLiteral("units")].toArray();
            answering = static_cast<int>(
                std::count_if(units.begin(), units.end(), [](const QJsonValue& unit) {
                    return unit[QStringLiteral("result")].toString() == QLatin1String("ok");
                }));
        }
        std::printf("  %d of 1000 units answer; 1 unit %.3f s, 1000 units %.3f s: %.2fx\n",
                    answering, Median(single), Median(fleet), Median(fleet) / Median(single));
        std::fflush(stdout);
    } else {
        std::printf("(d) no run of 1000 free TCP ports was found\n");
    }
    if (skipMonitor) {
        return 0;
    }
    std::printf("(c) irigctl monitor at 19200 baud over %d minute(s):\n", minutes);
    const Watched few = Watch(dir, 32, minutes);
    const Watched lots = Watch(dir, 1000, minutes);
    for (const auto& [what, watched] : {std::pair{"32 units  ", &few}, {"1000 units", &lots}}) {
        std::printf(
            "  %s  %d answering, %d measured; CPU %.2f ms a unit-minute, %.1f KiB a unit, "
            "scrapes median %.2f ms, worst %.2f ms\n",
            what, watched->answering, watched->measured, watched->cpuPerUnitMinute,
            watched->kibPerUnit, Median(watched->scrapes),
            watched->scrapes.empty()
                ? 0.0
                : *std::max_element(watched->scrapes.begin(), watched->scrapes.end()));
    }
    std::printf("  1000 against 32: CPU %.2fx, memory %.2fx a unit\n",
                lots.cpuPerUnitMinute / few.cpuPerUnitMinute, lots.kibPerUnit / few.kibPerUnit);
    return 0;
}
