// The inventory as a site writes it: each fault refused with its line and column, and the units a
// selection takes, by name, by label and all of them.
#include "fleet/inventory.h"

#include <gtest/gtest.h>

#include <string>

namespace irig::fleet {
namespace {

const QByteArray kGood = R"(monitor: http://127.0.0.1:9810
defaults:
  irig_offset: 0
  gps_offset: 0
  ieee1344: false
  firmware: "2.3"
  max_clock_offset_ms: 50
units:
  sub-a-1:
    port: rfc2217://ts-a:4001
    labels: {site: a, bay: "1"}
  sub-a-2:
    port: /dev/ttyUSB7
    gps_offset: -5
    labels: {site: a, bay: "2"}
  sub-b-1:
    port: com3
    ieee1344: true
    firmware: 2.4
    labels: {site: b}
)";

// Host names as a resolver would answer them, at once: localhost, and nothing else.
void Lookup(const QString& host, const std::function<void(QList<QHostAddress>, QString)>& done) {
    done(host == QLatin1String("localhost")
             ? QList<QHostAddress>{QHostAddress::LocalHost, QHostAddress::LocalHostIPv6}
             : QList<QHostAddress>{},
         {});
}

TEST(Inventory, AGoodOneGivesEachUnitItsPortLabelsAndSettings) {
    const auto read = ParseInventory(kGood, QStringLiteral("units.yaml"), Lookup);  // ts-a unknown
    ASSERT_TRUE(std::holds_alternative<Inventory>(read))
        << std::get<InventoryFault>(read).Text().toStdString();
    const Inventory& inventory = std::get<Inventory>(read);
    ASSERT_EQ(inventory.units.size(), 3u);
    EXPECT_EQ(inventory.units[0].Named(), QStringLiteral("sub-a-1 (rfc2217://ts-a:4001)"));
    EXPECT_EQ(inventory.units[1].intended.gpsOffset, -5);
    EXPECT_EQ(inventory.units[1].intended.firmware, 23) << "the defaults'";
    EXPECT_EQ(inventory.units[2].port, QStringLiteral("COM3"));
    EXPECT_EQ(inventory.units[2].intended.firmware, 24) << "unquoted too";
    EXPECT_EQ(inventory.units[2].intended.ieee1344, true);
    EXPECT_EQ(inventory.units[0].labels.value(QStringLiteral("bay")), QStringLiteral("1"));
    EXPECT_EQ(inventory.monitor, QUrl(QStringLiteral("http://127.0.0.1:9810")));
}

TEST(Inventory, AMonitorsFilesAreFoundFromTheInventorysFolder) {
    const auto read = ParseInventory(
        "monitor: {url: \"https://m:9810\", ca: ca.crt, cert: /etc/c.crt, key: ../c.key}\n"
        "units: {u1: {port: COM1}}\n",
        QStringLiteral("/site/units.yaml"));
    ASSERT_TRUE(std::holds_alternative<Inventory>(read))
        << std::get<InventoryFault>(read).Text().toStdString();
    EXPECT_EQ(std::get<Inventory>(read).monitor, QUrl(QStringLiteral("https://m:9810")));
    EXPECT_EQ(std::get<Inventory>(read).monitorTls,
              (lease::MonitorTls{QStringLiteral("/site/ca.crt"), QStringLiteral("/etc/c.crt"),
                                 QStringLiteral("/c.key")}));
}

// `count` units, the first with `labels` labels anchored, the others referring to them.
std::string Aliased(int count, int labels) {
    std::string yaml = "units:\n  u0:\n    port: socket://127.0.0.1:30000\n    labels: &l\n";
    for (int i = 0; i < labels; ++i) {
        yaml += "      l" + std::to_string(i) + ": v\n";
    }
    for (int i = 1; i < count; ++i) {
        yaml += "  u" + std::to_string(i) +
                ": {port: \"socket://127.0.0.1:" + std::to_string(30000 + i) + "\", labels: *l}\n";
    }
    return yaml;
}

TEST(Inventory, TheLargestIsReadWithItsAliases) {
    const auto read = ParseInventory(QByteArray::fromStdString(Aliased(10'000, 64)),
                                     QStringLiteral("big.yaml"), Lookup);
    ASSERT_TRUE(std::holds_alternative<Inventory>(read))
        << std::get<InventoryFault>(read).Text().toStdString();
    ASSERT_EQ(std::get<Inventory>(read).units.size(), 10'000u);
    EXPECT_EQ(std::get<Inventory>(read).units.back().labels.size(), 64);
}

struct FaultRow {
    const char* name;
    std::string yaml;
    int line;
    int column;
    const char* what;  // the start of what is said
};

class Faults : public testing::TestWithParam<FaultRow> {};

TEST_P(Faults, AreRefusedWithTheirLineAndColumn) {
    const auto read = ParseInventory(QByteArray::fromStdString(GetParam().yaml),
                                     QStringLiteral("units.yaml"), Lookup);
    ASSERT_TRUE(std::holds_alternative<InventoryFault>(read));
    const InventoryFault& fault = std::get<InventoryFault>(read);
    EXPECT_EQ(fault.line, GetParam().line) << fault.Text().toStdString();
    EXPECT_EQ(fault.column, GetParam().column) << fault.Text().toStdString();
    EXPECT_TRUE(fault.what.startsWith(QString::fromUtf8(GetParam().what)))
        << fault.Text().toStdString();
    EXPECT_TRUE(fault.Text().startsWith(
        QStringLiteral("units.yaml:%1:%2: ").arg(GetParam().line).arg(GetParam().column)));
}

INSTANTIATE_TEST_SUITE_P(
    Inventory, Faults,
    testing::Values(
        FaultRow{"unknown_key", "units:\n  u1:\n    port: COM1\n    gsp_offset: 3\n", 4, 5,
                 "unknown key \"gsp_offset\" in a unit"},
        FaultRow{"unknown_top_key", "unit:\n  u1: {port: COM1}\n", 1, 1,
                 "unknown key \"unit\" in the inventory"},
        FaultRow{"wrong_type", "units:\n  u1:\n    port: COM1\n    irig_offset: two\n", 4, 18,
                 "irig_offset must be a whole number of hours"},
        FaultRow{"flag_not_a_boolean", "units:\n  u1: {port: COM1, ieee1344: maybe}\n", 2, 30,
                 "ieee1344 must be true or false"},
        FaultRow{"offset_outside", "defaults:\n  gps_offset: 24\nunits:\n  u1: {port: COM1}\n", 2,
                 15, "gps_offset 24 is outside -23 to 23"},
        FaultRow{"version_not_n_n", "units:\n  u1:\n    port: COM1\n    firmware: \"2.3.1\"\n", 4,
                 15, "firmware must be a version N.N"},
        FaultRow{"two_units_one_port", "units:\n  u1: {port: COM1}\n  u2: {port: com1}\n", 3, 3,
                 "u1 and u2 have one port"},
        FaultRow{"a_name_used_twice", "units:\n  u1: {port: COM1}\n  u1: {port: COM2}\n", 3, 3,
                 "the name u1 is used twice"},
        FaultRow{"no_port", "units:\n  u1: {gps_offset: 1}\n", 2, 3, "unit u1 has no port"},
        FaultRow{"not_a_port", "units:\n  u1: {port: ttyUSB0}\n", 2, 14, "port \"ttyUSB0\""},
        FaultRow{"not_a_label_name", "units:\n  u1: {port: COM1, labels: {a-b: c}}\n", 2, 29,
                 "\"a-b\" is not a label name"},
        FaultRow{"broken_yaml", "units:\n  u1: {port: COM1\n", 3, 1, ""},
        FaultRow{"two_units_blocks", "units:\n  u1: {port: COM1}\nunits:\n  u2: {port: COM2}\n", 3,
                 1, "units is given twice (first on line 1)"},
        FaultRow{"two_monitors", "monitor: http://a:1\nmonitor: http://b:1\nunits: {}\n", 2, 1,
                 "monitor is given twice"},
        FaultRow{"a_list_for_the_monitor", "monitor: [http://a:1]\nunits: {}\n", 1, 10,
                 "monitor must be a URL"},
        FaultRow{"an_unknown_key_in_the_monitor", "monitor: {url: http://a:1, cart: x}\n", 1, 28,
                 "unknown key \"cart\" in monitor (url, ca, cert, key)"},
        FaultRow{"a_monitor_without_its_url", "monitor: {cert: c.crt, key: c.key}\n", 1, 24,
                 "monitor needs its url"},
        FaultRow{"two_defaults", "defaults: {gps_offset: 1}\ndefaults: {}\nunits: {}\n", 2, 1,
                 "defaults is given twice"},
        FaultRow{"two_ports", "units:\n  u1:\n    port: COM1\n    port: COM2\n", 4, 5,
                 "port is given twice in unit u1 (first on line 3)"},
        FaultRow{"two_offsets", "units:\n  u1: {port: COM1, gps_offset: 1, gps_offset: 2}\n", 2, 35,
                 "gps_offset is given twice in unit u1"},
        FaultRow{"a_setting_twice_in_defaults", "defaults:\n  ieee1344: true\n  ieee1344: false\n",
                 3, 3, "ieee1344 is given twice in defaults"},
        FaultRow{"a_label_twice", "units:\n  u1: {port: COM1, labels: {site: a, site: b}}\n", 2, 38,
                 "site is given twice in the labels of unit u1"},
        FaultRow{"a_second_document", "units:\n  u1: {port: COM1}\n---\nunits: {}\n", 3, 1,
                 "a second document"},
        FaultRow{"a_list_for_a_name", "units:\n  [a, b]: {port: COM1}\n", 2, 3,
                 "a unit's name must be a text"},
        FaultRow{"no_name", "units:\n  ~: {port: COM1}\n", 2, 3, "a unit needs a name"},
        FaultRow{"an_empty_name", "units:\n  \"\": {port: COM1}\n", 2, 3, "a unit needs a name"},
        FaultRow{"labels_growing_through_an_alias", Aliased(3'000, 3'000), 69, 7,
                 "unit u0 has more than 64 labels"},
        FaultRow{"more_units_than_an_inventory_holds", Aliased(10'001, 1), 10'005, 3,
                 "more than 10000 units"},
        FaultRow{"an_alias_inside_its_node", "units: &u {u1: {port: COM1, labels: *u}}\n", 1, 37,
                 "an alias inside the node it names"},
        FaultRow{"a_label_the_monitor_uses", "units:\n  u1: {port: COM1, labels: {source: x}}\n", 2,
                 29, "\"source\" is not a label name: the monitor's series carry it already"},
        FaultRow{"a_label_named_unit", "units:\n  u1: {port: COM1, labels: {unit: x}}\n", 2, 29,
                 "\"unit\" is not a label name: the monitor's series carry it already"},
        FaultRow{"nul_in_a_name", std::string("units:\n  \"a\\0b\": {port: COM1}\n"), 2, 3,
                 "a unit's name holds a control character (U+0000)"},
        FaultRow{"newline_in_a_name", "units:\n  \"a\\nb\": {port: COM1}\n", 2, 3,
                 "a unit's name holds a control character (U+000A)"},
        FaultRow{"c1_in_a_name", "units:\n  \"a\\x9Bb\": {port: COM1}\n", 2, 3,
                 "a unit's name holds a control character (U+009B)"},
        FaultRow{"escape_in_a_label", "units:\n  u1: {port: COM1, labels: {a: \"\\e[2J\"}}\n", 2,
                 32, "label a holds a control character (U+001B)"},
        FaultRow{"delete_in_a_port", "units:\n  u1: {port: \"/dev/tty\\x7F\"}\n", 2, 14,
                 "port holds a control character (U+007F)"},
        FaultRow{"invalid_utf8_in_a_name", "units:\n  Z\xFCrich: {port: COM1}\n", 2, 4,
                 "not UTF-8 (the byte 0xfc)"},
        FaultRow{"a_zero_width_space_in_a_name",
                 "units:\n  a: {port: COM1}\n  \"a\\u200B\": {port: COM2}\n", 3, 3,
                 "a unit's name holds an invisible or text-direction character (U+200B)"},
        FaultRow{"a_right_to_left_override_in_a_label",
                 "units:\n  u1: {port: COM1, labels: {a: \"x\u202Ey\"}}\n", 2, 32,
                 "label a holds an invisible or text-direction character (U+202E)"},
        FaultRow{"a_custom_tag", "units:\n  u1: {port: !dev COM1}\n", 2, 14,
                 "the tag \"!dev\" is not taken"},
        FaultRow{"binary", "units:\n  u1: {port: COM1, labels: {a: !!binary aGk=}}\n", 2, 32,
                 "the tag \"tag:yaml.org,2002:binary\" is not taken"},
        FaultRow{"a_label_over_1_KiB",
                 "units:\n  u1: {port: COM1, labels: {a: " + std::string(1025, 'x') + "}}\n", 2, 32,
                 "label a is 1025 bytes long: at most 1024 are taken"},
        FaultRow{"a_name_and_its_address",
                 "units:\n  a: {port: \"socket://localhost:25006\"}\n"
                 "  b: {port: \"socket://[::1]:25006\"}\n",
                 3, 3,
                 "a and b have one port (socket://localhost:25006 and socket://[::1]:25006 both "
                 "reach [::1]:25006)"}),
    [](const testing::TestParamInfo<FaultRow>& row) { return row.param.name; });

struct SelectRow {
    const char* name;
    Selection selection;
    QStringList units;  // the names selected, in order; empty: a fault
    const char* fault;
};

class Selections : public testing::TestWithParam<SelectRow> {};

TEST_P(Selections, TakeTheUnitsNamedOrLabelled) {
    const Inventory inventory =
        std::get<Inventory>(ParseInventory(kGood, QStringLiteral("u.yaml")));
    const auto chosen = Select(inventory, GetParam().selection);
    if (GetParam().units.isEmpty()) {
        ASSERT_TRUE(std::holds_alternative<InventoryFault>(chosen));
        EXPECT_EQ(std::get<InventoryFault>(chosen).Text(), QString::fromUtf8(GetParam().fault));
        return;
    }
    ASSERT_TRUE(std::holds_alternative<std::vector<InventoryUnit>>(chosen));
    QStringList names;
    for (const InventoryUnit& unit : std::get<std::vector<InventoryUnit>>(chosen)) {
        names << unit.name;
    }
    EXPECT_EQ(names, GetParam().units);
}

INSTANTIATE_TEST_SUITE_P(
    Inventory, Selections,
    testing::Values(
        SelectRow{"by_name_in_the_order_named",
                  {{"sub-b-1", "sub-a-1"}, false, {}},
                  {"sub-b-1", "sub-a-1"},
                  ""},
        SelectRow{"all", {{}, true, {}}, {"sub-a-1", "sub-a-2", "sub-b-1"}, ""},
        SelectRow{"by_a_label", {{}, false, {{"site", "a"}}}, {"sub-a-1", "sub-a-2"}, ""},
        SelectRow{
            "every_label_must_match", {{}, false, {{"site", "a"}, {"bay", "2"}}}, {"sub-a-2"}, ""},
        SelectRow{
            "a_name_it_has_not", {{"sub-c-1"}, false, {}}, {}, "u.yaml: no unit is called sub-c-1"},
        SelectRow{"a_selection_of_nothing",
                  {{}, false, {{"site", "c"}}},
                  {},
                  "u.yaml: --select site=c matches no unit"}),
    [](const testing::TestParamInfo<SelectRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::fleet
