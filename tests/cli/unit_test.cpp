// One unit as irigctl waits for its answers: the expected answer ends the wait, a stray frame does
// not, and an answer that does not fit or silence ends it saying what came. With the fake port.
#include "cli/unit.h"

#include <gtest/gtest.h>

#include <QTimer>

#include "link/framecodec.h"
#include "status/requests.h"
#include "support/bytes.h"
#include "support/fakeportcontroller.h"
#include "support/wait.h"

namespace irig::cli {
namespace {

struct AnswerRow {
    const char* name;
    QByteArray reply;     // delivered right after the request
    qsizetype payload;    // the answer's length, or -1 when the wait fails
    const char* failure;  // part of Failure()
    bool silent;
};

class Answers : public testing::TestWithParam<AnswerRow> {};

TEST_P(Answers, EndTheWaitSayingWhatCame) {
    test::FakePortController port;
    Unit unit(QStringLiteral("COM1"), port);
    QString why;
    ASSERT_TRUE(unit.Open(&why));
    std::optional<std::optional<QByteArray>> got;
    unit.Ask(status::StatusRequest(), {link::code::kEndRead, 0x01, 10}, 200,
             [&](std::optional<QByteArray> payload) { got = std::move(payload); });
    if (!GetParam().reply.isEmpty()) {
        QTimer::singleShot(0, &port, [&] { port.Deliver(GetParam().reply); });
    }
    ASSERT_TRUE(test::WaitUntil([&] { return got.has_value(); }, 2000));
    EXPECT_EQ(got->has_value() ? got->value().size() : -1, GetParam().payload);
    EXPECT_TRUE(unit.Failure().contains(QLatin1String(GetParam().failure)))
        << unit.Failure().toStdString();
    EXPECT_EQ(unit.Silent(), GetParam().silent);
}

const QByteArray kClock = test::Bytes("80 E0 01 02 D6 07 03 07 09 05 1E 17 80 E1");

INSTANTIATE_TEST_SUITE_P(
    Unit, Answers,
    testing::Values(AnswerRow{"the_clock", kClock, 10, "", false},
                    AnswerRow{"a_stray_frame_then_the_clock",
                              test::Bytes("80 E0 02 00 00 00 80 E1") + kClock, 10, "", false},
                    AnswerRow{"a_short_clock", test::Bytes("80 E0 01 02 03 80 E1"), -1,
                              "an answer that does not fit: 3 bytes where 10 were expected", false},
                    AnswerRow{
                        "a_megabyte",
                        test::Bytes("80 E0 01") + QByteArray(1 << 20, 'x') + test::Bytes("80 E1"),
                        -1, "an answer that does not fit: more than 65536 bytes", false},
                    AnswerRow{"silence", {}, -1, "no answer within 200 ms", true}),
    [](const testing::TestParamInfo<AnswerRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::cli
