// irigctl monitor as Prometheus meets it: the program as a process watching simulated units on
// pseudo-terminals, its /metrics checked by promtool and scraped by a real Prometheus on loopback,
// its memory while it is scraped a thousand times, and its end on SIGTERM.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrlQuery>

#include "support/firmwarefile.h"
#include "support/monitorprocess.h"
#include "support/portmapfolder.h"
#include "support/simulatedunit.h"
#include "support/wait.h"

namespace irig::test {
namespace {

class Exporter : public testing::Test {
protected:
    void SetUp() override {
        for (const auto& [name, options] :
             {std::pair{QStringLiteral("COM1"), QStringList{"--clock-offset", "0.137"}},
              std::pair{QStringLiteral("COM2"), QStringList{"--source", "irig"}}}) {
            units.push_back(std::make_unique<SimulatedUnit>(
                ports.Entry(name), dir.filePath(name + QStringLiteral(".flash")), options, true));
            ASSERT_TRUE(units.back()->WaitReady());
        }
        monitor = std::make_unique<MonitorProcess>(QStringList{"COM1", "COM2"});
        ASSERT_TRUE(monitor->WaitServing()) << monitor->Errors().toStdString();
    }
    QByteArray Metrics() { return Http(monitor->Url(QStringLiteral("/metrics"))).body; }
    // Waits until /metrics has a line that starts with `start`.
    bool WaitForSeries(const QByteArray& start, int timeoutMs = 15'000) {
        return WaitUntil([&] { return Metrics().contains('\n' + start); }, timeoutMs);
    }

