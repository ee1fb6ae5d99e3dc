// A site's units as code: the inventory file (YAML) that names each unit, its port, its labels and
// the settings it should have, read strictly (a fault is refused with its file, line and column,
// before any port is opened), and the units a command line selects from it. Reading only: what
// is done with the units is the commands'.
#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "lease/leaseclient.h"
#include "link/endpoint.h"
#include "model/settings.h"

namespace irig::fleet {

struct InventoryUnit {
    QString name;
    QString port;
    QMap<QString, QString> labels;
    Intended intended;
    // firmware_sha256: the SHA-256 (lower case) of the blocks its firmware file must write, as
    // irigctl inspect shows it. A pin of the file, not a setting the unit has.
    std::optional<QString> firmwareSha256;

    // "sub-a-1 (rfc2217://ts-a:4001)".
    QString Named() const { return QStringLiteral("%1 (%2)").arg(name, port); }
};

struct Inventory {
    QString file;
    std::vector<InventoryUnit> units;  // in the file's order
    QUrl monitor;  // monitor: the irigctl monitor its units are borrowed from; empty: none
    // monitor: {url, ca, cert, key}: the files an https:// monitor is met with, as paths from the
    // folder of the inventory's file.
    lease::MonitorTls monitorTls;
};

// A fault in an inventory: "FILE:LINE:COLUMN: what".
struct InventoryFault {
    QString file;
    int line = 0;  // from 1; 0 when the fault has no place in the file
    int column = 0;
    QString what;

    QString Text() const;
};

// How long the host names of an inventory's terminal servers may take to resolve, in all: the
// connect deadline.
inline constexpr int kLookupMs = 5'000;

// The inventory in `yaml`, read as the file `file` (for messages): one document of at most 10,000
// units with at most 64 labels each, aliases expanded; no key given twice; no control character in
// a name, port or label; no port shared by two units, comparing the addresses host names resolve
// to through `lookup` within `lookupMs` (without a lookup only addresses written as such; a name
// that does not resolve is no fault).
std::variant<Inventory, InventoryFault> ParseInventory(const QByteArray& yaml, const QString& file,
                                                       const link::HostLookup& lookup = {},
                                                       int lookupMs = kLookupMs);
// The inventory in the file at `path` (a regular file, at most 4 MiB), its host names resolved by
// the system. A bounded wait: for a command's start, before any port is opened.
std::variant<Inventory, InventoryFault> LoadInventory(
    const QString& path, const link::HostLookup& lookup = link::SystemLookup,
    int lookupMs = kLookupMs);

// What a command line selects: units by name (in the order given), every unit, or those whose
// labels all match.
struct Selection {
    QStringList names;
    bool all = false;
    QList<std::pair<QString, QString>> labels;

    bool Empty() const { return names.isEmpty() && !all && labels.isEmpty(); }
};

// The units selected, in inventory order (by name: in the order named); a name the inventory
// does not have, or a selection that matches nothing, is a fault.
std::variant<std::vector<InventoryUnit>, InventoryFault> Select(const Inventory& inventory,
                                                                const Selection& selection);

}  // namespace irig::fleet
