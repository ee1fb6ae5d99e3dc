// Set Time on time: the wait and the second sent at sub-second phases and across midnight, the
// year's end and the end of February; and the words for the host clock's state.
#include "status/settime.h"

#include <gtest/gtest.h>

#include <tuple>

#include "link/protocol.h"
#include "status/hostclock.h"
#include "support/bytes.h"

namespace irig::status {
namespace {

using irig::link::WireTime;
using std::chrono::microseconds;

// A local date and time, plus microseconds.
HostTime At(QDate date, QTime time, int micros = 0) {
    return HostTime(std::chrono::milliseconds(QDateTime(date, time).toMSecsSinceEpoch())) +
           microseconds(micros);
}

struct PlanRow {
    const char* name;
    HostTime now;
    microseconds wait;
    QDateTime second;
};

constexpr microseconds kWire(6770);  // 13 bytes at 19200 baud
const QDate kDay(2026, 12, 6);

const PlanRow kPlanRows[] = {
    {"on_the_second", At(kDay, QTime(14, 5, 9)), microseconds(1'000'000) - kWire,
     QDateTime(kDay, QTime(14, 5, 10))},
    {"a_millisecond_past", At(kDay, QTime(14, 5, 9, 1)), microseconds(999'000) - kWire,
     QDateTime(kDay, QTime(14, 5, 10))},
    {"half_past", At(kDay, QTime(14, 5, 9, 500)), microseconds(500'000) - kWire,
     QDateTime(kDay, QTime(14, 5, 10))},
    {"the_wire_time_before", At(kDay, QTime(14, 5, 9, 993), 230), microseconds(0),
     QDateTime(kDay, QTime(14, 5, 10))},
    {"too_late_for_the_next_second", At(kDay, QTime(14, 5, 9, 999), 900),
     microseconds(1'000'100) - kWire, QDateTime(kDay, QTime(14, 5, 11))},
    {"midnight", At(kDay, QTime(23, 59, 59, 600)), microseconds(400'000) - kWire,
     QDateTime(QDate(2026, 12, 7), QTime(0, 0))},
    {"new_year", At(QDate(2026, 12, 31), QTime(23, 59, 59, 100)), microseconds(900'000) - kWire,
     QDateTime(QDate(2027, 1, 1), QTime(0, 0))},
    {"leap_day", At(QDate(2028, 2, 28), QTime(23, 59, 59, 100)), microseconds(900'000) - kWire,
     QDateTime(QDate(2028, 2, 29), QTime(0, 0))},
    {"no_leap_day", At(QDate(2026, 2, 28), QTime(23, 59, 59, 100)), microseconds(900'000) - kWire,
     QDateTime(QDate(2026, 3, 1), QTime(0, 0))},
};

class Plans : public testing::TestWithParam<PlanRow> {};

TEST_P(Plans, ArriveAsTheSecondBegins) {
    const SetTimePlan plan = PlanSetTime(GetParam().now, kWire);
    EXPECT_EQ(plan.wait.count(), GetParam().wait.count());
    EXPECT_LT(plan.wait, std::chrono::seconds(1));
    EXPECT_EQ(plan.second, GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(SetTime, Plans, testing::ValuesIn(kPlanRows),
                         [](const testing::TestParamInfo<PlanRow>& row) { return row.param.name; });

TEST(SetTime, TheFrameCarriesThePlannedSecondAndItsOwnWireTime) {
    EXPECT_EQ(WireTime(13).count(), 6770);
    const SetTimeSend usual = PlanSetTimeRequest(At(QDate(2026, 1, 30), QTime(23, 59, 59, 500)));
    EXPECT_EQ(usual.frame, test::Bytes("80 E2 01 00 EA 07 01 1F 00 00 00 80 E3"));
    // In 2176 the year's low byte is 0x80 and doubled: 14 bytes, 7.29 ms on the wire.
    const SetTimeSend doubled = PlanSetTimeRequest(At(QDate(2176, 6, 1), QTime(12, 0, 0, 500)));
    EXPECT_EQ(doubled.frame.size(), 14);
    EXPECT_EQ(doubled.plan.wait.count(), 500'000 - WireTime(14).count());
}

TEST(HostClock, SaysWhatTheKernelKnowsAndNoMore) {
    const std::tuple<std::optional<KernelClock>, ClockUse, const char*> rows[] = {
        {KernelClock{false, 1500}, ClockUse::kSetting, "host clock synchronised (±2 ms)"},
        {KernelClock{false, 0}, ClockUse::kMeasuring, "host clock synchronised (±1 ms)"},
        {KernelClock{true, 16000}, ClockUse::kSetting,
         "host clock NOT synchronised: the unit will take the "
         "computer's time as it is"},
        {KernelClock{true, 16000}, ClockUse::kMeasuring,
         "host clock NOT synchronised: the offset is measured against a clock that may itself "
         "be off"},
        {std::nullopt, ClockUse::kMeasuring, "host clock state unknown"}};
    for (const auto& [clock, use, text] : rows) {
        EXPECT_EQ(HostClockText(clock, use), QString::fromUtf8(text));
    }
    EXPECT_EQ(Trust(KernelClock{false, 0}), ClockTrust::kSynchronised);
    EXPECT_EQ(Trust(std::nullopt), ClockTrust::kUnknown);
}

}  // namespace
}  // namespace irig::status
