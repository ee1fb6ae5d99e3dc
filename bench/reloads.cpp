// irigctl monitor's memory across reloads: 1,000 simulated units on pseudo-terminals (one
// irig-unit-sim) added to its inventory of one and removed again by SIGHUP, six times (--cycles N,
// --units N); after each add, once every unit answers, its resident memory beside the first add's
// (the anchor), with its threads and open files, and the same once they are removed.
// Usage: bench_reloads [--cycles N] [--units N]
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>

#include "support/monitorprocess.h"
#include "support/simulatedunit.h"
#include "support/wait.h"

namespace {

using irig::test::MonitorProcess;

// A field of /proc/PID/status, "VmRSS:  1234 kB" read as 1234.
qint64 Status(qint64 pid, const QByteArray& field) {
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith(field + ':')) {
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}

qint64 OpenFiles(qint64 pid) {
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot).size();
}

int Answering(const MonitorProcess& monitor) {
    int up = 0;
    for (const QByteArray& line :
         irig::test::Http(monitor.Url(QStringLiteral("/metrics")), false, 30'000)
             .body.split('\n')) {
        up += line.startsWith("irig_unit_up{") && line.endsWith(" 1") ? 1 : 0;
    }
    return up;
}

struct Figures {
    double rssMiB;
    qint64 threads;
    qint64 files;
};

Figures Measure(const MonitorProcess& monitor) {
    return {static_cast<double>(Status(monitor.Pid(), "VmRSS")) / 1024.0,
            Status(monitor.Pid(), "Threads"), OpenFiles(monitor.Pid())};
}

// Writes the inventory, reloads, and waits for the reload's line and for `answering` units up.
bool Reload(MonitorProcess& monitor, const QString& inventory, const QByteArray& text,
            int answering) {
    QFile file(inventory);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size()) {
        return false;
    }
    file.close();
    const qsizetype before = monitor.Errors().count(QStringLiteral(" again: "));
    monitor.Reload();
    return irig::test::WaitUntil(
               [&] { return monitor.Errors().count(QStringLiteral(" again: ")) > before; },
               60'000) &&
           irig::test::WaitUntil([&] { return Answering(monitor) == answering; }, 300'000);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int cycles = 6;
    int count = 1000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--cycles") == 0) {
            cycles = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--units") == 0) {
            count = std::atoi(argv[i + 1]);
        }
    }
    QTemporaryDir dir;
    const QString links = dir.filePath(QStringLiteral("links"));
    QDir().mkpath(links);
    irig::test::SimulatedUnits units(links, count, {});
    if (!units.WaitReady(60'000)) {
        std::fprintf(stderr, "the simulator did not start: %s\n", qPrintable(units.Errors()));
        return 1;
    }
    QByteArray full = "units:\n";
    for (int n = 1; n <= count; ++n) {
        full += QStringLiteral("  u%1: {port: \"%2\"}\n").arg(n).arg(units.Link(n)).toUtf8();
    }
    // An inventory holds one unit at least: the first stays throughout.
    const QByteArray one = full.left(full.indexOf('\n', 7) + 1);
    const QString inventory = dir.filePath(QStringLiteral("units.yaml"));
    QFile file(inventory);
    if (!file.open(QIODevice::WriteOnly) || file.write(one) != one.size()) {
        return 1;
    }
    file.close();
    MonitorProcess monitor({}, {QStringLiteral("--inventory"), inventory, QStringLiteral("--all")});
    if (!monitor.WaitServing(30'000)) {
        std::fprintf(stderr, "the monitor did not start: %s\n", qPrintable(monitor.Errors()));
        return 1;
    }
    const Figures idle = Measure(monitor);
    std::printf("irigctl monitor, %d units added and removed by SIGHUP %d times\n", count, cycles);
    std::printf("%-10s %10s %8s %8s %8s\n", "", "RSS MiB", "ratio", "threads", "files");
    std::printf("%-10s %10.1f %8s %8lld %8lld\n", "one unit", idle.rssMiB, "", idle.threads,
                idle.files);
    double anchor = 0;
    for (int cycle = 1; cycle <= cycles; ++cycle) {
        if (!Reload(monitor, inventory, full, count)) {
            std::fprintf(stderr, "cycle %d: not every unit answered\n%s", cycle,
                         qPrintable(monitor.Errors().right(2000)));
            return 1;
        }
        const Figures added = Measure(monitor);
        anchor = cycle == 1 ? added.rssMiB : anchor;
        if (!Reload(monitor, inventory, one, 1)) {
            return 1;
        }
        // The units' ports close in their loops' threads, after the reload has answered.
        irig::test::WaitUntil([&] { return OpenFiles(monitor.Pid()) <= idle.files + 4; }, 10'000);
        const Figures removed = Measure(monitor);
        std::printf("%-10s %10.1f %8.2f %8lld %8lld\n",
                    qPrintable(QStringLiteral("add %1").arg(cycle)), added.rssMiB,
                    added.rssMiB / anchor, added.threads, added.files);
        std::printf("%-10s %10.1f %8.2f %8lld %8lld\n",
                    qPrintable(QStringLiteral("remove %1").arg(cycle)), removed.rssMiB,
                    removed.rssMiB / anchor, removed.threads, removed.files);
        std::fflush(stdout);
    }
    monitor.Terminate();
    return 0;
}
