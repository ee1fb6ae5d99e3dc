// The technician's page for 1,000 units with two hours of measurements each (one a minute): the
// time to make the units' table, the JSON of /units and one unit's page, and to copy the board they
// are made from, each beside the /metrics exposition of the same units made in the same run (the
// anchor). The goal: the table and the JSON each under 50 ms, the copy included.
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <cstdio>
#include <map>
#include <string>

#include "link/protocol.h"
#include "monitor/metrics.h"
#include "monitor/server.h"
#include "page/page.h"

namespace {

using namespace irig;

constexpr int kUnits = 1000;
constexpr int kMeasurements = 120;
constexpr qint64 kNow = 1'800'000'000'000;

// Most up and near the time, one in twenty down, one in fifty lent, one in ten an hour off.
page::State StateOf(int i) {
    return i % 20 == 0 ? page::State::kDown : i % 50 == 1 ? page::State::kLent : page::State::kUp;
}
qint64 OffsetOf(int i, int minute) {
    return i % 10 == 3 ? 3'600'000 + minute % 3 : (i * 7 + minute) % 9 - 4;
}

page::Board Board() {
    page::Board board{{},
                      QStringLiteral("host clock synchronised (±2 ms)"),
                      QStringLiteral("good until 2027-06-28"),
                      kNow};
    for (int i = 0; i < kUnits; ++i) {
        page::Unit unit;
        unit.name = QStringLiteral("sub-%1-%2").arg(i / 40).arg(i % 40);
        unit.port = QStringLiteral("rfc2217://ts%1:%2").arg(i / 40).arg(4001 + i % 40);
        unit.labels = {{QStringLiteral("site"), QStringLiteral("north")},
                       {QStringLiteral("rack"), QString::number(i / 40)}};
        unit.state = StateOf(i);
        if (unit.state == page::State::kUp) {
            unit.source = QStringLiteral("GPS");
            unit.version = QStringLiteral("2.1");
            unit.offsetMs = OffsetOf(i, kMeasurements);
            unit.uncertaintyMs = 3;
            unit.diagnosis =
                page::Diagnosed{QStringLiteral("none"),
                                QStringLiteral("on time, within the measurement's uncertainty")};
            unit.driftPpm = 0.4;
            unit.driftText = QStringLiteral("+0.4 ppm (±0.1 ppm)");
            unit.measuredMs = kNow;
        }
        for (int minute = 0; minute < kMeasurements; ++minute) {
            unit.history.push_back(
                {kNow - (kMeasurements - minute) * 60'000, OffsetOf(i, minute), 3});
        }
        board.units.push_back(std::move(unit));
    }
    return board;
}

std::vector<monitor::UnitReading> Readings() {
    std::vector<monitor::UnitReading> readings;
    for (const page::Unit& unit : Board().units) {
        monitor::UnitReading reading;
        reading.port = unit.port;
        reading.unit = unit.name;
        reading.labels = unit.labels;
        reading.up = unit.state == page::State::kUp;
        reading.leased = unit.state == page::State::kLent;
        reading.clock = status::ClockReading{link::source::kGps, 2026, 12, 9, 5, 0, 0, 21};
        if (unit.offsetMs) {
            reading.offset = status::ClockOffset{*unit.offsetMs, 3};
            reading.diagnosis = diagnosis::Diagnosis{};
            reading.drift = diagnosis::Drift{0.4, 0.1, 600, std::nullopt};
        }
        readings.push_back(std::move(reading));
    }
    return readings;
}

void MetricsExposition(benchmark::State& state) {
    const std::vector<monitor::UnitReading> readings = Readings();
    for (auto _ : state) {
        benchmark::DoNotOptimize(monitor::Exposition(readings, status::KernelClock{}));
    }
}
BENCHMARK(MetricsExposition)->Unit(benchmark::kMillisecond);

void TablePage(benchmark::State& state) {
    const page::Board board = Board();
    for (auto _ : state) {
        benchmark::DoNotOptimize(page::TablePage(board));
    }
    state.counters["bytes"] = static_cast<double>(page::TablePage(board).size());
}
BENCHMARK(TablePage)->Unit(benchmark::kMillisecond);

void UnitsJson(benchmark::State& state) {
    const page::Board board = Board();
    for (auto _ : state) {
        benchmark::DoNotOptimize(page::UnitsJson(board));
    }
    state.counters["bytes"] = static_cast<double>(page::UnitsJson(board).size());
}
BENCHMARK(UnitsJson)->Unit(benchmark::kMillisecond);

void OneUnitPage(benchmark::State& state) {
    const page::Board board = Board();
    for (auto _ : state) {
        benchmark::DoNotOptimize(page::UnitPage(board, board.units[3]));
    }
}
BENCHMARK(OneUnitPage)->Unit(benchmark::kMillisecond);

// What the server copies from the board before it renders: each unit's reading and story.
void BoardStories(benchmark::State& state) {
    monitor::MetricsBoard board;
    std::vector<std::pair<monitor::MetricsBoard::Key, monitor::UnitReading>> units;
    for (monitor::UnitReading& reading : Readings()) {
        units.emplace_back(units.size(), std::move(reading));
    }
    board.Arrange(units);
    for (auto& [key, reading] : units) {
        for (int minute = 0; minute < kMeasurements && reading.offset; ++minute) {
            reading.measured = (kNow - (kMeasurements - minute) * 60'000) * 1000;
            board.Post(key, reading);
        }
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(board.Stories());
    }
}
BENCHMARK(BoardStories)->Unit(benchmark::kMillisecond);

// The console's lines, then each render's time against the anchor's.
class Ratios : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        const double anchor = times_["MetricsExposition"];
        const double copy = times_["BoardStories"];
        for (const auto& [name, ms] : times_) {
            std::printf("%-18s %8.2f ms  %6.2f x the /metrics exposition of the same units%s\n",
                        name.c_str(), ms, anchor > 0 ? ms / anchor : 0.0,
                        name == "TablePage" || name == "UnitsJson"
                            ? (ms + copy < 50 ? "  (with the copy, goal < 50 ms: met)"
                                              : "  (with the copy, goal < 50 ms: MISSED)")
                            : "");
        }
    }

private:
    std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    Ratios ratios;
    benchmark::RunSpecifiedBenchmarks(&ratios);
    benchmark::Shutdown();
    return 0;
}
