// The clock check's bounds when the unit's clock jumps, and how an offset is rounded and said. (Its
// bounds against a modelled unit and line are the measurement's test.)
#include "status/clockcheck.h"

#include <gtest/gtest.h>

namespace irig::status {
namespace {

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
    const char* signedText;
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
    EXPECT_EQ(OffsetText(offset, OffsetStyle::kSigned), QString::fromUtf8(row.signedText));
}

INSTANTIATE_TEST_SUITE_P(
    ClockCheck, Rounded,
    testing::Values(
        Rounding{"ahead", 135'200, 139'000, {137, 2}, "137 ms ahead (±2 ms)", "unit +137 ms ±2 ms"},
        Rounding{"middle_off_the_millisecond",
                 136'600,
                 137'000,
                 {137, 1},
                 "137 ms ahead (±1 ms)",
                 "unit +137 ms ±1 ms"},
        Rounding{"behind",
                 -2'501'400,
                 -2'499'000,
                 {-2500, 2},
                 "2500 ms behind (±2 ms)",
                 "unit −2500 ms ±2 ms"},
        Rounding{"on_time", -900, 1'100, {0, 2}, "0 ms off (±2 ms)", "unit 0 ms ±2 ms"}),
    [](const testing::TestParamInfo<Rounding>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace irig::status
