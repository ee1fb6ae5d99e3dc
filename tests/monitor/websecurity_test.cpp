// The exporter's HTTP side under a web configuration, as clients on the network meet it: users on
// every path, the page's own origin only for POST /check-time, the headers on every response, TLS
// with and without client certificates, a handshake held to the cap and the idle time, and a new
// configuration taken while it serves.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSslSocket>

#include "monitor/server.h"
#include "support/tlsfiles.h"
#include "support/wait.h"

namespace irig::monitor {
namespace {

using test::BasicAuthorization;

enum class Web { kUsersAndTls, kClientCertificates };
enum class Client { kPlain, kTls, kTlsWithCertificate, kTlsWithAStrangersCertificate };

class WebSecurity : public testing::Test {
protected:
    static void SetUpTestSuite() { files = new test::TlsFiles; }
    static void TearDownTestSuite() { delete files; }

    static WebConfig Config(Web web) {
        const QByteArray yaml =
            web == Web::kUsersAndTls
                ? "tls_server_config: {cert_file: server.crt, key_file: server.key}\n"
                  "http_server_config: {headers: {X-Frame-Options: deny}}\n"
                  "basic_auth_users: {prometheus: " +
                      test::BcryptHash("s3cret") + "}\n"
                : "tls_server_config: {cert_file: server.crt, key_file: server.key, "
                  "client_auth_type: RequireAndVerifyClientCert, client_ca_file: ca.crt}\n";
        auto read = ParseWebConfig(yaml, files->Path(QStringLiteral("web.yml")));
        EXPECT_TRUE(std::holds_alternative<WebConfig>(read));
        return std::holds_alternative<WebConfig>(read) ? std::get<WebConfig>(read) : WebConfig();
    }
    // Connected (and with TLS, the handshake begun), `request` sent.
    static std::unique_ptr<QTcpSocket> Connect(quint16 port, Client client,
                                               const QByteArray& request) {
        if (client == Client::kPlain) {
            auto socket = std::make_unique<QTcpSocket>();
            socket->connectToHost(QHostAddress::LocalHost, port);
            socket->write(request);
            return socket;
        }
        auto socket = std::make_unique<QSslSocket>();
        socket->setSslConfiguration(files->Client(
            client == Client::kTlsWithCertificate             ? QStringLiteral("client")
            : client == Client::kTlsWithAStrangersCertificate ? QStringLiteral("stranger")
                                                              : QString()));
        socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        socket->write(request);  // sent once the handshake is done
        return socket;
    }
    // What the server sent until its response was whole or it closed (or 5 s passed).
    static QByteArray Answer(QTcpSocket& socket) {
        static const QRegularExpression length(QStringLiteral("\r\ncontent-length: *(\\d+)"),
                                               QRegularExpression::CaseInsensitiveOption);
        QByteArray got;
        test::WaitUntil(
            [&] {
                got += socket.readAll();
                const qsizetype end = got.indexOf("\r\n\r\n");
                const QRegularExpressionMatch match =
                    length.match(QString::fromLatin1(got.left(end)));
                return socket.state() == QTcpSocket::UnconnectedState ||
                       (end >= 0 && match.hasMatch() &&
                        got.size() >= end + 4 + match.captured(1).toInt());
            },
            5000);
        return got;
    }

