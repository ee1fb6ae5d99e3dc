// The exporter's HTTP side under a web configuration, as clients on the network meet it: users on
// every path, who may take a lease, the page's own origin only for POST /check-time and the leases,
// and without users this computer's names only as their Host; the headers on every response, TLS
// with and without client certificates, a handshake held to the cap and the head's deadline, and a
// new configuration taken while it serves.
#include <gtest/gtest.h>

#include <QJsonObject>
#include <QSslSocket>

#include "monitor/server.h"
#include "support/tlsfiles.h"
#include "support/wait.h"

namespace irig::monitor {
namespace {

using web::ParseWebConfig;
using web::WebConfig;

enum class Web { kNone, kUsersAndTls, kClientCertificates };
enum class Client { kPlain, kTls, kTlsWithCertificate };

const QByteArray kGood =
    "Authorization: " + test::BasicAuthorization("prometheus", "s3cret") + "\r\n";
const QByteArray kScrape =
    "GET /metrics HTTP/1.1\r\nHost: a\r\nConnection: close\r\n" + kGood + "\r\n";

class WebSecurity : public testing::Test {
protected:
    static void SetUpTestSuite() { files = new test::TlsFiles; }
    static void TearDownTestSuite() { delete files; }

    quint16 Serve(const WebConfig& web, web::Limits limits = {}) {
        server = std::make_unique<MetricsServer>(
            board, [this](const QString& port) { measured.append(port); }, limits);
        server->SetWebConfig(web);
        server->SetExternalHosts({QStringLiteral("monitor.example")});
        server->SetLeases([](const LeaseRequest& request, const auto& answer) {
            answer({200, QJsonObject{{QStringLiteral("who"), request.who}}});
        });
        QString why;
        return server->Listen(QHostAddress::LocalHost, 0, &why);
    }
    static WebConfig Config(Web web) {
        if (web == Web::kNone) {
            return {};
        }
        const QByteArray yaml =
            web == Web::kUsersAndTls
                ? "tls_server_config: {cert_file: server.crt, key_file: server.key}\n"
                  "http_server_config: {headers: {X-Frame-Options: deny}}\n"
                  "basic_auth_users: {prometheus: " +
                      test::BcryptHash("s3cret") + "}\n"
                : "tls_server_config: {cert_file: server.crt, key_file: server.key, "
                  "client_auth_type: RequireAndVerifyClientCert, client_ca_file: ca.crt}\n";
        auto read = ParseWebConfig(yaml, files->Path(QStringLiteral("web.yml")));
        return std::holds_alternative<WebConfig>(read) ? std::get<WebConfig>(read) : WebConfig();
    }
    // Connected (with TLS, the handshake begun), `request` sent (with TLS, once it is done).
    static std::unique_ptr<QSslSocket> Connect(quint16 port, Client client,
                                               const QByteArray& request, int from = 1) {
        auto socket = std::make_unique<QSslSocket>();
        socket->bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(from)));
        socket->setSslConfiguration(files->Client(
            client == Client::kTlsWithCertificate ? QStringLiteral("client") : QString()));
        if (client == Client::kPlain) {
            socket->connectToHost(QStringLiteral("127.0.0.1"), port);
        } else {
            socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        }
        socket->write(request);
        return socket;
    }
    // What the server sent until it closed (or 5 s passed).
    static QByteArray Answer(QTcpSocket& socket) {
        QByteArray got;
        test::WaitUntil([&] {
            got += socket.readAll();
            return socket.state() == QTcpSocket::UnconnectedState;
        });
        return got + socket.readAll();
    }

    static inline test::TlsFiles* files = nullptr;
    MetricsBoard board{{QStringLiteral("COM1")}};
    QStringList measured;
    std::unique_ptr<MetricsServer> server;
};

struct SecurityRow {
    const char* name;
    Web web;
    Client client;
    QByteArray request;  // {port}: the server's; Connection: close is added
    const char* status;  // the answer starts so; empty: no HTTP answer at all
    const char* header;  // a header the answer holds
};

