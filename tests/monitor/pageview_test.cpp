// The page as the monitor fills it from its board: a unit's figures while it answers only, the
// holder of a lent unit, its name from the inventory (else its port) and its measurements kept.
#include <gtest/gtest.h>

#include <functional>

#include "link/protocol.h"
#include "monitor/server.h"
#include "support/monitorprocess.h"

namespace irig::monitor {
namespace {

struct ViewRow {
    const char* name;
    std::function<void(UnitReading&)> change;
    const char* path;
    const char* shown;  // what the answer holds
};

class PageView : public testing::TestWithParam<ViewRow> {};

TEST_P(PageView, ShowsWhatTheBoardKnowsOfAUnit) {
    MetricsBoard board{{QStringLiteral("COM1")}};
    UnitReading reading;
    reading.port = QStringLiteral("COM1");
    reading.up = true;
    reading.clock.emplace().source = link::source::kGps;
    reading.clock->version = 23;
    reading.offset = status::ClockOffset{3, 1};
    reading.diagnosis.emplace().kind = diagnosis::Kind::kOff;
    reading.measured = 1'800'000'000'000'000;
    GetParam().change(reading);
    board.Post(0, reading);
    board.Leased(
        0, {{200, QJsonObject{{QStringLiteral("holder"), QStringLiteral("alice")},
                              {QStringLiteral("until"), QStringLiteral("2027-01-15T09:00:00Z")},
                              {QStringLiteral("lease"), QStringLiteral("0123")}}},
            lease::LeaseDecision::Port::kClose,
            QStringLiteral("lent to alice for 3600 s")});
    MetricsServer server(board, [](const QString&) {});
    QString why;
    const quint16 port = server.Listen(QHostAddress::LocalHost, 0, &why);
    ASSERT_NE(port, 0) << why.toStdString();
    const test::HttpReply reply = test::Http(QUrl(
        QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(QLatin1String(GetParam().path))));
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(reply.body.contains(GetParam().shown)) << reply.body.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Page, PageView,
    testing::Values(
        ViewRow{"answering", [](UnitReading&) {}, "/units",
                "\"state\":\"up\",\"lease\":null,\"source\":\"GPS\",\"version\":\"2.3\","
                "\"offsetMs\":3,\"uncertaintyMs\":1,\"diagnosis\":{\"kind\":\"off\""},
        ViewRow{"not_answering_hides_its_last_figures", [](UnitReading& r) { r.up = false; },
                "/units",
                "\"state\":\"down\",\"lease\":null,\"source\":null,\"version\":null,"
                "\"offsetMs\":null,\"uncertaintyMs\":null,\"diagnosis\":null"},
        ViewRow{
            "lent_names_its_holder", [](UnitReading& r) { r.leased = true; }, "/units",
            "\"state\":\"lent\",\"lease\":{\"by\":\"alice\",\"until\":\"2027-01-15T09:00:00Z\"}"},
        ViewRow{"its_measurement_kept", [](UnitReading&) {}, "/units",
                "\"measured\":\"2027-01-15T08:00:00Z\",\"history\":[{\"t\":1800000000000,"
                "\"offsetMs\":3,\"uncertaintyMs\":1}]"},
        ViewRow{"named_by_the_inventory",
                [](UnitReading& r) {
                    r.unit = QStringLiteral("sub-a-1");
                    r.labels.insert(QStringLiteral("site"), QStringLiteral("north"));
                },
                "/units/sub-a-1", "<td data-field=\"labels\">site=north</td>"}),
    [](const testing::TestParamInfo<ViewRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::monitor
