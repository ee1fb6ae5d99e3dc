// Hostile inventories: whatever the file holds, reading it ends in an inventory or a fault with a
// place, never a crash or a hang; an inventory it gives keeps its bounds (10,000 units, 64 labels
// a unit), names every unit once, and holds no control character in a name, port or label.
#include <QSet>
#include <algorithm>

#include "check.h"
#include "fleet/inventory.h"

namespace {

bool Printable(const QString& text) {
    return std::none_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F);
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto read = irig::fleet::ParseInventory(
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), QStringLiteral("f.yaml"));
    if (const auto* fault = std::get_if<irig::fleet::InventoryFault>(&read)) {
        Check(!fault->what.isEmpty() || fault->line > 0, "a fault says what or where");
        return 0;
    }
    const irig::fleet::Inventory& inventory = std::get<irig::fleet::Inventory>(read);
    Check(inventory.units.size() <= 10'000, "at most 10,000 units");
    QSet<QString> names;
    for (const irig::fleet::InventoryUnit& unit : inventory.units) {
        Check(!unit.name.isEmpty() && !names.contains(unit.name), "each unit named, once");
        names.insert(unit.name);
        Check(!unit.port.isEmpty() && Printable(unit.name) && Printable(unit.port),
              "a port, and no control character in a name or port");
        Check(unit.labels.size() <= 64, "at most 64 labels a unit");
        for (auto label = unit.labels.cbegin(); label != unit.labels.cend(); ++label) {
            Check(Printable(label.key()) && Printable(label.value()),
                  "no control character in a label");
        }
    }
    return 0;
}
