// The serial component on a terminal server's port, against servers inside the test: one that
// takes RFC 2217's option, a raw one, and the hostile ones. Each row opens, reads the unit's clock
// through it, and says what the component said of the server; opening never blocks, and what
// cannot be opened says why within its one deadline.
#include "link/networkportcontroller.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTimer>

#include "link/framecodec.h"
#include "support/bytes.h"
#include "support/unitserver.h"
#include "support/wait.h"

namespace irig::link {
namespace {

using test::Bytes;
using test::UnitServer;

// Opens `address` and waits for the open to be decided: its result.
int Open(NetworkPortController& port, const QString& address) {
    std::optional<int> result;
    const QMetaObject::Connection finished =
        QObject::connect(&port, &PortController::OpenFinished, [&](int value) { result = value; });
    const int now = port.OpenPort(address);
    EXPECT_EQ(now == kPortOpening || now == kNoSuchDevice, true) << now;
    if (now == kPortOpening) {
        EXPECT_TRUE(test::WaitUntil([&] { return result.has_value(); }, 10'000));
    }
    QObject::disconnect(finished);
    return now == kPortOpening ? result.value_or(-1) : now;
}

struct ServerRow {
    const char* name;
    UnitServer::Behaviour behaviour;
    const char* note;  // part of what is said of the server; empty: nothing
    int deadlineMs = 5000;
};

class Servers : public testing::TestWithParam<ServerRow> {};

TEST_P(Servers, CarryTheUnitsAnswersAndSayWhatTheyWouldNotDo) {
    UnitServer server(GetParam().behaviour);
    NetworkPortController port;
    port.SetBaudRate(19200);
    port.SetConnectTimeout(GetParam().deadlineMs);
    ASSERT_EQ(Open(port, server.Address()), kPortOpened)
        << FailureText(server.Address(), port.LastFailure()).toStdString();
    EXPECT_EQ(port.Device(), server.Address());
    if (QLatin1String(GetParam().note).isEmpty()) {
        EXPECT_TRUE(port.Note().isEmpty()) << port.Note().toStdString();
    } else {
        EXPECT_TRUE(port.Note().contains(QLatin1String(GetParam().note)))
            << port.Note().toStdString();
    }
    QByteArray received;
    QObject::connect(&port, &PortController::DataReceived, [&] { received += port.ReadData(); });
    port.SendData(Frame(code::kStartRead, Bytes("01")));
    EXPECT_TRUE(test::WaitUntil([&] { return received.endsWith(Bytes("80 E1")); }, 2000))
        << received.toHex(' ').toStdString();
    EXPECT_EQ(received.size(), 14) << "the clock, each byte once";
}

INSTANTIATE_TEST_SUITE_P(
    NetworkPort, Servers,
    testing::Values(ServerRow{"takes_rfc2217", UnitServer::Behaviour::kRfc2217, ""},
                    ServerRow{"raw_socket", UnitServer::Behaviour::kRaw, ""},
                    ServerRow{"refuses_the_option", UnitServer::Behaviour::kRefusesComPort,
                              "the server does not take RFC 2217's COM-PORT-OPTION"},
                    ServerRow{"never_answers_the_negotiation", UnitServer::Behaviour::kNeverAnswers,
                              "did not answer RFC 2217's line settings within 300 ms", 300},
                    ServerRow{"floods_option_requests", UnitServer::Behaviour::kFloodsIac,
                              "did not answer RFC 2217's line settings", 300}),
    [](const testing::TestParamInfo<ServerRow>& row) { return row.param.name; });

TEST(NetworkPort, SetsTheLineAndAnswersAFloodOfRequestsOnce) {
    UnitServer takes(UnitServer::Behaviour::kRfc2217);
    NetworkPortController port;
    port.SetBaudRate(19200);
    ASSERT_EQ(Open(port, takes.Address()), kPortOpened);
    // 19200 baud, 8 data bits, no parity, one stop bit, no flow control.
    EXPECT_EQ(takes.Settings(),
              (QList<QByteArray>{Bytes("01 00 00 4B 00"), Bytes("02 08"), Bytes("03 01"),
                                 Bytes("04 01"), Bytes("05 01")}));

    UnitServer floods(UnitServer::Behaviour::kFloodsIac);
    port.SetConnectTimeout(300);
    ASSERT_EQ(Open(port, floods.Address()), kPortOpened);
    EXPECT_TRUE(test::WaitUntil([&] { return floods.Received().size() > 15; }, 1000));
    EXPECT_FALSE(test::WaitUntil([&] { return floods.Received().count("\xFF\xFC\x63") > 1; }, 200))
        << "one WONT for twenty thousand DO";
    EXPECT_EQ(floods.Received().count("\xFF\xFE\x62"), 1) << "one DONT for as many WILL";
}

TEST(NetworkPort, AServerThatBreaksOrLeavesIsAVanishedLine) {
    NetworkPortController port;
    port.SetConnectTimeout(5000);
    UnitServer endless(UnitServer::Behaviour::kEndlessSubnegotiation);
    EXPECT_EQ(Open(port, endless.Address()), kPortOpenFailed);
    EXPECT_EQ(FailureText(endless.Address(), port.LastFailure()),
              QStringLiteral("cannot connect to %1: it sent a Telnet subnegotiation longer than "
                             "64 bytes")
                  .arg(endless.Address()));

    auto leaving = std::make_unique<UnitServer>(UnitServer::Behaviour::kRaw);
    const QString address = leaving->Address();
    ASSERT_EQ(Open(port, address), kPortOpened);
    QSignalSpy lost(&port, &PortController::PortLost);
    leaving.reset();
    ASSERT_TRUE(test::WaitUntil([&] { return !lost.isEmpty(); }, 2000));
    EXPECT_EQ(lost[0][0].toString(), QStringLiteral("the connection to %1 closed").arg(address));

    EXPECT_EQ(Open(port, address), kPortOpenFailed) << "nobody listens there now";
    EXPECT_TRUE(FailureText(address, port.LastFailure())
                    .startsWith(QStringLiteral("cannot connect to %1: ").arg(address)));
}

struct RefusalRow {
    const char* name;
    UnitServer::Behaviour behaviour;
    const char* why;  // what the failure says after "cannot connect to ADDRESS: "
};

class Refusals : public testing::TestWithParam<RefusalRow> {};

// A server that cannot carry the unit is a failed open that says why, within the one deadline.
TEST_P(Refusals, FailTheOpenSayingWhy) {
    UnitServer server(GetParam().behaviour);
    NetworkPortController port;
    port.SetBaudRate(19200);
    port.SetConnectTimeout(5000);
    EXPECT_EQ(Open(port, server.Address()), kPortOpenFailed);
    EXPECT_EQ(FailureText(server.Address(), port.LastFailure()),
              QStringLiteral("cannot connect to %1: %2")
                  .arg(server.Address(), QString::fromUtf8(GetParam().why)));
}

INSTANTIATE_TEST_SUITE_P(
    NetworkPort, Refusals,
    testing::Values(RefusalRow{"another_baud_rate", UnitServer::Behaviour::kAnswersOtherBaud,
                               "the terminal server set 9600 baud, not 19200"},
                    RefusalRow{"closes_in_the_negotiation",
                               UnitServer::Behaviour::kClosesInNegotiation,
                               "the server closed the connection while it was set up"}),
    [](const testing::TestParamInfo<RefusalRow>& row) { return row.param.name; });

// A name service that never answers is bounded by the open's deadline, and the time it took is no
// part of the line's round trip; while it waits, the event loop goes on.
TEST(NetworkPort, ALookupThatNeverEndsIsBoundedAndKeptOutOfTheRoundTrip) {
    NetworkPortController port;
    port.SetConnectTimeout(300);
    port.SetLookup([](const QString&, std::function<void(QList<QHostAddress>, QString)>) {});
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(10);
    QElapsedTimer took;
    took.start();
    EXPECT_EQ(Open(port, QStringLiteral("rfc2217://ts1.invalid:4001")), kPortOpenFailed);
    EXPECT_LT(took.elapsed(), 2000);
    EXPECT_GT(ticks, 5) << "the loop ran while the name was looked up";
    EXPECT_EQ(FailureText(QStringLiteral("COM7"), port.LastFailure()),
              QStringLiteral("cannot connect to rfc2217://ts1.invalid:4001: no answer from the "
                             "name service for ts1.invalid within 300 ms"));

    UnitServer server(UnitServer::Behaviour::kRaw);
    const QString byName =
        QString(server.Address())
            .replace(QStringLiteral("127.0.0.1"), QStringLiteral("irig-test-host"));
    port.SetLookup([](const QString&, std::function<void(QList<QHostAddress>, QString)> done) {
        QTimer::singleShot(250, [done] { done({QHostAddress::LocalHost}, {}); });
    });
    port.SetConnectTimeout(2000);
    ASSERT_EQ(Open(port, byName), kPortOpened);
    EXPECT_LT(port.RoundTripMs(), 250) << "the lookup's 250 ms are not the line's";
}

}  // namespace
}  // namespace irig::link
