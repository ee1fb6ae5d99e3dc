// One unattended update in-process, against a simulated unit behind a serial component: Ctrl-C
// stops it after the block in flight, and no block follows.
#include "cli/flashjob.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/simulatedport.h"
#include "support/wait.h"

namespace irig::cli {
namespace {

TEST(FlashJob, AnInterruptStopsAfterTheBlockInFlightAndSendsNoOther) {
    sim::Options options;
    options.rebootMs = 5;
    auto sim = std::make_shared<test::SimUnit>(options);
    test::SimulatedPort port(sim);
    Unit unit(QStringLiteral("COM1"), port);
    QString why;
    ASSERT_TRUE(unit.Open(&why)) << why.toStdString();
    auto image = std::make_unique<flash::FlashImage>();
    image->fill(flash::kBlank);
    (*image)[0xBFFF] = 0x00;  // 257 blocks
    FlashJob job(unit, *image, Request{});
    std::optional<Outcome> outcome;
    QObject::connect(&job, &FlashJob::Finished, [&](const Outcome& ended) { outcome = ended; });
    QObject::connect(&job, &FlashJob::Progressed, [&] {
        if (job.Confirmed() == 5) {
            job.Interrupt();
        }
    });
    job.Start();
    ASSERT_TRUE(test::WaitUntil([&] { return outcome.has_value(); }, 10'000));
    EXPECT_EQ(outcome->exitCode, kInterrupted);
    EXPECT_TRUE(outcome->error.contains(
        QStringLiteral("stopped after the block at 0x04200: 5 of 257 blocks written")))
        << outcome->error.toStdString();
    EXPECT_FALSE(
        test::WaitUntil([&] { return sim->log.filter(QStringLiteral("block ")).size() > 5; }, 100))
        << "no block after the one in flight";
}

}  // namespace
}  // namespace irig::cli
