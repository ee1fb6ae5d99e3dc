#include "monitor/reload.h"

#include <QHash>
#include <algorithm>

namespace irig::monitor {

QStringList Reload(const std::vector<ReloadPart>& parts) {
    std::vector<std::function<void()>> puts;
    QStringList faults;
    for (const ReloadPart& part : parts) {
        auto read = part.read();
        if (auto* fault = std::get_if<QString>(&read)) {
            faults.append(std::move(*fault));
        } else {
            puts.push_back(std::move(std::get<std::function<void()>>(read)));
        }
    }
    if (faults.isEmpty()) {
        for (const std::function<void()>& put : puts) {
            put();
        }
    }
    return faults;
}

UnitChanges CompareUnits(const std::vector<fleet::InventoryUnit>& before,
                         const std::vector<fleet::InventoryUnit>& after) {
    QHash<QString, size_t> byPort;
    QHash<QString, size_t> byName;
    for (size_t i = 0; i < before.size(); ++i) {
        byPort.insert(before[i].port, i);
        byName.insert(before[i].name, i);
    }
    UnitChanges changes;
    std::vector<bool> stays(before.size(), false);
    for (const fleet::InventoryUnit& unit : after) {
        const auto was = byPort.constFind(unit.port);
        if (was == byPort.cend() || stays[*was]) {
            changes.after.push_back({UnitFate::kAdded, 0});
            continue;
        }
        stays[*was] = true;
        const fleet::InventoryUnit& old = before[*was];
        const bool same = old.labels == unit.labels && old.intended == unit.intended;
        changes.after.push_back({old.name != unit.name ? UnitFate::kRenamed
                                 : same                ? UnitFate::kKept
                                                       : UnitFate::kUpdated,
                                 *was});
    }
    for (size_t i = 0; i < before.size(); ++i) {
        if (!stays[i]) {
            changes.removed.push_back(i);
        }
    }
    // Moved: added under a name whose unit before is gone from its port.
    for (size_t i = 0; i < after.size(); ++i) {
        const auto was = byName.constFind(after[i].name);
        changes.moved +=
            changes.after[i].what == UnitFate::kAdded && was != byName.cend() && !stays[*was] ? 1
                                                                                              : 0;
    }
    return changes;
}

QString UnitChanges::Text() const {
    const auto count = [this](UnitFate::What what) {
        return std::count_if(after.begin(), after.end(),
                             [what](const UnitFate& fate) { return fate.what == what; });
    };
    QStringList parts;
    if (const auto added = count(UnitFate::kAdded) - moved; added > 0) {
        parts << QStringLiteral("%1 added").arg(added);
    }
    if (const auto gone = static_cast<qsizetype>(removed.size()) - moved; gone > 0) {
        parts << QStringLiteral("%1 removed").arg(gone);
    }
    if (moved > 0) {
        parts << QStringLiteral("%1 on another port").arg(moved);
    }
    if (const auto renamed = count(UnitFate::kRenamed); renamed > 0) {
        parts << QStringLiteral("%1 renamed").arg(renamed);
    }
    if (const auto updated = count(UnitFate::kUpdated); updated > 0) {
        parts << QStringLiteral("%1 with new labels or settings").arg(updated);
    }
    return parts.isEmpty() ? QStringLiteral("no change") : parts.join(QStringLiteral(", "));
}

}  // namespace irig::monitor