class SecuredRequests : public WebSecurity, public testing::WithParamInterface<SecurityRow> {};

TEST_P(SecuredRequests, AreAnsweredAsTheWebConfigurationSays) {
    ASSERT_TRUE(files->Made()) << "openssl";
    const SecurityRow& row = GetParam();
    const quint16 port = Serve(Config(row.web));
    ASSERT_NE(port, 0);
    QByteArray request = row.request + "Connection: close\r\n\r\n";
    const QByteArray got =
        Answer(*Connect(port, row.client, request.replace("{port}", QByteArray::number(port))));
    EXPECT_TRUE(*row.status == '\0' ? !got.contains("HTTP/1.1") : got.startsWith(row.status))
        << got.left(300).toStdString();
    EXPECT_TRUE(got.contains(row.header)) << got.left(300).toStdString();
    EXPECT_EQ(measured.size(), got.startsWith("HTTP/1.1 202") ? 1 : 0);
}

const QByteArray kCheckTime = "POST /check-time HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n" + kGood;
const QByteArray kLease = "POST /units/a/lease?seconds=60 HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n";
const QByteArray kPlainCheck = "POST /check-time HTTP/1.1\r\n";
const QByteArray kPlainLease = "POST /units/a/lease?seconds=60 HTTP/1.1\r\n";

