// The status line's clock part: the offset's figure, then in words the fault it names; a plain
// offset says only its figure.
#include "shell/statusline.h"

#include <gtest/gtest.h>

namespace irig::shell {
namespace {

TEST(StatusLine, SaysTheDiagnosisAfterTheFigureWhereItNamesAFault) {
    diagnosis::Diagnosis d;
    d.kind = diagnosis::Kind::kHourOffset;
    d.text = QStringLiteral("1 hour ahead of this computer's local time");
    EXPECT_EQ(UnitClockText({3'600'001, 2}, d),
              QStringLiteral("unit +3600001 ms ±2 ms: 1 hour ahead of this computer's local time"));
    d.kind = diagnosis::Kind::kOff;
    EXPECT_EQ(UnitClockText({-137, 5}, d), QStringLiteral("unit −137 ms ±5 ms"));
}

}  // namespace
}  // namespace irig::shell
