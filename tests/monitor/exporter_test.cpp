// irigctl monitor as Prometheus meets it: the program as a process watching simulated units on
// pseudo-terminals, its /metrics checked by promtool and scraped by a real Prometheus on loopback,
// its memory while it is scraped a thousand times, its inventory read again on SIGHUP, its units
// lent and taken back, and its end on SIGTERM.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
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
    EXPECT_TRUE(Metrics().contains("\nirig_monitor_http_responses_total{code=\"200\"} "))
        << "the web edge's counters, on /metrics";

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

    monitor->Reload();
    EXPECT_TRUE(WaitUntil([&] { return monitor->Errors().contains("nothing to read again"); }))
        << monitor->Errors().toStdString();
    EXPECT_TRUE(Metrics().contains("\nirig_monitor_config_last_reload_successful 1\n"));
    EXPECT_EQ(monitor->Terminate(), 143)
        << "SIGHUP did not end it; SIGTERM ends it as irigctl says";
}

// The page's JSON and a unit's page show what the board keeps: the measurement, its place in the
// unit's history and the monitor's lines about the unit.
TEST_F(Exporter, ThePageShowsEachUnitsMeasurementsAndLog) {
    ASSERT_TRUE(WaitForSeries("irig_unit_clock_offset_seconds{port=\"COM1\"} 0.13"));
    const QJsonArray units =
        QJsonDocument::fromJson(Http(monitor->Url(QStringLiteral("/units"))).body)["units"]
            .toArray();
    ASSERT_EQ(units.size(), 2);
    const QJsonObject com1 =
        units[units[0]["port"].toString() == QLatin1String("COM1") ? 0 : 1].toObject();
    EXPECT_EQ(com1["state"].toString(), "up");
    EXPECT_EQ(com1["source"].toString(), "GPS");
    EXPECT_NEAR(com1["offsetMs"].toDouble(), 137, 20);
    EXPECT_EQ(com1["history"].toArray().size(), 1);
    EXPECT_EQ(com1["history"][0]["offsetMs"], com1["offsetMs"]);
    EXPECT_FALSE(com1["measured"].isNull());
    const QByteArray page = Http(monitor->Url(QStringLiteral("/units/COM1"))).body;
    EXPECT_EQ(page.count("<circle"), 1);
    EXPECT_TRUE(page.contains("): answering</td>")) << page.toStdString();
}

