// Start-up cost of irig-config beside an empty QMainWindow: each run is a fresh process on the
// offscreen platform that shows its window and quits on the first turn of the event loop. Prints
// the median wall time and peak resident memory of both, and their ratios.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "link/serialportcontroller.h"
#include "shell/irig.h"

namespace {

int RunChild(int argc, char* argv[], bool irigWindow) {
    QApplication app(argc, argv);
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    if (irigWindow) {
        irig::link::SerialPortController comIrig;
        irig::shell::IRIG window(comIrig);
        window.show();
        return QApplication::exec();
    }
    QMainWindow window;
    window.show();
    return QApplication::exec();
}

struct Run {
    double milliseconds;
    long peakKiB;
};

Run Measure(const char* self, const char* which) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execl(self, self, "--child", which, static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "child %s failed\n", which);
        std::exit(1);
    }
    return {took.count(), usage.ru_maxrss};
}

template <typename T>
T Median(std::vector<T> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0) {
        return RunChild(argc, argv, std::strcmp(argv[2], "irig") == 0);
    }
    const int runs = argc > 1 ? std::atoi(argv[1]) : 21;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // An empty port map, so COM1 resolves to /dev/ttyS0 whatever the user has mapped.
    QTemporaryDir config;
    setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);

    std::vector<double> irigTimes, emptyTimes;
    std::vector<long> irigPeaks, emptyPeaks;
    Measure(argv[0], "empty");  // warm the caches once
    for (int i = 0; i < runs; ++i) {
        const Run irig = Measure(argv[0], "irig");
        const Run empty = Measure(argv[0], "empty");
        irigTimes.push_back(irig.milliseconds);
        irigPeaks.push_back(irig.peakKiB);
        emptyTimes.push_back(empty.milliseconds);
        emptyPeaks.push_back(empty.peakKiB);
    }
    const double irigTime = Median(irigTimes), emptyTime = Median(emptyTimes);
    const long irigPeak = Median(irigPeaks), emptyPeak = Median(emptyPeaks);
    std::printf("start-up to first event-loop turn, median of %d runs (offscreen)\n", runs);
    std::printf("%-22s %10s %14s\n", "", "wall ms", "peak RSS KiB");
    std::printf("%-22s %10.1f %14ld\n", "irig-config window", irigTime, irigPeak);
    std::printf("%-22s %10.1f %14ld\n", "empty QMainWindow", emptyTime, emptyPeak);
    std::printf("%-22s %10.2f %14.2f   (goal: at most 1.50 and 1.30)\n", "ratio",
                irigTime / emptyTime,
                static_cast<double>(irigPeak) / static_cast<double>(emptyPeak));
    return 0;
}
