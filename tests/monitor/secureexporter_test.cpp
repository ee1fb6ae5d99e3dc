// irigctl monitor with a web configuration (--web-config or IRIGCTL_WEB_CONFIG) as a site's
// Prometheus meets it: scraped through TLS with a client certificate and basic_auth, up with the
// right password and down with 401 with a wrong one, as Prometheus itself is when it serves the
// same file; a faulty file refused before anything listens; the file read again on SIGHUP.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>

#include "lease/leaseclient.h"
#include "support/firmwarefile.h"
#include "support/monitorprocess.h"
#include "support/tlsfiles.h"
#include "support/wait.h"
#include "web/webconfig.h"

namespace irig::test {
namespace {

const QStringList kNoUnit{QStringLiteral("/nonexistent/irig-tty")};

TEST(SecureExporter, PrometheusScrapesItAsItScrapesItselfWithTheSameFile) {
    TlsFiles files;
    ASSERT_TRUE(files.Made()) << "openssl";
    const QString web = WriteFile(
        files.Path(QStringLiteral("web.yml")),
        "tls_server_config: {cert_file: server.crt, key_file: server.key, client_auth_type: "
        "RequireAndVerifyClientCert, client_ca_file: ca.crt}\n"
        "basic_auth_users: {prometheus: " +
            BcryptHash("s3cret") + "}\n");
    MonitorProcess monitor(kNoUnit, {QStringLiteral("--web-config"), web});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    ASSERT_EQ(monitor.Url({}).scheme(), QStringLiteral("https"));

    QTcpServer probe;  // a port nobody listens on now
    probe.listen(QHostAddress::LocalHost);
    const quint16 prometheusPort = probe.serverPort();
    probe.close();
    QString jobs = QStringLiteral("global: {scrape_interval: 1s}\nscrape_configs:\n");
    for (const auto& [job, port] :
         {std::pair{"irig", monitor.Port()}, std::pair{"prometheus", prometheusPort}}) {
        for (const char* password : {"s3cret", "wrong"}) {
            jobs += QStringLiteral(
                        "  - {job_name: %1-%2, scheme: https, static_configs: "
                        "[{targets: ['127.0.0.1:%3']}],\n     tls_config: {ca_file: "
                        "ca.crt, cert_file: client.crt, key_file: client.key},\n"
                        "     basic_auth: {username: prometheus, password: %2}}\n")
                        .arg(QLatin1String(job), QLatin1String(password))
                        .arg(port);
        }
    }
    QProcess prometheus;
    prometheus.setProcessChannelMode(QProcess::MergedChannels);
    prometheus.start(QStringLiteral("prometheus"),
                     {"--config.file=" + WriteFile(files.Path("prometheus.yml"), jobs.toUtf8()),
                      "--web.config.file=" + web, "--storage.tsdb.path=" + files.Path("data"),
                      QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(prometheusPort)});

    // Each job's health and last error once each has been scraped, from Prometheus's API, which
    // needs the same certificate and password.
    QNetworkRequest targets(
        QUrl(QStringLiteral("https://127.0.0.1:%1/api/v1/targets").arg(prometheusPort)));
    targets.setSslConfiguration(files.Client(QStringLiteral("client")));
    targets.setRawHeader("Authorization", BasicAuthorization("prometheus", "s3cret"));
    std::map<QString, QString> health;
    const bool scraped = WaitUntil(
        [&] {
            for (const QJsonValue target :
                 QJsonDocument::fromJson(Http(targets).body)["data"]["activeTargets"].toArray()) {
                if (target["health"].toString() != QLatin1String("unknown")) {
                    health[target["labels"]["job"].toString()] =
                        target["health"].toString() + ' ' + target["lastError"].toString();
                }
            }
            return health.size() == 4;
        },
        30'000);
    ASSERT_TRUE(scraped) << prometheus.readAll().toStdString();
    for (const QString job : {"irig", "prometheus"}) {
        EXPECT_EQ(health[job + "-s3cret"], QStringLiteral("up ")) << job.toStdString();
        EXPECT_EQ(health[job + "-wrong"],
                  QStringLiteral("down server returned HTTP status 401 Unauthorized"));
    }
    prometheus.terminate();
    EXPECT_TRUE(prometheus.waitForFinished(10'000));
    EXPECT_EQ(monitor.Terminate(), 143) << monitor.Errors().toStdString();
}

// A faulty file, here from the environment, ends the monitor with 2 and its place before it serves.
TEST(SecureExporter, AFaultyFileIsRefusedBeforeAnythingListens) {
    TlsFiles files;
    const QString web = WriteFile(files.Path(QStringLiteral("web.yml")),
                                  "basic_auth_users:\n  prometheus: secret\n");
    qputenv(web::kWebConfigVariable, web.toLocal8Bit());
    MonitorProcess monitor(kNoUnit);
    qunsetenv(web::kWebConfigVariable);
    EXPECT_EQ(monitor.Finished(), 2);
    EXPECT_TRUE(monitor.Errors().startsWith(
        "irigctl: monitor: " + web + ":2:15: the password of prometheus is not a bcrypt hash"))
        << monitor.Errors().toStdString();
}

// SIGHUP reads the file again: its users from the next request on; a faulty file, or one that
// would turn TLS off, keeps those before and says why, there and in the reload's series.
TEST(SecureExporter, ReadsItsFileAgainOnSigHup) {
    TlsFiles files;
    ASSERT_TRUE(files.Made()) << "openssl";
    const QString web = files.Path(QStringLiteral("web.yml"));
    const QByteArray tls = "tls_server_config: {cert_file: server.crt, key_file: server.key}\n";
    WriteFile(web, tls + "basic_auth_users: {old: " + BcryptHash("s3cret") + "}\n");
    MonitorProcess monitor(kNoUnit, {QStringLiteral("--web-config"), web});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    const auto scrape = [&](const QByteArray& user) {
        QNetworkRequest request(monitor.Url(QStringLiteral("/metrics")));
        request.setSslConfiguration(files.Client({}));
        request.setRawHeader("Authorization", BasicAuthorization(user, "s3cret"));
        return Http(request);
    };
    ASSERT_EQ(scrape("old").status, 200);

    WriteFile(web, "basic_auth_users: {new: " + BcryptHash("s3cret") + "}\n");
    monitor.Reload();
    ASSERT_TRUE(WaitUntil([&] { return monitor.Errors().contains("stays as it was"); }));
    EXPECT_TRUE(monitor.Errors().contains(web + ": it would turn TLS off: restart the monitor"))
        << monitor.Errors().toStdString();
    EXPECT_TRUE(scrape("old").body.contains("\nirig_monitor_config_last_reload_successful 0\n"));

    WriteFile(web, tls + "basic_auth_users: {new: " + BcryptHash("s3cret") + "}\n");
    monitor.Reload();
    ASSERT_TRUE(WaitUntil([&] { return scrape("new").status == 200; }));
    EXPECT_EQ(scrape("old").status, 401);

    WriteFile(web, tls + "basic_auth_users: {new: s3cret}\n");
    monitor.Reload();
    ASSERT_TRUE(WaitUntil([&] { return monitor.Errors().contains("not a bcrypt hash"); }));
    EXPECT_TRUE(monitor.Errors().contains(web + ":2:25: the password of new is not a bcrypt hash"))
        << monitor.Errors().toStdString();
    const HttpReply after = scrape("new");
    EXPECT_EQ(after.status, 200);
    EXPECT_TRUE(after.body.contains("\nirig_monitor_config_last_reload_successful 0\n"));
}

// A borrower meets a monitor that asks for client certificates with the files the environment
// names: the CA vouches for the monitor, the certificate and key for the borrower; without a
// certificate it is told to give one.
TEST(SecureExporter, LendsToABorrowerThatPresentsACertificate) {
    TlsFiles files;
    ASSERT_TRUE(files.Made()) << "openssl";
    const QString web = WriteFile(
        files.Path(QStringLiteral("web.yml")),
        "tls_server_config: {cert_file: server.crt, key_file: server.key, client_auth_type: "
        "RequireAndVerifyClientCert, client_ca_file: ca.crt}\n");
    MonitorProcess monitor(kNoUnit, {QStringLiteral("--web-config"), web});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    const struct {
        const char* name;
        const char* ca;  // the files of IRIGCTL_MONITOR_CA, _CERT and _KEY
        const char* cert;
        const char* key;
        lease::Watch::State state;
        const char* why;
    } rows[] = {
        {"a_certificate", "ca.crt", "client.crt", "client.key", lease::Watch::kNotWatched, ""},
        {"none", "ca.crt", "", "", lease::Watch::kUnknown,
         "asks for a client certificate: set IRIGCTL_MONITOR_CERT and IRIGCTL_MONITOR_KEY"},
        {"a_monitor_no_ca_vouches_for", "", "client.crt", "client.key", lease::Watch::kUnknown,
         "cannot reach irigctl monitor at https://"},
        {"a_certificate_without_its_key", "ca.crt", "client.crt", "", lease::Watch::kUnknown,
         "a client certificate needs its key"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (const auto& [variable, file] : {std::pair{lease::kCaVariable, row.ca},
                                             {lease::kCertVariable, row.cert},
                                             {lease::kKeyVariable, row.key}}) {
            qputenv(variable, *file == 0 ? QByteArray() : files.Path(file).toLocal8Bit());
        }
        lease::LeaseClient client(monitor.Url({}));
        client.SetCredentials([](const QString&) { return std::nullopt; });
        client.SetWaits({.askMs = 10'000});  // a loaded machine's handshake
        std::optional<lease::Watch> watch;
        QObject::connect(&client, &lease::LeaseClient::Answered,
                         [&](const lease::Watch& answer) { watch = answer; });
        client.Ask(QStringLiteral("/dev/ttyS9"));
        ASSERT_TRUE(WaitUntil([&] { return watch.has_value(); }));
        EXPECT_EQ(watch->state, row.state);
        EXPECT_TRUE(watch->why.contains(QLatin1String(row.why))) << watch->why.toStdString();
    }
    for (const char* variable : {lease::kCaVariable, lease::kCertVariable, lease::kKeyVariable}) {
        qunsetenv(variable);
    }
}

}  // namespace
}  // namespace irig::test
