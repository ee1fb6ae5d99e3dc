// The shipped Grafana dashboard and alert rules against a real Prometheus that scrapes irigctl
// monitor of simulated units from an inventory: every query of the dashboard returns series, and
// the rules evaluate and match the monitor's series. What the rules decide is promtool's to test
// (irig-alerts_test.yml); that each alert has its cases there is checked here.
#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
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
constexpr char kRuleTests[] = IRIG_SOURCE_DIR "/tests/monitoring/irig-alerts_test.yml";

struct DashboardQuery {
    QString name;        // the panel's title and the query's refId, or the variable's name
    QString expression;  // as Prometheus takes it
    QString label;       // for a variable: the label its values come from
};

// Every query of the dashboard with each template variable matching anything, as its "All" does: a
// panel's (a row's too), and a variable's label_values(SELECTOR, LABEL) as a count by LABEL.
std::vector<DashboardQuery> Queries(const QJsonObject& dashboard) {
    static const QRegularExpression variable(QStringLiteral("\\$\\{?\\w+(:\\w+)?\\}?"));
    static const QRegularExpression labelValues(
        QStringLiteral("^label_values\\((.*),\\s*(\\w+)\\)$"));
    const auto substituted = [](QString text) { return text.replace(variable, ".*"); };
    std::vector<DashboardQuery> queries;
    const std::function<void(const QJsonArray&)> panels = [&](const QJsonArray& list) {
        for (const QJsonValue& panel : list) {
            for (const QJsonValue& target : panel[QStringLiteral("targets")].toArray()) {
                queries.push_back({panel[QStringLiteral("title")].toString() + QLatin1Char('/') +
                                       target[QStringLiteral("refId")].toString(),
                                   substituted(target[QStringLiteral("expr")].toString()),
                                   {}});
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
            queries.push_back({each[QStringLiteral("name")].toString(),
                               match.hasMatch()
                                   ? QStringLiteral("count by (%1) (%2)")
                                         .arg(match.captured(2), substituted(match.captured(1)))
                                   : QString(),
                               match.captured(2)});
        }
    }
    return queries;
}

// Whether some series of `series` has a value for `label` (any series, where none is named).
bool Answers(const QJsonArray& series, const QString& label) {
    return std::any_of(series.begin(), series.end(), [&](const QJsonValue& one) {
        return label.isEmpty() || !one[QStringLiteral("metric")][label].toString().isEmpty();
    });
}

TEST(Dashboard, EveryQueryAnswersAndTheRulesMatchAMonitorOfAnInventory) {
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("a")) &&
                QDir(dir.path()).mkpath(QStringLiteral("b")));
    SimulatedUnits siteA(dir.filePath(QStringLiteral("a")), 2, {});
    SimulatedUnits siteB(dir.filePath(QStringLiteral("b")), 1,
                         {QStringLiteral("--source"), QStringLiteral("crystal")});
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
    ASSERT_TRUE(prometheus.WaitReady()) << prometheus.Output().toStdString();

    QFile file(QString::fromLatin1(kDashboard));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QJsonParseError error{};
    const QJsonObject dashboard = QJsonDocument::fromJson(file.readAll(), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    const std::vector<DashboardQuery> queries = Queries(dashboard);
    ASSERT_FALSE(queries.empty());

    // The alerts the simulated units must bring about, as alert name and unit: each is pending
    // (or firing) once Prometheus has seen its series.
    const std::set<std::pair<QString, QString>> expected{
        {QStringLiteral("IrigUnitOffReference"), QStringLiteral("sub-b-1")},
        {QStringLiteral("IrigUnitSettingDrift"), QStringLiteral("sub-a-2")},
        {QStringLiteral("IrigUnitFirmwareDrift"), QStringLiteral("sub-b-1")}};
    std::map<QString, PrometheusProcess::Result> unanswered;
    std::set<std::pair<QString, QString>> alerts;
    QJsonArray rules;
    // A look every 500 ms, never inside another (a query runs the event loop that looks).
    QElapsedTimer round;
    bool looking = false;
    bool answered = false;
    const auto look = [&] {
        looking = true;
        round.start();
        unanswered.clear();
        for (const DashboardQuery& query : queries) {
            PrometheusProcess::Result result = prometheus.Query(query.expression);
            if (!result.error.isEmpty() || !Answers(result.series, query.label)) {
                unanswered[query.name] = result;
            }
        }
        for (const QJsonValue& alert :
             prometheus.Api(QStringLiteral("alerts"))[QStringLiteral("alerts")].toArray()) {
            const QJsonValue labels = alert[QStringLiteral("labels")];
            alerts.emplace(labels[QStringLiteral("alertname")].toString(),
                           labels[QStringLiteral("unit")].toString());
        }
        rules =
            prometheus
                .Api(QStringLiteral("rules"))[QStringLiteral("groups")][0][QStringLiteral("rules")]
                .toArray();
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
    for (const auto& [name, result] : unanswered) {
        ADD_FAILURE() << name.toStdString() << ": " << result.error.toStdString()
                      << QJsonDocument(result.series).toJson().toStdString();
    }
    for (const auto& alert : expected) {
        EXPECT_TRUE(alerts.count(alert))
            << alert.first.toStdString() << " for " << alert.second.toStdString();
    }
    for (const auto& alert : alerts) {
        EXPECT_NE(alert.first, QStringLiteral("IrigUnitDown")) << alert.second.toStdString();
    }
    ASSERT_FALSE(rules.isEmpty());
    for (const QJsonValue& rule : rules) {
        EXPECT_EQ(rule[QStringLiteral("health")].toString(), QStringLiteral("ok"))
            << rule[QStringLiteral("name")].toString().toStdString() << ": "
            << rule[QStringLiteral("lastError")].toString().toStdString();
    }
}

// Each alert of the shipped rules fires in a case of its promtool tests and is silent in another,
// so that no alert ships untested.
TEST(AlertRules, EachFiresInOneCaseOfItsTestsAndIsSilentInAnother) {
    std::map<std::string, std::pair<int, int>> cases;  // fired, silent
    for (const YAML::Node& group : YAML::LoadFile(kRuleTests)["tests"]) {
        for (const YAML::Node& test : group["alert_rule_test"]) {
            auto& [fired, silent] = cases[test["alertname"].as<std::string>()];
            ++(test["exp_alerts"] && test["exp_alerts"].size() > 0 ? fired : silent);
        }
    }
    int alerts = 0;
    for (const YAML::Node& group : YAML::LoadFile(kRules)["groups"]) {
        for (const YAML::Node& rule : group["rules"]) {
            if (rule["alert"]) {
                ++alerts;
                const std::string name = rule["alert"].as<std::string>();
                EXPECT_GT(cases[name].first, 0) << name << " never fires in its tests";
                EXPECT_GT(cases[name].second, 0) << name << " is never silent in its tests";
            }
        }
    }
    EXPECT_GT(alerts, 0);
}

}  // namespace
}  // namespace irig::test
