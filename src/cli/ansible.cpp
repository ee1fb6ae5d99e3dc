#include "cli/ansible.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <memory>
#include <variant>

#include "cli/apply.h"
#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/flashjob.h"
#include "cli/inspect.h"
#include "fleet/inventory.h"

namespace irig::cli {

namespace {

constexpr qint64 kMostArgumentBytes = qint64{1} << 20;

// In the order the message on an unsupported one lists them.
const char* const kOptions[] = {
    "firmware_file", "firmware_version",    "gps_offset", "ieee1344", "inventory",
    "irig_offset",   "max_clock_offset_ms", "port",       "unit"};

// The module's arguments as a request.
struct ModuleArguments {
    QString port;
    QString unitName;  // with the inventory's settings under the module's own
    fleet::Intended intended;
    QString firmwareFile;
    bool check = false;
    bool diff = false;
};

// An option's value as a text, whether Ansible typed it or it came from -a key=value.
QString TextOf(const QJsonValue& value) {
    if (value.isDouble()) {
        return QString::number(value.toDouble(), 'g', 16);
    }
    if (value.isBool()) {
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    }
    return value.toString();
}

std::optional<bool> Boolean(const QJsonValue& value) {
    if (value.isBool()) {
        return value.toBool();
    }
    const QString text = TextOf(value).toLower();
    for (const char* yes : {"yes", "true", "on", "1", "y", "t"}) {
        if (text == QLatin1String(yes)) {
            return true;
        }
    }
    for (const char* no : {"no", "false", "off", "0", "n", "f"}) {
        if (text == QLatin1String(no)) {
            return false;
        }
    }
    return std::nullopt;
}

QJsonObject Result(bool failed, bool changed, const QString& msg) {
    return {{QStringLiteral("failed"), failed},
            {QStringLiteral("changed"), changed},
            {QStringLiteral("msg"), msg}};
}

void Print(std::FILE* out, const QJsonObject& json) {
    (void)std::fputs(QJsonDocument(json).toJson(QJsonDocument::Compact).append('\n').constData(),
                     out);
    (void)std::fflush(out);
}

// The module on one unit: open, flash where the firmware differs, apply, report.
class Module final : public QObject {
public:
    Module(const ModuleArguments& arguments, std::unique_ptr<unit::Session> session,
           std::unique_ptr<flash::FlashImage> image, QEventLoop& loop)
        : arguments_(arguments),
          session_(std::move(session)),
          image_(std::move(image)),
          loop_(loop) {}

    void Start() {
        connect(session_.get(), &unit::Session::Opened, this, &Module::Opened);
        connect(session_.get(), &unit::Session::OpenFailed, this, [this](const QString& why) {
            End(Result(true, false,
                       QStringLiteral("%1: cannot open the port: %2").arg(session_->Port(), why)));
        });
        session_->Open();
    }

    QJsonObject result;

private:
    void Opened() {
        if (image_ == nullptr) {
            Configure();
            return;
        }
        session_->AskClock([this](const unit::Result<unit::Session::ClockAnswer>& clock) {
            if (!clock) {
                End(Result(
                    true, false,
                    NoAnswer(*session_, QStringLiteral("reading the version"), clock.Why()).error));
                return;
            }
            versionBefore_ = clock->clock.version;
            if (versionBefore_ == arguments_.intended.firmware) {
                Configure();
            } else if (arguments_.check) {
                flashed_ = true;
                Configure();
            } else {
                Flash();
            }
        });
    }

    void Flash() {
        Request request;
        request.file = arguments_.firmwareFile;
        auto* job = new FlashJob(*session_, *image_, request);
        job->setParent(this);
        job->ExpectVersion(fleet::VersionName(*arguments_.intended.firmware));
        connect(job, &FlashJob::Finished, this, [this](const FlashResult& flashed) {
            if (flashed.end != FlashResult::End::kDone) {
                End(Result(true, true, FlashMessage(flashed)));
                return;
            }
            flashed_ = true;
            Configure();
        });
        job->Start();
    }