// While both units are polled and measured, a thousand scrapes leave the memory it allocated where
// it was after the first hundred; and what is not a scrape is answered as such.
TEST_F(Exporter, AThousandScrapesHoldItsMemory) {
    ASSERT_TRUE(WaitForSeries("irig_unit_up{port=\"COM2\"} 1"));
    for (int i = 0; i < 100; ++i) {
        ASSERT_FALSE(Metrics().isEmpty());
    }
    const qint64 before = monitor->AnonymousKiB();
    for (int i = 0; i < 900; ++i) {
        ASSERT_TRUE(Metrics().startsWith("# HELP irig_unit_up ")) << i;
    }
    const qint64 after = monitor->AnonymousKiB();
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

// The labels of each unit's irig_unit_up series, and the value of a family without labels.
QSet<QByteArray> UpSeries(const QByteArray& metrics) {
    QSet<QByteArray> up;
    for (const QByteArray& line : metrics.split('\n')) {
        if (line.startsWith("irig_unit_up{")) {
            up.insert(line.mid(13, line.lastIndexOf('}') - 13));
        }
    }
    return up;
}

QByteArray Value(const QByteArray& metrics, const QByteArray& family) {
    const qsizetype at = metrics.indexOf('\n' + family + ' ');
    return at < 0 ? QByteArray()
                  : metrics.mid(at + family.size() + 2,
                                metrics.indexOf('\n', at + 1) - at - family.size() - 2);
}

// One change of the inventory under a running monitor, and what it leads to.
struct ReloadStep {
    const char* name;
    const char* units;                 // the units' entries, PORTn for the nth simulated unit
    std::vector<const char*> watched;  // each unit's labels as its up series shows them
    const char* said;                  // a pattern the reload's log line matches
    bool successful;
};

// Unit a is never touched: each step waits for its outcome while scraping on and on, and every
// series a had before the first step is in every scrape.
TEST(ExporterOfAnInventory, ReadsItAgainOnSigHupAndLeavesTheUnitsItKeepsAlone) {
    QTemporaryDir dir;
    SimulatedUnits units({}, 4, {});
    ASSERT_TRUE(units.WaitReady()) << units.Errors().toStdString();
    const auto write = [&](QByteArray entries) {
        for (int n = 1; n <= 4; ++n) {
            entries.replace("PORT" + QByteArray::number(n), units.Link(n).toUtf8());
        }
        return WriteFile(dir.filePath(QStringLiteral("units.yaml")), "units:\n" + entries);
    };
    const QString inventory = write(
        "  a: {port: PORT1}\n  b: {port: PORT2, labels: {site: x}}\n"
        "  c: {port: PORT3}\n");
    // A long reply timeout: one missed reply on a loaded machine would drop a's series.
    MonitorProcess monitor({}, {QStringLiteral("--inventory"), inventory, QStringLiteral("--all"),
                                QStringLiteral("--timeout"), QStringLiteral("10000")});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    const QByteArray a = "unit=\"a\"";
    QByteArray metrics;
    ASSERT_TRUE(WaitUntil(
        [&] {
            metrics = Http(monitor.Url(QStringLiteral("/metrics"))).body;
            return metrics.contains("irig_unit_clock_offset_seconds{port=\"" +
                                    units.Link(1).toUtf8() + "\"," + a);
        },
        20'000))
        << metrics.toStdString() << monitor.Errors().toStdString();
    QByteArrayList series;  // unit a's, without their values
    for (const QByteArray& line : metrics.split('\n')) {
        if (line.contains(a)) {
            series.append(line.left(line.lastIndexOf(' ')));
        }
    }
    double lastSuccess =
        Value(metrics, "irig_monitor_config_last_reload_success_timestamp_seconds").toDouble();

    const ReloadStep steps[] = {
        {"one_added_one_removed_one_relabelled",
         "  a: {port: PORT1}\n  b: {port: PORT2, labels: {site: y}}\n  d: {port: PORT4}\n",
         {"unit=\"a\"", "unit=\"b\",site=\"y\"", "unit=\"d\""},
         "units.yaml again: 3 units; 1 added, 1 removed, 1 with new labels or settings",
         true},
        {"one_moved_to_another_port",
         "  a: {port: PORT1}\n  b: {port: PORT3, labels: {site: y}}\n  d: {port: PORT4}\n",
         {"unit=\"a\"", "unit=\"b\",site=\"y\"", "unit=\"d\""},
         "units.yaml again: 3 units; 1 on another port",
         true},
        {"faulty_file_keeps_them_all",
         "  a: {port: PORT1, colour: red}\n",
         {"unit=\"a\"", "unit=\"b\",site=\"y\"", "unit=\"d\""},
         "reload: .*units\\.yaml:2:\\d+: .*; the configuration stays as it was",
         false},
    };
    for (const ReloadStep& step : steps) {
        SCOPED_TRACE(step.name);
        write(step.units);
        const qsizetype heard = monitor.Errors().size();
        monitor.Reload();
        QSet<QByteArray> watched;
        for (const char* labels : step.watched) {
            watched.insert(QByteArray(labels));
        }
        const QRegularExpression said(QString::fromUtf8(step.said));
        QByteArray missing;
        double since = 0;
        ASSERT_TRUE(WaitUntil(
            [&] {
                const bool logged = said.match(monitor.Errors().mid(heard)).hasMatch();
                metrics = Http(monitor.Url(QStringLiteral("/metrics"))).body;
                for (const QByteArray& line : series) {
                    if (!metrics.contains('\n' + line + ' ')) {
                        missing += line + '\n';
                    }
                }
                QSet<QByteArray> up;
                for (const QByteArray& labels : UpSeries(metrics)) {
                    up.insert(labels.mid(labels.indexOf(',') + 1));
                }
                since = Value(metrics, "irig_monitor_config_last_reload_success_timestamp_seconds")
                            .toDouble();
                return logged && up == watched &&
                       (step.successful
                            ? since > lastSuccess
                            : Value(metrics, "irig_monitor_config_last_reload_successful") == "0");
            },
            15'000))
            << metrics.toStdString() << monitor.Errors().toStdString();
        EXPECT_TRUE(missing.isEmpty()) << "unit a lost in a scrape:\n" << missing.toStdString();
        EXPECT_TRUE(step.successful || since == lastSuccess) << "the last success stays";
        lastSuccess = since;
    }
    EXPECT_EQ(monitor.Errors().count(QStringLiteral("a (%1): answering").arg(units.Link(1))), 1)
        << "a's port stayed open\n"
        << monitor.Errors().toStdString();
}

// One lease request to a running monitor of units a and b, and what follows it.
struct LeaseStep {
    const char* name;
    // "METHOD PATH": A_PORT for a's port, PORT1 for it spelt otherwise, TOKEN for a's lease.
    const char* request;
    int status;
    const char* answer;  // a part of the answer's body
    // The start of lines /metrics then has, a unit's labels as A or B; after "!", of lines it
    // must not have.
    std::vector<const char*> metrics;
    const char* said;  // a part of the monitor's log then
};
LeaseStep Step(const char* name, const char* request, int status, const char* answer,
               std::vector<const char*> metrics = {}, const char* said = "") {
    return {name, request, status, answer, std::move(metrics), said};
}

// The units on TCP, so that /lease?port= finds a by another spelling of its address.
TEST(ExporterOfAnInventory, LendsAUnitTakesItBackAndEndsALeaseByItself) {
    QTemporaryDir dir;
    SimulatedUnits units({}, 2, {});
    ASSERT_TRUE(units.WaitReady()) << units.Errors().toStdString();
    const QString inventory =
        WriteFile(dir.filePath(QStringLiteral("units.yaml")),
                  QStringLiteral("units:\n  a: {port: \"%1\"}\n  b: {port: \"%2\"}\n")
                      .arg(units.Link(1), units.Link(2))
                      .toUtf8());
    MonitorProcess monitor({}, {QStringLiteral("--inventory"), inventory, QStringLiteral("--all"),
                                QStringLiteral("--lease-limit"), QStringLiteral("1200")});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    const auto labels = [&](QByteArray line) {
        return line.replace("A", "port=\"" + units.Link(1).toUtf8() + "\",unit=\"a\"")
            .replace("B", "port=\"" + units.Link(2).toUtf8() + "\",unit=\"b\"");
    };
    QByteArray metrics;
    const auto scraped = [&](const std::vector<const char*>& lines) {
        metrics = Http(monitor.Url(QStringLiteral("/metrics"))).body;
        return std::all_of(lines.begin(), lines.end(), [&](const char* line) {
            return *line == '!' ? !metrics.contains('\n' + labels(line + 1))
                                : metrics.contains('\n' + labels(line));
        });
    };
    ASSERT_TRUE(WaitUntil([&] { return scraped({"irig_unit_clock_offset_seconds{A}"}); }, 20'000))
        << metrics.toStdString() << monitor.Errors().toStdString();
    ASSERT_TRUE(WaitUntil([&] { return scraped({"irig_unit_up{B} 1"}); }, 20'000));

    const QString spelt =
        QString(units.Link(1)).replace(QStringLiteral("127.0.0.1"), QStringLiteral("localhost"));
    const LeaseStep steps[] = {
        Step("taken", "POST /units/a/lease?seconds=600&by=lease%20test", 200,
             "\"holder\":\"127.0.0.1 (lease test)\"",
             {"irig_unit_leased{A} 1", "irig_unit_leased{B} 0", "!irig_unit_up{A}",
              "!irig_unit_clock_offset_seconds{A}", "!irig_unit_firmware_info{A",
              "irig_unit_up{B} 1"},
             "a (%1): lent to 127.0.0.1 (lease test) for 600 s"),
        Step("taken_again_by_another_spelling", "POST /lease?port=PORT1&seconds=60", 409,
             "a is lent to 127.0.0.1 (lease test) until"),
        Step("asked_by_port", "GET /lease?port=PORT1", 200, "\"leased\":true"),
        Step("measured_while_lent", "POST /check-time?port=A_PORT", 409, "is lent"),
        Step("unknown", "POST /units/c/lease?seconds=60", 404, "no unit c is watched here"),
        Step("renewed", "POST /units/a/lease?seconds=1200&lease=TOKEN", 200, "\"seconds\":1200",
             {"irig_unit_leased{A} 1"}),
        Step("returned", "DELETE /units/a/lease?lease=TOKEN", 200, "\"returned\":true",
             {"irig_unit_leased{A} 0", "irig_unit_up{A} 1", "irig_unit_firmware_info{A,version="},
             "a (%1): returned by 127.0.0.1 (lease test) after"),
        Step("lent_for_a_second", "POST /lease?port=PORT2&seconds=1", 200, "\"seconds\":1",
             {"irig_unit_leased{B} 0", "irig_unit_up{B} 1"},
             "b (%2): lease of 127.0.0.1 expired after 1 s"),
    };
    QString token;
    for (const LeaseStep& step : steps) {
        SCOPED_TRACE(step.name);
        const QStringList request = QString::fromUtf8(step.request)
                                        .replace(QStringLiteral("PORT1"), spelt)
                                        .replace(QStringLiteral("PORT2"), units.Link(2))
                                        .replace(QStringLiteral("A_PORT"), units.Link(1))
                                        .replace(QStringLiteral("TOKEN"), token)
                                        .split(QLatin1Char(' '));
        const HttpReply reply =
            Http(QNetworkRequest(monitor.Url(request[1])), request[0].toLatin1());
        EXPECT_EQ(reply.status, step.status) << reply.body.toStdString();
        EXPECT_TRUE(reply.body.contains(step.answer)) << reply.body.toStdString();
        if (token.isEmpty()) {
            token = QJsonDocument::fromJson(reply.body)[QStringLiteral("lease")].toString();
        }
        const QString said = QString::fromUtf8(step.said)
                                 .replace(QStringLiteral("%1"), units.Link(1))
                                 .replace(QStringLiteral("%2"), units.Link(2));
        EXPECT_TRUE(WaitUntil(
            [&] { return scraped(step.metrics) && monitor.Errors().contains(said); }, 15'000))
            << metrics.toStdString() << monitor.Errors().toStdString();
    }

    // A reload that renames a lent unit on its port keeps its lease; one that drops it ends it.
    ASSERT_EQ(Http(monitor.Url(QStringLiteral("/units/b/lease?seconds=600")), true).status, 200);
    WriteFile(inventory, QStringLiteral("units:\n  a: {port: \"%1\"}\n  c: {port: \"%2\"}\n")
                             .arg(units.Link(1), units.Link(2))
                             .toUtf8());
    monitor.Reload();
    const QByteArray renamed =
        "irig_unit_leased{port=\"" + units.Link(2).toUtf8() + "\",unit=\"c\"} 1";
    EXPECT_TRUE(WaitUntil([&] {
        return monitor.Errors().contains(
                   QStringLiteral("c (%1): renamed from b: still lent to 127.0.0.1 until")
                       .arg(units.Link(2))) &&
               scraped({renamed.constData()});
    })) << metrics.toStdString()
        << monitor.Errors().toStdString();
    WriteFile(inventory,
              QStringLiteral("units:\n  a: {port: \"%1\"}\n").arg(units.Link(1)).toUtf8());
    monitor.Reload();
    EXPECT_TRUE(WaitUntil([&] {
        return monitor.Errors().contains(
            QStringLiteral("c (%1): lease ended: the unit left the inventory").arg(units.Link(2)));
    })) << monitor.Errors().toStdString();
}

}  // namespace
}  // namespace irig::test
