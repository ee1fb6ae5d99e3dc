#include "cli/ansible.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <memory>
#include <variant>

#include "cli/apply.h"
#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/firmwarecheck.h"
#include "cli/flash.h"
#include "cli/flashjob.h"
#include "cli/inspect.h"
#include "fleet/inventory.h"
#include "lease/borrower.h"
#include "link/portmap.h"
#include "status/clockcheck.h"
#include "unit/interrupts.h"

namespace irig::cli {

namespace {

constexpr qint64 kMostArgumentBytes = qint64{1} << 20;

// The module's options besides the settings, whose names are the settings table's.
constexpr char kFirmwareFileKey[] = "firmware_file";
constexpr char kInventoryKey[] = "inventory";
constexpr char kMonitorKey[] = "monitor";
constexpr char kPortKey[] = "port";
constexpr char kUnitKey[] = "unit";
// The files an https:// monitor is met with, over IRIGCTL_MONITOR_CA, _CERT and _KEY.
constexpr std::pair<const char*, QString lease::MonitorTls::*> kTlsOptions[] = {
    {"monitor_ca", &lease::MonitorTls::ca},
    {"monitor_cert", &lease::MonitorTls::cert},
    {"monitor_key", &lease::MonitorTls::key}};
const char* const kOtherOptions[] = {
    kFirmwareFileKey,     kInventoryKey,        kMonitorKey, kTlsOptions[0].first,
    kTlsOptions[1].first, kTlsOptions[2].first, kPortKey,    kUnitKey};

// The module's arguments as a request.
struct ModuleArguments {
    QString port;
    QString unitName;  // with the inventory's settings under the module's own
    fleet::Intended intended;
    QString firmwareFrom;  // where the firmware version comes from, in the module's words
    QString firmwareFile;
    std::optional<QString> firmwareSha256;  // the inventory's pin of the file
    QUrl monitor;  // the unit is borrowed from it: the option's, IRIGCTL_MONITOR's, the inventory's
    lease::MonitorTls monitorTls;  // likewise, each file
    bool check = false;
    bool diff = false;
};

// What the module did to the unit's firmware, if anything.
struct Firmware {
    std::optional<int> before;  // the version the unit answered first
    bool flashed = false;       // flashed, and it answers firmware_version
    bool wouldFlash = false;    // check mode: it would be flashed
};

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

bool Kept(fleet::Setting setting) {
    return fleet::Row(setting).readBack == fleet::ReadBack::kOffsets;
}

// The unit's answer matches the version intended: the table's comparison.
bool Answers(const fleet::Intended& intended, std::optional<int> version) {
    fleet::Intended firmware;
    firmware.firmware = intended.firmware;
    fleet::Observed observed;
    observed.version = version;
    return version && fleet::Compare(firmware, observed).empty();
}

// The module's message: what it flashed (or would), and what apply did, in the module's words.
QString Message(const ModuleArguments& arguments, const ApplyResult& applied,
                const Firmware& firmware) {
    QStringList parts;
    const QString version =
        arguments.intended.firmware ? fleet::VersionName(*arguments.intended.firmware) : QString();
    const QString was = firmware.before ? fleet::VersionName(*firmware.before) : QString();
    if (firmware.flashed) {
        parts << QStringLiteral("flashed %1: answers version %2 (it answered %3)")
                     .arg(QFileInfo(arguments.firmwareFile).fileName(), version, was);
    } else if (firmware.wouldFlash) {
        parts << QStringLiteral("would flash %1: answers version %2, not %3")
                     .arg(QFileInfo(arguments.firmwareFile).fileName(), was, version);
    }
    QString line = ApplyLine(applied).trimmed();
    if (const qsizetype drift = line.indexOf(QLatin1String("; drift: ")); drift >= 0) {
        line.truncate(drift);  // said here in the module's own words
    }
    parts << line;
    for (const fleet::Drift& drift : applied.drifts) {
        if (!Kept(drift.setting) && fleet::Row(drift.setting).kind == fleet::Kind::kVersion &&
            !firmware.flashed && !firmware.wouldFlash) {
            parts << QStringLiteral("drift: the unit answers version %1, %2 is %3")
                         .arg(fleet::Show(drift.setting, drift.observed), arguments.firmwareFrom,
                              fleet::Show(drift.setting, drift.intended));
        }
    }
    return parts.join(QLatin1String("; "));
}

// The unit's state after the task (before it, in check mode).
QJsonObject State(const ApplyResult& applied, const Firmware& firmware,
                  const fleet::Intended& intended) {
    QJsonObject state{{QStringLiteral("port"), applied.port},
                      {QStringLiteral("source"), applied.source}};
    const std::optional<int> version =
        firmware.flashed ? intended.firmware : applied.observed.version;
    if (version) {
        state.insert(QStringLiteral("version"), fleet::VersionName(*version));
    }
    for (const fleet::SettingRow& row : fleet::kSettings) {
        if (const std::optional<fleet::Value> now = applied.Now(row.setting);
            Kept(row.setting) && now) {
            state.insert(QLatin1String(row.moduleKey), fleet::Json(row.setting, *now));
        }
    }
    const std::optional<fleet::MeasuredOffset> clock =
        applied.clockAfter ? applied.clockAfter : applied.observed.clock;
    if (clock) {
        state.insert(QStringLiteral("clock_offset_ms"), clock->offsetMs);
        state.insert(QStringLiteral("clock_uncertainty_ms"), clock->uncertaintyMs);
    }
    return state;
}

// Diff mode: the settings before and after (as they would be, in check mode), by the module's
// option names; the clock's only where it is, or would be, set.
QJsonObject Diff(const ApplyResult& applied, const Firmware& firmware,
                 const fleet::Intended& intended) {
    QJsonObject before;
    QJsonObject after;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        const std::optional<fleet::Value> was = applied.observed.Get(row.setting);
        const std::optional<fleet::Value> now = applied.Wanted(row.setting);
        if (Kept(row.setting) && was && now) {
            before.insert(QLatin1String(row.moduleKey), fleet::Json(row.setting, *was));
            after.insert(QLatin1String(row.moduleKey), fleet::Json(row.setting, *now));
        }
    }
    if (firmware.before) {
        const char* key = fleet::Row(fleet::Setting::kFirmware).moduleKey;
        before.insert(QLatin1String(key), fleet::VersionName(*firmware.before));
        after.insert(QLatin1String(key), fleet::VersionName(firmware.flashed || firmware.wouldFlash
                                                                ? *intended.firmware
                                                                : *firmware.before));
    }
    const bool clockDrifted =
        std::any_of(applied.drifts.begin(), applied.drifts.end(), [](const fleet::Drift& drift) {
            return fleet::Row(drift.setting).kind == fleet::Kind::kLimitMs;
        });
    if (clockDrifted && applied.observed.clock) {
        before.insert(QStringLiteral("clock_offset_ms"), applied.observed.clock->offsetMs);
        after.insert(QStringLiteral("clock_offset_ms"),
                     applied.clockAfter ? applied.clockAfter->offsetMs : 0);
    }
    return {{QStringLiteral("before"), before}, {QStringLiteral("after"), after}};
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
        connect(session_.get(), &unit::Session::OpenFailed, this,
                [this](const QString& why) { CannotOpen(why); });
        connect(&interrupts_, &unit::Interrupts::Interrupted, this, [this] {
            if (session_) {
                session_->Interrupt();
            }
        });
        if (arguments_.monitor.isEmpty()) {
            session_->Open();
            return;
        }
        // Borrowed from the monitor first; opened only once lent. A lease lost stops the work and
        // fails the task, naming it.
        borrower_ = new lease::Borrower(arguments_.monitor,
                                        QStringLiteral("irigctl ansible-module (pid %1)")
                                            .arg(QCoreApplication::applicationPid()),
                                        1, {}, this);
        borrower_->SetTls(arguments_.monitorTls);
        connect(borrower_, &lease::Borrower::Lost, this, [this](int, const QString& why) {
            if (session_ == nullptr) {
                return;  // the work has ended: its port is closing
            }
            lost_ = why;
            session_->Interrupt();
        });
        borrower_->Take(
            0, {link::PortAsOpened(arguments_.port)}, [this] { session_->Open(); },
            [this](const QString& why) { CannotOpen(why); });
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
            firmware_.before = clock->clock.version;
            if (Answers(arguments_.intended, firmware_.before)) {
                Configure();
            } else if (arguments_.check) {
                firmware_.wouldFlash = true;
                Configure();
            } else {
                Flash();
            }
        });
    }

    void Flash() {
        auto* job =
            new FlashJob(*session_, *image_, arguments_.firmwareFile, FlashOptions{}.retries);
        job->setParent(this);
        job->ExpectVersion(arguments_.intended.firmware);
        connect(job, &FlashJob::Finished, this, [this](const FlashResult& flashed) {
            if (flashed.end != FlashResult::End::kDone) {
                End(Result(true, true, FlashMessage(flashed)));
                return;
            }
            firmware_.flashed = true;
            Configure();
        });
        job->Start();
    }

    void Configure() {
        Apply(*session_, arguments_.intended, arguments_.check, [this](const ApplyResult& applied) {
            const bool changed = firmware_.flashed || firmware_.wouldFlash ||
                                 applied.end == ApplyResult::End::kChanged ||
                                 applied.end == ApplyResult::End::kWouldChange;
            if (applied.end == ApplyResult::End::kFailed ||
                applied.end == ApplyResult::End::kInterrupted ||
                applied.end == ApplyResult::End::kNotStarted) {
                End(Result(true, firmware_.flashed || applied.offsetsSet || applied.clockSet,
                           ApplyMessage(applied)));
                return;
            }
            QJsonObject reply = Result(false, changed, Message(arguments_, applied, firmware_));
            reply.insert(QStringLiteral("state"), State(applied, firmware_, arguments_.intended));
            if (arguments_.diff) {
                reply.insert(QStringLiteral("diff"), Diff(applied, firmware_, arguments_.intended));
            }
            End(reply);
        });
    }

    void CannotOpen(const QString& why) {
        End(Result(true, false,
                   QStringLiteral("%1: cannot open the port: %2").arg(session_->Named(), why)));
    }

    // The result; a borrowed unit's port is closed and its lease given back first.
    void End(const QJsonObject& json) {
        result = json;
        if (!lost_.isEmpty()) {
            result.insert(QStringLiteral("failed"), true);
            result.insert(QStringLiteral("msg"), lost_);
        }
        if (borrower_ == nullptr) {
            loop_.quit();
            return;
        }
        connect(borrower_, &lease::Borrower::Returned, this, [this](int, const QString& problem) {
            if (!problem.isEmpty()) {
                result.insert(
                    QStringLiteral("warnings"),
                    QJsonArray{QStringLiteral("not given back to irigctl monitor: ") + problem});
            }
            loop_.quit();
        });
        unit::Session* closing = session_.release();
        connect(closing, &QObject::destroyed, borrower_, [this] { borrower_->Return(0); });
        closing->disconnect(this);
        closing->deleteLater();
    }

    ModuleArguments arguments_;
    std::unique_ptr<unit::Session> session_;
    std::unique_ptr<flash::FlashImage> image_;
    QEventLoop& loop_;
    Firmware firmware_;
    lease::Borrower* borrower_ = nullptr;  // a child, when the unit is borrowed
    QString lost_;                         // the lease lost, in the borrower's words
    unit::Interrupts interrupts_;
};

