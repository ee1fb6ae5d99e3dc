// The monitor's leases as decisions: what each request is answered, what becomes of the unit's
// port and what the record says; when leases end by themselves, go on renamed, or end with
// their unit.
#include "lease/leases.h"

#include <gtest/gtest.h>

namespace irig::lease {
namespace {

using Port = LeaseDecision::Port;

constexpr qint64 kNow = 1'765'000'000'000;  // 2025-12-06T05:46:40Z
const LeasedUnit kUnit{1, QStringLiteral("sub-a-1"), QStringLiteral("COM1")};
const std::string kTooLong(101, 'x');  // characters of ?by=

// One request to the table, `atS` seconds after kNow; with no `seconds`, not a request: the leases
// due then expire.
struct Asked {
    LeaseRequest::Verb verb;
    const char* seconds;
    const char* by = "";
    const char* token = nullptr;  // none: no ?lease=
    int atS = 0;
    const char* who = "127.0.0.1";
};

struct LeaseRow {
    const char* name;
    std::vector<Asked> before;  // each answered 200
    Asked asked;
    int status;
    Port port;
    const char* record;  // empty: nothing recorded
    const char* body;    // "key=value|key=value": what the answer holds, "key=" for absent
};

LeaseDecision Decide(Leases& leases, const Asked& asked) {
    const qint64 now = kNow + qint64{asked.atS} * 1000;
    if (asked.seconds == nullptr) {
        leases.Expire(now);
        return {{200, {}}, Port::kKeep, {}};
    }
    const LeaseRequest request{
        asked.verb,
        {},
        {},
        QString::fromLatin1(asked.who),
        QString::fromUtf8(asked.seconds),
        {QString::fromUtf8(asked.by),
         asked.token ? std::optional(QString::fromLatin1(asked.token)) : std::nullopt}};
    return leases.Decide(kUnit, request, now);
}

// Tokens t1, t2, ... in the order the leases are taken.
Leases Table() {
    return Leases(3600, [n = 0]() mutable { return "t" + QByteArray::number(++n); });
}

// A row, its fields packed as the lines allow.
LeaseRow Row(const char* name, std::vector<Asked> before, Asked asked, int status, Port port,
             const char* record, const char* body) {
    return {name, std::move(before), asked, status, port, record, body};
}

class Decisions : public testing::TestWithParam<LeaseRow> {};

TEST_P(Decisions, AnswerPortAndRecordAreTheRowsOwn) {
    const LeaseRow& row = GetParam();
    Leases leases = Table();
    for (const Asked& before : row.before) {
        ASSERT_EQ(Decide(leases, before).answer.status, 200);
    }
    const LeaseDecision decision = Decide(leases, row.asked);
    EXPECT_EQ(decision.answer.status, row.status);
    EXPECT_EQ(decision.port, row.port);
    EXPECT_EQ(decision.record, QString::fromUtf8(row.record));
    for (const QString& pair : QString::fromUtf8(row.body).split('|', Qt::SkipEmptyParts)) {
        const QString key = pair.section('=', 0, 0);
        EXPECT_EQ(decision.answer.body.value(key).toVariant().toString(), pair.section('=', 1))
            << key.toStdString();
    }
}

using Verb = LeaseRequest::Verb;
const Asked kTaken{Verb::kTake, "600", "irigctl apply (pid 42)"};
const Asked kReturned{Verb::kReturn, "", "", "t1"};
const Asked kTakenBack{Verb::kReturn, "", "", nullptr, 2, "ops"};
const Asked kRenewed{Verb::kTake, "600", "", "t1", 3};
const Asked kLentForASecond{Verb::kTake, "1"};
const Asked kExpiry{Verb::kAsk, nullptr, "", nullptr, 1};

INSTANTIATE_TEST_SUITE_P(
    Leases, Decisions,
    testing::Values(
        Row("take", {}, kTaken, 200, Port::kClose,
            "lent to 127.0.0.1 (irigctl apply (pid 42)) for 600 s",
            "unit=sub-a-1|port=COM1|holder=127.0.0.1 (irigctl apply (pid 42))|seconds=600|"
            "until=2025-12-06T05:56:40Z|lease=t1"),
        Row("more_than_the_limit_is_the_limit", {}, {Verb::kTake, "100000000000000000000"}, 200,
            Port::kClose, "lent to 127.0.0.1 for 3600 s", "seconds=3600"),
        Row("zero_seconds", {}, {Verb::kTake, "0"}, 400, Port::kKeep, "", ""),
        Row("negative_seconds", {}, {Verb::kTake, "-5"}, 400, Port::kKeep, "", ""),
        Row("seconds_not_a_number", {}, {Verb::kTake, "10s"}, 400, Port::kKeep, "", ""),
        Row("no_seconds", {}, {Verb::kTake, ""}, 400, Port::kKeep, "", ""),
        Row("by_that_is_no_text", {}, {Verb::kTake, "60", "a\x1b[2J"}, 400, Port::kKeep, "", ""),
        Row("by_too_long", {}, {Verb::kTake, "60", kTooLong.c_str()}, 400, Port::kKeep, "", ""),
        Row("taken_already", {kTaken}, {Verb::kTake, "60", "flash", nullptr, 5, "10.0.0.2"}, 409,
            Port::kKeep, "",
            "error=sub-a-1 is lent to 127.0.0.1 (irigctl apply (pid 42)) until "
            "2025-12-06T05:56:40Z|until=2025-12-06T05:56:40Z"),
        Row("renewed_with_its_token", {kTaken}, {Verb::kTake, "600", "", "t1", 400}, 200,
            Port::kKeep, "", "until=2025-12-06T06:03:20Z|lease=t1"),
        Row("renewed_with_another_token", {kTaken}, {Verb::kTake, "600", "", "t9", 400}, 409,
            Port::kKeep, "",
            "error=your lease ended: no lease of sub-a-1 has that token (the monitor may have "
            "started again since)|ended=unknown|lease="),
        Row("renewed_never_lent", {}, kRenewed, 409, Port::kKeep, "", "ended=unknown|lease="),
        Row("renewed_once_taken_back", {kTaken, kTakenBack}, kRenewed, 409, Port::kKeep, "",
            "error=your lease ended: taken back by ops at 2025-12-06T05:46:42Z|"
            "ended=taken back|by=ops|at=2025-12-06T05:46:42Z|lease="),
        Row("renewed_once_taken_back_and_lent_again",
            {kTaken, kTakenBack, {Verb::kTake, "60", "", nullptr, 2, "::1"}}, kRenewed, 409,
            Port::kKeep, "", "ended=taken back|by=ops|lease="),
        Row("renewed_once_expired", {kLentForASecond, kExpiry}, kRenewed, 409, Port::kKeep, "",
            "error=your lease ended: expired at 2025-12-06T05:46:41Z|ended=expired|by=|lease="),
        Row("renewed_once_returned", {kTaken, kReturned}, kRenewed, 409, Port::kKeep, "",
            "error=your lease ended: returned by 127.0.0.1 (irigctl apply (pid 42)) at "
            "2025-12-06T05:46:40Z"),
        Row("taken_once_expired", {kLentForASecond, kExpiry}, {Verb::kTake, "60", "", nullptr, 2},
            200, Port::kClose, "lent to 127.0.0.1 for 60 s", "lease=t2"),
        Row("taken_once_taken_back", {kTaken, kTakenBack}, {Verb::kTake, "60", "", nullptr, 3}, 200,
            Port::kClose, "lent to 127.0.0.1 for 60 s", "lease=t2"),
        Row("returned_with_its_token", {kTaken}, {Verb::kReturn, "", "", "t1", 42}, 200,
            Port::kReopen, "returned by 127.0.0.1 (irigctl apply (pid 42)) after 42 s",
            "unit=sub-a-1|returned=true"),
        Row("taken_back_by_an_operator", {kTaken}, {Verb::kReturn, "", "", nullptr, 42, "ops"}, 200,
            Port::kReopen, "taken back by ops from 127.0.0.1 (irigctl apply (pid 42)) after 42 s",
            "returned=true"),
        Row("returned_with_another_token", {kTaken}, {Verb::kReturn, "", "", "t9", 42}, 409,
            Port::kKeep, "", "returned=|ended=unknown"),
        Row("returned_twice", {kTaken, kReturned}, kReturned, 409, Port::kKeep, "",
            "ended=returned|returned="),
        Row("returned_once_taken_back", {kTaken, kTakenBack}, kReturned, 409, Port::kKeep, "",
            "ended=taken back|returned="),
        Row("returned_once_expired", {kLentForASecond, kExpiry}, kReturned, 409, Port::kKeep, "",
            "ended=expired"),
        Row("taken_back_once_expired", {kLentForASecond, kExpiry}, kTakenBack, 200, Port::kKeep, "",
            "returned=false"),
        Row("taken_back_when_not_lent", {}, kTakenBack, 200, Port::kKeep, "", "returned=false"),
        Row("taken_again_once_returned", {kTaken, kReturned},
            {Verb::kTake, "60", "", nullptr, 1, "::1"}, 200, Port::kClose, "lent to ::1 for 60 s",
            "lease=t2"),
        Row("asked_while_lent", {kTaken}, {Verb::kAsk, ""}, 200, Port::kKeep, "",
            "leased=true|port=COM1|until=2025-12-06T05:56:40Z|lease="),
        Row("asked_while_watched", {}, {Verb::kAsk, ""}, 200, Port::kKeep, "",
            "leased=false|holder=")),
    [](const testing::TestParamInfo<LeaseRow>& row) { return std::string(row.param.name); });

// Leases end by themselves at their time, the next due first; a unit renamed keeps its own; a unit
// that leaves the watch list ends it.
TEST(Leases, EndAtTheirTimeGoOnRenamedOrEndWhenTheUnitLeaves) {
    Leases leases = Table();
    const LeasedUnit other{2, {}, QStringLiteral("/dev/ttyUSB0")};
    LeaseRequest take{LeaseRequest::Verb::kTake, {}, {}, QStringLiteral("ops"),
                      QStringLiteral("600"),     {}};
    ASSERT_EQ(leases.Decide(kUnit, take, kNow).answer.status, 200);
    take.seconds = QStringLiteral("1");
    ASSERT_EQ(leases.Decide(other, take, kNow).answer.status, 200);
    EXPECT_EQ(leases.NextExpiry(), kNow + 1000);
    EXPECT_TRUE(leases.Expire(kNow + 999).empty());

    const auto expired = leases.Expire(kNow + 1000);
    ASSERT_EQ(expired.size(), 1U);
    EXPECT_EQ(expired[0].first, 2U);
    EXPECT_EQ(expired[0].second.port, Port::kReopen);
    EXPECT_EQ(expired[0].second.record, QStringLiteral("lease of ops expired after 1 s"));
    EXPECT_EQ(leases.NextExpiry(), kNow + 600'000);

    EXPECT_FALSE(leases.Rename(kUnit)) << "the same name";
    const LeasedUnit renamed{1, QStringLiteral("sub-b-1"), QStringLiteral("COM1")};
    const std::optional<LeaseDecision> kept = leases.Rename(renamed);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->port, Port::kKeep);
    EXPECT_EQ(kept->record, QStringLiteral("renamed from sub-a-1: still lent to ops until "
                                           "2025-12-06T05:56:40Z"));
    const LeaseRequest ask{LeaseRequest::Verb::kAsk, {}, {}, {}, {}, {}};
    EXPECT_EQ(leases.Decide(renamed, ask, kNow).answer.body.value("holder"), QStringLiteral("ops"));

    const std::optional<LeaseDecision> ended = leases.End(1, kNow + 30'000);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->port, Port::kKeep) << "its port is not the monitor's any more";
    EXPECT_EQ(ended->record, QStringLiteral("lease ended: the unit left the inventory (lent to ops "
                                            "30 s before)"));
    EXPECT_FALSE(leases.End(1, kNow + 30'000));
    EXPECT_FALSE(leases.NextExpiry());
}

}  // namespace
}  // namespace irig::lease
