#include "fleet/inventory.h"

#include <yaml-cpp/exceptions.h>

#include <algorithm>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include "fleet/yamlevents.h"
#include "lease/leaseclient.h"
#include "link/portmap.h"
#include "link/sameplace.h"
#include "model/families.h"

namespace irig::fleet {

namespace {

constexpr qint64 kMostBytes = qint64{4} * 1024 * 1024;
constexpr int kMostUnits = 10'000;
constexpr int kMostLabels = 64;

using Type = YamlEvent::Type;

QString Text(const YamlEvent& event) {
    return event.type == Type::kScalar ? QString::fromStdString(event.text) : QString();
}

// The longest name, label or port an inventory takes, in UTF-8 bytes: every series of a unit
// carries its labels.
constexpr qsizetype kLongestText = 1024;

bool Control(char16_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Characters that show nothing, or turn the text's direction, so that two names that look alike
// differ: soft hyphen, Arabic letter mark, zero-width spaces and joiners, the marks and embeddings
// of direction, word joiner and invisible operators, the isolates, and the byte-order mark.
bool Invisible(char16_t c) {
    return c == 0x00AD || c == 0x061C || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

// A name, label or port as an inventory takes it: no control or invisible character, and not
// longer than kLongestText.
void CheckText(const QString& text, const YAML::Mark& mark, const QString& what) {
    const auto code = [](QChar c) {
        return QStringLiteral("U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toUpper();
    };
    for (const QChar c : text) {
        if (Control(c.unicode())) {
            throw Fault{mark,
                        QStringLiteral("%1 holds a control character (%2)").arg(what, code(c))};
        }
        if (Invisible(c.unicode())) {
            throw Fault{mark, QStringLiteral("%1 holds an invisible or text-direction character "
                                             "(%2), which makes look-alike names")
                                  .arg(what, code(c))};
        }
    }
    if (const qsizetype bytes = text.toUtf8().size(); bytes > kLongestText) {
        throw Fault{mark, QStringLiteral("%1 is %2 bytes long: at most %3 are taken")
                              .arg(what)
                              .arg(bytes)
                              .arg(kLongestText)};
    }
}

// A label name as Prometheus takes it, other than the names the exporter's series carry.
void CheckLabelName(const QString& name, const YAML::Mark& mark) {
    static const QSet<QString> taken = [] {
        QSet<QString> names;
        monitor::ForEachExporterLabel([&](const char* label) { names << QLatin1String(label); });
        return names;
    }();
    CheckText(name, mark, QStringLiteral("a label name"));
    const auto letter = [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
    };
    const bool formed = letter(name.front()) && std::all_of(name.begin(), name.end(), [&](QChar c) {
                            return letter(c) || (c >= u'0' && c <= u'9');
                        });
    if (!formed || name.startsWith(QLatin1String("__"))) {
        throw Fault{mark, QStringLiteral("\"%1\" is not a label name (letters, digits and _, not "
                                         "starting with __)")
                              .arg(name)};
    }
    if (taken.contains(name)) {
        QStringList names;
        monitor::ForEachExporterLabel([&](const char* label) { names << QLatin1String(label); });
        throw Fault{mark, QStringLiteral("\"%1\" is not a label name: the monitor's series carry "
                                         "it already (%2)")
                              .arg(name, names.join(QLatin1String(", ")))};
    }
}

enum class Place { kDocument, kRoot, kDefaults, kUnits, kUnit, kLabels, kMonitor };

// A map being read.
struct Frame {
    Place place = Place::kDocument;
    QHash<QString, int> keys;  // each key given, with its line
    bool atValue = false;      // the value of `key` comes next
    QString key;
    YAML::Mark keyMark;
    YAML::anchor_t anchor = 0;  // a labels map's, for its aliases
};

struct Draft {
    InventoryUnit unit;
    Intended own;
    YAML::Mark mark;  // the name's
};

// The key that pins a unit's firmware file, beside the settings.
const QLatin1String kSha256Key("firmware_sha256");
// The key that names the monitor the units are borrowed from, beside defaults and units: its URL,
// or a map of it and the files an https:// monitor is met with.
const QLatin1String kMonitorKey("monitor");
const QLatin1String kUrlKey("url");
constexpr std::pair<const char*, QString lease::MonitorTls::*> kTlsKeys[] = {
    {"ca", &lease::MonitorTls::ca},
    {"cert", &lease::MonitorTls::cert},
    {"key", &lease::MonitorTls::key}};

// The inventory's grammar over the events of its file, each fault thrown where it stands, and
// what an inventory may expand to bounded as it is read.
class InventoryReader final : public YamlReader {
public:
    InventoryReader() { frames_.push_back({}); }

    void Take(const YamlEvent& event) override {
        Frame& frame = frames_.back();
        if (event.type == Type::kMapEnd || event.type == Type::kSequenceEnd) {
            End();
        } else if (frame.place == Place::kDocument) {
            if (event.type != Type::kMapStart || read_) {
                throw Fault{event.mark,
                            QStringLiteral("an inventory is a map with defaults and units")};
            }
            read_ = true;
            root_ = event.mark;
            Push(Place::kRoot, event);
        } else if (!frame.atValue) {
            Key(frame, event);
        } else {
            frame.atValue = false;
            Value(frame, event);
        }
    }

    // Labels given as an alias of labels read before: the same map, not read again.
    bool TakeAlias(YAML::anchor_t anchor, const YAML::Mark&) override {
        Frame& frame = frames_.back();
        if (frame.place != Place::kUnit || !frame.atValue || frame.key != QLatin1String("labels") ||
            !labels_.contains(anchor)) {
            return false;
        }
        frame.atValue = false;
        drafts_.back().unit.labels = labels_.value(anchor);
        return true;
    }

    bool Read() const { return read_; }
    bool HasUnits() const { return hasUnits_; }
    const YAML::Mark& Root() const { return root_; }
    const Intended& Defaults() const { return defaults_; }
    const std::optional<QString>& DefaultsSha256() const { return defaultsSha256_; }
    const QUrl& MonitorUrl() const { return monitor_; }
    const lease::MonitorTls& MonitorTls() const { return monitorTls_; }
    std::vector<Draft>& Drafts() { return drafts_; }

private:
    void Push(Place place, const YamlEvent& event) {
        frames_.push_back({place, {}, false, {}, {}, event.anchor});
    }

    QString Where(const Frame& frame) const {
        switch (frame.place) {
            case Place::kDefaults:
                return QStringLiteral(" in defaults");
            case Place::kUnit:
                return QStringLiteral(" in unit %1").arg(drafts_.back().unit.name);
            case Place::kLabels:
                return QStringLiteral(" in the labels of unit %1").arg(drafts_.back().unit.name);
            case Place::kMonitor:
                return QStringLiteral(" in monitor");
            case Place::kDocument:
            case Place::kRoot:
            case Place::kUnits:
                break;
        }
        return {};
    }

    void Key(Frame& frame, const YamlEvent& event) {
        const bool units = frame.place == Place::kUnits;
        if (event.type != Type::kScalar && event.type != Type::kNull) {
            throw Fault{event.mark, units ? QStringLiteral("a unit's name must be a text, not a "
                                                           "list or a map")
                                          : QStringLiteral("a key must be a text, not a list or "
                                                           "a map")};
        }
        const QString key = Text(event);
        if (key.isEmpty()) {
            throw Fault{event.mark, units ? QStringLiteral("a unit needs a name: an empty one, ~ "
                                                           "or null is none")
                                          : QStringLiteral("a key must not be empty")};
        }
        if (frame.keys.contains(key)) {
            throw Fault{event.mark,
                        units ? QStringLiteral("the name %1 is used twice (first on line %2)")
                                    .arg(key)
                                    .arg(frame.keys.value(key))
                              : QStringLiteral("%1 is given twice%2 (first on line %3)")
                                    .arg(key, Where(frame))
                                    .arg(frame.keys.value(key))};
        }
        CheckKey(frame, key, event.mark);
        frame.keys.insert(key, event.mark.line + 1);
        frame.key = key;
        frame.keyMark = event.mark;
        frame.atValue = true;
    }

    void CheckKey(const Frame& frame, const QString& key, const YAML::Mark& mark) const {
        const auto unknown = [&](const char* where, const QString& known) {
            return Fault{mark, QStringLiteral("unknown key \"%1\" in %2 (%3)")
                                   .arg(key, QLatin1String(where), known)};
        };
        switch (frame.place) {
            case Place::kRoot:
                if (key != QLatin1String("defaults") && key != QLatin1String("units") &&
                    key != kMonitorKey) {
                    throw unknown("the inventory", QStringLiteral("defaults, monitor, units"));
                }
                break;
            case Place::kDefaults:
                if (!ByKey(key) && key != kSha256Key) {
                    throw unknown("defaults", Keys() + QStringLiteral(", ") + kSha256Key);
                }
                break;
            case Place::kUnit:
                if (key != QLatin1String("port") && key != QLatin1String("labels") && !ByKey(key) &&
                    key != kSha256Key) {
                    throw unknown("a unit", QStringLiteral("port, labels, ") + Keys() +
                                                QStringLiteral(", ") + kSha256Key);
                }
                break;
            case Place::kUnits:
                CheckText(key, mark, QStringLiteral("a unit's name"));
                if (drafts_.size() >= kMostUnits) {
                    throw Fault{mark, QStringLiteral("more than %1 units: an inventory holds at "
                                                     "most %1")
                                          .arg(kMostUnits)};
                }
                break;
            case Place::kLabels:
                CheckLabelName(key, mark);
                if (frame.keys.size() >= kMostLabels) {
                    throw Fault{mark, QStringLiteral("unit %1 has more than %2 labels")
                                          .arg(drafts_.back().unit.name)
                                          .arg(kMostLabels)};
                }
                break;
            case Place::kMonitor:
                if (key != kUrlKey &&
                    !std::any_of(std::begin(kTlsKeys), std::end(kTlsKeys), [&](const auto& tls) {
                        return key == QLatin1String(tls.first);
                    })) {
                    throw unknown("monitor", QStringLiteral("url, ca, cert, key"));
                }
                break;
            case Place::kDocument:
                break;
        }
    }

    void Value(const Frame& frame, const YamlEvent& event) {
        const QString& key = frame.key;
        const bool map = event.type == Type::kMapStart;
        switch (frame.place) {
            case Place::kRoot:
                if (key == kMonitorKey && map) {
                    Push(Place::kMonitor, event);
                    break;
                }
                if (key == kMonitorKey) {
                    monitor_ = Monitor(event);
                    break;
                }
                if (!map) {
                    throw Fault{event.mark, key == QLatin1String("units")
                                                ? QStringLiteral("units must be a map of names")
                                                : QStringLiteral("defaults must be a map")};
                }
                hasUnits_ = hasUnits_ || key == QLatin1String("units");
                Push(key == QLatin1String("units") ? Place::kUnits : Place::kDefaults, event);
                break;
            case Place::kDefaults:
                if (key == kSha256Key) {
                    defaultsSha256_ = Sha256(event);
                } else {
                    ReadSetting(*ByKey(key), event, defaults_);
                }
                break;
            case Place::kUnits:
                if (!map) {
                    throw Fault{event.mark,
                                QStringLiteral("unit %1 must be a map with its port").arg(key)};
                }
                drafts_.push_back({{key, {}, {}, {}, {}}, {}, frame.keyMark});
                Push(Place::kUnit, event);
                break;
            case Place::kUnit:
                UnitValue(key, event);
                break;
            case Place::kLabels:
                if (event.type != Type::kScalar) {
                    throw Fault{event.mark, QStringLiteral("label %1 must be a text").arg(key)};
                }
                CheckText(Text(event), event.mark, QStringLiteral("label %1").arg(key));
                drafts_.back().unit.labels.insert(key, Text(event));
                break;
            case Place::kMonitor:
                MonitorValue(key, event);
                break;
            case Place::kDocument:
                break;
        }
    }

    void MonitorValue(const QString& key, const YamlEvent& event) {
        if (key == kUrlKey) {
            monitor_ = Monitor(event);
            return;
        }
        if (event.type != Type::kScalar || Text(event).isEmpty()) {
            throw Fault{event.mark, QStringLiteral("monitor's %1 must be a file's path").arg(key)};
        }
        for (const auto& [name, member] : kTlsKeys) {
            if (key == QLatin1String(name)) {
                monitorTls_.*member = Text(event);
            }
        }
    }

    void UnitValue(const QString& key, const YamlEvent& event) {
        Draft& draft = drafts_.back();
        if (key == QLatin1String("labels")) {
            if (event.type != Type::kMapStart) {
                throw Fault{event.mark, QStringLiteral("labels must be a map")};
            }
            Push(Place::kLabels, event);
        } else if (key == QLatin1String("port")) {
            CheckText(Text(event), event.mark, QStringLiteral("port"));
            draft.unit.port = link::PortArgument(Text(event)).value_or(QString());
            if (draft.unit.port.isEmpty()) {
                throw Fault{event.mark,
                            QStringLiteral("port ") + link::PortArgumentProblem(Text(event))};
            }
        } else if (key == kSha256Key) {
            draft.unit.firmwareSha256 = Sha256(event);
        } else {
            ReadSetting(*ByKey(key), event, draft.own);
        }
    }

    static QUrl Monitor(const YamlEvent& event) {
        if (event.type != Type::kScalar) {
            throw Fault{event.mark, QStringLiteral("monitor must be a URL (http://HOST:PORT or "
                                                   "https://HOST:PORT), or a map of url, ca, cert "
                                                   "and key")};
        }
        const auto url = lease::ParseMonitorUrl(Text(event));
        if (const auto* wrong = std::get_if<QString>(&url)) {
            throw Fault{event.mark, QStringLiteral("monitor: %1").arg(*wrong)};
        }
        return std::get<QUrl>(url);
    }

    static QString Sha256(const YamlEvent& event) {
        static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
        if (event.type != Type::kScalar || !hex.match(Text(event)).hasMatch()) {
            throw Fault{event.mark, QStringLiteral("firmware_sha256 must be 64 hexadecimal digits, "
                                                   "as irigctl inspect shows them")};
        }
        return Text(event).toLower();
    }

    static void ReadSetting(Setting setting, const YamlEvent& event, Intended& intended) {
        const auto parsed = Parse(setting, Text(event), Spelling::kInventory);
        if (const auto* refusal = std::get_if<QString>(&parsed)) {
            throw Fault{event.mark, *refusal};
        }
        intended.Set(setting, std::get<fleet::Value>(parsed));
    }

    void End() {
        const Frame frame = frames_.back();
        frames_.pop_back();
        if (frame.place == Place::kUnit && drafts_.back().unit.port.isEmpty()) {
            throw Fault{drafts_.back().mark,
                        QStringLiteral("unit %1 has no port").arg(drafts_.back().unit.name)};
        }
        if (frame.place == Place::kMonitor && monitor_.isEmpty()) {
            throw Fault{frame.keyMark, QStringLiteral("monitor needs its url")};
        }
        if (frame.place == Place::kLabels && frame.anchor != 0) {
            labels_.insert(frame.anchor, drafts_.back().unit.labels);
        }
    }

    std::vector<Frame> frames_;
    bool read_ = false;
    bool hasUnits_ = false;
    YAML::Mark root_;
    Intended defaults_;
    std::optional<QString> defaultsSha256_;
    QUrl monitor_;
    lease::MonitorTls monitorTls_;
    std::vector<Draft> drafts_;
    QHash<YAML::anchor_t, QMap<QString, QString>> labels_;  // anchored labels maps, as read
};

// One port for two units: one device however it is named, or one endpoint however its address
// is spelt (a host name as it resolves within the lookup's deadline, else as written).
void RefuseSharedPorts(const std::vector<Draft>& drafts, const link::HostLookup& lookup,
                       int lookupMs) {
    link::HostAddresses hosts;
    if (lookup) {
        QStringList names;
        for (const Draft& draft : drafts) {
            names.append(link::HostToLookUp(draft.unit.port));
        }
        hosts = link::LookUpHosts(names, lookupMs, lookup);
    }
    link::Places places;
    for (size_t i = 0; i < drafts.size(); ++i) {
        const InventoryUnit& unit = drafts[i].unit;
        const link::Place place = link::Place::Of(unit.port, hosts);
        if (const std::optional<link::Places::Found> first = places.Find(place)) {
            const InventoryUnit& one = drafts[static_cast<size_t>(first->index)].unit;
            throw Fault{drafts[i].mark,
                        QStringLiteral("%1 and %2 have one port (%3 and %4 both "
                                       "reach %5)")
                            .arg(one.name, unit.name, one.port, unit.port, first->shown)};
        }
        places.Add(place, static_cast<int>(i));
    }
}

Inventory Read(const QByteArray& yaml, const QString& file, const link::HostLookup& lookup,
               int lookupMs) {
    InventoryReader reader;
    ReadYaml(yaml.toStdString(), reader);
    if (!reader.Read()) {
        throw Fault{YAML::Mark::null_mark(),
                    QStringLiteral("an inventory is a map with defaults and units")};
    }
    if (!reader.HasUnits()) {
        throw Fault{reader.Root(), QStringLiteral("the inventory has no units")};
    }
    RefuseSharedPorts(reader.Drafts(), lookup, lookupMs);
    Inventory inventory;
    inventory.file = file;
    inventory.monitor = reader.MonitorUrl();
    const QDir folder = QFileInfo(file).dir();
    for (const auto& [name, member] : kTlsKeys) {
        if (const QString& path = reader.MonitorTls().*member; !path.isEmpty()) {
            inventory.monitorTls.*member = QDir::cleanPath(folder.absoluteFilePath(path));
        }
    }
    inventory.units.reserve(reader.Drafts().size());
    for (Draft& draft : reader.Drafts()) {
        draft.unit.intended = reader.Defaults().Over(draft.own);
        if (!draft.unit.firmwareSha256) {
            draft.unit.firmwareSha256 = reader.DefaultsSha256();
        }
        inventory.units.push_back(std::move(draft.unit));
    }
    return inventory;
}

}  // namespace

QString InventoryFault::Text() const {
    return line > 0 ? QStringLiteral("%1:%2:%3: %4").arg(file).arg(line).arg(column).arg(what)
                    : QStringLiteral("%1: %2").arg(file, what);
}

std::variant<Inventory, InventoryFault> ParseInventory(const QByteArray& yaml, const QString& file,
                                                       const link::HostLookup& lookup,
                                                       int lookupMs) {
    try {
        return Read(yaml, file, lookup, lookupMs);
    } catch (const Fault& fault) {
        return InventoryFault{file, fault.mark.line + 1, fault.mark.column + 1, fault.what};
    } catch (const YAML::Exception& error) {
        return InventoryFault{file, error.mark.line + 1, error.mark.column + 1,
                              QString::fromStdString(error.msg)};
    }
}

std::variant<Inventory, InventoryFault> LoadInventory(const QString& path,
                                                      const link::HostLookup& lookup,
                                                      int lookupMs) {
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
    return ParseInventory(file.read(kMostBytes), path, lookup, lookupMs);
}

std::variant<std::vector<InventoryUnit>, InventoryFault> Select(const Inventory& inventory,
                                                                const Selection& selection) {
    QHash<QString, size_t> byName;
    for (size_t i = 0; i < inventory.units.size(); ++i) {
        byName.insert(inventory.units[i].name, i);
    }
    std::vector<InventoryUnit> chosen;
    QSet<QString> named;
    for (const QString& name : selection.names) {
        const auto found = byName.constFind(name);
        if (found == byName.constEnd()) {
            return InventoryFault{inventory.file, 0, 0,
                                  QStringLiteral("no unit is called %1").arg(name)};
        }
        chosen.push_back(inventory.units[*found]);
        named.insert(name);
    }
    if (selection.all || !selection.labels.isEmpty()) {
        for (const InventoryUnit& unit : inventory.units) {
            const bool matches = std::all_of(
                selection.labels.begin(), selection.labels.end(), [&](const auto& label) {
                    return unit.labels.value(label.first) == label.second &&
                           unit.labels.contains(label.first);
                });
            if (matches && !named.contains(unit.name)) {
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
