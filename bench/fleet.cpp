// A fleet from one many-units simulator, each figure beside an anchor measured in the same run:
// (a) irigctl apply over 64 units against apply over one (each run changes the GPS offset), the
//     offsets alone and with the clock measured (max_clock_offset_ms, as a site's inventory has),
//     on pseudo-terminals (serial ports: each open takes QSerialPort's lock file) and, the
//     offsets alone, on raw TCP ports (socket://, no lock file);
// (b) irigctl flash of a small image over 64 units, --max-parallel 64, against one unit, the
//     version check after each update included, at 19200 baud;
// (c) irigctl monitor over 1000 and 5000 units on TCP (socket://, as behind terminal servers)
//     against 32, and with --pty over 1000 units on pseudo-terminals against 32, at 19200 baud,
//     from simulators of at most 50 units each, at least eight a row, their clocks set apart:
//     after a warm-up of 75 s (--warm-up S), over 150 s (--span S), the CPU and the requests the
//     units received a unit-minute (a loop that falls behind asks less, and must not look cheap;
//     a measurement asks more where replies are taken late), the CPU a request, the measurements'
//     median uncertainty, resident memory a unit, and the median and worst of 100 scrapes;
// (d) irigctl apply --check over 1000 units on raw TCP ports, against one unit: how many answer,
//     and the time.
// Every program runs under the usual soft limit of 1,024 open files.
// Usage: bench_fleet [--warm-up S] [--span S] [--pty] [--skip-monitor] [--monitor-only]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <sys/resource.h>

#include "support/cputime.h"
#include "support/firmwarefile.h"
#include "support/monitorprocess.h"
#include "support/simulatedunit.h"
#include "support/wait.h"
#include "unit/timeouts.h"

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

