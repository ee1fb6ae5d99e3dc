// Loading a HEX file: (a) the line reader and parser alone, (b) the whole Load click on the
// offscreen window (log, pending events between lines; the dialog bypassed), (c) srec_cat from
// Debian's srecord converting the same file, and (d) the whole Load click on 100,000 faulty lines.
// Each figure is the median of several runs. Then memory: the peak of a process that loads (e) a
// 200 MB file of one line and (f) a file of 10^6 faulty lines through the window, against one that
// loads the full image.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "flash/hexfile.h"
#include "shell/irig.h"
#include "support/fakeportcontroller.h"
#include "support/hexrecords.h"

namespace {

using irig::test::DataRecord;
using irig::test::Record;
using irig::test::SegmentRecord;

// 0x4000 to 0x1FFFF of random data in 16-byte records, as objcopy writes it.
QByteArray FullImageFile() {
    std::mt19937 random(7200);
    QByteArray file;
    for (int32_t address = 0x4000; address < 0x20000; address += 16) {
        if (address % 0x10000 == 0) {
            file += SegmentRecord(static_cast<uint16_t>(address >> 4)) + "\r\n";
        }
        QByteArray data(16, '\0');
        for (char& byte : data) {
            byte = static_cast<char>(random());
        }
        file += DataRecord(static_cast<uint16_t>(address & 0xFFFF), data) + "\r\n";
    }
    return file + irig::test::EndRecord() + "\r\n";
}

// Every kind of fault the loader reports, in turn.
QByteArray FaultyFile(int lines) {
    const QByteArray good = DataRecord(0x4000, QByteArray(16, 'x'));
    const QByteArray kinds[] = {"", "short line", "X" + good.mid(1), good.chopped(2),
                                Record(0x00, 0x4000, QByteArray(16, 'x'), 1)};
    QByteArray file;
    for (int i = 0; i < lines; ++i) {
        file += kinds[i % std::size(kinds)] + "\r\n";
    }
    return file;
}

double Milliseconds(const std::function<void()>& run, int repeats) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The peak resident memory, in MB, of this program run again to load `path` through the window.
double PeakMegabytes(const char* self, const QString& path) {
    const QByteArray file = path.toLocal8Bit();
    char* const arguments[] = {const_cast<char*>(self), const_cast<char*>("--load"),
                               const_cast<char*>(file.constData()), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, self, nullptr, nullptr, arguments, environ) != 0) {
        return -1;
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024;
}

int Lines(const QByteArray& file) {
    return static_cast<int>(file.count('\r'));
}

void ParseAlone(const QByteArray& content) {
    static auto image = std::make_unique<irig::flash::FlashImage>();
    QBuffer file;
    file.setData(content);
    file.open(QIODevice::ReadOnly);
    irig::flash::HexLoad load(*image, file, [](const QString&) {});
    load.Begin(QStringLiteral("bench.hex"));
    while (!load.AtEnd()) {
        load.ReadLine();
    }
    load.Finish();
}

// The shown window in flash mode, loading through its Load click.
void LoadThroughWindow(const QString& path) {
    irig::test::FakePortController port;
    irig::shell::IRIG window(port);
    window.show();
    port.Deliver(QByteArray("\x80\xF1", 2));
    window.SetFlashFileChooser([&] { return path; });
    window.cmdLoad_Click();
}

bool RunSrecCat(const QString& in, const QString& out) {
    const pid_t child = fork();
    if (child == 0) {
        const QByteArray input = in.toLocal8Bit(), output = out.toLocal8Bit();
        execlp("srec_cat", "srec_cat", input.constData(), "-intel", "-o", output.constData(),
               "-binary", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "--load") == 0) {
        LoadThroughWindow(QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 7;

    QTemporaryDir dir;
    const QByteArray full = FullImageFile();
    const QByteArray faulty = FaultyFile(100'000);
    const QString fullPath = dir.filePath(QStringLiteral("full.hex"));
    const QString faultyPath = dir.filePath(QStringLiteral("faulty.hex"));
    for (const auto& [path, content] : {std::pair{fullPath, full}, std::pair{faultyPath, faulty}}) {
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(content);
    }

    // Window construction is outside the timed part of (b) and (d); measure it to subtract it.
    const double window = Milliseconds(
        [] {
            irig::test::FakePortController port;
            irig::shell::IRIG idle(port);
            idle.show();
        },
        repeats);
    const double parser = Milliseconds([&] { ParseAlone(full); }, repeats);
    const double whole = Milliseconds([&] { LoadThroughWindow(fullPath); }, repeats) - window;
    const bool haveSrecCat = !QStandardPaths::findExecutable(QStringLiteral("srec_cat")).isEmpty();
    const double srecCat =
        haveSrecCat
            ? Milliseconds([&] { RunSrecCat(fullPath, dir.filePath(QStringLiteral("out.bin"))); },
                           repeats)
            : 0;
    const double faultyWhole =
        Milliseconds([&] { LoadThroughWindow(faultyPath); }, repeats) - window;

    const int fullLines = Lines(full), faultyLines = Lines(faulty);
    std::printf(
        "HEX load, median of %d runs; full image = 0x4000-0x1FFFF in 16-byte records, %d lines\n",
        repeats, fullLines);
    std::printf("%-44s %10s %12s\n", "", "ms", "us per line");
    auto row = [](const char* what, double ms, int lines) {
        std::printf("%-44s %10.2f %12.3f\n", what, ms, 1000.0 * ms / lines);
    };
    row("(a) parser alone, full image", parser, fullLines);
    row("(b) Load click on the window, full image", whole, fullLines);
    if (haveSrecCat) {
        row("(c) srec_cat -intel to -binary, full image", srecCat, fullLines);
    } else {
        std::printf("%-44s %10s\n", "(c) srec_cat", "not installed (apt-get install srecord)");
    }
    row("(d) Load click, 100,000 faulty lines", faultyWhole, faultyLines);
    if (haveSrecCat) {
        std::printf("goal (a) >= 3x faster than (c): %.1fx\n", srecCat / parser);
        std::printf("goal (b) no slower than (c):     %.2fx of (c)\n", whole / srecCat);
    }
    std::printf("goal (d) per line <= 10x (b):    %.1fx\n",
                (faultyWhole / faultyLines) / (whole / fullLines));

    // Memory of hostile files, written straight to disk (neither is ever held whole here).
    const QString oneLinePath = dir.filePath(QStringLiteral("one-line.hex"));
    const QString millionPath = dir.filePath(QStringLiteral("million.hex"));
    {
        QFile oneLine(oneLinePath);
        oneLine.open(QIODevice::WriteOnly);
        const QByteArray chunk(1024 * 1024, 'A');
        oneLine.write(":");
        for (int i = 0; i < 200; ++i) {
            oneLine.write(chunk);
        }
        QFile million(millionPath);
        million.open(QIODevice::WriteOnly);
        million.write(QByteArray(1'000'000, '\r'));
    }
    const double fullPeak = PeakMegabytes(argv[0], fullPath);
    const double oneLinePeak = PeakMegabytes(argv[0], oneLinePath);
    const double millionPeak = PeakMegabytes(argv[0], millionPath);
    std::printf("peak resident memory of a process loading through the window\n");
    std::printf("%-44s %10.1f MB\n", "full image", fullPeak);
    std::printf("%-44s %10.1f MB  (+%.1f MB)\n", "(e) 200 MB file of one line", oneLinePeak,
                oneLinePeak - fullPeak);
    std::printf("%-44s %10.1f MB  (+%.1f MB)\n", "(f) 10^6 faulty lines", millionPeak,
                millionPeak - fullPeak);
    return 0;
}
