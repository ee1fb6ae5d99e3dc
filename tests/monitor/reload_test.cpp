// A reload's decisions: which units a new selection keeps, changes, adds and removes; every part
// put in place or none; and a board that keeps the readings of the units it keeps.
#include "monitor/reload.h"

#include <gtest/gtest.h>

#include "monitor/server.h"

namespace irig::monitor {
namespace {

// "a@COM1" and, with settings or labels, "a@COM1+gps" or "a@COM1#x" (site x).
fleet::InventoryUnit Unit(const QString& text) {
    fleet::InventoryUnit unit;
    const QStringList parts = text.split(QLatin1Char('@'));
    unit.name = parts[0];
    unit.port = parts[1].section(QLatin1Char('+'), 0, 0).section(QLatin1Char('#'), 0, 0);
    if (parts[1].contains(QLatin1String("+gps"))) {
        unit.intended.gpsOffset = -5;
    }
    if (parts[1].contains(QLatin1Char('#'))) {
        unit.labels.insert(QStringLiteral("site"), parts[1].section(QLatin1Char('#'), 1));
    }
    return unit;
}

std::vector<fleet::InventoryUnit> Units(const QStringList& texts) {
    std::vector<fleet::InventoryUnit> units;
    for (const QString& text : texts) {
        units.push_back(Unit(text));
    }
    return units;
}

struct CompareRow {
    const char* name;
    QStringList before;
    QStringList after;
    QString fates;  // one letter a unit after: Kept, Updated, Added, Renamed
    std::vector<size_t> removed;
    const char* text;
};

class Compare : public testing::TestWithParam<CompareRow> {};

TEST_P(Compare, MatchesUnitsByPortThenByName) {
    const CompareRow& row = GetParam();
    const UnitChanges changes = CompareUnits(Units(row.before), Units(row.after));
    QString fates;
    for (const UnitFate& fate : changes.after) {
        fates += QLatin1Char("KUAR"[fate.what]);
    }
    EXPECT_EQ(fates, row.fates);
    EXPECT_EQ(changes.removed, row.removed);
    EXPECT_EQ(changes.Text(), QLatin1String(row.text));
}

INSTANTIATE_TEST_SUITE_P(
    Reload, Compare,
    testing::Values(
        CompareRow{"same", {"a@COM1", "b@COM2"}, {"a@COM1", "b@COM2"}, "KK", {}, "no change"},
        CompareRow{"reordered", {"a@COM1", "b@COM2"}, {"b@COM2", "a@COM1"}, "KK", {}, "no change"},
        CompareRow{"one_added_one_removed",
                   {"a@COM1", "b@COM2"},
                   {"a@COM1", "c@COM3"},
                   "KA",
                   {1},
                   "1 added, 1 removed"},
        CompareRow{"moved_to_another_port", {"a@COM1"}, {"a@COM2"}, "A", {0}, "1 on another port"},
        CompareRow{"renamed_on_the_same_port", {"a@COM1"}, {"z@COM1+gps"}, "R", {}, "1 renamed"},
        CompareRow{
            "names_swapped", {"a@COM1", "b@COM2"}, {"b@COM1", "a@COM2"}, "RR", {}, "2 renamed"},
        CompareRow{"renamed_and_its_name_moved_to_a_new_port",
                   {"a@COM1"},
                   {"b@COM1", "a@COM3"},
                   "RA",
                   {},
                   "1 added, 1 renamed"},
        CompareRow{"new_settings_and_new_labels",
                   {"a@COM1", "b@COM2#x"},
                   {"a@COM1+gps", "b@COM2#y"},
                   "UU",
                   {},
                   "2 with new labels or settings"},
        CompareRow{"all_gone", {"a@COM1"}, {}, "", {0}, "1 removed"}),
    [](const testing::TestParamInfo<CompareRow>& row) { return std::string(row.param.name); });

// A fault in any part leaves every part as it was, and each fault is said.
TEST(Reload, PutsEveryPartInPlaceOrNone) {
    const std::vector<std::vector<const char*>> rows = {
        {nullptr, nullptr}, {nullptr, "web.yml:3:5: unknown key"}, {"a:1:1: x", "b:2:2: y"}, {}};
    for (const std::vector<const char*>& faults : rows) {
        int put = 0;
        std::vector<ReloadPart> parts;
        QStringList expected;
        for (const char* fault : faults) {
            parts.push_back({QStringLiteral("part"),
                             [&put, fault]() -> std::variant<std::function<void()>, QString> {
                                 if (fault != nullptr) {
                                     return QString::fromUtf8(fault);
                                 }
                                 return [&put] { ++put; };
                             }});
            if (fault != nullptr) {
                expected.append(QString::fromUtf8(fault));
            }
        }
        EXPECT_EQ(Reload(parts), expected);
        EXPECT_EQ(put, expected.isEmpty() ? static_cast<int>(faults.size()) : 0) << expected.size();
    }
}

TEST(Reload, TheBoardKeepsTheReadingsOfTheUnitsItKeeps) {
    MetricsBoard board(QStringList{QStringLiteral("COM1"), QStringLiteral("COM2")});
    UnitReading up;
    up.port = QStringLiteral("COM2");
    up.up = true;
    board.Post(1, up);
    UnitReading fresh;
    fresh.port = QStringLiteral("COM3");
    board.Arrange({{1, {}}, {7, fresh}});
    board.Post(0, up);  // a unit no longer watched, late
    const std::vector<UnitReading> readings = board.Readings();
    ASSERT_EQ(readings.size(), 2U);
    EXPECT_TRUE(readings[0].up) << "COM2 kept its reading";
    EXPECT_EQ(readings[1].port, QStringLiteral("COM3"));
    EXPECT_EQ(board.Ports(), (QStringList{QStringLiteral("COM2"), QStringLiteral("COM3")}));
}

// A unit's story: a measurement once however often its reading is posted, its lines, its leases
// with the holder of the last one granted; kept with its reading across a new set of units.
TEST(Reload, TheBoardKeepsEachUnitsStoryWithItsReading) {
    MetricsBoard board(QStringList{QStringLiteral("COM1"), QStringLiteral("COM2")});
    UnitReading measured;
    measured.port = QStringLiteral("COM1");
    measured.offset = status::ClockOffset{5, 1};
    for (const qint64 at : {1'000'000, 1'000'000, 61'000'000}) {
        measured.measured = at;
        board.Post(0, measured);
    }
    measured.offset.reset();
    board.Post(0, measured);
    board.Said(0, QStringLiteral("COM1: answering"));
    board.Said(9, QStringLiteral("a unit not watched"));
    lease::LeaseDecision granted{
        {200, QJsonObject{{QStringLiteral("holder"), QStringLiteral("alice")},
                          {QStringLiteral("until"), QStringLiteral("2026-12-09T05:00:00Z")},
                          {QStringLiteral("lease"), QStringLiteral("0123")}}},
        lease::LeaseDecision::Port::kClose,
        QStringLiteral("lent to alice for 60 s")};
    board.Leased(1, granted);
    granted.answer.body[QStringLiteral("until")] = QStringLiteral("2026-12-09T06:00:00Z");
    granted.record.clear();
    board.Leased(1, granted);  // renewed: a new end, nothing recorded

    auto stories = board.Stories();
    ASSERT_EQ(stories.size(), 2U);
    const UnitStory& com1 = stories[0].second;
    ASSERT_EQ(com1.history.size(), 2U);
    EXPECT_EQ(com1.history[1].atMs, 61'000);
    EXPECT_EQ(com1.history[1].offsetMs, 5);
    ASSERT_EQ(com1.log.size(), 1U);
    EXPECT_EQ(com1.log[0].text, QStringLiteral("COM1: answering"));
    const UnitStory& com2 = stories[1].second;
    ASSERT_TRUE(com2.holder.has_value());
    EXPECT_EQ(com2.holder->by, QStringLiteral("alice"));
    EXPECT_EQ(com2.holder->untilMs, 1'796'796'000'000);
    ASSERT_EQ(com2.leases.size(), 1U);
    EXPECT_EQ(com2.leases[0].text,
              QStringLiteral("lent to alice for 60 s, until 2026-12-09T05:00:00Z"));
    EXPECT_EQ(com2.log.size(), 1U) << "a lease's event is a line of its log too";

    board.Arrange({{1, {}}, {7, {}}});
    stories = board.Stories();
    EXPECT_EQ(stories[0].second.leases.size(), 1U) << "COM2 kept its story";
    EXPECT_TRUE(stories[1].second.history.empty() && stories[1].second.log.empty());
}

}  // namespace
}  // namespace irig::monitor
