// What a reload of irigctl monitor's configuration reads again, all or nothing, and what a new
// selection of an inventory's units changes in the units watched. Decisions only: the monitor puts
// them in place.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <variant>
#include <vector>

#include "fleet/inventory.h"

namespace irig::monitor {

// One part of the configuration that a reload reads again (the inventory, the web configuration).
struct ReloadPart {
    // Reads the part's file again: how to put it in place, which cannot fail, or what is wrong
    // with it (FILE:LINE:COLUMN: what).
    using Read = std::function<std::variant<std::function<void()>, QString>()>;

    QString name;  // for the log: "the inventory units.yaml"
    Read read;
};

// Reads every part, then puts them all in place; when any is faulty, none: the faults, one a
// faulty part, in the parts' order.
QStringList Reload(const std::vector<ReloadPart>& parts);

// What becomes of each unit of a new selection, matched with the one watched before by its port
// (as the inventory writes it), else by its name.
struct UnitFate {
    enum What {
        kKept,     // the same in every way: its port, series and history go on
        kUpdated,  // the same name and port, other labels or settings: taken in place
        kAdded,    // a new port (with a new name, or one that was on another port, now closed)
        kRenamed,  // another name on the same port: taken in place, a lease of it goes on
    };
    What what;
    size_t before;  // kKept, kUpdated, kRenamed: the unit it was
};

struct UnitChanges {
    std::vector<UnitFate> after;  // one a unit of the new selection, in its order
    std::vector<size_t> removed;  // the units before that are no longer watched on their port
    int moved = 0;                // of those added, units that were on another port

    // "1 added, 1 removed, 1 on another port, 1 renamed, 1 with new labels or settings";
    // "no change".
    QString Text() const;
};

UnitChanges CompareUnits(const std::vector<fleet::InventoryUnit>& before,
                         const std::vector<fleet::InventoryUnit>& after);

}  // namespace irig::monitor
