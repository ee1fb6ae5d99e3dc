// irigctl monitor with a web configuration as a site's Prometheus meets it: scraped through TLS
// with a client certificate and basic_auth, up with the right password and down with 401 with a
// wrong one, as Prometheus itself is when it serves the same file; and a faulty file refused
// before anything listens.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>

#include "monitor/webconfig.h"
#include "support/firmwarefile.h"
#include "support/monitorprocess.h"
#include "support/tlsfiles.h"
#include "support/wait.h"

namespace irig::test {
namespace {

// A port nobody listens on now.
quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

const QStringList kNoUnit{QStringLiteral("/nonexistent/irig-tty")};

TEST(SecureExporter, PrometheusScrapesItAsItScrapesItselfWithTheSameFile) {
    TlsFiles files;
    ASSERT_TRUE(files.Made()) << "openssl";
    const QString web = WriteFile(files.Path(QStringLiteral("web.yml")),
                                  "tls_server_config:\n"
                                  "  cert_file: server.crt\n"
                                  "  key_file: server.key\n"
                                  "  client_auth_type: RequireAndVerifyClientCert\n"
                                  "  client_ca_file: ca.crt\n"
                                  "http_server_config:\n"
                                  "  headers: {X-Content-Type-Options: nosniff}\n"
                                  "basic_auth_users:\n"
                                  "  prometheus: " +
                                      BcryptHash("s3cret") + '\n');
    MonitorProcess monitor(kNoUnit, {QStringLiteral("--web-config"), web});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    ASSERT_EQ(monitor.Url({}).scheme(), QStringLiteral("https"));

    const quint16 prometheusPort = FreePort();
    QByteArray jobs = "global: {scrape_interval: 1s}\nscrape_configs:\n";
    for (const auto& [job, port] :
         {std::pair{"irig", monitor.Port()}, std::pair{"prometheus", prometheusPort}}) {
        for (const char* password : {"s3cret", "wrong"}) {
            jobs += QStringLiteral(
                        "  - job_name: %1-%2\n"
                        "    scheme: https\n"
                        "    tls_config: {ca_file: ca.crt, cert_file: client.crt, "
                        "key_file: client.key}\n"
                        "    basic_auth: {username: prometheus, password: %2}\n"
                        "    static_configs: [{targets: ['127.0.0.1:%3']}]\n")
                        .arg(QLatin1String(job), QLatin1String(password))
                        .arg(port)
                        .toUtf8();
        }
    }
    QProcess prometheus;
    prometheus.setProcessChannelMode(QProcess::MergedChannels);
    prometheus.start(QStringLiteral("prometheus"),
                     {QStringLiteral("--config.file=") +
                          WriteFile(files.Path(QStringLiteral("prometheus.yml")), jobs),
                      QStringLiteral("--web.config.file=") + web,
                      QStringLiteral("--storage.tsdb.path=") + files.Path(QStringLiteral("data")),
                      QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(prometheusPort)});

    // Each job's health and last error, once each has been scraped (Prometheus's API needs the
    // same certificate and password).
    QNetworkRequest targets(
        QUrl(QStringLiteral("https://127.0.0.1:%1/api/v1/targets").arg(prometheusPort)));
    targets.setSslConfiguration(files.Client(QStringLiteral("client")));
    targets.setRawHeader("Authorization", BasicAuthorization("prometheus", "s3cret"));
    std::map<QString, QString> health;
    const bool scraped = WaitUntil(
        [&] {
            health.clear();
            const QJsonArray active =
                QJsonDocument::fromJson(Http(targets).body)["data"]["activeTargets"].toArray();
            for (const QJsonValue target : active) {
                const QString state = target["health"].toString();
                if (state != QLatin1String("unknown")) {
                    health[target["labels"]["job"].toString()] =
                        state + QLatin1Char(' ') + target["lastError"].toString();
                }
            }
            return health.size() == 4;
        },
        30'000);
    ASSERT_TRUE(scraped) << prometheus.readAll().toStdString();
    for (const char* job : {"irig", "prometheus"}) {
        EXPECT_EQ(health[job + QStringLiteral("-s3cret")], QStringLiteral("up ")) << job;
        EXPECT_EQ(health[job + QStringLiteral("-wrong")],
                  QStringLiteral("down server returned HTTP status 401 Unauthorized"))
            << job;
    }
    prometheus.terminate();
    EXPECT_TRUE(prometheus.waitForFinished(10'000));
    EXPECT_EQ(monitor.Terminate(), 143) << monitor.Errors().toStdString();
}

// From --web-config or from the environment, a faulty file ends the monitor with 2 and its place,
// before it serves.
TEST(SecureExporter, AFaultyFileIsRefusedBeforeAnythingListens) {
    TlsFiles files;
    const QString web = WriteFile(files.Path(QStringLiteral("web.yml")),
                                  "basic_auth_users:\n  prometheus: secret\n");
    for (const bool fromEnvironment : {false, true}) {
        if (fromEnvironment) {
            qputenv(monitor::kWebConfigVariable, web.toLocal8Bit());
        }
        MonitorProcess monitor(kNoUnit, fromEnvironment
                                            ? QStringList()
                                            : QStringList{QStringLiteral("--web-config"), web});
        qunsetenv(monitor::kWebConfigVariable);
        EXPECT_EQ(monitor.Finished(), 2);
        EXPECT_TRUE(monitor.Errors().startsWith(QStringLiteral("irigctl: monitor: ") + web +
                                                QStringLiteral(":2:15: the password of prometheus "
                                                               "is not a bcrypt hash")))
            << monitor.Errors().toStdString();
        EXPECT_FALSE(monitor.Errors().contains(QLatin1String("serving")));
    }
}

}  // namespace
}  // namespace irig::test
