// The monitor's leases as decisions: what each request is answered, what becomes of the unit's
// port and what the record says; when leases end by themselves; and who may take one at all.
#include "monitor/leases.h"

#include <gtest/gtest.h>

#include "monitor/server.h"

namespace irig::monitor {
namespace {

using Port = LeaseDecision::Port;

constexpr qint64 kNow = 1'765'000'000'000;  // 2025-12-06T05:46:40Z
const LeasedUnit kUnit{1, QStringLiteral("sub-a-1"), QStringLiteral("COM1")};
const std::string kTooLong(101, 'x');  // characters of ?by=

// One request to the table, `atS` seconds after kNow.
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
    LeaseWords words{QString::fromUtf8(asked.by),
                     asked.token ? std::optional(QString::fromLatin1(asked.token)) : std::nullopt};
    const qint64 now = kNow + qint64{asked.atS} * 1000;
    const QString who = QString::fromLatin1(asked.who);
    switch (asked.verb) {
        case LeaseRequest::Verb::kTake:
            return leases.Take(kUnit, who, QString::fromUtf8(asked.seconds), words, now);
        case LeaseRequest::Verb::kReturn:
            return leases.Return(kUnit, who, words, now);
        case LeaseRequest::Verb::kAsk:
            break;
    }
    return {leases.Ask(kUnit), Port::kKeep, {}};
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
            Port::kKeep, "", "until=2025-12-06T05:56:40Z"),
        Row("returned_with_its_token", {kTaken}, {Verb::kReturn, "", "", "t1", 42}, 200,
            Port::kReopen, "returned by 127.0.0.1 (irigctl apply (pid 42)) after 42 s",
            "unit=sub-a-1|returned=true"),
        Row("taken_back_by_an_operator", {kTaken}, {Verb::kReturn, "", "", nullptr, 42, "ops"}, 200,
            Port::kReopen, "taken back by ops from 127.0.0.1 (irigctl apply (pid 42)) after 42 s",
            "returned=true"),
        Row("returned_with_another_token", {kTaken}, {Verb::kReturn, "", "", "t9", 42}, 409,
            Port::kKeep, "", "returned="),
        Row("returned_twice", {kTaken, kReturned}, kReturned, 200, Port::kKeep, "",
            "returned=false"),
        Row("taken_again_once_returned", {kTaken, kReturned},
            {Verb::kTake, "60", "", nullptr, 1, "::1"}, 200, Port::kClose, "lent to ::1 for 60 s",
            "lease=t2"),
        Row("asked_while_lent", {kTaken}, {Verb::kAsk, ""}, 200, Port::kKeep, "",
            "leased=true|port=COM1|until=2025-12-06T05:56:40Z|lease="),
        Row("asked_while_watched", {}, {Verb::kAsk, ""}, 200, Port::kKeep, "",
            "leased=false|holder=")),
    [](const testing::TestParamInfo<LeaseRow>& row) { return std::string(row.param.name); });

// Leases end by themselves at their time, the next due first; a unit that leaves the watch list
// ends its own.
TEST(Leases, EndAtTheirTimeOrWhenTheUnitLeaves) {
    Leases leases = Table();
    const LeasedUnit other{2, {}, QStringLiteral("/dev/ttyUSB0")};
    ASSERT_EQ(
        leases.Take(kUnit, QStringLiteral("ops"), QStringLiteral("600"), {}, kNow).answer.status,
        200);
    ASSERT_EQ(
        leases.Take(other, QStringLiteral("ops"), QStringLiteral("1"), {}, kNow).answer.status,
        200);
    EXPECT_EQ(leases.NextExpiry(), kNow + 1000);
    EXPECT_TRUE(leases.Expire(kNow + 999).empty());

    const auto expired = leases.Expire(kNow + 1000);
    ASSERT_EQ(expired.size(), 1U);
    EXPECT_EQ(expired[0].first, 2U);
    EXPECT_EQ(expired[0].second.port, Port::kReopen);
    EXPECT_EQ(expired[0].second.record, QStringLiteral("lease of ops expired after 1 s"));
    EXPECT_EQ(leases.NextExpiry(), kNow + 600'000);

    const std::optional<LeaseDecision> ended = leases.End(1, kNow + 30'000);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->port, Port::kKeep) << "its port is not the monitor's any more";
    EXPECT_EQ(ended->record, QStringLiteral("lease ended: the unit left the inventory (lent to ops "
                                            "30 s before)"));
    EXPECT_FALSE(leases.End(1, kNow + 30'000));
    EXPECT_FALSE(leases.NextExpiry());
}

struct ClientRow {
    const char* name;
    bool users;
    const char* peer;
    const char* who;  // empty: refused with 403
};

TEST(Leases, AreLentToUsersOrWithoutUsersToThisComputerOnly) {
    const ClientRow rows[] = {
        {"a_user_from_afar", true, "192.0.2.7", "ops"},
        {"loopback", false, "127.0.0.1", "127.0.0.1"},
        {"loopback_elsewhere_in_127", false, "127.1.2.3", "127.1.2.3"},
        {"loopback_ipv6", false, "::1", "::1"},
        {"loopback_mapped_into_ipv6", false, "::ffff:127.0.0.1", "127.0.0.1"},
        {"another_computer", false, "192.0.2.7", ""},
        {"another_computer_mapped_into_ipv6", false, "::ffff:192.0.2.7", ""},
        {"another_computer_ipv6", false, "2001:db8::1", ""},
    };
    for (const ClientRow& row : rows) {
        const auto client =
            LeaseClient(row.users, "ops", QHostAddress(QString::fromLatin1(row.peer)));
        if (*row.who == '\0') {
            ASSERT_TRUE(std::holds_alternative<LeaseAnswer>(client)) << row.name;
            EXPECT_EQ(std::get<LeaseAnswer>(client).status, 403) << row.name;
        } else {
            ASSERT_TRUE(std::holds_alternative<QString>(client)) << row.name;
            EXPECT_EQ(std::get<QString>(client), QLatin1String(row.who)) << row.name;
        }
    }
}

}  // namespace
}  // namespace irig::monitor
