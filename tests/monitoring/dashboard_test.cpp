// The shipped Grafana dashboard and alert rules against a real Prometheus that scrapes irigctl
// monitor of simulated units from an inventory: every query of the dashboard returns series, and
// the rules match the monitor's series as they are (a unit in holdover gives the drift's). What
// the rules decide is promtool's to test (irig-alerts_test.yml).
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUrl>
#include <map>
#include <set>

#include "support/firmwarefile.h"
#include "support/monitorprocess.h"
#include "support/prometheusprocess.h"
#include "support/simulatedunit.h"
#include "support/wait.h"

namespace irig::test {
namespace {

constexpr char kDashboard[] = IRIG_SOURCE_DIR "/packaging/grafana/irig-units.json";
constexpr char kRules[] = IRIG_SOURCE_DIR "/packaging/prometheus/irig-alerts.yml";

// Every query of the dashboard, named by its panel and refId or by its variable, as a GET of
// Prometheus's HTTP API with each template variable matching anything, as its "All" does: a
// panel's (a row's too) as an instant query; a variable's label_values(SELECTOR, LABEL) as the
// values of LABEL among the series SELECTOR selects, as Grafana asks for them.
std::vector<std::pair<QString, QString>> Queries(const QJsonObject& dashboard) {
    static const QRegularExpression variable(QStringLiteral("\\$\\{?\\w+(:\\w+)?\\}?"));
    static const QRegularExpression labelValues(
        QStringLiteral("^label_values\\((.*),\\s*(\\w+)\\)$"));
    // Percent-encoded in full: Prometheus reads a '+' in a query string as a space.
    const auto encoded = [](QString text) {
        return QString::fromLatin1(QUrl::toPercentEncoding(text.replace(variable, ".*")));
    };
    std::vector<std::pair<QString, QString>> queries;
    const std::function<void(const QJsonArray&)> panels = [&](const QJsonArray& list) {
        for (const QJsonValue& panel : list) {
            for (const QJsonValue& target : panel[QStringLiteral("targets")].toArray()) {
                queries.emplace_back(panel[QStringLiteral("title")].toString() + QLatin1Char('/') +
                                         target[QStringLiteral("refId")].toString(),
                                     QStringLiteral("query?query=") +
                                         encoded(target[QStringLiteral("expr")].toString()));
            }
            panels(panel[QStringLiteral("panels")].toArray());
        }
    };
    panels(dashboard[QStringLiteral("panels")].toArray());
    for (const QJsonValue& each :
         dashboard[QStringLiteral("templating")][QStringLiteral("list")].toArray()) {
        const QRegularExpressionMatch match =
            labelValues.match(each[QStringLiteral("query")].toString());
        if (each[QStringLiteral("type")] == QLatin1String("query")) {
            queries.emplace_back(each[QStringLiteral("name")].toString(),
                                 QStringLiteral("label/%1/values?match[]=%2")
                                     .arg(match.captured(2), encoded(match.captured(1))));
        }
    }
    return queries;
}

TEST(Dashboard, EveryQueryAnswersAndTheRulesMatchAMonitorOfAnInventory) {
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("a")) &&
                QDir(dir.path()).mkpath(QStringLiteral("b")));
    SimulatedUnits siteA(dir.filePath(QStringLiteral("a")), 2, {});
    SimulatedUnits siteB(dir.filePath(QStringLiteral("b")), 1,
                         {QStringLiteral("--source"), QStringLiteral("crystal"),
                          QStringLiteral("--drift-ppm"), QStringLiteral("500")});
    ASSERT_TRUE(siteA.WaitReady() && siteB.WaitReady())
        << siteA.Errors().toStdString() << siteB.Errors().toStdString();
    const QString inventory = WriteFile(
        dir.filePath(QStringLiteral("units.yaml")),
        QStringLiteral("defaults: {firmware: \"2.3\"}\n"
                       "units:\n"
                       "  sub-a-1: {port: %1, labels: {site: a}}\n"
                       "  sub-a-2: {port: %2, labels: {site: a}, gps_offset: -5}\n"
                       "  sub-b-1: {port: %3, labels: {site: b, bay: \"1\"}, firmware: \"2.4\"}\n")
            .arg(siteA.Link(1), siteA.Link(2), siteB.Link(1))
            .toUtf8());
    MonitorProcess monitor({}, {QStringLiteral("--inventory"), inventory, QStringLiteral("--all")});
    ASSERT_TRUE(monitor.WaitServing()) << monitor.Errors().toStdString();
    PrometheusProcess prometheus(
        dir.path(), QStringLiteral("global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
                                   "rule_files: ['%1']\n"
                                   "scrape_configs:\n"
                                   "  - job_name: irig\n"
                                   "    static_configs: [{targets: ['127.0.0.1:%2']}]\n")
                        .arg(QLatin1String(kRules))
                        .arg(monitor.Port())
                        .toUtf8());
    ASSERT_EQ(prometheus.WaitReady(), QString());

