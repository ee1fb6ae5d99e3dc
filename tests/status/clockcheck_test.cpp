// The clock check against a modelled unit and line: whatever the offset, the line's speed and the
// unit's delays, the bounds it ends with hold the true offset, and they are as narrow as the line
// allows; and how an offset is rounded and said.
#include "status/clockcheck.h"

#include <gtest/gtest.h>

#include <random>

#include "link/protocol.h"

namespace irig::status {
namespace {

constexpr qsizetype kRequest = 5;
constexpr qsizetype kReply = 14;

struct Line {
    const char* name;
    qint64 offset;      // the unit's clock minus the host's, µs
    bool paced;         // the bytes take their time at 19200 baud; else they arrive at once
    qint64 unitMost;    // the most the unit takes between a request's end and its reading, µs
    qint64 wayMost;     // the most the line (adapter, network) adds each way, µs
    qint64 widestMs;    // the uncertainty the check should reach
    int stepAfter = 0;  // the host's clock steps by `step` µs after this many replies
    qint64 step = 0;
    qint64 late = 0;  // a request goes this much after its planned time, plus up to a tenth more
    bool busyHost = false;  // after the first reply, every other one is read 12 ms late
    qint64 wayLeast = 0;    // the least the line adds each way, µs
};

class ModelledUnit : public testing::TestWithParam<Line> {};

// Sends as the command does, each request when NextSend says, until the bounds are narrow, and
// checks that every sample's bounds hold the truth.
TEST_P(ModelledUnit, BoundsHoldTheTrueOffsetAndNarrowAsTheLineAllows) {
    const Line& line = GetParam();
    std::mt19937 random(7);
    const auto upTo = [&](qint64 most) {
        return std::uniform_int_distribution<qint64>(0, most)(random);
    };
    const auto floorSecond = [](qint64 micros) {
        return (micros >= 0 ? micros : micros - ClockCheck::kSecond + 1) / ClockCheck::kSecond;
    };
    const qint64 requestWire = line.paced ? link::WireTime(kRequest).count() : 0;
    const qint64 replyWire = line.paced ? link::WireTime(kReply).count() : 0;

    // Time on the steady clock; the host's clock reads it plus `host`, until a step.
    qint64 host = 1'765'000'000'123'456;
    qint64 now = 0;
    int replies = 0;
    ClockCheck check;
    while (!check.Narrow() && check.Samples() < 150) {
        if (line.stepAfter > 0 && replies == line.stepAfter) {
            host += line.step;
        }
        const qint64 truth = host == 1'765'000'000'123'456 ? line.offset : line.offset - line.step;
        const qint64 planned = check.NextSend(host + now + 2'000) - host;
        const qint64 sent = planned + line.late + upTo(line.late / 10);
        const auto oneWay = [&] { return line.wayLeast + upTo(line.wayMost - line.wayLeast); };
        const qint64 reading = sent + oneWay() + requestWire + upTo(line.unitMost);
        const qint64 slowHost = line.busyHost && replies % 2 == 1 ? 12'000 : 0;
        const qint64 received = reading + replyWire + oneWay() + slowHost;
        check.Add({host + sent, host + received, floorSecond(host + reading + truth), sent,
                   host + planned},
                  kRequest, kReply);
        ++replies;
        ASSERT_LE(check.Low(), truth) << "after " << replies;
        ASSERT_GT(check.High(), truth) << "after " << replies;
        now = received;
    }
    const qint64 truth = line.stepAfter > 0 ? line.offset - line.step : line.offset;
    const ClockOffset found = OffsetOf(check);
    EXPECT_LE(std::abs(found.offsetMs * 1000 - truth), found.uncertaintyMs * 1000);
    EXPECT_LE(found.uncertaintyMs, line.widestMs);
    EXPECT_LT(check.Samples(), 130) << "a second of fast polling and a few placed requests";
}

INSTANTIATE_TEST_SUITE_P(
    ClockCheck, ModelledUnit,
    testing::Values(Line{"ahead_at_19200", 137'000, true, 1'000, 200, 3},
                    Line{"behind_at_19200", -2'500'000, true, 1'000, 200, 3},
                    Line{"on_time_at_19200", 0, true, 1'000, 200, 3},
                    Line{"a_fraction_behind_unthrottled", -1'234, false, 300, 100, 3},
                    Line{"ahead_unthrottled", 137'000, false, 300, 100, 3},
                    Line{"slow_unit_at_19200", 137'000, true, 6'000, 200, 10},
                    // The host's clock is stepped 300 ms ahead once the boundary has been caught.
                    Line{"host_clock_stepped_meanwhile", 137'000, true, 1'000, 200, 3, 60, 300'000},
                    // A terminal server 25 ms away: readings cannot be placed closer than the
                    // round trip, and the uncertainty says so.
                    Line{"behind_a_far_terminal_server", 137'000, true, 1'000, 13'000, 30, 0, 0, 0,
                         false, 12'000},
                    // The host's timer wakes 3 ms after the planned moment, give or take.
                    Line{"late_timer_at_19200", 137'000, true, 1'000, 200, 2, 0, 0, 3'000},
                    Line{"late_timer_unthrottled", 137'000, false, 300, 100, 2, 0, 0, 3'000},
                    // A busy host reads some replies late, as late as a 19200 line would give
                    // them; the first came back sooner than that line allows.
                    Line{"unthrottled_behind_a_busy_host", 137'000, false, 300, 100, 3, 0, 0, 0,
                         true}),
    [](const testing::TestParamInfo<Line>& info) { return std::string(info.param.name); });

// The unit's clock jumped: bounds that would cross are not kept, the later reply stands alone.
TEST(ClockCheck, AReplyThatContradictsTheBoundsStartsThemOver) {
    constexpr qint64 kS = ClockCheck::kSecond;
    ClockCheck check;
    check.Add({10 * kS, 10 * kS, 10, 10 * kS}, 0, 0);
    check.Add({20 * kS, 20 * kS, 25, 20 * kS}, 0, 0);
    EXPECT_EQ(check.Low(), 5 * kS);
    EXPECT_EQ(check.High(), 6 * kS);
}

struct Rounding {
    const char* name;
    qint64 low, high;  // µs
    ClockOffset offset;
    const char* text;
};

class Rounded : public testing::TestWithParam<Rounding> {};

// Whole milliseconds, the uncertainty rounded outward so that the bounds stay inside.
TEST_P(Rounded, TheBoundsStayWithinTheOffsetAndItsUncertainty) {
    const Rounding& row = GetParam();
    ClockCheck check;
    // A reading at exactly `-low` host µs past a boundary and one `high` short of the next.
    const HostMicros at = 10 * ClockCheck::kSecond;
    check.Add({at - row.low, at - row.low, 10, at - row.low}, 0, 0);
    const HostMicros later = at + ClockCheck::kSecond - row.high;
    check.Add({later, later, 10, later}, 0, 0);
    ASSERT_EQ(check.Low(), row.low);
    ASSERT_EQ(check.High(), row.high);
    const ClockOffset offset = OffsetOf(check);
    EXPECT_EQ(offset.offsetMs, row.offset.offsetMs);
    EXPECT_EQ(offset.uncertaintyMs, row.offset.uncertaintyMs);
    EXPECT_EQ(OffsetText(offset), QString::fromUtf8(row.text));
}

INSTANTIATE_TEST_SUITE_P(
    ClockCheck, Rounded,
    testing::Values(
        Rounding{"ahead", 135'200, 139'000, {137, 2}, "137 ms ahead (±2 ms)"},
        Rounding{"middle_off_the_millisecond", 136'600, 137'000, {137, 1}, "137 ms ahead (±1 ms)"},
        Rounding{"behind", -2'501'400, -2'499'000, {-2500, 2}, "2500 ms behind (±2 ms)"},
        Rounding{"on_time", -900, 1'100, {0, 2}, "0 ms off (±2 ms)"}),
    [](const testing::TestParamInfo<Rounding>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace irig::status
