// The status line's clock part: the offset's figure, and after it, in words, what it means where
// it names a fault; a plain offset says only its figure.
#include "shell/statusline.h"

#include <gtest/gtest.h>

namespace irig::shell {
namespace {

struct ClockRow {
    const char* name;
    status::ClockOffset offset;
    diagnosis::Kind kind;
    const char* text;
    const char* said;
};

class UnitClock : public testing::TestWithParam<ClockRow> {};

TEST_P(UnitClock, SaysTheDiagnosisAfterTheFigure) {
    diagnosis::Diagnosis d;
    d.kind = GetParam().kind;
    d.text = QString::fromUtf8(GetParam().text);
    EXPECT_EQ(UnitClockText(GetParam().offset, d), QString::fromUtf8(GetParam().said));
}

INSTANTIATE_TEST_SUITE_P(
    StatusLine, UnitClock,
    testing::Values(ClockRow{"whole_hours",
                             {3'600'001, 2},
                             diagnosis::Kind::kHourOffset,
                             "1 hour ahead of this computer's local time",
                             "unit +3600001 ms ±2 ms: 1 hour ahead of this computer's local time"},
                    ClockRow{"plain_offset",
                             {-137, 5},
                             diagnosis::Kind::kOff,
                             "the clock is 137 ms behind",
                             "unit −137 ms ±5 ms"}),
    [](const testing::TestParamInfo<ClockRow>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace irig::shell
