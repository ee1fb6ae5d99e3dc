// One unattended update in-process, against a simulated unit behind a serial component: Ctrl-C
// stops it after the block in flight, and no block follows.
#include "cli/flashjob.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/simulatedport.h"
#include "support/wait.h"
#include "unit/changerecord.h"

namespace irig::cli {
namespace {

TEST(FlashJob, AnInterruptStopsAfterTheBlockInFlightAndSendsNoOther) {
    sim::Options options;
    options.rebootMs = 5;
    auto sim = std::make_shared<test::SimUnit>(options);
    unit::Session session(QStringLiteral("COM1"), std::make_unique<test::SimulatedPort>(sim), {});
    QStringList changes;
    session.SetChangeRecord(
        std::make_shared<unit::ChangeRecord>([&](const QString& line) { changes.append(line); }));
    session.Open();
    ASSERT_TRUE(test::WaitUntil([&] { return session.IsOpen(); }));
    auto image = std::make_unique<flash::FlashImage>();
    image->fill(flash::kBlank);
    (*image)[0xBFFF] = 0x00;  // 257 blocks
    FlashJob job(session, *image, {}, 2);
    std::optional<FlashResult> outcome;
    QObject::connect(&job, &FlashJob::Finished, [&](const FlashResult& ended) { outcome = ended; });
    QObject::connect(&job, &FlashJob::Progressed, [&] {
        if (job.Confirmed() == 5) {
            job.Interrupt();
        }
    });
    job.Start();
    ASSERT_TRUE(test::WaitUntil([&] { return outcome.has_value(); }, 10'000));
    EXPECT_EQ(outcome->end, FlashResult::End::kStopped);
    EXPECT_TRUE(FlashMessage(*outcome).contains(
        QStringLiteral("stopped after the block at 0x04200: 5 of 257 blocks written")))
        << FlashMessage(*outcome).toStdString();
    EXPECT_FALSE(
        test::WaitUntil([&] { return sim->log.filter(QStringLiteral("block ")).size() > 5; }, 100))
        << "no block after the one in flight";
    EXPECT_EQ(changes.size(), 2);
    EXPECT_TRUE(changes.value(1).startsWith(
        QStringLiteral("COM1 (/dev/ttyS0): flash left by %1: stopped after the block at 0x04200")
            .arg(unit::ChangeRecord::User())))
        << changes.join('\n').toStdString();
}

}  // namespace
}  // namespace irig::cli