    void Configure() {
        Apply(*session_, arguments_.intended, arguments_.check, [this](const Outcome& outcome) {
            const QJsonObject& json = outcome.json;
            const bool changed =
                flashed_ || json.value(QStringLiteral("result")).toString() != QLatin1String("ok");
            if (outcome.exitCode == kUnitFailed) {
                End(Result(true, flashed_, outcome.error));
                return;
            }
            QJsonObject state{{QStringLiteral("port"), session_->Port()},
                              {QStringLiteral("source"), json.value(QStringLiteral("source"))},
                              {QStringLiteral("version"), json.value(QStringLiteral("version"))}};
            QJsonObject offsets = json.value(QStringLiteral("after")).toObject();
            if (arguments_.check) {
                offsets = json.value(QStringLiteral("before")).toObject();
            }
            state.insert(QStringLiteral("irig_offset"),
                         offsets.value(QStringLiteral("irigOffset")));
            state.insert(QStringLiteral("gps_offset"), offsets.value(QStringLiteral("gpsOffset")));
            state.insert(QStringLiteral("ieee1344"), offsets.value(QStringLiteral("ieee1344")));
            const QJsonObject clock = json.value(QStringLiteral("clock")).toObject();
            if (!clock.isEmpty()) {
                state.insert(QStringLiteral("clock_offset_ms"),
                             clock.value(QStringLiteral("offsetMs")));
                state.insert(QStringLiteral("clock_uncertainty_ms"),
                             clock.value(QStringLiteral("uncertaintyMs")));
            }
            QJsonObject reply = Result(false, changed, outcome.text.trimmed());
            reply.insert(QStringLiteral("state"), state);
            if (arguments_.diff) {
                QJsonObject before = json.value(QStringLiteral("before")).toObject();
                QJsonObject after = json.value(QStringLiteral("after")).toObject();
                if (versionBefore_) {
                    before.insert(QStringLiteral("firmware"), fleet::VersionName(*versionBefore_));
                    after.insert(QStringLiteral("firmware"),
                                 flashed_ ? fleet::VersionName(*arguments_.intended.firmware)
                                          : fleet::VersionName(*versionBefore_));
                }
                if (clock.value(QStringLiteral("set")).toBool() ||
                    (arguments_.check && changed && !clock.isEmpty())) {
                    before.insert(QStringLiteral("clock_offset_ms"),
                                  clock.value(QStringLiteral("offsetMs")));
                    after.insert(QStringLiteral("clock_offset_ms"), 0);
                }
                reply.insert(QStringLiteral("diff"), QJsonObject{{QStringLiteral("before"), before},
                                                                 {QStringLiteral("after"), after}});
            }
            End(reply);
        });
    }

    void End(const QJsonObject& json) {
        result = json;
        loop_.quit();
    }

    ModuleArguments arguments_;
    std::unique_ptr<unit::Session> session_;
    std::unique_ptr<flash::FlashImage> image_;
    QEventLoop& loop_;
    std::optional<int> versionBefore_;
    bool flashed_ = false;
};

std::variant<ModuleArguments, QString> ReadModuleArguments(const QJsonObject& arguments) {
    ModuleArguments read;
    QStringList unknown;
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        const QString key = it.key();
        if (key.startsWith(QLatin1String("_ansible_")) ||
            std::any_of(std::begin(kOptions), std::end(kOptions),
                        [&](const char* option) { return key == QLatin1String(option); })) {
            continue;
        }
        unknown << key;
    }
    if (!unknown.isEmpty()) {
        unknown.sort();
        QStringList supported;
        for (const char* option : kOptions) {
            supported << QLatin1String(option);
        }
        return QStringLiteral(
                   "Unsupported parameters for (irig_unit) module: %1. Supported "
                   "parameters include: %2.")
            .arg(unknown.join(QLatin1String(", ")), supported.join(QLatin1String(", ")));
    }
    const auto present = [&](const char* key) {
        return arguments.contains(QLatin1String(key)) &&
               !arguments.value(QLatin1String(key)).isNull();
    };
    const auto text = [&](const char* key) { return TextOf(arguments.value(QLatin1String(key))); };
    if (present("unit") == present("port")) {
        return QStringLiteral("give port, or unit with inventory");
    }
    if (present("unit")) {
        if (!present("inventory")) {
            return QStringLiteral("unit needs inventory");
        }
        const auto loaded = fleet::LoadInventory(text("inventory"));
        if (const auto* fault = std::get_if<fleet::InventoryFault>(&loaded)) {
            return fault->Text();
        }
        const auto chosen =
            fleet::Select(std::get<fleet::Inventory>(loaded), {{text("unit")}, false, {}});
        if (const auto* fault = std::get_if<fleet::InventoryFault>(&chosen)) {
            return fault->Text();
        }
        const fleet::InventoryUnit& unit =
            std::get<std::vector<fleet::InventoryUnit>>(chosen).front();
        read.port = unit.port;
        read.unitName = unit.name;
        read.intended = unit.intended;
    } else {
        const std::optional<QString> port = link::PortArgument(text("port"));
        if (!port) {
            return QStringLiteral(
                       "port \"%1\" is neither COMn, a device path, rfc2217://HOST:PORT "
                       "nor socket://HOST:PORT")
                .arg(text("port"));
        }
        read.port = *port;
    }
    for (const auto& [key, field] : {std::pair{"irig_offset", &fleet::Intended::irigOffset},
                                     std::pair{"gps_offset", &fleet::Intended::gpsOffset}}) {
        if (present(key)) {
            const std::optional<int> hours = StrictOffset(text(key));
            if (!hours) {
                return QStringLiteral("%1 \"%2\" is not a whole number of hours from -23 to 23")
                    .arg(QLatin1String(key), text(key));
            }
            read.intended.*field = hours;
        }
    }
    if (present("ieee1344")) {
        read.intended.ieee1344 = Boolean(arguments.value(QStringLiteral("ieee1344")));
        if (!read.intended.ieee1344) {
            return QStringLiteral("ieee1344 \"%1\" is not a boolean").arg(text("ieee1344"));
        }
    }
    if (present("max_clock_offset_ms")) {
        bool number = false;
        const int ms = text("max_clock_offset_ms").toInt(&number);
        if (!number || ms < 0) {
            return QStringLiteral(
                       "max_clock_offset_ms \"%1\" is not a whole number of "
                       "milliseconds")
                .arg(text("max_clock_offset_ms"));
        }
        read.intended.maxClockOffsetMs = ms;
    }
    if (present("firmware_version")) {
        read.intended.firmware = fleet::VersionTenths(text("firmware_version"));
        if (!read.intended.firmware) {
            return QStringLiteral("firmware_version \"%1\" is not a version N.N")
                .arg(text("firmware_version"));
        }
    }
    if (present("firmware_file")) {
        if (!present("firmware_version")) {
            return QStringLiteral("firmware_file needs firmware_version");
        }
        read.firmwareFile = text("firmware_file");
    }
    read.check = arguments.value(QStringLiteral("_ansible_check_mode")).toBool();
    read.diff = arguments.value(QStringLiteral("_ansible_diff")).toBool();
    return read;
}

}  // namespace

