// The serial component on a terminal server's port, against servers inside the test: one that
// takes RFC 2217's option, a raw one, and the hostile ones. Each row opens, reads the unit's clock
// through it, and says what the component said of the server.
#include "link/networkportcontroller.h"

#include <gtest/gtest.h>

#include <QSignalSpy>

#include "link/framecodec.h"
#include "support/bytes.h"
#include "support/unitserver.h"
#include "support/wait.h"

namespace irig::link {
namespace {

using test::Bytes;
using test::UnitServer;

struct ServerRow {
    const char* name;
    UnitServer::Behaviour behaviour;
    const char* note;  // part of what is said of the server; empty: nothing
};

class Servers : public testing::TestWithParam<ServerRow> {};

TEST_P(Servers, CarryTheUnitsAnswersAndSayWhatTheyWouldNotDo) {
    UnitServer server(GetParam().behaviour);
    NetworkPortController port;
    port.SetBaudRate(19200);
    port.SetConnectTimeout(300);
    ASSERT_EQ(port.OpenPort(server.Address()), kPortOpened)
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
                              "did not answer RFC 2217's line settings within 300 ms"},
                    ServerRow{"floods_option_requests", UnitServer::Behaviour::kFloodsIac,
                              "did not answer RFC 2217's line settings"}),
    [](const testing::TestParamInfo<ServerRow>& row) { return row.param.name; });

TEST(NetworkPort, SetsTheLineAndAnswersAFloodOfRequestsOnce) {
    UnitServer takes(UnitServer::Behaviour::kRfc2217);
    NetworkPortController port;
    port.SetBaudRate(19200);
    ASSERT_EQ(port.OpenPort(takes.Address()), kPortOpened);
    // 19200 baud, 8 data bits, no parity, one stop bit, no flow control.
    EXPECT_EQ(takes.Settings(),
              (QList<QByteArray>{Bytes("01 00 00 4B 00"), Bytes("02 08"), Bytes("03 01"),
                                 Bytes("04 01"), Bytes("05 01")}));

    UnitServer floods(UnitServer::Behaviour::kFloodsIac);
    port.SetConnectTimeout(300);
    ASSERT_EQ(port.OpenPort(floods.Address()), kPortOpened);
    EXPECT_TRUE(test::WaitUntil([&] { return floods.Received().size() > 15; }, 1000));
    EXPECT_FALSE(test::WaitUntil([&] { return floods.Received().count("\xFF\xFC\x63") > 1; }, 200))
        << "one WONT for twenty thousand DO";
    EXPECT_EQ(floods.Received().count("\xFF\xFE\x62"), 1) << "one DONT for as many WILL";
}

TEST(NetworkPort, AServerThatBreaksOrLeavesIsAVanishedLine) {
    NetworkPortController port;
    port.SetConnectTimeout(300);
    UnitServer endless(UnitServer::Behaviour::kEndlessSubnegotiation);
    EXPECT_EQ(port.OpenPort(endless.Address()), kPortOpenFailed);
    EXPECT_EQ(FailureText(endless.Address(), port.LastFailure()),
              QStringLiteral("cannot connect to %1: it sent a Telnet subnegotiation longer than "
                             "64 bytes")
                  .arg(endless.Address()));

    auto leaving = std::make_unique<UnitServer>(UnitServer::Behaviour::kRaw);
    const QString address = leaving->Address();
    ASSERT_EQ(port.OpenPort(address), kPortOpened);
    QSignalSpy lost(&port, &PortController::PortLost);
    leaving.reset();
    ASSERT_TRUE(test::WaitUntil([&] { return !lost.isEmpty(); }, 2000));
    EXPECT_EQ(lost[0][0].toString(), QStringLiteral("the connection to %1 closed").arg(address));

    EXPECT_EQ(port.OpenPort(address), kPortOpenFailed) << "nobody listens there now";
    EXPECT_TRUE(FailureText(address, port.LastFailure())
                    .startsWith(QStringLiteral("cannot connect to %1: ").arg(address)));
}

}  // namespace
}  // namespace irig::link