// `count` simulated units on a free run of TCP ports; null when none is found.
std::unique_ptr<SimulatedUnits> ListeningUnits(int count) {
    auto units = std::make_unique<SimulatedUnits>(
        quint16{0}, count, QStringList{QStringLiteral("--baud"), QStringLiteral("19200")});
    return units->WaitReady(30'000) ? std::move(units) : nullptr;
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

// The bytes a process has read through system calls, from /proc/PID/io.
qint64 BytesRead(qint64 pid) {
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (!io.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:")) {
            return line.mid(6).trimmed().toLongLong();
        }
    }
    return -1;
}

struct Watched {
    double cpuPerUnitMinute;
    double requestsPerUnitMinute;  // clock reads the units received
    double kibPerUnit;
    std::vector<double> scrapes;
    int answering;  // units up at the end
    int measured;   // units with an offset at the end
    // The measurements' median uncertainty, ms: a measurement asks more the later the replies
    // are taken (a machine short of CPU, a late loop).
    double uncertaintyMs = 0;

    double CpuPerRequestUs() const { return 1000 * cpuPerUnitMinute / requestsPerUnitMinute; }
};

double MedianUncertaintyMs(const QByteArray& metrics) {
    std::vector<double> values;
    for (const QByteArray& line : metrics.split('\n')) {
        if (line.startsWith("irig_unit_clock_offset_uncertainty_seconds{")) {
            values.push_back(line.mid(line.lastIndexOf(' ') + 1).toDouble() * 1000);
        }
    }
    return values.empty() ? 0 : Median(values);
}

int CountUp(const QByteArray& metrics) {
    const QList<QByteArray> lines = metrics.split('\n');
    return static_cast<int>(std::count_if(lines.cbegin(), lines.cend(), [](const QByteArray& line) {
        return line.startsWith("irig_unit_up{") && line.endsWith("} 1");
    }));
}

// A simulator serves its units from one loop that looks at each of them at every turn: with more
// than this many it would fall behind before a monitor does.
constexpr int kMostUnitsPerSimulator = 50;
constexpr int kLeastSimulators = 8;

// A monitor of `count` units, on TCP or pseudo-terminals. A measurement polls until the unit's
// second turns over, so the part of a second it starts in decides how many requests it makes: the
// simulators' clocks are set apart by fractions of a second, at least eight of them a row, so
// that each row asks about as much on average. A monitor given only --port sends clock reads
// alone (the status poll and the measurement), 5 bytes each: what the simulators read, divided by
// 5, is what the monitor asked.
std::optional<Watched> Watch(const QTemporaryDir& dir, int count, bool tcp, int warmUpS,
                             int spanS) {
    const int perSimulator = std::clamp(count / kLeastSimulators, 1, kMostUnitsPerSimulator);
    std::vector<std::unique_ptr<SimulatedUnits>> simulators;
    QStringList ports;
    for (int first = 0; first < count; first += perSimulator) {
        const int units = std::min(perSimulator, count - first);
        const QString links =
            tcp ? QString() : dir.filePath(QStringLiteral("m%1-%2").arg(count).arg(first));
        if (!tcp) {
            QDir().mkpath(links);
        }
        // The golden ratio's fraction: offsets spread evenly over the second, however many.
        const double offset = std::fmod(0.618034 * static_cast<double>(simulators.size()), 1.0);
        simulators.push_back(std::make_unique<SimulatedUnits>(
            links, units,
            QStringList{QStringLiteral("--baud"), QStringLiteral("19200"),
                        QStringLiteral("--clock-offset"), QString::number(offset, 'f', 3)}));
        if (!simulators.back()->WaitReady(60'000)) {
            std::fprintf(stderr, "a simulator did not start: %s\n",
                         qPrintable(simulators.back()->Errors()));
            return std::nullopt;
        }
        for (int number = 1; number <= units; ++number) {
            ports << simulators.back()->Link(number);
        }
    }
    const auto requestBytes = [&simulators] {
        qint64 bytes = 0;
        for (const auto& simulator : simulators) {
            bytes += BytesRead(simulator->Pid());
        }
        return bytes;
    };
    MonitorProcess monitor(ports);
    if (!monitor.WaitServing(60'000) ||
        !irig::test::WaitUntil(
            [&] {
                return CountUp(irig::test::Http(monitor.Url(QStringLiteral("/metrics"))).body) ==
                       count;
            },
            120'000)) {
        std::fprintf(stderr, "not every unit answered within 2 minutes:\n%s\n",
                     qPrintable(monitor.Errors().right(2000)));
        return std::nullopt;
    }
    irig::test::WaitUntil([] { return false; }, warmUpS * 1000);
    const double cpuBefore = irig::test::ProcessCpuMs(monitor.Pid());
    const qint64 readBefore = requestBytes();
    irig::test::WaitUntil([] { return false; }, spanS * 1000);
    const double unitMinutes = count * spanS / 60.0;
    Watched watched{(irig::test::ProcessCpuMs(monitor.Pid()) - cpuBefore) / unitMinutes,
                    static_cast<double>(requestBytes() - readBefore) /
                        static_cast<double>(irig::unit::kClockReadBytes) / unitMinutes,
                    static_cast<double>(monitor.ResidentKiB()) / count,
                    {},
                    0,
                    0};
    const QByteArray metrics = irig::test::Http(monitor.Url(QStringLiteral("/metrics"))).body;
    watched.answering = CountUp(metrics);
    watched.measured = static_cast<int>(metrics.count("irig_unit_clock_offset_seconds{"));
    watched.uncertaintyMs = MedianUncertaintyMs(metrics);
    watched.scrapes = Scrapes(monitor.Port(), 100);
    monitor.Terminate();
    return watched;
}

void PrintWatched(const char* what, int count, const Watched& watched, const Watched& anchor) {
    std::printf(
        "  %-4s %5d units  %5d answering, %5d measured (median \u00B1%.0f ms); a unit-minute CPU "
        "%.2f ms (%.2fx), %.1f requests (%.2fx); a request %.1f us (%.2fx); %.1f KiB a unit; "
        "scrapes median %.2f ms, worst %.2f ms\n",
        what, count, watched.answering, watched.measured, watched.uncertaintyMs,
        watched.cpuPerUnitMinute, watched.cpuPerUnitMinute / anchor.cpuPerUnitMinute,
        watched.requestsPerUnitMinute, watched.requestsPerUnitMinute / anchor.requestsPerUnitMinute,
        watched.CpuPerRequestUs(), watched.CpuPerRequestUs() / anchor.CpuPerRequestUs(),
        watched.kibPerUnit, watched.scrapes.empty() ? 0.0 : Median(watched.scrapes),
        watched.scrapes.empty()
            ? 0.0
            : *std::max_element(watched.scrapes.begin(), watched.scrapes.end()));
    std::fflush(stdout);
}

// Each row beside the first of its kind, 32 units, measured in the same run.
bool Monitors(const QTemporaryDir& dir, bool pty, int warmUpS, int spanS) {
    std::printf("(c) irigctl monitor at 19200 baud, CPU and requests over %d s after %d s:\n",
                spanS, warmUpS);
    struct Row {
        const char* what;
        bool tcp;
        std::vector<int> counts;
    };
    std::vector<Row> rows{{"tcp", true, {32, 1000, 5000}}};
    if (pty) {
        rows.push_back({"pty", false, {32, 1000}});
    }
    for (const Row& row : rows) {
        std::optional<Watched> anchor;
        for (const int count : row.counts) {
            const std::optional<Watched> watched = Watch(dir, count, row.tcp, warmUpS, spanS);
            if (!watched) {
                return false;
            }
            if (!anchor) {
                anchor = watched;
            }
            PrintWatched(row.what, count, *watched, *anchor);
        }
    }
    return true;
}

// (d): apply --check over 1000 units on TCP against one.
void ApplyCheck(const QTemporaryDir& dir) {
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
    int warmUpS = 75;
    int spanS = 150;
    bool skipMonitor = false;
    bool monitorOnly = false;
    bool pty = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--warm-up") == 0 && i + 1 < argc) {
            warmUpS = std::max(0, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--span") == 0 && i + 1 < argc) {
            spanS = std::max(10, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--skip-monitor") == 0) {
            skipMonitor = true;
        } else if (std::strcmp(argv[i], "--monitor-only") == 0) {
            monitorOnly = true;
        } else if (std::strcmp(argv[i], "--pty") == 0) {
            pty = true;
        }
    }
    QTemporaryDir dir;
    if (!monitorOnly) {
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
        ApplyCheck(dir);
    }
    if (skipMonitor) {
        return 0;
    }
    return Monitors(dir, pty, warmUpS, spanS) ? 0 : 1;
}
