#include "fleet/inventory.h"

#include <yaml-cpp/yaml.h>

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include "link/portmap.h"

namespace irig::fleet {

namespace {

constexpr qint64 kMostBytes = qint64{4} * 1024 * 1024;

// A fault at a node's place in the file.
struct Fault {
    YAML::Mark mark;
    QString what;
};

QString Text(const YAML::Node& node) {
    return QString::fromStdString(node.Scalar());
}

// A setting of `defaults` or of a unit, checked as it is read.
void ReadSetting(Setting setting, const YAML::Node& value, Intended& intended) {
    const auto parsed =
        Parse(setting, value.IsScalar() ? Text(value) : QString(), Spelling::kInventory);
    if (const auto* refusal = std::get_if<QString>(&parsed)) {
        throw Fault{value.Mark(), *refusal};
    }
    intended.Set(setting, std::get<Value>(parsed));
}

Fault UnknownKey(const YAML::Node& key, const char* where, const QString& known) {
    return {key.Mark(), QStringLiteral("unknown key \"%1\" in %2 (%3)")
                            .arg(Text(key), QLatin1String(where), known)};
}

InventoryUnit ReadUnit(const YAML::Node& name, const YAML::Node& body, const Intended& defaults) {
    static const QRegularExpression labelName(QStringLiteral("^[a-zA-Z_][a-zA-Z0-9_]*$"));
    InventoryUnit unit;
    unit.name = Text(name);
    if (!body.IsMap()) {
        throw Fault{body.Mark(),
                    QStringLiteral("unit %1 must be a map with its port").arg(unit.name)};
    }
    Intended own;
    for (const auto& entry : body) {
        const QString key = Text(entry.first);
        if (key == QLatin1String("port")) {
            unit.port = entry.second.IsScalar()
                            ? link::PortArgument(Text(entry.second)).value_or(QString())
                            : QString();
            if (unit.port.isEmpty()) {
                throw Fault{entry.second.Mark(),
                            QStringLiteral("port \"%1\" is neither COMn, a device path, "
                                           "rfc2217://HOST:PORT nor socket://HOST:PORT")
                                .arg(entry.second.IsScalar() ? Text(entry.second) : QString())};
            }
        } else if (key == QLatin1String("labels")) {
            if (!entry.second.IsMap()) {
                throw Fault{entry.second.Mark(), QStringLiteral("labels must be a map")};
            }
            for (const auto& label : entry.second) {
                if (!labelName.match(Text(label.first)).hasMatch() ||
                    Text(label.first).startsWith(QLatin1String("__")) ||
                    Text(label.first) == QLatin1String("port") ||
                    Text(label.first) == QLatin1String("unit")) {
                    throw Fault{label.first.Mark(),
                                QStringLiteral("\"%1\" is not a label name (letters, digits and "
                                               "_, not port or unit)")
                                    .arg(Text(label.first))};
                }
                if (!label.second.IsScalar()) {
                    throw Fault{label.second.Mark(),
                                QStringLiteral("label %1 must be a text").arg(Text(label.first))};
                }
                unit.labels.insert(Text(label.first), Text(label.second));
            }
        } else if (const std::optional<Setting> setting = ByKey(key)) {
            ReadSetting(*setting, entry.second, own);
        } else {
            throw UnknownKey(entry.first, "a unit", QStringLiteral("port, labels, ") + Keys());
        }
    }
    if (unit.port.isEmpty()) {
        throw Fault{name.Mark(), QStringLiteral("unit %1 has no port").arg(unit.name)};
    }
    unit.intended = defaults.Over(own);
    return unit;
}

Inventory Read(const YAML::Node& root, const QString& file) {
    Inventory inventory;
    inventory.file = file;
    if (!root.IsMap()) {
        throw Fault{root.Mark(), QStringLiteral("an inventory is a map with defaults and units")};
    }
    Intended defaults;
    YAML::Node units;
    for (const auto& entry : root) {
        const QString key = Text(entry.first);
        if (key == QLatin1String("defaults")) {
            if (!entry.second.IsMap()) {
                throw Fault{entry.second.Mark(), QStringLiteral("defaults must be a map")};
            }
            for (const auto& setting : entry.second) {
                const std::optional<Setting> known = ByKey(Text(setting.first));
                if (!known) {
                    throw UnknownKey(setting.first, "defaults", Keys());
                }
                ReadSetting(*known, setting.second, defaults);
            }
        } else if (key == QLatin1String("units")) {
            if (!entry.second.IsMap()) {
                throw Fault{entry.second.Mark(), QStringLiteral("units must be a map of names")};
            }
            units = entry.second;
        } else {
            throw UnknownKey(entry.first, "the inventory", QStringLiteral("defaults, units"));
        }
    }
    if (!units) {
        throw Fault{root.Mark(), QStringLiteral("the inventory has no units")};
    }
    QHash<QString, QString> names;  // name: its first place
    QHash<QString, QString> ports;  // port (and the device it resolves to): the unit that has it
    for (const auto& entry : units) {
        const InventoryUnit unit = ReadUnit(entry.first, entry.second, defaults);
        if (names.contains(unit.name)) {
            throw Fault{entry.first.Mark(),
                        QStringLiteral("the name %1 is used twice").arg(unit.name)};
        }
        names.insert(unit.name, unit.name);
        const QString device = link::ResolvePortName(unit.port);
        for (const QString& key : {unit.port, device}) {
            if (!key.isEmpty() && ports.contains(key)) {
                throw Fault{entry.first.Mark(), QStringLiteral("%1 and %2 have one port (%3)")
                                                    .arg(ports.value(key), unit.name, key)};
            }
        }
        ports.insert(unit.port, unit.name);
        if (!device.isEmpty()) {
            ports.insert(device, unit.name);
        }
        inventory.units.push_back(unit);
    }
    return inventory;
}

}  // namespace

QString InventoryFault::Text() const {
    return line > 0 ? QStringLiteral("%1:%2:%3: %4").arg(file).arg(line).arg(column).arg(what)
                    : QStringLiteral("%1: %2").arg(file, what);
}

std::variant<Inventory, InventoryFault> ParseInventory(const QByteArray& yaml,
                                                       const QString& file) {
    try {
        return Read(YAML::Load(yaml.toStdString()), file);
    } catch (const Fault& fault) {
        return InventoryFault{file, fault.mark.line + 1, fault.mark.column + 1, fault.what};
    } catch (const YAML::Exception& error) {
        return InventoryFault{file, error.mark.line + 1, error.mark.column + 1,
                              QString::fromStdString(error.msg)};
    }
}

std::variant<Inventory, InventoryFault> LoadInventory(const QString& path) {
    const QFileInfo info(path);
    QFile file(path);
    if (!info.isFile()) {
        return InventoryFault{
            path, 0, 0,
            info.exists() ? QStringLiteral("not a regular file") : QStringLiteral("no such file")};
    }
    if (info.size() > kMostBytes) {
        return InventoryFault{path, 0, 0, QStringLiteral("larger than 4 MiB")};
    }
    if (!file.open(QIODevice::ReadOnly)) {
        return InventoryFault{path, 0, 0, file.errorString()};
    }
    return ParseInventory(file.read(kMostBytes), path);
}

std::variant<std::vector<InventoryUnit>, InventoryFault> Select(const Inventory& inventory,
                                                                const Selection& selection) {
    std::vector<InventoryUnit> chosen;
    for (const QString& name : selection.names) {
        const auto found =
            std::find_if(inventory.units.begin(), inventory.units.end(),
                         [&](const InventoryUnit& unit) { return unit.name == name; });
        if (found == inventory.units.end()) {
            return InventoryFault{inventory.file, 0, 0,
                                  QStringLiteral("no unit is called %1").arg(name)};
        }
        chosen.push_back(*found);
    }
    if (selection.all || !selection.labels.isEmpty()) {
        for (const InventoryUnit& unit : inventory.units) {
            const bool matches = std::all_of(
                selection.labels.begin(), selection.labels.end(), [&](const auto& label) {
                    return unit.labels.value(label.first) == label.second &&
                           unit.labels.contains(label.first);
                });
            const bool named =
                std::any_of(chosen.begin(), chosen.end(),
                            [&](const InventoryUnit& c) { return c.name == unit.name; });
            if (matches && !named) {
                chosen.push_back(unit);
            }
        }
    }
    if (chosen.empty()) {
        QStringList asked;
        for (const auto& [key, value] : selection.labels) {
            asked.append(QStringLiteral("--select %1=%2").arg(key, value));
        }
        return InventoryFault{
            inventory.file, 0, 0,
            selection.all ? QStringLiteral("--all: the inventory has no units")
                          : QStringLiteral("%1 matches no unit").arg(asked.join(QLatin1Char(' ')))};
    }
    return chosen;
}

}  // namespace irig::fleet