int AnsibleModule(const QString& argsFile, std::FILE* out, const unit::PortMaker& makePort,
                  const unit::ChangeRecord::Sink& changes) {
    QFile file(argsFile);
    if (!QFileInfo(argsFile).isFile() || !file.open(QIODevice::ReadOnly)) {
        Print(out, Result(true, false, QStringLiteral("cannot read %1").arg(argsFile)));
        return kUnitFailed;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.read(kMostArgumentBytes), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        Print(out, Result(true, false,
                          QStringLiteral("%1 is not a JSON object of arguments").arg(argsFile)));
        return kUnitFailed;
    }
    const auto read = ReadModuleArguments(document.object());
    if (const auto* why = std::get_if<QString>(&read)) {
        Print(out, Result(true, false, *why));
        return kUnitFailed;
    }
    const ModuleArguments& arguments = std::get<ModuleArguments>(read);
    std::unique_ptr<flash::FlashImage> image;
    if (!arguments.firmwareFile.isEmpty()) {
        image = std::make_unique<flash::FlashImage>();
        const Inspection inspection = Inspect(arguments.firmwareFile, *image);
        if (!inspection.readable || !inspection.programmable || inspection.overlappingBytes > 0) {
            Print(out, Result(true, false,
                              QStringLiteral("%1 is refused: %2")
                                  .arg(arguments.firmwareFile,
                                       inspection.readable
                                           ? (inspection.messages + QStringList{inspection.advice})
                                                 .join(QLatin1String("; "))
                                           : inspection.readError)));
            return kUnitFailed;
        }
    }
    const unit::Timeouts timeouts;
    auto session = std::make_unique<unit::Session>(
        arguments.port, makePort ? makePort() : unit::RealPorts(timeouts)(), timeouts);
    session->SetChangeRecord(std::make_shared<unit::ChangeRecord>(
        changes ? changes : unit::ChangeRecord::SystemLog("irigctl")));
    if (!arguments.unitName.isEmpty()) {
        session->SetUnitName(arguments.unitName);
    }
    QEventLoop loop;
    Module module(arguments, std::move(session), std::move(image), loop);
    module.Start();
    loop.exec();
    Print(out, module.result);
    return module.result.value(QStringLiteral("failed")).toBool() ? kUnitFailed : kDone;
}

}  // namespace irig::cli
