// The exchange with the unit without a window: the sending rule, the order of the flash step and
// the decoding at an end code, a session ended by a lost line, and an update's progress.
#include "exchange/unitexchange.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include "support/bytes.h"
#include "support/fakeportcontroller.h"

namespace irig::exchange {
namespace {

using flash::FlashSession;
using test::Bytes;

class Exchange : public testing::Test {
protected:
    Exchange() {
        QObject::connect(
            &exchange, &UnitExchange::SessionStepped, [this](const FlashSession::Step& step) {
                events.append(QStringLiteral("step %1 sent %2")
                                  .arg(step.strayIgnored ? QStringLiteral("stray")
                                                         : step.log.join(QLatin1Char('/')))
                                  .arg(port.sent.size()));
            });
        QObject::connect(&exchange, &UnitExchange::ReplyDecoded,
                         [this](int16_t code, const status::StatusView& view) {
                             events.append(QStringLiteral("reply %1 %2")
                                               .arg(code, 0, 16)
                                               .arg(view.irigOffset.value_or(QStringLiteral("-"))));
                         });
        exchange.Image().fill(flash::kBlank);
        exchange.Image()[0x4000] = 0x00;
        port.open = true;
    }

    test::FakePortController port;
    UnitExchange exchange{port};
    QStringList events;
};

TEST_F(Exchange, SendingEmptiesTheReceiveBufferFirst) {
    exchange.Feed(Bytes("11 22"));
    exchange.SendFrame(Bytes("80 E0 02 80 E1"));
    EXPECT_TRUE(exchange.Receiver().strRxData.isEmpty());
    EXPECT_EQ(port.sent, QList<QByteArray>{Bytes("80 E0 02 80 E1")});
}

TEST_F(Exchange, TheFlashStepRunsFirstAndItsFrameLeavesNothingToDecode) {
    exchange.Program();
    ASSERT_EQ(events, QStringList{QStringLiteral("step Erasing flash memory sent 0")});
    events.clear();
    // An erase result that also reads as an offsets reply: the block sent empties the payload.
    exchange.Feed(Bytes("80 F2 FF 80 F3"));
    EXPECT_EQ(events, QStringList{QStringLiteral(
                          "step Erase Flash memory complete/Programming flash memory sent 1")});
    EXPECT_TRUE(port.sent.last().startsWith(Bytes("80 F6 00 40 00 00")));

    events.clear();
    exchange.Feed(Bytes("80 E0 02 FB 05 00 80 E1"));  // not the echo: said, and decoded as it is
    EXPECT_EQ(events,
              (QStringList{QStringLiteral("step stray sent 2"), QStringLiteral("reply e1 -5")}));
}

TEST_F(Exchange, ALostLineEndsARunningSessionOnly) {
    exchange.LineLost();
    EXPECT_TRUE(events.isEmpty());
    exchange.Program();
    exchange.LineLost();
    EXPECT_EQ(events.last(),
              QStringLiteral("step Programming failed - pick the port again and press Program "
                             "sent 1"));
    EXPECT_FALSE(exchange.Session().Running());
    exchange.Feed(Bytes("80 F2 FF 80 F3"));
    EXPECT_EQ(port.sent.size(), 1) << "a late erase result starts nothing";
}

// An update's progress, kept from the steps on the exchange's steady clock: the time left from the
// rate since the first block went out, the unit's silence, and the end.
TEST_F(Exchange, AFrameNoPortTakesEndsTheSessionAsALostLineWould) {
    port.open = false;
    exchange.Program();
    EXPECT_EQ(events.last(), QStringLiteral("step Programming failed - pick the port again and "
                                            "press Program sent 0"));
}

TEST_F(Exchange, ProgressIsKeptFromTheSteps) {
    qint64 now = 5'000;
    exchange.SetSteadyClock([&] { return now; });
    exchange.Image()[0x4480] = 0x00;  // ten blocks
    exchange.Program();
    const UpdateProgress& update = exchange.Progress();
    EXPECT_TRUE(update.Running());
    EXPECT_EQ(update.Blocks(), 10);
    now += 1'000;  // the erase takes a second
    exchange.Feed(Bytes("80 F2 FF 80 F3"));
    EXPECT_EQ(update.RemainingMs(now), -1) << "unknown before the first echo";
    for (int block = 0; block < 4; ++block) {
        now += 200;
        exchange.DataReceived();
        exchange.Feed(port.sent.last());
    }
    EXPECT_EQ(update.Confirmed(), 4);
    EXPECT_EQ(update.RemainingMs(now), 1'200) << "6 more at 200 ms each";
    EXPECT_DOUBLE_EQ(update.BlocksPerSecond(now), 5.0);
    EXPECT_EQ(update.ElapsedMs(now), 1'800);
    now += 7'000;
    EXPECT_EQ(update.SilenceMs(now), 7'000);
    exchange.Abandon();
    EXPECT_FALSE(update.Running());
    EXPECT_EQ(update.RemainingMs(now), -1);
}

TEST_F(Exchange, SingleCodesAreReported) {
    QSignalSpy codes(&exchange, &UnitExchange::SingleCodeReceived);
    exchange.Feed(Bytes("80 F0 80 F1"));
    ASSERT_EQ(codes.size(), 2);
    EXPECT_EQ(codes[0][0].value<int16_t>(), 0xF0);
    EXPECT_EQ(codes[1][0].value<int16_t>(), 0xF1);
}

}  // namespace
}  // namespace irig::exchange