INSTANTIATE_TEST_SUITE_P(
    WebSecurity, SecuredRequests,
    testing::Values(
        SecurityRow{"good_scrape", Web::kUsersAndTls, Client::kTls,
                    "GET /metrics HTTP/1.1\r\nHost: a\r\n" + kGood, "HTTP/1.1 200",
                    "X-Frame-Options: deny"},
        SecurityRow{"no_credentials", Web::kUsersAndTls, Client::kTls,
                    "GET /metrics HTTP/1.1\r\nHost: a\r\n", "HTTP/1.1 401",
                    "WWW-Authenticate: Basic realm=\"irigctl monitor\""},
        SecurityRow{"unknown_path_without_credentials", Web::kUsersAndTls, Client::kTls,
                    "GET /nothing HTTP/1.1\r\nHost: a\r\n", "HTTP/1.1 401", ""},
        SecurityRow{"check_time_as_curl", Web::kUsersAndTls, Client::kTls, kCheckTime,
                    "HTTP/1.1 202", ""},
        SecurityRow{"check_time_from_its_own_page", Web::kUsersAndTls, Client::kTls,
                    kCheckTime + "Origin: https://127.0.0.1:{port}\r\n", "HTTP/1.1 202", ""},
        SecurityRow{"check_time_from_another_origin", Web::kUsersAndTls, Client::kTls,
                    kCheckTime + "Origin: https://evil.example\r\n", "HTTP/1.1 403", ""},
        SecurityRow{"check_time_fetched_cross_site", Web::kUsersAndTls, Client::kTls,
                    kCheckTime + "Sec-Fetch-Site: cross-site\r\n", "HTTP/1.1 403", ""},
        SecurityRow{"lease_taken_by_a_user", Web::kUsersAndTls, Client::kTls, kLease + kGood,
                    "HTTP/1.1 200", "{\"who\":\"prometheus\"}"},
        SecurityRow{"lease_without_credentials", Web::kUsersAndTls, Client::kTls, kLease,
                    "HTTP/1.1 401", ""},
        SecurityRow{"lease_from_another_origin", Web::kUsersAndTls, Client::kTls,
                    kLease + kGood + "Origin: https://evil.example\r\n", "HTTP/1.1 403",
                    "another origin"},
        SecurityRow{"plain_http_to_tls", Web::kUsersAndTls, Client::kPlain,
                    "GET /metrics HTTP/1.1\r\nHost: a\r\n" + kGood, "", ""},
        SecurityRow{"client_certificate", Web::kClientCertificates, Client::kTlsWithCertificate,
                    "GET /metrics HTTP/1.1\r\nHost: a\r\n", "HTTP/1.1 200", ""},
        SecurityRow{"no_client_certificate", Web::kClientCertificates, Client::kTls,
                    "GET /metrics HTTP/1.1\r\nHost: a\r\n", "", ""},
        // Host and Origin, without users and with them.
        SecurityRow{"rebound_host", Web::kNone, Client::kPlain,
                    kPlainCheck + "Host: attacker.example:{port}\r\n", "HTTP/1.1 403",
                    "another host"},
        SecurityRow{"rebound_host_and_its_origin", Web::kNone, Client::kPlain,
                    kPlainLease + "Host: attacker.example:{port}\r\n"
                                  "Origin: http://attacker.example:{port}\r\n",
                    "HTTP/1.1 403", "another origin"},
        SecurityRow{"own_host_foreign_origin", Web::kNone, Client::kPlain,
                    kPlainCheck + "Host: 127.0.0.1:{port}\r\nOrigin: http://attacker.example:{port}"
                                  "\r\n",
                    "HTTP/1.1 403", "another origin"},
        SecurityRow{"rebound_host_lease", Web::kNone, Client::kPlain,
                    kPlainLease + "Host: attacker.example:{port}\r\n", "HTTP/1.1 403",
                    "another host"},
        SecurityRow{"localhost", Web::kNone, Client::kPlain,
                    kPlainCheck + "Host: localhost:{port}\r\nOrigin: http://localhost:{port}\r\n",
                    "HTTP/1.1 202", ""},
        SecurityRow{"external_name_given", Web::kNone, Client::kPlain,
                    kPlainLease + "Host: monitor.example:{port}\r\n", "HTTP/1.1 200",
                    "{\"who\":\"127.0.0.1\"}"},
        SecurityRow{"host_of_another_port", Web::kNone, Client::kPlain,
                    kPlainCheck + "Host: 127.0.0.1:1\r\n", "HTTP/1.1 403", ""},
        SecurityRow{"rebound_host_reading", Web::kNone, Client::kPlain,
                    "GET /metrics HTTP/1.1\r\nHost: attacker.example:{port}\r\n", "HTTP/1.1 200",
                    ""},
        SecurityRow{"rebound_host_with_users", Web::kUsersAndTls, Client::kTls,
                    kPlainCheck + kGood + "Host: attacker.example:{port}\r\n", "HTTP/1.1 202", ""},
        // The technician's page: the same users, and its own origin only for what it loads; without
        // users not for a page of a name rebound to this computer, which could read it.
        SecurityRow{"rebound_host_page", Web::kNone, Client::kPlain,
                    "GET /units HTTP/1.1\r\nHost: attacker.example:{port}\r\n", "HTTP/1.1 403",
                    "another host"},
        SecurityRow{"page", Web::kNone, Client::kPlain,
                    "GET / HTTP/1.1\r\nHost: localhost:{port}\r\n", "HTTP/1.1 200",
                    "Content-Security-Policy: default-src 'self'"},
        SecurityRow{"page_with_users", Web::kUsersAndTls, Client::kTls,
                    "GET / HTTP/1.1\r\nHost: localhost:{port}\r\n" + kGood, "HTTP/1.1 200",
                    "<table id=\"units\">"},
        SecurityRow{"page_without_credentials", Web::kUsersAndTls, Client::kTls,
                    "GET / HTTP/1.1\r\nHost: localhost:{port}\r\n", "HTTP/1.1 401", ""},
        SecurityRow{"units_json", Web::kNone, Client::kPlain,
                    "GET /units HTTP/1.1\r\nHost: localhost:{port}\r\n", "HTTP/1.1 200",
                    "{\"units\":[{\"name\":\"COM1\",\"port\":\"COM1\""},
        SecurityRow{"one_units_page", Web::kNone, Client::kPlain,
                    "GET /units/COM1 HTTP/1.1\r\nHost: localhost:{port}\r\n", "HTTP/1.1 200",
                    "data-action=\"check-time\" data-port=\"COM1\""},
        SecurityRow{"no_such_units_page", Web::kNone, Client::kPlain,
                    "GET /units/COM9 HTTP/1.1\r\nHost: localhost:{port}\r\n", "HTTP/1.1 404",
                    "Content-Security-Policy: default-src 'self'"},
        SecurityRow{"page_script", Web::kNone, Client::kPlain,
                    "HEAD /page.js HTTP/1.1\r\nHost: localhost:{port}\r\n", "HTTP/1.1 200",
                    "Content-Type: text/javascript"}),
    [](const testing::TestParamInfo<SecurityRow>& row) { return row.param.name; });

