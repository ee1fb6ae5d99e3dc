// The exporter's HTTP side as a hostile or careless local client meets it, with small limits so
// that each row is quick: a body over the bound, idle and half-sent connections, Connection: close
// and HTTP/1.0, the cap on connections, and the methods a path does not take.
#include <gtest/gtest.h>

#include <QTcpSocket>

#include "monitor/server.h"
#include "support/wait.h"

namespace irig::monitor {
namespace {

constexpr HttpLimits kLimits{4, 1024, 4096, 400};

class Guarded : public testing::Test {
protected:
    Guarded()
        : board({QStringLiteral("COM1")}),
          server(
              board, [](const QString&) {}, kLimits) {
        QString why;
        port = server.Listen(QHostAddress::LocalHost, 0, &why);
    }
    std::unique_ptr<QTcpSocket> Connect() {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, port);
        EXPECT_TRUE(test::WaitUntil([&] { return socket->state() == QTcpSocket::ConnectedState; }));
        return socket;
    }
    // Everything the server sent until it closed or `ms` passed, and whether it closed.
    static std::pair<QByteArray, bool> Answer(QTcpSocket& socket, int ms) {
        QByteArray got;
        const bool closed = test::WaitUntil(
            [&] {
                got += socket.readAll();
                return socket.state() == QTcpSocket::UnconnectedState;
            },
            ms);
        return {got + socket.readAll(), closed};
    }

    MetricsBoard board;
    MetricsServer server;
    quint16 port = 0;
};

struct RequestRow {
    const char* name;
    QByteArray request;
    int bodyKiB;         // sent after the request, a kibibyte at a time, while the server reads
    const char* status;  // the response's status line starts so; empty: none
    const char* header;  // a header the response carries; empty: no matter
    bool closes;         // the server closes the connection soon after (within the idle time)
};

class Requests : public Guarded, public testing::WithParamInterface<RequestRow> {};

TEST_P(Requests, AreAnsweredAndClosedAsHttpAndTheLimitsSay) {
    const RequestRow& row = GetParam();
    ASSERT_NE(port, 0);
    std::unique_ptr<QTcpSocket> socket = Connect();
    socket->write(row.request);
    for (int i = 0; i < row.bodyKiB && socket->state() == QTcpSocket::ConnectedState; ++i) {
        socket->write(QByteArray(1024, 'x'));
        test::WaitUntil([&] { return socket->bytesToWrite() == 0; }, 100);
    }
    // An answer comes at once; an open connection is closed after the idle time at the latest.
    const auto [got, closed] = Answer(*socket, row.closes ? 3000 : kLimits.idleMs / 2);
    EXPECT_TRUE(got.startsWith(row.status)) << got.left(200).toStdString();
    EXPECT_TRUE(got.contains(row.header)) << got.left(200).toStdString();
    EXPECT_EQ(closed, row.closes);
}

INSTANTIATE_TEST_SUITE_P(
    HttpGuard, Requests,
    testing::Values(
        RequestRow{"keep_alive_stays_open", "GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n", 0,
                   "HTTP/1.1 200", "", false},
        RequestRow{"connection_close", "GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n", 0,
                   "HTTP/1.1 200", "", true},
        RequestRow{"http_1_0", "GET /metrics HTTP/1.0\r\n\r\n", 0, "HTTP/1.1 200", "", true},
        RequestRow{"idle", "", 0, "", "", true},
        RequestRow{"half_sent_header", "GET /metrics HTTP/1.1\r\nHost:", 0, "", "", true},
        RequestRow{"header_too_long", "GET /metrics HTTP/1.1\r\nX: " + QByteArray(2000, 'x'), 0,
                   "HTTP/1.1 431", "", true},
        RequestRow{"announced_large_body",
                   "POST /check-time HTTP/1.1\r\nContent-Length: 300000000\r\n\r\n", 0,
                   "HTTP/1.1 413", "", true},
        RequestRow{"unannounced_large_body",
                   "POST /check-time HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n100000\r\n", 64,
                   "HTTP/1.1 413", "", true},
        RequestRow{"head_on_metrics", "HEAD /metrics HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 405",
                   "Allow: GET", false},
        RequestRow{"put_on_metrics", "PUT /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 0,
                   "HTTP/1.1 405", "Allow: GET", false},
        RequestRow{"delete_on_metrics", "DELETE /metrics HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 405",
                   "Allow: GET", false},
        RequestRow{"get_on_check_time", "GET /check-time HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 405",
                   "Allow: POST", false}),
    [](const testing::TestParamInfo<RequestRow>& row) { return row.param.name; });

// Beyond the cap, the longest idle connection makes room; a scrape is still answered.
TEST_F(Guarded, TheCapClosesTheLongestIdleConnectionForANewcomer) {
    ASSERT_NE(port, 0);
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < kLimits.maxConnections; ++i) {
        idle.push_back(Connect());
    }
    std::unique_ptr<QTcpSocket> scrape = Connect();
    EXPECT_TRUE(test::WaitUntil(
        [&] { return idle.front()->state() == QTcpSocket::UnconnectedState; }, 1000));
    EXPECT_EQ(idle.back()->state(), QTcpSocket::ConnectedState);
    scrape->write("GET /metrics HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(Answer(*scrape, 3000).first.startsWith("HTTP/1.1 200"));
}

}  // namespace
}  // namespace irig::monitor
