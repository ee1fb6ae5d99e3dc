// The web configuration as a site writes it for its exporters: each fault refused with its line
// and column, and the good forms read into TLS, users and headers, with the files they name found
// beside the configuration.
#include "web/webconfig.h"

#include <gtest/gtest.h>

#include "support/tlsfiles.h"

namespace irig::web {
namespace {

const QByteArray kTls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n";
const QByteArray kHash = "$2y$10$X0h1gDsPszWURQaxFh.zoubFi6DXncSjhoQNJgRrnGs7EsimhC7zG";

struct FaultRow {
    const char* name;
    QByteArray yaml;
    int line;
    int column;
    const char* what;  // the message holds it
};

class WebConfigFiles : public testing::TestWithParam<FaultRow> {
protected:
    static void SetUpTestSuite() { files = new test::TlsFiles; }
    static void TearDownTestSuite() { delete files; }
    static std::variant<WebConfig, WebConfigFault> Parse(const QByteArray& yaml) {
        return ParseWebConfig(yaml, files->Path(QStringLiteral("web.yml")));
    }
    static inline test::TlsFiles* files = nullptr;
};

TEST_P(WebConfigFiles, RefuseEachFaultWithItsLineAndColumn) {
    ASSERT_TRUE(files->Made()) << "openssl";
    const auto read = Parse(GetParam().yaml);
    ASSERT_TRUE(std::holds_alternative<WebConfigFault>(read));
    const WebConfigFault& fault = std::get<WebConfigFault>(read);
    EXPECT_TRUE(fault.Text().startsWith(QStringLiteral("%1:%2:%3: ")
                                            .arg(files->Path(QStringLiteral("web.yml")))
                                            .arg(GetParam().line)
                                            .arg(GetParam().column)))
        << fault.Text().toStdString();
    EXPECT_TRUE(fault.what.contains(QLatin1String(GetParam().what))) << fault.Text().toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    WebConfig, WebConfigFiles,
    testing::Values(
        FaultRow{"unknown_key", "tls_config: {}\n", 1, 1, "unknown key \"tls_config\""},
        FaultRow{"toolkit_key_not_served", "rate_limit: {burst: 20}\n", 1, 1, "does not support"},
        FaultRow{"key_twice", "basic_auth_users:\nbasic_auth_users:\n", 2, 1, "given twice"},
        FaultRow{"section_of_another_type", "tls_server_config: yes\n", 1, 20, "must be a map"},
        FaultRow{"no_key_file", "tls_server_config:\n  cert_file: server.crt\n", 2, 3,
                 "tls_server_config needs key_file"},
        FaultRow{"certificate_missing", "tls_server_config: {cert_file: no.crt, key_file: x}\n", 1,
                 32, "no.crt: no such file"},
        FaultRow{"key_not_a_key", "tls_server_config:\n  cert_file: ca.crt\n  key_file: ca.crt\n",
                 3, 13, "holds no private key"},
        FaultRow{"key_of_another_certificate",
                 "tls_server_config:\n  cert_file: server.crt\n  key_file: client.key\n", 3, 13,
                 "client.key is not the key of cert_file server.crt"},
        FaultRow{"client_certificate_unverified",
                 kTls + "  client_auth_type: RequireAnyClientCert\n", 4, 21,
                 "verifies no certificate"},
        FaultRow{"verifying_without_a_ca",
                 kTls + "  client_auth_type: RequireAndVerifyClientCert\n", 4, 21,
                 "needs client_ca_file"},
        FaultRow{"a_ca_without_verifying", kTls + "  client_ca_file: ca.crt\n", 4, 19,
                 "needs client_auth_type"},
        FaultRow{"tls_too_old", kTls + "  min_version: TLS11\n", 4, 16, "unsafe"},
        FaultRow{"hash_of_sha512_crypt", "basic_auth_users:\n  prom: $6$salt$abc\n", 2, 9,
                 "the password of prom is not a bcrypt hash"},
        FaultRow{"htpasswd_line_whole", "basic_auth_users:\n  prom: prom:" + kHash + "\n", 2, 9,
                 "it begins with \"prom:\", as htpasswd's line does"},
        FaultRow{"hash_too_costly", "basic_auth_users: {prom: $2y$31$" + kHash.mid(7) + "}\n", 1,
                 26, "cost 31"},
        FaultRow{"user_twice", "basic_auth_users:\n  a: " + kHash + "\n  a: " + kHash + '\n', 3, 3,
                 "the user a is given twice"},
        FaultRow{"reserved_header", "http_server_config: {headers: {Content-Type: a}}\n", 1, 32,
                 "the server's own"},
        FaultRow{"header_value_refused", "http_server_config:\n  headers: {X-Frame-Options: x}\n",
                 2, 30, "deny or sameorigin"},
        FaultRow{"header_with_a_line_break",
                 "http_server_config:\n  headers: {X-XSS-Protection: \"a\\nb\"}\n", 2, 31,
                 "control character"},
        FaultRow{"header_twice_in_another_case",
                 "http_server_config:\n  headers: {X-XSS-Protection: a, x-xss-protection: b}\n", 2,
                 34, "given twice"},
        FaultRow{"header_the_toolkit_refuses",
                 "http_server_config:\n  headers: {Access-Control-Allow-Origin: \"*\"}\n", 2, 13,
                 "not a header the exporter toolkit allows"},
        FaultRow{"cipher_suite_unknown", kTls + "  cipher_suites: [TLS_RSA_WITH_RC4_128_SHA]\n", 4,
                 19, "cipher suite TLS_RSA_WITH_RC4_128_SHA is not served"}),
    [](const testing::TestParamInfo<FaultRow>& row) { return row.param.name; });

TEST_F(WebConfigFiles, TheGoodFormsGiveTlsUsersAndHeaders) {
    ASSERT_TRUE(files->Made()) << "openssl";
    const auto full = Parse(kTls + "  client_auth_type: RequireAndVerifyClientCert\n" +
                            "  client_ca_file: " + files->Path(QStringLiteral("ca.crt")).toUtf8() +
                            "\n  min_version: TLS13\nhttp_server_config:\n  http2: false\n"
                            "  headers: {X-Frame-Options: DENY, Content-Security-Policy: \"\"}\n"
                            "basic_auth_users: {prometheus: " +
                            kHash + ", grafana: " + kHash + "}");
    ASSERT_TRUE(std::holds_alternative<WebConfig>(full))
        << std::get<WebConfigFault>(full).Text().toStdString();
    const WebConfig& config = std::get<WebConfig>(full);
    ASSERT_TRUE(config.tls);
    EXPECT_TRUE(config.tls->VerifiesClients());
    EXPECT_EQ(config.tls->priorities, "NORMAL:-VERS-ALL:+VERS-TLS1.3");
    EXPECT_FALSE(config.tls->keyPem.isEmpty());
    EXPECT_EQ(config.users.size(), 2u);
    EXPECT_EQ(config.headers,
              (std::vector<std::pair<QByteArray, QByteArray>>{{"X-Frame-Options", "DENY"}}))
        << "a blank header is not sent";
    const auto suites = Parse(kTls +
                              "  max_version: TLS12\n  cipher_suites: "
                              "[TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256]\n");
    ASSERT_TRUE(std::holds_alternative<WebConfig>(suites));
    EXPECT_EQ(std::get<WebConfig>(suites).tls->priorities,
              "NORMAL:-VERS-ALL:+VERS-TLS1.2:-CIPHER-ALL:-KX-ALL:+AES-128-GCM:+ECDHE-RSA");
    const auto empty = Parse("tls_server_config:\nbasic_auth_users:\n");
    ASSERT_TRUE(std::holds_alternative<WebConfig>(empty));
    EXPECT_FALSE(std::get<WebConfig>(empty).tls || !std::get<WebConfig>(empty).users.empty());
}

// What a reload may not take while serving: each step down, and what is no step down.
TEST(WebConfigReload, RefusesOnlyWhatWouldWeakenTheEdge) {
    const TlsConfig tls{"cert", "key", {}, "NORMAL"};
    TlsConfig verifying = tls;
    verifying.clientCaPem = "ca";
    const std::map<QByteArray, QByteArray> users{{"u", kHash}};
    const struct {
        WebConfig before;
        WebConfig after;
        const char* said;  // empty: taken
    } rows[] = {
        {{tls, {}, {}}, {}, "turn TLS off"},
        {{verifying, {}, {}}, {tls, {}, {}}, "no longer verify client certificates"},
        {{std::nullopt, users, {}}, {}, "without a password"},
        {{std::nullopt, users, {}}, {std::nullopt, {{"v", kHash}}, {}}, ""},
        {{}, {verifying, users, {}}, ""},
        {{tls, {}, {}}, {verifying, {}, {}}, ""},
    };
    for (const auto& row : rows) {
        const std::optional<QString> said = Weakening(row.before, row.after);
        EXPECT_EQ(said.value_or(QString()).contains(QLatin1String(row.said)), true) << row.said;
        EXPECT_EQ(said.has_value(), *row.said != '\0') << row.said;
    }
}

}  // namespace
}  // namespace irig::web
