// The lease client and the window's borrower against a scripted monitor: a lease taken, renewed and
// returned; each refusal in the words the borrower prints; a silent or absent monitor within the
// bounded waits; the monitor's URL as the options take it.
#include "lease/leaseclient.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include "lease/portborrower.h"
#include "support/fakemonitor.h"
#include "support/wait.h"

namespace irig::lease {
namespace {

using test::FakeMonitor;
using Script = std::function<std::optional<FakeMonitor::Answer>(const FakeMonitor::Request&)>;

constexpr Waits kShortWaits{200, 200, 200};

LeaseClient::CredentialsFor NoCredentials() {
    return [](const QString&) { return std::nullopt; };
}

struct TakeRow {
    const char* name;
    Script script;
    const char* refused;  // what Refused says (%1: the monitor's URL); null: taken
    bool nowhere = false;
};

class Take : public testing::TestWithParam<TakeRow> {};

TEST_P(Take, SaysWhyInTheBorrowersWords) {
    FakeMonitor monitor;
    monitor.script = GetParam().script;
    const QUrl url = GetParam().nowhere ? FakeMonitor::Nowhere() : monitor.Url();
    LeaseClient client(url);
    client.SetWaits(kShortWaits);
    client.SetCredentials(NoCredentials());
    QString refused;
    bool taken = false;
    QObject::connect(&client, &LeaseClient::Refused, [&](const QString& why) { refused = why; });
    QObject::connect(&client, &LeaseClient::Taken, [&] { taken = true; });
    client.Take({{}, QStringLiteral("/dev/ttyS6")}, 600, QStringLiteral("irigctl apply (pid 1)"));
    ASSERT_TRUE(test::WaitUntil([&] { return taken || !refused.isEmpty(); }));
    if (GetParam().refused == nullptr) {
        EXPECT_TRUE(taken) << refused.toStdString();
        EXPECT_TRUE(client.Held());
        EXPECT_EQ(client.GrantedSeconds(), 600);
    } else {
        EXPECT_EQ(refused, QString::fromUtf8(GetParam().refused).arg(url.toDisplayString()));
        EXPECT_FALSE(client.Held());
    }
}

FakeMonitor::Answer Said(int status, const char* body) {
    return {status, body};
}

INSTANTIATE_TEST_SUITE_P(
    Lease, Take,
    testing::Values(
        TakeRow{"lent", {}, nullptr},
        TakeRow{"lent_to_another",
                [](const auto&) {
                    return Said(409,
                                R"({"error": "COM7 is lent to ops (irigctl flash) until 14:03"})");
                },
                "COM7 is lent to ops (irigctl flash) until 14:03"},
        TakeRow{
            "not_watched",
            [](const auto&) { return Said(404, R"({"error": "/dev/ttyS6 is not watched here"})"); },
            "/dev/ttyS6 is not watched here"},
        TakeRow{"users_only", [](const auto&) { return Said(401, ""); },
                "irigctl monitor at %1 lends to its users only: put credentials for 127.0.0.1 in "
                "~/.netrc or in the file IRIGCTL_MONITOR_NETRC names"},
        TakeRow{"no_sentence", [](const auto&) { return Said(500, "<html>"); },
                "irigctl monitor at %1 answered HTTP 500"},
        TakeRow{"no_token", [](const auto&) { return Said(200, "{}"); },
                "irigctl monitor at %1 lent no lease"},
        TakeRow{"silent",
                [](const auto&) {
                    return std::optional(FakeMonitor::Answer{200, {}, true});
                },
                "irigctl monitor at %1 did not answer within 200 ms"},
        TakeRow{"nowhere", {}, "no irigctl monitor answers at %1 (connection refused)", true}),
    [](const testing::TestParamInfo<TakeRow>& row) { return row.param.name; });

// Granted a second, the lease is renewed with its token before a third of it is left, and
// returned with it; the credentials for the monitor's host go with every request.
TEST(Lease, IsRenewedByItselfAndReturned) {
    FakeMonitor monitor;
    monitor.mostSeconds = 1;
    LeaseClient client(monitor.Url());
    client.SetCredentials([](const QString& host) {
        return host == QLatin1String("127.0.0.1") ? std::optional(Credentials{"ops", "pw"})
                                                  : std::nullopt;
    });
    QSignalSpy taken(&client, &LeaseClient::Taken);
    QSignalSpy returned(&client, &LeaseClient::Returned);
    client.Take({QStringLiteral("sub-a-1"), {}}, 600, QStringLiteral("irigctl apply (pid 1)"));
    ASSERT_TRUE(test::WaitUntil([&] { return monitor.requests.size() >= 2; }, 5000));
    EXPECT_EQ(taken.size(), 1);
    client.Return();
    ASSERT_TRUE(test::WaitUntil([&] { return returned.size() == 1; }));
    EXPECT_EQ(returned.at(0).at(0).toString(), QString());
    EXPECT_TRUE(monitor.lent.isEmpty());
    const QString token = QStringLiteral("%1").arg(1, 32, 10, QLatin1Char('0'));
    QStringList lines;
    for (const FakeMonitor::Request& request : monitor.requests) {
        lines << request.Line();
        EXPECT_EQ(request.authorization, "Basic " + QByteArray("ops:pw").toBase64());
    }
    EXPECT_EQ(lines, (QStringList{QStringLiteral("POST /units/sub-a-1/lease"),
                                  QStringLiteral("POST /units/sub-a-1/lease lease=") + token,
                                  QStringLiteral("DELETE /units/sub-a-1/lease lease=") + token}));
}

TEST(Lease, ARefusedRenewalEndsIt) {
    FakeMonitor monitor;
    monitor.mostSeconds = 1;
    monitor.script = [](const FakeMonitor::Request& request) -> std::optional<FakeMonitor::Answer> {
        if (request.query.hasQueryItem(QStringLiteral("lease"))) {
            return Said(409, R"({"error": "COM7 is lent to ops until 14:03"})");
        }
        return std::nullopt;
    };
    LeaseClient client(monitor.Url());
    client.SetCredentials(NoCredentials());
    QSignalSpy lost(&client, &LeaseClient::Lost);
    client.Take({{}, QStringLiteral("COM7")}, 600, {});
    ASSERT_TRUE(test::WaitUntil([&] { return lost.size() == 1; }, 5000));
    EXPECT_EQ(lost.at(0).at(0).toString(), QStringLiteral("COM7 is lent to ops until 14:03"));
    EXPECT_FALSE(client.Held());
}

// Given back while the monitor is still lending it: returned once the lease has come.
TEST(Lease, ReturnedDuringItsTakeOnceTaken) {
    FakeMonitor monitor;
    LeaseClient client(monitor.Url());
    client.SetCredentials(NoCredentials());
    QSignalSpy taken(&client, &LeaseClient::Taken);
    QSignalSpy returned(&client, &LeaseClient::Returned);
    client.Take({{}, QStringLiteral("COM7")}, 600, {});
    client.Return();
    ASSERT_TRUE(test::WaitUntil([&] { return returned.size() == 1; }));
    EXPECT_EQ(taken.size(), 0);
    EXPECT_TRUE(monitor.lent.isEmpty());
    EXPECT_EQ(monitor.requests.size(), 2U);
}

struct AskRow {
    const char* name;
    QStringList watched;
    bool nowhere;
    Watch::State state;
};

class Ask : public testing::TestWithParam<AskRow> {};

TEST_P(Ask, TellsWhetherThePortIsWatched) {
    FakeMonitor monitor;
    monitor.watched = GetParam().watched;
    LeaseClient client(GetParam().nowhere ? FakeMonitor::Nowhere() : monitor.Url());
    client.SetCredentials(NoCredentials());
    std::optional<Watch> answer;
    QObject::connect(&client, &LeaseClient::Answered, [&](const Watch& watch) { answer = watch; });
    client.Ask(QStringLiteral("/dev/ttyS6"));
    ASSERT_TRUE(test::WaitUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(answer->state, GetParam().state) << answer->why.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Lease, Ask,
    testing::Values(AskRow{"watched", {QStringLiteral("/dev/ttyS6")}, false, Watch::kWatched},
                    AskRow{
                        "not_watched", {QStringLiteral("/dev/ttyS0")}, false, Watch::kNotWatched},
                    AskRow{"no_monitor", {}, true, Watch::kNoMonitor}),
    [](const testing::TestParamInfo<AskRow>& row) { return row.param.name; });

struct UrlRow {
    const char* name;
    const char* text;
    bool taken;
};

class MonitorUrl : public testing::TestWithParam<UrlRow> {};

TEST_P(MonitorUrl, IsHttpToAHostWithoutCredentials) {
    const auto parsed = ParseMonitorUrl(QString::fromUtf8(GetParam().text));
    EXPECT_EQ(std::holds_alternative<QUrl>(parsed), GetParam().taken);
}

INSTANTIATE_TEST_SUITE_P(Lease, MonitorUrl,
                         testing::Values(UrlRow{"http", "http://127.0.0.1:9810", true},
                                         UrlRow{"https_with_path", "https://mon.example/irig/",
                                                true},
                                         UrlRow{"other_scheme", "ftp://mon.example", false},
                                         UrlRow{"no_host", "http://", false},
                                         UrlRow{"no_scheme", "mon.example:9810", false},
                                         UrlRow{"credentials", "http://ops:pw@mon.example", false},
                                         UrlRow{"query", "http://mon.example/?a=1", false}),
                         [](const testing::TestParamInfo<UrlRow>& row) { return row.param.name; });

// The window's port: borrowed where the monitor watches it, opened at once where it does not or
// none answers, refused where it is lent to another; the next pick gives the last one back.
struct PickRow {
    const char* name;
    QStringList watched;
    bool nowhere;
    bool lentToAnother;
    int ready;  // 1: borrowed, 0: opened as it is, -1: refused
};

class Pick : public testing::TestWithParam<PickRow> {};

TEST_P(Pick, BorrowsWhatTheMonitorWatches) {
    const PickRow& row = GetParam();
    FakeMonitor monitor;
    monitor.watched = row.watched;
    if (row.lentToAnother) {
        monitor.lent.insert(QStringLiteral("/dev/ttyS6"), QStringLiteral("theirs"));
    }
    PortBorrower borrower(row.nowhere ? FakeMonitor::Nowhere() : monitor.Url());
    borrower.SetCredentials(NoCredentials());
    std::optional<int> ready;
    QObject::connect(&borrower, &PortBorrower::Ready,
                     [&](const QString&, bool borrowed) { ready = borrowed ? 1 : 0; });
    QObject::connect(&borrower, &PortBorrower::Refused, [&] { ready = -1; });
    borrower.Pick(QStringLiteral("COM7"), QStringLiteral("/dev/ttyS6"));
    ASSERT_TRUE(test::WaitUntil([&] { return ready.has_value(); }));
    EXPECT_EQ(*ready, row.ready);
    EXPECT_EQ(borrower.Borrowed(), row.ready == 1);
    ready.reset();
    borrower.Pick(QStringLiteral("COM1"), QStringLiteral("/dev/ttyS0"));
    ASSERT_TRUE(test::WaitUntil([&] { return ready.has_value(); }));
    EXPECT_EQ(monitor.lent.contains(QStringLiteral("/dev/ttyS6")), row.lentToAnother)
        << "the last pick's loan is given back";
}

INSTANTIATE_TEST_SUITE_P(
    Lease, Pick,
    testing::Values(PickRow{"watched", {}, false, false, 1},
                    PickRow{"not_watched", {QStringLiteral("/dev/ttyS0")}, false, false, 0},
                    PickRow{"no_monitor", {}, true, false, 0},
                    PickRow{"lent_to_another", {}, false, true, -1}),
    [](const testing::TestParamInfo<PickRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::lease