// Connections that never say hello fill the cap, and are closed after the head's deadline.
TEST_F(WebSecurity, AHandshakeCountsAgainstTheCapAndTheIdleTime) {
    const quint16 port = Serve(Config(Web::kUsersAndTls), {2, 4, 32 * 1024, 1024, 600, {}});
    const auto oldest = Connect(port, Client::kPlain, {});
    ASSERT_TRUE(test::WaitUntil([&] { return oldest->state() == QTcpSocket::ConnectedState; }));
    const auto silent = Connect(port, Client::kPlain, {});
    ASSERT_TRUE(test::WaitUntil([&] { return silent->state() == QTcpSocket::ConnectedState; }));
    EXPECT_TRUE(Answer(*Connect(port, Client::kTls, kScrape)).startsWith("HTTP/1.1 200"));
    EXPECT_TRUE(test::WaitUntil([&] { return oldest->state() == QTcpSocket::UnconnectedState; }))
        << "the cap made room";
    EXPECT_TRUE(test::WaitUntil([&] { return silent->state() == QTcpSocket::UnconnectedState; }));
}

// The flood: one address holds more slow connections than it may, sixteen others send wrong
// passwords; a scrape from another address, and a password never seen before, are answered.
TEST_F(WebSecurity, AFloodShutsOutNoScrape) {
    const quint16 port = Serve(Config(Web::kUsersAndTls));
    std::vector<std::unique_ptr<QSslSocket>> flood;
    for (int i = 0; i < 80; ++i) {
        flood.push_back(Connect(port, Client::kPlain, "GET /metrics HTTP/1.1\r\nHo", 2));
    }
    for (int from = 3; from < 19; ++from) {
        flood.push_back(Connect(
            port, Client::kTls,
            "GET /metrics HTTP/1.1\r\nHost: a\r\nAuthorization: " +
                test::BasicAuthorization("prometheus", QByteArray::number(from)) + "\r\n\r\n",
            from));
    }
    EXPECT_TRUE(Answer(*Connect(port, Client::kTls, kScrape, 20)).startsWith("HTTP/1.1 200"));
}

// What SetWebConfig takes applies to the next connection and the next request.
TEST_F(WebSecurity, ANewConfigurationAppliesToWhatComesNext) {
    const quint16 port = Serve({});
    const QByteArray plain = "GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n";
    const auto open = Connect(port, Client::kPlain, plain);
    ASSERT_TRUE(test::WaitUntil([&] { return open->bytesAvailable() > 0; }));
    server->SetWebConfig(Config(Web::kUsersAndTls));
    open->write("GET /metrics HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
    const QByteArray got = Answer(*open);
    EXPECT_TRUE(got.startsWith("HTTP/1.1 200") && got.contains("HTTP/1.1 401")) << "an open one";
    EXPECT_FALSE(Answer(*Connect(port, Client::kPlain, plain)).contains("HTTP/1.1"));
    EXPECT_TRUE(Answer(*Connect(port, Client::kTls, kScrape)).startsWith("HTTP/1.1 200"));
    server->SetWebConfig({});
    EXPECT_TRUE(Answer(*Connect(port, Client::kPlain, kScrape)).startsWith("HTTP/1.1 200"));
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
