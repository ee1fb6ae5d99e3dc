// The technician's page as values: which unit comes first, where a measurement goes in its picture,
// what a hostile name or label becomes in the HTML and the JSON, and how much of the past is kept.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <limits>
#include <tuple>

#include "page/page.h"
#include "page/plot.h"

namespace irig::page {
namespace {

constexpr qint64 kNow = 1'800'000'000'000;

Unit Made(const char* name, State state, std::optional<qint64> offsetMs = std::nullopt,
          const char* diagnosis = nullptr) {
    Unit unit;
    unit.name = unit.port = QString::fromLatin1(name);
    unit.state = state;
    unit.offsetMs = offsetMs;
    if (diagnosis != nullptr) {
        unit.diagnosis = Diagnosed{QString::fromLatin1(diagnosis), QStringLiteral("words")};
    }
    return unit;
}

struct OrderRow {
    const char* name;
    Unit worse;
    Unit better;
};

class Ordering : public testing::TestWithParam<OrderRow> {};

TEST_P(Ordering, PutsTheWorseUnitFirst) {
    EXPECT_TRUE(Worse(GetParam().worse, GetParam().better));
    EXPECT_FALSE(Worse(GetParam().better, GetParam().worse));
}

INSTANTIATE_TEST_SUITE_P(
    Page, Ordering,
    testing::Values(
        OrderRow{"down_before_lent", Made("z", State::kDown), Made("a", State::kLent)},
        OrderRow{"lent_before_diagnosed", Made("z", State::kLent),
                 Made("a", State::kUp, 3'600'000, "hour_offset")},
        OrderRow{"diagnosed_before_a_larger_offset", Made("z", State::kUp, 1, "off"),
                 Made("a", State::kUp, 900, "none")},
        OrderRow{"larger_offset_first", Made("z", State::kUp, -40), Made("a", State::kUp, 30)},
        OrderRow{"measured_before_unmeasured", Made("z", State::kUp, 0), Made("a", State::kUp)},
        OrderRow{"then_by_name", Made("a", State::kUp, 5), Made("b", State::kUp, -5)},
        OrderRow{"most_negative_offset_first",
                 Made("z", State::kUp, std::numeric_limits<qint64>::min() + 1),
                 Made("a", State::kUp, std::numeric_limits<qint64>::max() / 2)}),
    [](const testing::TestParamInfo<OrderRow>& row) { return row.param.name; });

struct PlotRow {
    const char* name;
    std::vector<Measurement> points;
    std::vector<double> x;  // expected, in order; empty: not checked
};

class Scaling : public testing::TestWithParam<PlotRow> {};

// Every figure inside the box and no NaN; the band around zero, its size against the scale.
TEST_P(Scaling, KeepsEveryPointInsideTheBoxAndTheBandAroundZero) {
    const Frame frame;
    const Plotted plotted = Plot(GetParam().points, kNow, frame);
    ASSERT_EQ(plotted.dots.size(), GetParam().points.size());
    const auto inside = [&](double value, double size) {
        return std::isfinite(value) && value >= frame.margin && value <= size - frame.margin;
    };
    for (size_t i = 0; i < plotted.dots.size(); ++i) {
        const Dot& dot = plotted.dots[i];
        EXPECT_TRUE(inside(dot.x, frame.width) && inside(dot.y, frame.height)) << i;
        EXPECT_TRUE(inside(dot.top, frame.height) && inside(dot.bottom, frame.height)) << i;
        EXPECT_LE(dot.top, dot.y);
        EXPECT_GE(dot.bottom, dot.y);
        if (!GetParam().x.empty()) {
            EXPECT_NEAR(dot.x, GetParam().x[i], 0.01) << i;
        }
    }
    EXPECT_DOUBLE_EQ(plotted.zero, frame.height / 2);
    EXPECT_NEAR(plotted.zero - plotted.bandTop, plotted.bandBottom - plotted.zero, 1e-9);
    EXPECT_NEAR((plotted.bandBottom - plotted.bandTop) / (frame.height - 2 * frame.margin),
                2.0 * frame.bandMs / (2 * plotted.limitMs), 1e-9);
}

constexpr qint64 kHour = 3'600'000;
constexpr qint64 kMax = std::numeric_limits<qint64>::max();

INSTANTIATE_TEST_SUITE_P(
    Page, Scaling,
    testing::Values(PlotRow{"no_point", {}, {}}, PlotRow{"one_point_now", {{kNow, 1, 1}}, {118}},
                    PlotRow{"across_two_hours",
                            {{kNow - 2 * kHour, 0, 0}, {kNow - kHour, -1, 2}, {kNow, 2, 0}},
                            {2, 60, 118}},
                    PlotRow{"older_and_later_at_the_edges",
                            {{kNow - 9 * kHour, 0, 0}, {kNow + kHour, 0, 0}},
                            {2, 118}},
                    PlotRow{"an_hour_off_scales", {{kNow, 3'600'000, 5}, {kNow, 1, 1}}, {}},
                    PlotRow{
                        "extremes", {{0, kMax, kMax}, {kMax, -kMax, kMax}, {-kMax, 0, -kMax}}, {}}),
    [](const testing::TestParamInfo<PlotRow>& row) { return row.param.name; });

TEST(Page, ScalesToTheLargestOffsetAndPutsAheadUp) {
    const Plotted plotted = Plot({{kNow, 10, 0}, {kNow, -5, 0}}, kNow, Frame{});
    EXPECT_EQ(plotted.limitMs, 10);
    EXPECT_DOUBLE_EQ(plotted.dots[0].y, 2);
    EXPECT_DOUBLE_EQ(plotted.dots[1].y, 12 + 5);
}

const QString kHostile = QStringLiteral("<script>alert(\"x\")</script>&'%2");

Board HostileBoard() {
    Unit unit = Made("x", State::kUp, -7);
    unit.name = kHostile;
    unit.labels.insert(QStringLiteral("site\"><img src=x>"), kHostile);
    unit.offsetMs = std::numeric_limits<qint64>::min();
    unit.history = {{kNow - 1000, -7, 1}, {kNow, -6, 1}};
    unit.log = {{kNow, kHostile}};
    unit.leases = {{kNow, kHostile}};
    unit.diagnosis = Diagnosed{QStringLiteral("off"), kHostile};
    return {{unit}, kHostile, kHostile, kNow};
}

TEST(Page, EscapesEveryNameLabelAndLineItShows) {
    const Board board = HostileBoard();
    for (const QByteArray& html :
         {TablePage(board), UnitPage(board, board.units[0]), MissingPage(kHostile)}) {
        EXPECT_FALSE(html.contains("<script>alert")) << html.toStdString();
        EXPECT_FALSE(html.contains("<img")) << html.toStdString();
        EXPECT_FALSE(html.contains("alert(\"x\")")) << html.toStdString();
        EXPECT_TRUE(html.contains("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;&#39;"));
    }
    EXPECT_TRUE(TablePage(board).contains("href=\"/units/%3Cscript%3Ealert%28%22x%22%29"));
    EXPECT_TRUE(TablePage(board).contains("&#39;%2: 2 measurements in the last 2 h")) << "whole";
    const QByteArray json = UnitsJson(board);
    EXPECT_FALSE(json.contains("<script>"));
    const QJsonObject unit = QJsonDocument::fromJson(json)["units"][0].toObject();
    EXPECT_EQ(unit["name"].toString(), kHostile);
    EXPECT_EQ(unit["labels"][QStringLiteral("site\"><img src=x>")].toString(), kHostile);
}

TEST(Page, HasOneRowPerUnitAndOneCirclePerMeasurement) {
    Board board = HostileBoard();
    board.units.push_back(Made("b", State::kDown));
    const QByteArray html = TablePage(board);
    EXPECT_EQ(html.count("<tr data-unit="), 2);
    EXPECT_EQ(html.count("<svg class=\"offset-history\""), 2);
    EXPECT_EQ(html.count("<circle"), 2);
    EXPECT_LT(html.indexOf("data-unit=\"b\" data-state=\"down\""),
              html.indexOf("data-state=\"up\""));
    const QByteArray one = UnitPage(board, board.units[0]);
    EXPECT_EQ(one.count("<circle"), 2);
    EXPECT_TRUE(
        one.contains("<button type=\"button\" data-action=\"check-time\" data-port=\"x\">"));
}

TEST(Page, GivesNullForEveryFigureNotKnownAndTheFiguresKnown) {
    Unit known = Made("a", State::kLent, 5, "none");
    known.lease = Holder{QStringLiteral("alice"), kNow};
    known.uncertaintyMs = 2;
    known.driftPpm = 0.25;
    known.measuredMs = kNow;
    known.history = {{kNow, 5, 2}};
    const QJsonArray units =
        QJsonDocument::fromJson(UnitsJson({{known, Made("b", State::kUp)}, {}, {}, kNow}))["units"]
            .toArray();
    ASSERT_EQ(units.size(), 2);
    const QJsonObject blank = units[1].toObject();
    for (const char* field : {"lease", "source", "version", "offsetMs", "uncertaintyMs",
                              "diagnosis", "driftPpm", "measured"}) {
        EXPECT_TRUE(blank[QLatin1String(field)].isNull()) << field;
    }
    const QJsonObject full = units[0].toObject();
    EXPECT_EQ(full["lease"]["by"].toString(), "alice");
    EXPECT_EQ(full["lease"]["until"].toString(), "2027-01-15T08:00:00Z");
    EXPECT_EQ(full["offsetMs"].toInteger(), 5);
    EXPECT_EQ(full["diagnosis"]["kind"].toString(), "none");
    EXPECT_DOUBLE_EQ(full["driftPpm"].toDouble(), 0.25);
    EXPECT_EQ(full["history"][0]["t"].toInteger(), kNow);
}

// Off: up, with a diagnosis other than none; a lent or down unit's last diagnosis does not count.
TEST(Page, CountsTheUnitsUpDownLentAndOff) {
    const std::vector<Unit> units{Made("a", State::kUp, 1, "none"),
                                  Made("b", State::kUp, 9, "off"),
                                  Made("c", State::kUp),
                                  Made("d", State::kDown, 9, "off"),
                                  Made("e", State::kLent),
                                  Made("f", State::kDown)};
    const Counts counts = Count(units);
    EXPECT_EQ(std::tuple(counts.up, counts.down, counts.lent, counts.off), std::tuple(3, 2, 1, 1));
    const QJsonObject summary =
        QJsonDocument::fromJson(UnitsJson({units, {}, {}, kNow}))["summary"].toObject();
    EXPECT_EQ(summary["up"].toInt() * 1000 + summary["down"].toInt() * 100 +
                  summary["lent"].toInt() * 10 + summary["off"].toInt(),
              3211);
}

// The newest first, each event in its own row; the page of a unit not watched says so.
TEST(Page, ShowsAUnitsLogAndLeasesNewestFirst) {
    Unit unit = Made("a", State::kUp);
    unit.log = {{kNow - 1000, QStringLiteral("older line")}, {kNow, QStringLiteral("newer line")}};
    unit.leases = {{kNow, QStringLiteral("lent to bob for 60 s")}};
    const QByteArray html = UnitPage({{unit}, {}, {}, kNow}, unit);
    EXPECT_LT(html.indexOf("newer line"), html.indexOf("older line"));
    EXPECT_TRUE(html.contains("<td>lent to bob for 60 s</td>"));
    EXPECT_TRUE(html.contains("none in the last 2 h")) << "no measurement yet";
    EXPECT_TRUE(MissingPage(QStringLiteral("zz")).contains("No unit zz is watched here"));
}

TEST(Page, KeepsTwoHoursOfMeasurementsAtMostAndTheLastEvents) {
    std::deque<Measurement> history;
    for (qint64 i = 0; i < 1000; ++i) {
        Remember(history, {i * 1000, i, 1});
    }
    EXPECT_EQ(history.size(), kMostMeasurements);
    EXPECT_EQ(history.back().offsetMs, 999);
    Remember(history, {999'000 + kHistoryMs, 0, 0});
    EXPECT_EQ(history.size(), 2u) << "those of more than two hours before went";
    std::deque<Event> events;
    for (int i = 0; i < 30; ++i) {
        Remember(events, {i, QString(1000, QLatin1Char('x'))});
    }
    EXPECT_EQ(events.size(), kMostEvents);
    EXPECT_EQ(events.front().atMs, 10);
    EXPECT_EQ(events.back().text.size(), kLongestEvent);
}

}  // namespace
}  // namespace irig::page