    QFile file(QString::fromLatin1(kDashboard));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonParseError parse{};
    const QJsonObject dashboard = QJsonDocument::fromJson(file.readAll(), &parse).object();
    ASSERT_EQ(parse.error, QJsonParseError::NoError) << parse.errorString().toStdString();
    const std::vector<std::pair<QString, QString>> queries = Queries(dashboard);
    ASSERT_FALSE(queries.empty());

    // The alerts the simulated units must bring about, as alert name and unit: each is pending
    // (or firing) once Prometheus has seen its series.
    const std::set<std::pair<QString, QString>> expected{
        {QStringLiteral("IrigUnitOffReference"), QStringLiteral("sub-b-1")},
        {QStringLiteral("IrigUnitSettingDrift"), QStringLiteral("sub-a-2")},
        {QStringLiteral("IrigUnitFirmwareDrift"), QStringLiteral("sub-b-1")}};
    std::map<QString, QString> unanswered;  // what each query that answered nothing got
    std::set<std::pair<QString, QString>> alerts;
    // A look every 500 ms, never inside another (a query runs the event loop that looks).
    QElapsedTimer round;
    bool looking = false;
    bool answered = false;
    const auto look = [&] {
        looking = true;
        round.start();
        // Measured every 10 s at most, not every minute: the drift shows within seconds.
        Http(monitor.Url(QStringLiteral("/check-time")), true);
        unanswered.clear();
        for (const auto& [name, query] : queries) {
            const auto [data, error] = prometheus.Api(query);
            const QJsonValue result = data.isArray() ? data : data[QStringLiteral("result")];
            if (!error.isEmpty() || result.toArray().isEmpty()) {
                unanswered[name] = QUrl::fromPercentEncoding(query.toUtf8()) + QLatin1Char(' ') +
                                   error + QJsonDocument(result.toArray()).toJson();
            }
        }
        for (const QJsonValue& alert :
             prometheus.Api(QStringLiteral("alerts")).first[QStringLiteral("alerts")].toArray()) {
            const QJsonValue labels = alert[QStringLiteral("labels")];
            alerts.emplace(labels[QStringLiteral("alertname")].toString(),
                           labels[QStringLiteral("unit")].toString());
        }
        answered = unanswered.empty() &&
                   std::includes(alerts.begin(), alerts.end(), expected.begin(), expected.end());
        looking = false;
    };
    WaitUntil(
        [&] {
            if (!answered && !looking && (!round.isValid() || round.elapsed() >= 500)) {
                look();
            }
            return answered;
        },
        60'000);
    EXPECT_TRUE(answered) << monitor.Errors().toStdString();
    for (const auto& [name, said] : unanswered) {
        ADD_FAILURE() << name.toStdString() << ": " << said.toStdString();
    }
    for (const auto& alert : expected) {
        EXPECT_TRUE(alerts.count(alert))
            << alert.first.toStdString() << " for " << alert.second.toStdString();
    }
}

}  // namespace
}  // namespace irig::test
