// The web configuration as a site writes it for its exporters: each fault refused with its line
// and column, and the good forms read into TLS, users and headers, with the files they name found
// beside the configuration.
#include "monitor/webconfig.h"

#include <gtest/gtest.h>

#include <QSslKey>

#include "support/firmwarefile.h"
#include "support/tlsfiles.h"

namespace irig::monitor {
namespace {

const QByteArray kTls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n";
const QByteArray kHash = "$2y$10$X0h1gDsPszWURQaxFh.zoubFi6DXncSjhoQNJgRrnGs7EsimhC7zG";

class WebConfigFiles : public testing::Test {
protected:
    static void SetUpTestSuite() { files = new test::TlsFiles; }
    static void TearDownTestSuite() { delete files; }
    static std::variant<WebConfig, WebConfigFault> Parse(const QByteArray& yaml) {
        return ParseWebConfig(yaml, files->Path(QStringLiteral("web.yml")));
    }
    static test::TlsFiles* files;
};
test::TlsFiles* WebConfigFiles::files = nullptr;

struct FaultRow {
    const char* name;
    QByteArray yaml;
    int line;
    int column;
    const char* what;  // the message holds it
};

class WebConfigFaults : public WebConfigFiles, public testing::WithParamInterface<FaultRow> {};

TEST_P(WebConfigFaults, AreRefusedWithTheirLineAndColumn) {
    ASSERT_TRUE(files->Made()) << "openssl";
    const FaultRow& row = GetParam();
    const auto read = Parse(row.yaml);
    ASSERT_TRUE(std::holds_alternative<WebConfigFault>(read));
    const WebConfigFault& fault = std::get<WebConfigFault>(read);
    EXPECT_EQ(std::pair(fault.line, fault.column), std::pair(row.line, row.column))
        << fault.Text().toStdString();
    EXPECT_TRUE(fault.what.contains(QLatin1String(row.what))) << fault.Text().toStdString();
    EXPECT_TRUE(fault.Text().startsWith(files->Path(QStringLiteral("web.yml")) + ':'));
}

INSTANTIATE_TEST_SUITE_P(
    WebConfig, WebConfigFaults,
    testing::Values(
        FaultRow{"unknown_key", "tls_config: {}\n", 1, 1, "unknown key \"tls_config\""},
        FaultRow{"toolkit_key_not_served", "rate_limit: {burst: 20}\n", 1, 1, "does not support"},
        FaultRow{"key_twice", "basic_auth_users: {}\nbasic_auth_users: {}\n", 2, 1,
                 "basic_auth_users is given twice"},
        FaultRow{"not_a_map", "- tls_server_config\n", 1, 1, "must be a map"},
        FaultRow{"section_of_another_type", "tls_server_config: yes\n", 1, 20, "must be a map"},
        FaultRow{"yaml_syntax", "basic_auth_users: {a: b\n", 2, 1, "end of map flow not found"},
        FaultRow{"no_key_file", "tls_server_config:\n  cert_file: server.crt\n", 2, 3,
                 "tls_server_config needs key_file"},
        FaultRow{"certificate_missing",
                 "tls_server_config:\n  cert_file: none.crt\n  key_file: server.key\n", 2, 14,
                 "none.crt: no such file"},
        FaultRow{"certificate_not_pem",
                 "tls_server_config:\n  cert_file: server.key\n  key_file: server.key\n", 2, 14,
                 "holds no PEM certificate"},
        FaultRow{"file_name_of_another_type",
                 "tls_server_config:\n  cert_file: [a]\n  key_file: server.key\n", 2, 14,
                 "cert_file must be a string"},
        FaultRow{"key_not_a_key",
                 "tls_server_config:\n  cert_file: server.crt\n  key_file: ca.crt\n", 3, 13,
                 "holds no private key"},
        FaultRow{"key_of_another_certificate",
                 "tls_server_config:\n  cert_file: server.crt\n  key_file: client.key\n", 3, 13,
                 "client.key is not the key of cert_file server.crt"},
        FaultRow{"client_certificate_unverified",
                 kTls + "  client_auth_type: RequireAnyClientCert\n", 4, 21,
                 "verifies no certificate"},
        FaultRow{"client_auth_unknown", kTls + "  client_auth_type: Sometimes\n", 4, 21,
                 "is unknown"},
        FaultRow{"verifying_without_a_ca",
                 kTls + "  client_auth_type: RequireAndVerifyClientCert\n", 4, 21,
                 "needs client_ca_file"},
        FaultRow{"a_ca_without_verifying", kTls + "  client_ca_file: ca.crt\n", 4, 19,
                 "needs client_auth_type"},
        FaultRow{"tls_too_old", kTls + "  min_version: TLS11\n", 4, 16, "unsafe"},
        FaultRow{"versions_crossed", kTls + "  min_version: TLS13\n  max_version: TLS12\n", 4, 16,
                 "above max_version"},
        FaultRow{"toolkit_tls_key_not_served", kTls + "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n",
                 4, 3, "cipher_suites is the exporter toolkit's"},
        FaultRow{"hash_of_sha512_crypt", "basic_auth_users:\n  prometheus: $6$salt$abc\n", 2, 15,
                 "not a bcrypt hash"},
        FaultRow{"password_in_clear", "basic_auth_users:\n  prometheus: secret\n", 2, 15,
                 "not a bcrypt hash"},
        FaultRow{"hash_too_costly",
                 "basic_auth_users:\n  prometheus: $2y$31$" + kHash.mid(7) + '\n', 2, 15,
                 "cost 31"},
        FaultRow{"user_twice", "basic_auth_users:\n  a: " + kHash + "\n  a: " + kHash + '\n', 3, 3,
                 "the user a is given twice"},
        FaultRow{"user_with_a_colon", "basic_auth_users:\n  \"a:b\": " + kHash + '\n', 2, 3,
                 "no colon"},
        FaultRow{"users_of_another_type", "basic_auth_users: [a]\n", 1, 19, "must be a map"},
        FaultRow{"reserved_header", "http_server_config:\n  headers:\n    Content-Type: a\n", 3, 5,
                 "the server's own"},
        FaultRow{"header_value_refused",
                 "http_server_config:\n  headers:\n    X-Frame-Options: allow-from x\n", 3, 22,
                 "deny or sameorigin"},
        FaultRow{"header_with_a_line_break",
                 "http_server_config:\n  headers:\n    X-A: \"a\\nb\"\n", 3, 10,
                 "control character"},
        FaultRow{"header_twice_in_another_case",
                 "http_server_config:\n  headers:\n    X-A: a\n    x-a: b\n", 4, 5, "given twice"},
        FaultRow{"http2_not_a_boolean", "http_server_config:\n  http2: maybe\n", 2, 10,
                 "true or false"},
        FaultRow{"unknown_http_key", "http_server_config:\n  keep_alive: true\n", 2, 3,
                 "unknown key \"keep_alive\" in http_server_config"}),
    [](const testing::TestParamInfo<FaultRow>& row) { return row.param.name; });

TEST_F(WebConfigFiles, TheGoodFormsGiveTlsUsersAndHeaders) {
    ASSERT_TRUE(files->Made()) << "openssl";
    const auto full = Parse(kTls +
                            "  client_auth_type: RequireAndVerifyClientCert\n"
                            "  client_ca_file: " +
                            files->Path(QStringLiteral("ca.crt")).toUtf8() +
                            "\n  min_version: TLS13\n"
                            "http_server_config:\n"
                            "  http2: false\n"
                            "  headers: {X-Frame-Options: DENY, Content-Security-Policy: \"\"}\n"
                            "basic_auth_users:\n  prometheus: " +
                            kHash + "\n  grafana: " + kHash + '\n');
    ASSERT_TRUE(std::holds_alternative<WebConfig>(full))
        << std::get<WebConfigFault>(full).Text().toStdString();
    const WebConfig& config = std::get<WebConfig>(full);
    ASSERT_TRUE(config.tls);
    EXPECT_EQ(config.tls->peerVerifyMode(), QSslSocket::VerifyPeer);
    EXPECT_EQ(config.tls->protocol(), QSsl::TlsV1_3OrLater);
    EXPECT_EQ(config.tls->caCertificates().size(), 1) << "the client CA's only, no system's";
    EXPECT_FALSE(config.tls->privateKey().isNull());
    EXPECT_EQ(config.users.size(), 2u);
    EXPECT_EQ(config.users.at("prometheus"), kHash);
    EXPECT_EQ(config.headers,
              (std::vector<std::pair<QByteArray, QByteArray>>{{"X-Frame-Options", "DENY"}}))
        << "a blank header is not sent";

    const auto plain = Parse(kTls);
    ASSERT_TRUE(std::holds_alternative<WebConfig>(plain));
    EXPECT_EQ(std::get<WebConfig>(plain).tls->peerVerifyMode(), QSslSocket::VerifyNone);
    EXPECT_TRUE(std::get<WebConfig>(plain).tls->caCertificates().isEmpty());

    for (const QByteArray& nothing : {QByteArray(), QByteArray("tls_server_config:\nbasic_auth_"
                                                               "users:\nhttp_server_config:\n")}) {
        const auto empty = Parse(nothing);
        ASSERT_TRUE(std::holds_alternative<WebConfig>(empty)) << nothing.toStdString();
        EXPECT_FALSE(std::get<WebConfig>(empty).tls);
        EXPECT_TRUE(std::get<WebConfig>(empty).users.empty());
    }
    const QString web = test::WriteFile(files->Path(QStringLiteral("web.yml")), kTls);
    EXPECT_TRUE(std::holds_alternative<WebConfig>(LoadWebConfig(web)));
    EXPECT_EQ(std::get<WebConfigFault>(LoadWebConfig(files->Folder())).Text(),
              files->Folder() + QStringLiteral(": not a regular file"));
}

}  // namespace
}  // namespace irig::monitor