    TempPortMap ports;
    QTemporaryDir dir;
    std::vector<std::unique_ptr<SimulatedUnit>> units;
    std::unique_ptr<MonitorProcess> monitor;
};

// A port nobody listens on now.
quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// The first sample's value of a Prometheus instant query, or empty.
QString QueryValue(quint16 prometheus, const QString& query) {
    QUrl url(QStringLiteral("http://127.0.0.1:%1/api/v1/query").arg(prometheus));
    url.setQuery(QUrlQuery{{QStringLiteral("query"), query}});
    const QJsonArray result =
        QJsonDocument::fromJson(Http(url).body)[QStringLiteral("data")][QStringLiteral("result")]
            .toArray();
    return result.isEmpty() ? QString() : result[0][QStringLiteral("value")][1].toString();
}

TEST_F(Exporter, PromtoolAcceptsItAndPrometheusScrapesIt) {
    ASSERT_TRUE(WaitForSeries("irig_unit_clock_offset_seconds{port=\"COM1\"} 0.13"))
        << Metrics().toStdString() << monitor->Errors().toStdString();
    ASSERT_TRUE(WaitForSeries("irig_unit_clock_offset_seconds{port=\"COM2\"}"));

    QProcess promtool;
    promtool.start(QStringLiteral("promtool"),
                   {QStringLiteral("check"), QStringLiteral("metrics")});
    promtool.write(Metrics());
    promtool.closeWriteChannel();
    ASSERT_TRUE(promtool.waitForFinished(10'000)) << "promtool (Debian's prometheus package)";
    EXPECT_EQ(promtool.exitCode(), 0) << promtool.readAll().toStdString();
    EXPECT_TRUE(promtool.readAllStandardOutput().isEmpty());

    QFile config(dir.filePath(QStringLiteral("prometheus.yml")));
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                                "scrape_configs:\n"
                                "  - job_name: irig\n"
                                "    static_configs: [{targets: ['127.0.0.1:%1']}]\n")
                     .arg(monitor->Port())
                     .toUtf8());
    config.close();
    const quint16 web = FreePort();
    QProcess prometheus;
    prometheus.setProcessChannelMode(QProcess::MergedChannels);
    prometheus.start(QStringLiteral("prometheus"),
                     {QStringLiteral("--config.file=") + config.fileName(),
                      QStringLiteral("--storage.tsdb.path=") + dir.filePath(QStringLiteral("data")),
                      QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(web)});
    const bool scraped = WaitUntil(
        [&] { return QueryValue(web, QStringLiteral("up{job=\"irig\"}")) == QLatin1String("1"); },
        30'000);
    EXPECT_TRUE(scraped) << prometheus.readAll().toStdString();
    EXPECT_EQ(QueryValue(web, QStringLiteral("irig_unit_reference_source{port=\"COM1\",source="
                                             "\"gps\"}")),
              QStringLiteral("1"));
    EXPECT_EQ(QueryValue(web, QStringLiteral("irig_unit_reference_source{port=\"COM2\",source="
                                             "\"irig_b\"}")),
              QStringLiteral("1"));
    prometheus.terminate();
    EXPECT_TRUE(prometheus.waitForFinished(10'000));

    EXPECT_EQ(monitor->Terminate(), 143) << "SIGTERM ends it as irigctl says";
}

// While both units are polled and measured, a thousand scrapes leave its memory where it was after
// the first hundred; and what is not a scrape is answered as such.
TEST_F(Exporter, AThousandScrapesHoldItsMemory) {
    ASSERT_TRUE(WaitForSeries("irig_unit_up{port=\"COM2\"} 1"));
    for (int i = 0; i < 100; ++i) {
        ASSERT_FALSE(Metrics().isEmpty());
    }
    const qint64 before = monitor->ResidentKiB();
    for (int i = 0; i < 900; ++i) {
        ASSERT_TRUE(Metrics().startsWith("# HELP irig_unit_up ")) << i;
    }
    const qint64 after = monitor->ResidentKiB();
    EXPECT_LT(after - before, 1024) << before << " KiB, then " << after << " KiB";

    const struct {
        const char* path;
        bool post;
        int status;
    } others[] = {{"/check-time?port=COM1", true, 202},
                  {"/check-time?port=COM9", true, 404},
                  {"/check-time", false, 405},
                  {"/nothing", false, 404}};
    for (const auto& other : others) {
        EXPECT_EQ(Http(monitor->Url(QLatin1String(other.path)), other.post).status, other.status)
            << other.path;
    }
}

// Watching an inventory's units, each series carries the unit's name and labels, and whether
// its settings match the inventory passes promtool. (The shipped alert rules have tests of their
// own: tests/monitoring.)
TEST(ExporterOfAnInventory, SaysWhereAUnitDriftsAndPassesPromtool) {
    TempPortMap ports;
    QTemporaryDir dir;
    SimulatedUnit unit(ports.Entry(QStringLiteral("COM1")), dir.filePath(QStringLiteral("f")), {},
                       true);
    ASSERT_TRUE(unit.WaitReady());
    const QString inventory = WriteFile(dir.filePath(QStringLiteral("units.yaml")),
                                        "defaults: {gps_offset: -5, firmware: \"2.3\"}\n"
                                        "units:\n  sub-a-1: {port: COM1, labels: {site: a}}\n");
    MonitorProcess monitor({}, {QStringLiteral("--inventory"), inventory, QStringLiteral("--all")});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    const QByteArray labels = "port=\"COM1\",unit=\"sub-a-1\",site=\"a\"";
    QByteArray metrics;
    ASSERT_TRUE(WaitUntil(
        [&] {
            metrics = Http(monitor.Url(QStringLiteral("/metrics"))).body;
            return metrics.contains("irig_unit_setting_matches{" + labels +
                                    ",setting=\"gps_offset\"} 0\n") &&
                   metrics.contains("irig_unit_setting_matches{" + labels +
                                    ",setting=\"firmware\"} 1\n");
        },
        15'000))
        << metrics.toStdString() << monitor.Errors().toStdString();
    EXPECT_TRUE(metrics.contains("irig_unit_up{" + labels + "} 1\n"));

    const auto promtool = [](const QStringList& arguments, const QByteArray& input) {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("promtool"), arguments);
        process.write(input);
        process.closeWriteChannel();
        process.waitForFinished(10'000);
        return std::pair{process.exitCode(), process.readAll()};
    };
    const auto [metricsCode, metricsSaid] =
        promtool({QStringLiteral("check"), QStringLiteral("metrics")}, metrics);
    EXPECT_EQ(metricsCode, 0) << metricsSaid.toStdString();
}

}  // namespace
}  // namespace irig::test
