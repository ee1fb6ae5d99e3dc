// The lease client against a scripted monitor: a lease taken, renewed and returned with the
// credentials for the monitor's host; each refusal and each lost lease in the words the borrower
// prints; a silent or absent monitor within the bounded waits.
#include "lease/leaseclient.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QSignalSpy>

#include "support/fakemonitor.h"
#include "support/wait.h"

namespace irig::lease {
namespace {

using test::FakeMonitor;

struct TakeRow {
    const char* name;
    int status;  // answered with `body`; -1: silence
    const char* body;
    const char* refused;  // what Refused says (%1: the monitor's URL)
    bool nowhere = false;
};

class Take : public testing::TestWithParam<TakeRow> {};

TEST_P(Take, SaysWhyInTheBorrowersWords) {
    const TakeRow& row = GetParam();
    FakeMonitor monitor;
    monitor.script = [&row](const auto&) {
        return std::optional(FakeMonitor::Answer{row.status, row.body, row.status < 0});
    };
    const QUrl url = row.nowhere ? test::kNowhere : monitor.Url();
    LeaseClient client(url);
    client.SetWaits({200, 200, 200});
    client.SetCredentials([](const QString&) { return std::optional<Credentials>(); });
    QSignalSpy taken(&client, &LeaseClient::Taken);
    QSignalSpy refused(&client, &LeaseClient::Refused);
    client.Take({QStringLiteral("/dev/ttyS6")}, 600, QStringLiteral("irigctl apply (pid 1)"));
    ASSERT_TRUE(test::WaitUntil([&] { return taken.size() + refused.size() == 1; }));
    ASSERT_EQ(refused.size(), 1);
    EXPECT_EQ(refused.at(0).at(0).toString(),
              QString::fromUtf8(row.refused).arg(url.toDisplayString()));
}

INSTANTIATE_TEST_SUITE_P(
    Lease, Take,
    testing::Values(
        TakeRow{"lent_to_another", 409, R"({"error": "COM7 is lent to ops until 14:03"})",
                "COM7 is lent to ops until 14:03"},
        TakeRow{"not_watched", 404, R"({"error": "COM7 is not watched here"})",
                "COM7 is not watched here"},
        TakeRow{"users_only", 401, "",
                "irigctl monitor at %1 lends to its users only: put credentials for 127.0.0.1 in "
                "~/.netrc or in the file IRIGCTL_MONITOR_NETRC names"},
        TakeRow{"silent", -1, "", "irigctl monitor at %1 did not answer within 200 ms"},
        TakeRow{"nowhere", 0, "", "no irigctl monitor answers at %1 (connection refused)", true}),
    [](const testing::TestParamInfo<TakeRow>& row) { return row.param.name; });

// A lease of a second is renewed with its token before a third of it is left, then returned with
// it; the credentials for the monitor's host go with every request.
TEST(Lease, IsRenewedByItselfAndReturned) {
    FakeMonitor monitor;
    LeaseClient client(monitor.Url());
    client.SetCredentials([](const QString& host) {
        return host == QLatin1String("127.0.0.1") ? std::optional(Credentials{"ops", "pw"})
                                                  : std::nullopt;
    });
    QSignalSpy returned(&client, &LeaseClient::Returned);
    client.Take({QStringLiteral("/dev/ttyS6")}, 1, {});
    ASSERT_TRUE(test::WaitUntil([&] { return monitor.requests.size() == 2; }, 5000));
    client.Return();
    ASSERT_TRUE(test::WaitUntil([&] { return returned.size() == 1; }));
    EXPECT_EQ(returned.at(0).at(0).toString(), QString());
    const QString token = QStringLiteral("%1").arg(1, 32, 10, QLatin1Char('0'));
    QStringList lines;
    for (const FakeMonitor::Request& request : monitor.requests) {
        lines << request.Line();
        EXPECT_EQ(request.authorization, "Basic " + QByteArray("ops:pw").toBase64());
    }
    EXPECT_EQ(lines, (QStringList{QStringLiteral("POST /lease port=/dev/ttyS6"),
                                  QStringLiteral("POST /lease port=/dev/ttyS6&lease=") + token,
                                  QStringLiteral("DELETE /lease port=/dev/ttyS6&lease=") + token}));
}

// A renewal's answer: its token kept for what follows, or the lease lost in the borrower's words
// (%1: the monitor's "at" as this computer's clock shows it).
struct RenewalRow {
    const char* name;
    int status;
    const char* body;
    const char* lost;  // empty: not lost, and returned with the token of the answer
    LostLease::How how = LostLease::kRefused;
};

class Renewal : public testing::TestWithParam<RenewalRow> {};

TEST_P(Renewal, KeepsItsTokenOrSaysTheLeaseIsLost) {
    const RenewalRow& row = GetParam();
    FakeMonitor monitor;
    monitor.script = [&row](const FakeMonitor::Request& request) {
        if (request.method == "DELETE") {
            return FakeMonitor::Answer{200, R"({"returned": true})"};
        }
        return request.query.hasQueryItem(QStringLiteral("lease"))
                   ? FakeMonitor::Answer{row.status, row.body}
                   : FakeMonitor::Answer{200, R"({"lease": "t1", "seconds": 1})"};
    };
    LeaseClient client(monitor.Url());
    client.SetCredentials([](const QString&) { return std::optional<Credentials>(); });
    QSignalSpy lost(&client, &LeaseClient::Lost);
    QSignalSpy returned(&client, &LeaseClient::Returned);
    client.Take({QStringLiteral("COM7")}, 1, {});
    if (*row.lost != '\0') {
        ASSERT_TRUE(test::WaitUntil([&] { return lost.size() == 1; }, 5000));
        const auto said = lost.at(0).at(0).value<LostLease>();
        const QString at =
            QDateTime::fromString(QStringLiteral("2026-12-08T10:02:11Z"), Qt::ISODate)
                .toLocalTime()
                .toString(QStringLiteral("HH:mm:ss"));
        EXPECT_EQ(said.text, QString::fromUtf8(row.lost).arg(at));
        EXPECT_EQ(said.how, row.how);
        return;
    }
    ASSERT_TRUE(test::WaitUntil([&] { return client.GrantedSeconds() == 600; }, 5000));
    client.Return();
    ASSERT_TRUE(test::WaitUntil([&] { return returned.size() == 1; }));
    EXPECT_EQ(monitor.requests.back().Line(), QStringLiteral("DELETE /lease port=COM7&lease=t2"));
    EXPECT_TRUE(lost.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Lease, Renewal,
    testing::Values(
        RenewalRow{"answered_with_a_new_token", 200, R"({"lease": "t2", "seconds": 600})", ""},
        RenewalRow{"taken_back", 409,
                   R"({"error": "your lease ended: taken back by 127.0.0.1 at 2026-12-08T10:02:11Z",
                       "ended": "taken back", "by": "127.0.0.1", "at": "2026-12-08T10:02:11Z"})",
                   "COM7's lease was taken back by 127.0.0.1 at %1: stopping",
                   LostLease::kTakenBack},
        RenewalRow{"expired", 409,
                   R"({"error": "your lease ended: expired at 2026-12-08T10:02:11Z",
                       "ended": "expired", "at": "2026-12-08T10:02:11Z"})",
                   "COM7's lease expired at %1: stopping", LostLease::kExpired},
        RenewalRow{"no_longer_watched", 404, R"({"error": "COM7 is not watched here"})",
                   "COM7's lease ended: COM7 is not watched here: stopping"},
        RenewalRow{"unknown_token", 409,
                   R"({"error": "your lease ended: no lease of COM7 has that token",
                       "ended": "unknown"})",
                   "COM7's lease ended: no lease of COM7 has that token: stopping"}),
    [](const testing::TestParamInfo<RenewalRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::lease
