// One watched unit in-process, behind a simulated serial component: it is up once it answers, its
// clock is measured, and it goes down and comes back with its port or its answers, saying so once
// each time.
#include "monitor/unitmonitor.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include "support/portmapfolder.h"
#include "support/simulatedport.h"
#include "support/wait.h"

namespace irig::monitor {
namespace {

class Watched : public testing::Test, public test::PluggableDevice {
public:
    Watched() { EXPECT_TRUE(map.Map(QStringLiteral("COM1"), device)); }
    void Start(sim::Options options = {}, Schedule schedule = {20, 60'000}) {
        auto serial = std::make_unique<test::SimulatedPort>(
            std::make_shared<test::SimUnit>(std::move(options)));
        port = serial.get();
        port->failOpen = failOpen;
        port->answerInstead = [this](const QByteArray&) -> std::optional<QByteArray> {
            return silent ? std::optional(QByteArray()) : std::nullopt;
        };
        monitor = std::make_unique<UnitMonitor>(QStringLiteral("COM1"), std::move(serial),
                                                unit::Timeouts{100}, schedule);
        QObject::connect(monitor.get(), &UnitMonitor::Said,
                         [this](const QString& line) { said.append(line); });
        monitor->Start();
    }
    bool Up() const { return monitor->Reading().up; }

    std::optional<link::PortFailure> failOpen;
    bool silent = false;
    test::SimulatedPort* port = nullptr;
    std::unique_ptr<UnitMonitor> monitor;
    QStringList said;
};

TEST_F(Watched, ItsClockIsMeasuredOnceItAnswers) {
    ASSERT_TRUE(Plug());
    sim::Options options;
    options.clockOffsetSeconds = 0.137;
    Start(options);
    ASSERT_TRUE(test::WaitUntil([&] { return monitor->Reading().offset.has_value(); }, 15'000));
    const UnitReading& reading = monitor->Reading();
    EXPECT_TRUE(reading.up);
    EXPECT_LE(std::abs(reading.offset->offsetMs - 137), reading.offset->uncertaintyMs);
    EXPECT_EQ(reading.clock->version, 23);
    EXPECT_EQ(said, QStringList{QStringLiteral("COM1 (%1): answering").arg(device)});
}

// A unit in holdover, its crystal gaining 500 millionths: its measurements give the drift, plain
// within seconds, and what its offset means.
TEST_F(Watched, ItsDriftComesFromItsMeasurements) {
    ASSERT_TRUE(Plug());
    sim::Options options;
    options.source = "crystal";
    options.driftPpm = 500;
    Start(options, {20, 200});
    ASSERT_TRUE(test::WaitUntil([&] { return monitor->Reading().drift.has_value(); }, 30'000));
    const diagnosis::Drift drift = *monitor->Reading().drift;
    EXPECT_LE(std::abs(drift.ppm - 500), drift.uncertaintyPpm) << drift.uncertaintyPpm;
    ASSERT_TRUE(monitor->Reading().diagnosis);
    EXPECT_EQ(monitor->Reading().diagnosis->driftPpm, drift.ppm);
}

struct TroubleRow {
    const char* name;
    std::function<void(Watched&)> trouble;  // once it is up
    std::function<void(Watched&)> mend;
    std::vector<const char*> said;  // in order, each a part of a line, COM1's device as DEVICE
};

class Trouble : public Watched, public testing::WithParamInterface<TroubleRow> {};

TEST_P(Trouble, TakesTheUnitDownAndItComesBackByItself) {
    const TroubleRow& row = GetParam();
    ASSERT_TRUE(Plug());
    Start();
    ASSERT_TRUE(test::WaitUntil([&] { return Up(); }, 5'000)) << said.join('\n').toStdString();
    row.trouble(*this);
    ASSERT_TRUE(test::WaitUntil([&] { return !Up(); }, 5'000)) << said.join('\n').toStdString();
    row.mend(*this);
    ASSERT_TRUE(test::WaitUntil([&] { return Up(); }, 5'000)) << said.join('\n').toStdString();
    ASSERT_EQ(said.size(), static_cast<qsizetype>(row.said.size()))
        << said.join('\n').toStdString();
    for (size_t i = 0; i < row.said.size(); ++i) {
        const QString part =
            QString::fromUtf8(row.said[i]).replace(QStringLiteral("DEVICE"), device);
        EXPECT_TRUE(said[static_cast<qsizetype>(i)].contains(part))
            << said[static_cast<qsizetype>(i)].toStdString() << " lacks " << part.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    UnitMonitor, Trouble,
    testing::Values(TroubleRow{
                        "adapter_unplugged_and_back",
                        [](Watched& w) {
                            w.Unplug();
                            w.port->Unplug();
                        },
                        [](Watched& w) { ASSERT_TRUE(w.Plug()); },
                        {"COM1 (DEVICE): answering", "COM1 (DEVICE): lost: the device went away",
                         "COM1: waiting for DEVICE, where its port-map link",
                         "COM1 (DEVICE): open again", "COM1 (DEVICE): answering"}},
                    TroubleRow{"unit_falls_silent_and_speaks_again",
                               [](Watched& w) { w.silent = true; },
                               [](Watched& w) { w.silent = false; },
                               {"COM1 (DEVICE): answering",
                                "COM1 (DEVICE): not answering: no answer within 100 ms",
                                "COM1 (DEVICE): answering"}}),
    [](const testing::TestParamInfo<TroubleRow>& row) { return std::string(row.param.name); });

// Not there at the start, it is awaited as if it had been lost.
TEST_F(Watched, APortNotThereAtTheStartIsWatchedForUntilItIs) {
    failOpen = link::PortFailure{link::PortFailure::kNoSuchDevice, device, {}, {}};
    Start();
    ASSERT_TRUE(test::WaitUntil([&] { return said.size() >= 2; }, 1000));
    ASSERT_EQ(said.size(), 2) << said.join('\n').toStdString();
    EXPECT_TRUE(said[0].startsWith(QStringLiteral("COM1: cannot open the port: no such device")))
        << said[0].toStdString();
    EXPECT_TRUE(said[1].startsWith(
        QStringLiteral("COM1: waiting for %1, where its port-map link").arg(device)))
        << said[1].toStdString();
    port->failOpen.reset();
    ASSERT_TRUE(Plug());
    ASSERT_TRUE(test::WaitUntil([&] { return Up(); }, 5'000)) << said.join('\n').toStdString();
    EXPECT_EQ(said.mid(2), (QStringList{QStringLiteral("COM1 (%1): open again").arg(device),
                                        QStringLiteral("COM1 (%1): answering").arg(device)}));
}

// A stream of requests to measure: after the one under way, none for the bound, and meanwhile the
// status poll goes on, so a unit that leaves GPS for its crystal is seen to.
TEST_F(Watched, AStreamOfMeasureRequestsLeavesTheReadingCurrent) {
    ASSERT_TRUE(Plug());
    Start({}, Schedule{100, 60'000, 20'000});
    ASSERT_TRUE(test::WaitUntil([&] { return monitor->Reading().offset.has_value(); }, 15'000));
    QTimer stream;
    QObject::connect(&stream, &QTimer::timeout, [&] { monitor->MeasureOnRequest(); });
    stream.start(30);
    port->answerInstead = [this](const QByteArray& sent) -> std::optional<QByteArray> {
        QByteArray crystal;
        for (const sim::Bytes& reply :
             port->Unit().unit.Receive(reinterpret_cast<const uint8_t*>(sent.constData()),
                                       static_cast<size_t>(sent.size()), sim::Clock::now())) {
            crystal.append(reinterpret_cast<const char*>(reply.data()),
                           static_cast<qsizetype>(reply.size()));
        }
        if (crystal.size() > 3) {
            crystal[3] = 0x01;  // the source a clock reply carries
        }
        return crystal;
    };
    ASSERT_TRUE(test::WaitUntil([&] { return monitor->Reading().clock->source == 0x01; }, 2000));
    const qsizetype before = port->Unit().log.size();
    test::WaitUntil([] { return false; }, 1000);
    EXPECT_LT(port->Unit().log.size() - before, 40) << "the status poll's ten, no measurement";
}

// Lent while its clock is measured: the port closes, the reading says so and holds nothing
// measured before; taken back, it is read and measured again at once, and nothing in between was
// taken for the unit falling silent.
TEST_F(Watched, LentItsPortClosesAndTakenBackItIsReadAgain) {
    ASSERT_TRUE(Plug());
    Start();
    ASSERT_TRUE(test::WaitUntil([&] { return Up(); }, 5'000)) << said.join('\n').toStdString();
    std::optional<bool> closed;
    monitor->Lend([&](bool done) { closed = done; });
    ASSERT_TRUE(test::WaitUntil([&] { return closed.has_value(); }, 5'000));
    EXPECT_TRUE(*closed);
    EXPECT_FALSE(port->IsOpen());
    const UnitReading lent = monitor->Reading();
    EXPECT_TRUE(lent.leased);
    EXPECT_FALSE(lent.up || lent.clock || lent.offset);
    monitor->MeasureOnRequest();

    monitor->TakeBack();
    ASSERT_TRUE(test::WaitUntil([&] { return monitor->Reading().offset.has_value(); }, 15'000))
        << said.join('\n').toStdString();
    EXPECT_TRUE(Up());
    EXPECT_FALSE(monitor->Reading().leased);
    EXPECT_FALSE(said.join('\n').contains(QStringLiteral("not answering")))
        << said.join('\n').toStdString();
}

// Turns for measurements: each row asks (+name) and ends (-name) in order; what goes is said as
// it goes, at once (name) or later from its wait (>name).
TEST(Turns, SoManyAtOnceTheOthersInTheOrderTheyAsked) {
    const struct {
        int limit;
        const char* steps;
        const char* went;
    } rows[] = {
        {2, "+a +b +c +d -a -c -b", "a b >c >d"},  // c goes when a ends; d, not c again
        {1, "+a +a -a +b", "a a b"},               // asking again while holding: still held
        {1, "+a +b +c -b -a", "a >c"},             // b stops waiting; c follows a
        {1, "-a +a", "a"},                         // ending what was never asked: nothing
    };
    static const char kWho[] = "abcd";
    for (const auto& row : rows) {
        Turns turns;
        turns.SetLimit(row.limit);
        QStringList went;
        for (const QString& step : QString::fromLatin1(row.steps).split(QLatin1Char(' '))) {
            const QString name = step.mid(1);
            const void* key = &kWho[step[1].toLatin1() - 'a'];  // one address a name
            if (step[0] == QLatin1Char('-')) {
                turns.Done(key);
            } else if (turns.Ask(key, [&went, name] { went.append(QLatin1Char('>') + name); })) {
                went.append(name);
            }
        }
        EXPECT_EQ(went.join(QLatin1Char(' ')), QLatin1String(row.went)) << row.steps;
    }
}

}  // namespace
}  // namespace irig::monitor
