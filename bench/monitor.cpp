// irigctl monitor at scale, each figure beside an anchor measured in the same run:
// (a) 1000 scrapes of /metrics of a monitor watching 32 simulated units at 19200 baud while it
//     polls them, median and worst, beside 1000 scrapes of an exporter with no units (this
//     process's own, over the same loopback);
// (b) that monitor's CPU per unit per minute and its resident memory, minute by minute for 10
//     minutes (--minutes N), beside a monitor watching a single unit;
// (c) check-time's interval at 19200 baud, median of 20 runs, beside the same unthrottled.
// Usage: bench_monitor [--minutes N]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "monitor/server.h"
#include "support/cputime.h"
#include "support/monitorprocess.h"
#include "support/portmapfolder.h"
#include "support/simulatedunit.h"
#include "support/wait.h"

namespace {

using irig::test::MonitorProcess;
using irig::test::SimulatedUnit;

constexpr int kUnits = 32;
constexpr int kScrapes = 1000;
constexpr int kChecks = 20;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// `count` GETs of /metrics on one kept-alive connection; each one's time in microseconds.
std::vector<double> Scrapes(quint16 port, int count) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000)) {
        std::fprintf(stderr, "cannot connect to port %u\n", port);
        std::exit(1);
    }
    std::vector<double> times;
    QElapsedTimer timer;
    for (int i = 0; i < count; ++i) {
        timer.start();
        socket.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QByteArray reply;
        qsizetype end = -1;
        qsizetype length = -1;
        while (end < 0 || reply.size() < end + 4 + length) {
            if (!socket.waitForReadyRead(5000)) {
                std::fprintf(stderr, "scrape %d: no reply\n", i);
                std::exit(1);
            }
            reply += socket.readAll();
            end = reply.indexOf("\r\n\r\n");
            if (end >= 0 && length < 0) {
                const QByteArray head = reply.left(end).toLower();
                const qsizetype at = head.indexOf("content-length:");
                length = at < 0 ? 0 : head.mid(at + 15).split('\r').at(0).trimmed().toLongLong();
            }
        }
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1000.0);
    }
    return times;
}

void PrintScrapes(const char* what, std::vector<double> times, double anchorMedian) {
    const double median = Median(times);
    std::printf("  %-34s median %7.0f us  worst %7.0f us  (median %.2fx the empty exporter's)\n",
                what, median, *std::max_element(times.begin(), times.end()), median / anchorMedian);
}

struct CheckRuns {
    double uncertaintyMs;  // the median
    double seconds;        // the median run
    double longestSeconds;
};