// Every option the module takes, in the order the message on an unsupported one lists them.
QStringList Supported() {
    QStringList supported;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        supported << QLatin1String(row.moduleKey);
    }
    for (const char* option : kOtherOptions) {
        supported << QLatin1String(option);
    }
    supported.sort();
    return supported;
}

// The unit named in `inventory`, or with `port` the inventory read only for its faults; what is
// wrong, if anything.
std::optional<QString> ReadInventory(const QString& inventory, const QString& unitName,
                                     ModuleArguments& read) {
    const auto loaded = fleet::LoadInventory(inventory);
    if (const auto* fault = std::get_if<fleet::InventoryFault>(&loaded)) {
        return fault->Text();
    }
    read.monitor = std::get<fleet::Inventory>(loaded).monitor;
    read.monitorTls = std::get<fleet::Inventory>(loaded).monitorTls;
    if (unitName.isEmpty()) {
        return std::nullopt;
    }
    const auto chosen = fleet::Select(std::get<fleet::Inventory>(loaded), {{unitName}, false, {}});
    if (const auto* fault = std::get_if<fleet::InventoryFault>(&chosen)) {
        return fault->Text();
    }
    const fleet::InventoryUnit& unit = std::get<std::vector<fleet::InventoryUnit>>(chosen).front();
    read.port = unit.port;
    read.unitName = unit.name;
    read.intended = unit.intended;
    read.firmwareFrom = QStringLiteral("the inventory");
    read.firmwareSha256 = unit.firmwareSha256;
    return std::nullopt;
}