    static test::TlsFiles* files;
    MetricsBoard board{{QStringLiteral("COM1")}};
    QStringList measured;
};
test::TlsFiles* WebSecurity::files = nullptr;

struct SecurityRow {
    const char* name;
    Web web;
    Client client;
    QByteArray request;  // {port}: the server's; Connection: close is added
    const char* status;  // the answer starts so; empty: no HTTP answer at all
    const char* header;  // a header the answer holds
};

class SecuredRequests : public WebSecurity, public testing::WithParamInterface<SecurityRow> {};

const QByteArray kGood = "Authorization: " + BasicAuthorization("prometheus", "s3cret") + "\r\n";
const QByteArray kCheckTime = "POST /check-time HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n" + kGood;

TEST_P(SecuredRequests, AreAnsweredAsTheWebConfigurationSays) {
    ASSERT_TRUE(files->Made()) << "openssl";
    const SecurityRow& row = GetParam();
    MetricsServer server(board, [this](const QString& port) { measured.append(port); });
    server.SetWebConfig(Config(row.web));
    QString why;
    const quint16 port = server.Listen(QHostAddress::LocalHost, 0, &why);
    ASSERT_NE(port, 0) << why.toStdString();
    QByteArray request = row.request + "Connection: close\r\n\r\n";
    request.replace("{port}", QByteArray::number(port));
    const std::unique_ptr<QTcpSocket> socket = Connect(port, row.client, request);
    const QByteArray got = Answer(*socket);
    if (*row.status == '\0') {
        EXPECT_FALSE(got.contains("HTTP/1.1")) << got.left(200).toStdString();
    } else {
        EXPECT_TRUE(got.startsWith(row.status)) << got.left(300).toStdString();
    }
    EXPECT_TRUE(got.contains(row.header)) << got.left(300).toStdString();
    EXPECT_EQ(measured.size(), got.startsWith("HTTP/1.1 202") ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    WebSecurity, SecuredRequests,
    testing::Values(
        SecurityRow{"good_scrape", Web::kUsersAndTls, Client::kTls,
                    "GET /metrics HTTP/1.1\r\n" + kGood, "HTTP/1.1 200", "X-Frame-Options: deny"},
        SecurityRow{"no_credentials", Web::kUsersAndTls, Client::kTls, "GET /metrics HTTP/1.1\r\n",
                    "HTTP/1.1 401", "WWW-Authenticate: Basic realm=\"irigctl monitor\""},
        SecurityRow{"wrong_password", Web::kUsersAndTls, Client::kTls,
                    "GET /metrics HTTP/1.1\r\nAuthorization: " +
                        BasicAuthorization("prometheus", "secret") + "\r\n",
                    "HTTP/1.1 401", "X-Frame-Options: deny"},
        SecurityRow{"unknown_path_without_credentials", Web::kUsersAndTls, Client::kTls,
                    "GET /nothing HTTP/1.1\r\n", "HTTP/1.1 401", ""},
        SecurityRow{"unknown_path", Web::kUsersAndTls, Client::kTls,
                    "GET /nothing HTTP/1.1\r\n" + kGood, "HTTP/1.1 404", ""},
        SecurityRow{"check_time_without_credentials", Web::kUsersAndTls, Client::kTls,
                    "POST /check-time HTTP/1.1\r\n", "HTTP/1.1 401", ""},
        SecurityRow{"check_time_as_curl", Web::kUsersAndTls, Client::kTls, kCheckTime,
                    "HTTP/1.1 202", ""},
        SecurityRow{"check_time_from_its_own_page", Web::kUsersAndTls, Client::kTls,
                    kCheckTime + "Origin: https://127.0.0.1:{port}\r\n", "HTTP/1.1 202", ""},
        SecurityRow{"check_time_from_another_origin", Web::kUsersAndTls, Client::kTls,
                    kCheckTime + "Origin: https://evil.example\r\n", "HTTP/1.1 403", ""},
        SecurityRow{"check_time_from_plain_http_of_the_host", Web::kUsersAndTls, Client::kTls,
                    kCheckTime + "Origin: http://127.0.0.1:{port}\r\n", "HTTP/1.1 403", ""},
        SecurityRow{"check_time_from_an_opaque_origin", Web::kUsersAndTls, Client::kTls,
                    kCheckTime + "Origin: null\r\n", "HTTP/1.1 403", ""},
        SecurityRow{"check_time_fetched_cross_site", Web::kUsersAndTls, Client::kTls,
                    kCheckTime + "Sec-Fetch-Site: cross-site\r\n", "HTTP/1.1 403", ""},
        SecurityRow{"plain_http_to_tls", Web::kUsersAndTls, Client::kPlain,
                    "GET /metrics HTTP/1.1\r\n" + kGood, "", ""},
        SecurityRow{"client_certificate", Web::kClientCertificates, Client::kTlsWithCertificate,
                    "GET /metrics HTTP/1.1\r\n", "HTTP/1.1 200", ""},
        SecurityRow{"no_client_certificate", Web::kClientCertificates, Client::kTls,
                    "GET /metrics HTTP/1.1\r\n", "", ""},
        SecurityRow{"certificate_of_another_ca", Web::kClientCertificates,
                    Client::kTlsWithAStrangersCertificate, "GET /metrics HTTP/1.1\r\n", "", ""}),
    [](const testing::TestParamInfo<SecurityRow>& row) { return row.param.name; });

// Connections that never say hello fill the cap and are closed after the idle time like any other.
TEST_F(WebSecurity, AHandshakeCountsAgainstTheCapAndTheIdleTime) {
    ASSERT_TRUE(files->Made()) << "openssl";
    MetricsServer server(board, [](const QString&) {}, {2, 1024, 1024, 600});
    server.SetWebConfig(Config(Web::kUsersAndTls));
    QString why;
    const quint16 port = server.Listen(QHostAddress::LocalHost, 0, &why);
    ASSERT_NE(port, 0) << why.toStdString();
    const std::unique_ptr<QTcpSocket> oldest = Connect(port, Client::kPlain, {});
    ASSERT_TRUE(test::WaitUntil([&] { return oldest->state() == QTcpSocket::ConnectedState; }));
    const std::unique_ptr<QTcpSocket> silent = Connect(port, Client::kPlain, {});
    ASSERT_TRUE(test::WaitUntil([&] { return silent->state() == QTcpSocket::ConnectedState; }));
    const std::unique_ptr<QTcpSocket> scrape =
        Connect(port, Client::kTls, "GET /metrics HTTP/1.1\r\n" + kGood + "\r\n");
    EXPECT_TRUE(test::WaitUntil([&] { return oldest->state() == QTcpSocket::UnconnectedState; }))
        << "the cap made room";
    EXPECT_TRUE(Answer(*scrape).startsWith("HTTP/1.1 200"));
    EXPECT_TRUE(test::WaitUntil([&] { return silent->state() == QTcpSocket::UnconnectedState; }))
        << "the idle time";
}

// What `SetWebConfig` takes applies to the next connection and the next request.
TEST_F(WebSecurity, ANewConfigurationAppliesToWhatComesNext) {
    ASSERT_TRUE(files->Made()) << "openssl";
    MetricsServer server(board, [](const QString&) {});
    QString why;
    const quint16 port = server.Listen(QHostAddress::LocalHost, 0, &why);
    ASSERT_NE(port, 0) << why.toStdString();
    const QByteArray scrape = "GET /metrics HTTP/1.1\r\n\r\n";
    const std::unique_ptr<QTcpSocket> open = Connect(port, Client::kPlain, scrape);
    EXPECT_TRUE(Answer(*open).startsWith("HTTP/1.1 200"));

    server.SetWebConfig(Config(Web::kUsersAndTls));
    open->write(scrape);
    EXPECT_TRUE(Answer(*open).startsWith("HTTP/1.1 401")) << "users on an open connection";
    EXPECT_FALSE(Answer(*Connect(port, Client::kPlain, scrape)).contains("HTTP/1.1"));
    EXPECT_TRUE(Answer(*Connect(port, Client::kTls, "GET /metrics HTTP/1.1\r\n" + kGood + "\r\n"))
                    .startsWith("HTTP/1.1 200"));

    server.SetWebConfig({});
    EXPECT_TRUE(Answer(*Connect(port, Client::kPlain, scrape)).startsWith("HTTP/1.1 200"));
}

}  // namespace
}  // namespace irig::monitor