// check-time `count` times on `port`.
CheckRuns CheckTimes(const QString& port, int count) {
    std::vector<double> widths;
    std::vector<double> seconds;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer timer;
        timer.start();
        QProcess process;
        process.start(QStringLiteral(IRIGCTL_PATH),
                      {QStringLiteral("check-time"), QStringLiteral("--json"),
                       QStringLiteral("--port"), port});
        process.waitForFinished(-1);
        seconds.push_back(static_cast<double>(timer.elapsed()) / 1000.0);
        const QJsonObject json = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        if (process.exitCode() != 0) {
            std::fprintf(stderr, "check-time failed:\n%s\n",
                         process.readAllStandardError().constData());
            std::exit(1);
        }
        widths.push_back(json[QStringLiteral("uncertaintyMs")].toDouble());
    }
    return {Median(widths), Median(seconds), *std::max_element(seconds.begin(), seconds.end())};
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    int minutes = 10;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--minutes") == 0) {
            minutes = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    irig::test::TempPortMap ports;
    QTemporaryDir dir;
    std::vector<std::unique_ptr<SimulatedUnit>> units;
    QStringList many;
    for (int i = 1; i <= kUnits + 1; ++i) {
        const QString name = QStringLiteral("COM%1").arg(i);
        units.push_back(std::make_unique<SimulatedUnit>(
            ports.Entry(name), dir.filePath(name + QStringLiteral(".flash")),
            QStringList{QStringLiteral("--baud"), QStringLiteral("19200")}, true));
        if (!units.back()->WaitReady()) {
            std::fprintf(stderr, "the simulated unit %s did not start\n", qPrintable(name));
            return 1;
        }
        if (i <= kUnits) {
            many.append(name);
        }
    }
    MonitorProcess fleet(many);
    MonitorProcess single({QStringLiteral("COM%1").arg(kUnits + 1)});
    if (!fleet.WaitServing() || !single.WaitServing()) {
        std::fprintf(stderr, "a monitor did not start:\n%s%s\n", qPrintable(fleet.Errors()),
                     qPrintable(single.Errors()));
        return 1;
    }
    const bool allUp = irig::test::WaitUntil(
        [&] {
            return irig::test::Http(fleet.Url(QStringLiteral("/metrics")))
                       .body.count("irig_unit_clock_offset_seconds{") == kUnits;
        },
        60'000);
    if (!allUp) {
        std::fprintf(stderr, "not every unit was measured within a minute:\n%s\n",
                     qPrintable(fleet.Errors()));
        return 1;
    }

    irig::monitor::MetricsBoard none;
    irig::monitor::MetricsServer empty(none, [](const QString&) {});
    QString why;
    const quint16 emptyPort = empty.Listen(QHostAddress::LocalHost, 0, &why);
    std::printf("(a) %d scrapes of /metrics, one kept-alive connection:\n", kScrapes);
    const std::vector<double> anchor = Scrapes(emptyPort, kScrapes);
    PrintScrapes("an exporter with no units", anchor, Median(anchor));
    PrintScrapes("32 units, polled meanwhile", Scrapes(fleet.Port(), kScrapes), Median(anchor));

    std::printf("(b) CPU and memory over %d minute(s), 32 units at 19200 baud against one:\n",
                minutes);
    std::printf("  minute  CPU/unit/min 32 units  1 unit   ratio   resident 32 units  1 unit\n");
    double fleetCpu = irig::test::ProcessCpuMs(fleet.Pid());
    double singleCpu = irig::test::ProcessCpuMs(single.Pid());
    for (int minute = 1; minute <= minutes; ++minute) {
        irig::test::WaitUntil([] { return false; }, 60'000);
        const double fleetNow = irig::test::ProcessCpuMs(fleet.Pid());
        const double singleNow = irig::test::ProcessCpuMs(single.Pid());
        const double perUnit = (fleetNow - fleetCpu) / kUnits;
        const double alone = singleNow - singleCpu;
        std::printf("  %6d  %13.2f ms  %8.2f ms  %5.2fx  %12lld KiB  %6lld KiB\n", minute, perUnit,
                    alone, alone > 0 ? perUnit / alone : 0.0,
                    static_cast<long long>(fleet.ResidentKiB()),
                    static_cast<long long>(single.ResidentKiB()));
        std::fflush(stdout);
        fleetCpu = fleetNow;
        singleCpu = singleNow;
    }
    fleet.Terminate();
    single.Terminate();

    units.resize(1);  // COM1, at 19200 baud
    units.push_back(std::make_unique<SimulatedUnit>(ports.Entry(QStringLiteral("COM40")),
                                                    dir.filePath(QStringLiteral("COM40.flash")),
                                                    QStringList{}, true));
    units.back()->WaitReady();
    std::printf("(c) check-time's uncertainty, median of %d runs:\n", kChecks);
    const CheckRuns unthrottled = CheckTimes(QStringLiteral("COM40"), kChecks);
    const CheckRuns paced = CheckTimes(QStringLiteral("COM1"), kChecks);
    std::printf("  unthrottled pty   \u00B1%.0f ms, in %.1f s (longest %.1f s)\n",
                unthrottled.uncertaintyMs, unthrottled.seconds, unthrottled.longestSeconds);
    std::printf(
        "  19200 baud        \u00B1%.0f ms, in %.1f s (longest %.1f s): %.2fx the "
        "unthrottled\n",
        paced.uncertaintyMs, paced.seconds, paced.longestSeconds,
        paced.uncertaintyMs / unthrottled.uncertaintyMs);
    return 0;
}