// The monitor the unit is borrowed from: the option's, else IRIGCTL_MONITOR's, else the
// inventory's; what is wrong with it, if anything.
std::optional<QString> ReadMonitor(const QString& option, const QUrl& inventory,
                                   ModuleArguments& read) {
    const QString text = option.isEmpty() ? qEnvironmentVariable(lease::kMonitorVariable) : option;
    if (text.isEmpty()) {
        read.monitor = inventory;
        return std::nullopt;
    }
    const auto url = lease::ParseMonitorUrl(text);
    if (const auto* wrong = std::get_if<QString>(&url)) {
        return QStringLiteral("monitor: %1").arg(*wrong);
    }
    read.monitor = std::get<QUrl>(url);
    return std::nullopt;
}

std::variant<ModuleArguments, QString> ReadModuleArguments(const QJsonObject& arguments) {
    ModuleArguments read;
    const QStringList supported = Supported();
    QStringList unknown;
    for (auto it = arguments.begin(); it != arguments.end(); ++it) {
        if (!it.key().startsWith(QLatin1String("_ansible_")) && !supported.contains(it.key())) {
            unknown << it.key();
        }
    }
    if (!unknown.isEmpty()) {
        unknown.sort();
        return QStringLiteral(
                   "Unsupported parameters for (irig_unit) module: %1. Supported "
                   "parameters include: %2.")
            .arg(unknown.join(QLatin1String(", ")), supported.join(QLatin1String(", ")));
    }
    const auto present = [&](const char* key) {
        return arguments.contains(QLatin1String(key)) &&
               !arguments.value(QLatin1String(key)).isNull();
    };
    const auto text = [&](const char* key) {
        return arguments.value(QLatin1String(key)).toVariant().toString();
    };
    if (present(kUnitKey) == present(kPortKey)) {
        return QStringLiteral("give port, or unit with inventory");
    }
    if (present(kUnitKey) && !present(kInventoryKey)) {
        return QStringLiteral("unit needs inventory");
    }
    if (present(kInventoryKey)) {
        if (const std::optional<QString> fault = ReadInventory(
                text(kInventoryKey), present(kUnitKey) ? text(kUnitKey) : QString(), read)) {
            return *fault;
        }
    }
    if (present(kPortKey)) {
        const std::optional<QString> port = link::PortArgument(text(kPortKey));
        if (!port) {
            return QStringLiteral("port ") + link::PortArgumentProblem(text(kPortKey));
        }
        read.port = *port;
    }
    for (const fleet::SettingRow& row : fleet::kSettings) {
        if (!present(row.moduleKey)) {
            continue;
        }
        const auto parsed =
            fleet::ParseJson(row.setting, arguments.value(QLatin1String(row.moduleKey)));
        if (const auto* refusal = std::get_if<QString>(&parsed)) {
            return *refusal;
        }
        read.intended.Set(row.setting, std::get<fleet::Value>(parsed));
        if (row.setting == fleet::Setting::kFirmware) {
            read.firmwareFrom = QLatin1String(row.moduleKey);
        }
    }
    if (present(kFirmwareFileKey)) {
        if (!present(fleet::Row(fleet::Setting::kFirmware).moduleKey)) {
            return QStringLiteral("firmware_file needs firmware_version");
        }
        read.firmwareFile = text(kFirmwareFileKey);
    }
    if (const std::optional<QString> wrong =
            ReadMonitor(present(kMonitorKey) ? text(kMonitorKey) : QString(), read.monitor, read)) {
        return *wrong;
    }
    lease::MonitorTls options;
    for (const auto& [key, member] : kTlsOptions) {
        if (present(key)) {
            options.*member = text(key);
        }
    }
    read.monitorTls = options.Over(lease::MonitorTls::Environment().Over(read.monitorTls));
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
        if (const std::optional<QString> wrong = CheckFirmwareFile(
                arguments.firmwareFile, inspection.programId,
                QString::fromLatin1(inspection.sha256),
                {{arguments.intended.firmware, arguments.firmwareFrom, arguments.firmwareSha256,
                  QStringLiteral("the inventory's firmware_sha256")}})) {
            Print(out, Result(true, false, *wrong));
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

namespace {

constexpr char kAnsibleModuleDescription[] =
    "Reads the arguments that Ansible gives its irig_unit module (ARGS_FILE, JSON), does what\n"
    "they ask of one unit, and prints the result as Ansible expects. ansible-doc irig_unit (or\n"
    "the manual page) lists the module's options.";

int RunAnsibleModule(const Request& request, const Context& context) {
    return AnsibleModule(request.common.file, context.out, context.makePort, context.changes);
}

}  // namespace

const Command kAnsibleModule{
    .name = "ansible-module",
    .summary = "run as Ansible's irig_unit module on its arguments file",
    .description = kAnsibleModuleDescription,
    .options = {Output()},
    .argument = "ARGS_FILE",
    .argumentHelp = "The module's arguments, as Ansible writes them (JSON).",
    .run = RunAnsibleModule,
};

}  // namespace irig::cli
