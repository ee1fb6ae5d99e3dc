// The CPU time this process has used, for checks that a wait is not a busy loop; and another
// process's, for the benchmarks.
#pragma once

#include <sys/resource.h>

#include <QDir>
#include <QFile>
#include <chrono>

namespace irig::test {

inline std::chrono::microseconds CpuTime() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// A process's time on the CPU in milliseconds, all its threads, to the nanosecond the scheduler
// counts (the clock ticks of /proc/PID/stat are 10 ms, coarser than a minute of a few units).
inline double ProcessCpuMs(qint64 pid) {
    double nanoseconds = 0;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile schedstat(tasks.filePath(task + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly)) {
            nanoseconds += schedstat.readAll().split(' ').at(0).toDouble();
        }
    }
    return nanoseconds / 1e6;
}

}  // namespace irig::test
