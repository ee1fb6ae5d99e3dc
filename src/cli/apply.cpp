#include "cli/apply.h"

#include <QJsonArray>
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "cli/commandline.h"
#include "cli/runner.h"
#include "cli/writes.h"
#include "link/printable.h"
#include "link/protocol.h"
#include "status/replies.h"

namespace irig::cli {

namespace {

using unit::Failure;
using unit::Result;
using unit::Session;

QString IntendedText(const fleet::Intended& intended) {
    QStringList parts;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        if (const std::optional<fleet::Value> value = intended.Get(row.setting)) {
            parts << fleet::Phrase(row.setting, *value);
        }
    }
    return parts.isEmpty() ? QStringLiteral("(nothing intended)") : parts.join(QLatin1String(", "));
}

QJsonObject IntendedJson(const fleet::Intended& intended) {
    QJsonObject json;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        if (const std::optional<fleet::Value> value = intended.Get(row.setting)) {
            json.insert(QLatin1String(row.jsonKey), fleet::Json(row.setting, *value));
        }
    }
    return json;
}

bool Changes(const fleet::Drift& drift) {
    return fleet::Row(drift.setting).kind != fleet::Kind::kVersion;
}

bool KeptByTheUnit(fleet::Setting setting) {
    return fleet::Row(setting).readBack == fleet::ReadBack::kOffsets;
}

// The whole measured interval lies beyond the intended limit: the table's rule.
bool Beyond(const fleet::Intended& intended, const status::ClockOffset& offset) {
    fleet::Observed observed;
    observed.clock = fleet::MeasuredOffset{offset.offsetMs, offset.uncertaintyMs};
    fleet::Intended limit;
    limit.maxClockOffsetMs = intended.maxClockOffsetMs;
    return !fleet::Compare(limit, observed).empty();
}

status::ClockOffset ClockOf(const fleet::MeasuredOffset& offset) {
    return {offset.offsetMs, offset.uncertaintyMs};
}

// One unit's apply, from its reading to its result; it deletes itself at the end.
class Applying final : public QObject {
public:
    Applying(Session& session, const fleet::Intended& intended, bool check,
             std::function<void(const ApplyResult&)> done)
        : QObject(&session), session_(session), done_(std::move(done)) {
        result_.named = session.Named();
        result_.unit = session.UnitName();
        result_.port = session.Port();
        result_.intended = intended;
        result_.check = check;
    }

    void Start() {
        session_.AskOffsets([this](const Result<unit::Offsets>& offsets) {
            if (!offsets) {
                Fail(QStringLiteral("reading the offsets"), offsets.Why());
                return;
            }
            before_ = *offsets;
            result_.observed = offsets->AsObserved();
            session_.AskClock([this](const Result<Session::ClockAnswer>& clock) {
                if (!clock) {
                    Fail(QStringLiteral("reading the version"), clock.Why());
                    return;
                }
                if (clock->clock.version) {
                    result_.observed.version = *clock->clock.version;
                }
                result_.source = status::SourceCaption(link::code::kEndRead, clock->clock.source);
                Offsets();
            });
        });
    }

private:
    // The offsets and the flag in one request, where any of them drifted.
    void Offsets() {
        const std::vector<fleet::Drift> drifts = fleet::Compare(Intended(), result_.observed);
        const bool drifted = std::any_of(drifts.begin(), drifts.end(), [](const auto& drift) {
            return KeptByTheUnit(drift.setting);
        });
        if (!drifted || result_.check) {
            Clock();
            return;
        }
        WriteOffsets(session_, before_, Wanted(), [this](const Result<unit::Offsets>& kept) {
            if (!kept) {
                Fail(QStringLiteral("setting the offsets"), kept.Why());
                return;
            }
            result_.offsetsSet = true;
            Clock();
        });
    }

    const fleet::Intended& Intended() const { return result_.intended; }

    // The offsets and the flag as intended, each left as the unit has it where nothing is.
    unit::Offsets Wanted() const {
        return {Intended().irigOffset.value_or(before_.irig),
                Intended().gpsOffset.value_or(before_.gps),
                Intended().ieee1344.value_or(before_.ieee1344)};
    }

    // Measured as check-time does; set only when the whole interval lies beyond the limit, and
    // then measured again, as far as it takes to decide.
    void Clock() {
        if (!Intended().maxClockOffsetMs) {
            End();
            return;
        }
        Measure([this](const status::ClockOffset& offset) {
            result_.observed.clock = fleet::MeasuredOffset{offset.offsetMs, offset.uncertaintyMs};
            if (!Beyond(Intended(), offset) || result_.check) {
                End();
                return;
            }
            const auto change = ClockChange(session_, RecordedOffset(offset));
            SetClockOnTime(session_, change, [this, change](const Result<ClockSetting>& setting) {
                if (!setting) {
                    Fail(QStringLiteral("setting the clock"), setting.Why());
                    return;
                }
                Measure([this, change](const status::ClockOffset& after) { Kept(after, change); },
                        change);
            });
        });
    }

    // The clock measured after its setting: within the limit, or a setting the unit did not keep.
    void Kept(const status::ClockOffset& after,
              const std::shared_ptr<unit::PendingChange>& change) {
        result_.clockAfter = fleet::MeasuredOffset{after.offsetMs, after.uncertaintyMs};
        const QString limit = QStringLiteral("%1 ms").arg(*Intended().maxClockOffsetMs);
        if (Beyond(Intended(), after)) {
            change->Done(RecordedOffset(after) + QStringLiteral(", not kept"));
            Fail(QStringLiteral("setting the clock"),
                 Failure::NotKept(QStringLiteral("the unit kept its clock %1, beyond %2")
                                      .arg(status::OffsetText(after), limit)));
            return;
        }
        change->Done(RecordedOffset(after) + QStringLiteral(", within ") + limit);
        result_.clockSet = true;
        End();
    }

    // Measured only as far as it takes to decide: the whole interval within the limit, or beyond
    // it. A failure after a setting (`change`) is that setting's outcome.
    void Measure(std::function<void(const status::ClockOffset&)> measured,
                 std::shared_ptr<unit::PendingChange> change = {}) {
        const qint64 limit = *Intended().maxClockOffsetMs;
        const auto decided = [limit](const status::ClockOffset& offset) {
            const qint64 size = std::abs(offset.offsetMs);
            return size + offset.uncertaintyMs <= limit || size - offset.uncertaintyMs > limit;
        };
        session_.MeasureClock(
            {},
            [this, measured = std::move(measured),
             change = std::move(change)](const Result<status::ClockOffset>& offset) {
                if (!offset) {
                    if (change) {
                        change->Done(QStringLiteral("answered, not measured after: ") +
                                     offset.Why().text);
                    }
                    Fail(change ? QStringLiteral("measuring the clock after setting it")
                                : QStringLiteral("measuring the clock"),
                         offset.Why());
                    return;
                }
                measured(*offset);
            },
            decided);
    }

    void End() {
        result_.drifts = fleet::Compare(Intended(), result_.observed);
        const bool changes = std::any_of(result_.drifts.begin(), result_.drifts.end(), Changes);
        result_.end = !changes        ? ApplyResult::End::kOk
                      : result_.check ? ApplyResult::End::kWouldChange
                                      : ApplyResult::End::kChanged;
        Finish();
    }

    void Fail(const QString& what, const Failure& failure) {
        result_.drifts = fleet::Compare(Intended(), result_.observed);
        result_.end = failure.kind == Failure::Kind::kInterrupted ? ApplyResult::End::kInterrupted
                                                                  : ApplyResult::End::kFailed;
        result_.failedAt = what;
        result_.why = failure.text;
        Finish();
    }

    void Finish() {
        auto done = std::move(done_);
        deleteLater();
        done(result_);
    }

    Session& session_;
    std::function<void(const ApplyResult&)> done_;
    ApplyResult result_;
    unit::Offsets before_;
};

QString ResultWord(const ApplyResult& result) {
    switch (result.end) {
        case ApplyResult::End::kOk:
            return QStringLiteral("ok");
        case ApplyResult::End::kChanged:
            return QStringLiteral("changed");
        case ApplyResult::End::kWouldChange:
            return QStringLiteral("would change");
        case ApplyResult::End::kFailed:
            return QStringLiteral("failed");
        case ApplyResult::End::kInterrupted:
            return QStringLiteral("interrupted");
        case ApplyResult::End::kNotStarted:
            break;
    }
    return QStringLiteral("not started");
}

// Each change made (or, with --check, that would be): "GPS 0 -> -5", "clock set (it was ...)".
QStringList ChangeTexts(const ApplyResult& result) {
    QStringList texts;
    for (const fleet::Drift& drift : result.drifts) {
        if (!Changes(drift)) {
            continue;
        }
        if (KeptByTheUnit(drift.setting)) {
            texts << QStringLiteral("%1 %2 -> %3")
                         .arg(QLatin1String(fleet::Row(drift.setting).caption),
                              fleet::Show(drift.setting, drift.observed),
                              fleet::Show(drift.setting, drift.intended));
        } else if (result.observed.clock) {
            texts << QStringLiteral("clock %1 (it was %2)")
                         .arg(result.check ? QStringLiteral("would be set") : QStringLiteral("set"),
                              status::OffsetText(ClockOf(*result.observed.clock)));
        }
    }
    return texts;
}

QJsonObject OffsetsJson(const ApplyResult& result, bool after) {
    QJsonObject json;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        const std::optional<fleet::Value> value =
            after ? result.Now(row.setting) : result.observed.Get(row.setting);
        if (KeptByTheUnit(row.setting) && value) {
            json.insert(QLatin1String(row.jsonKey), fleet::Json(row.setting, *value));
        }
    }
    return json;
}

}  // namespace

std::optional<fleet::Value> ApplyResult::Now(fleet::Setting setting) const {
    if (offsetsSet && KeptByTheUnit(setting) && intended.Get(setting)) {
        return intended.Get(setting);
    }
    return observed.Get(setting);
}

std::optional<fleet::Value> ApplyResult::Wanted(fleet::Setting setting) const {
    const std::optional<fleet::Value> seen = observed.Get(setting);
    return intended.Get(setting) && seen ? intended.Get(setting) : seen;
}

QString ApplyLine(const ApplyResult& result) {
    QString line = QStringLiteral("%1: %2").arg(result.named, ResultWord(result));
    const QStringList changes = ChangeTexts(result);
    const bool changed =
        result.end == ApplyResult::End::kChanged || result.end == ApplyResult::End::kWouldChange;
    if (changed && !changes.isEmpty()) {
        line += QStringLiteral(": ") + changes.join(QLatin1String(", "));
    }
    for (const fleet::Drift& drift : result.drifts) {
        if (!Changes(drift) && (changed || result.end == ApplyResult::End::kOk)) {
            line += QStringLiteral("; drift: the unit answers version %1, the inventory says %2")
                        .arg(fleet::Show(drift.setting, drift.observed),
                             fleet::Show(drift.setting, drift.intended));
        }
    }
    return line + QLatin1Char('\n');
}

QString ApplyMessage(const ApplyResult& result) {
    switch (result.end) {
        case ApplyResult::End::kFailed:
        case ApplyResult::End::kInterrupted:
            return QStringLiteral("%1: %2: %3").arg(result.named, result.failedAt, result.why);
        case ApplyResult::End::kNotStarted:
            return QStringLiteral("%1: not started: %2").arg(result.named, result.why);
        case ApplyResult::End::kOk:
        case ApplyResult::End::kChanged:
        case ApplyResult::End::kWouldChange:
            break;
    }
    return {};
}

QJsonObject ApplyJson(const ApplyResult& result) {
    QJsonObject json{{QStringLiteral("port"), result.port},
                     {QStringLiteral("result"), ResultWord(result)}};
    if (!result.unit.isEmpty()) {
        json.insert(QStringLiteral("unit"), result.unit);
    }
    if (!result.failedAt.isEmpty()) {
        json.insert(QStringLiteral("error"), result.failedAt + QStringLiteral(": ") + result.why);
    } else if (result.end == ApplyResult::End::kNotStarted) {
        json.insert(QStringLiteral("error"), result.why);
    }
    if (!result.observed.irigOffset) {
        return json;  // nothing was read
    }
    QJsonArray changes;
    for (const fleet::Drift& drift : result.drifts) {
        if (KeptByTheUnit(drift.setting) && (result.offsetsSet || result.check)) {
            changes.append(QJsonObject{
                {QStringLiteral("setting"), QLatin1String(fleet::Row(drift.setting).jsonKey)},
                {QStringLiteral("from"), fleet::Show(drift.setting, drift.observed)},
                {QStringLiteral("to"), fleet::Show(drift.setting, drift.intended)}});
        }
    }
    json.insert(QStringLiteral("changes"), changes);
    json.insert(QStringLiteral("source"), result.source);
    json.insert(QStringLiteral("before"), OffsetsJson(result, false));
    if (result.failedAt.isEmpty()) {
        json.insert(QStringLiteral("after"), OffsetsJson(result, true));  // known only then
    }
    if (result.observed.version) {
        json.insert(QStringLiteral("version"), fleet::VersionName(*result.observed.version));
    }
    for (const fleet::Drift& drift : result.drifts) {
        if (!Changes(drift)) {
            json.insert(QStringLiteral("drift"),
                        QJsonObject{{QStringLiteral("firmware"),
                                     QJsonObject{{QStringLiteral("answers"),
                                                  fleet::Show(drift.setting, drift.observed)},
                                                 {QStringLiteral("intended"),
                                                  fleet::Show(drift.setting, drift.intended)}}}});
        }
    }
    if (const auto& clock = result.observed.clock) {
        QJsonObject measured{{QStringLiteral("offsetMs"), clock->offsetMs},
                             {QStringLiteral("uncertaintyMs"), clock->uncertaintyMs},
                             {QStringLiteral("set"), result.clockSet}};
        if (result.clockAfter) {
            measured.insert(
                QStringLiteral("after"),
                QJsonObject{{QStringLiteral("offsetMs"), result.clockAfter->offsetMs},
                            {QStringLiteral("uncertaintyMs"), result.clockAfter->uncertaintyMs}});
        }
        json.insert(QStringLiteral("clock"), measured);
    }
    return json;
}

int ApplyExitCode(const std::vector<ApplyResult>& results) {
    const auto any = [&results](const auto& is) {
        return std::any_of(results.begin(), results.end(), is);
    };
    if (any([](const ApplyResult& r) { return r.unreachable; })) {
        return kPortFailed;
    }
    if (any([](const ApplyResult& r) {
            return r.end == ApplyResult::End::kFailed || r.end == ApplyResult::End::kInterrupted ||
                   r.end == ApplyResult::End::kNotStarted;
        })) {
        return kUnitFailed;
    }
    if (any([](const ApplyResult& r) { return r.end == ApplyResult::End::kWouldChange; })) {
        return kWouldChange;
    }
    return kDone;
}

void Apply(Session& session, const fleet::Intended& intended, bool check,
           std::function<void(const ApplyResult&)> done) {
    (new Applying(session, intended, check, std::move(done)))->Start();
}

namespace {

// The units of the request as a listing (text, every name, port and label printable), or as JSON.
QString InventoryText(const Common& common) {
    QString text;
    for (const fleet::InventoryUnit& unit : common.units) {
        QStringList labels;
        for (auto label = unit.labels.cbegin(); label != unit.labels.cend(); ++label) {
            labels << QStringLiteral("%1=%2").arg(label.key(), label.value());
        }
        text += QStringLiteral("%1  %2%3  %4\n")
                    .arg(link::PrintableUtf8(unit.name), link::PrintableUtf8(unit.port),
                         labels.isEmpty() ? QString()
                                          : QStringLiteral("  ") +
                                                link::PrintableUtf8(labels.join(QLatin1Char(' '))),
                         IntendedText(unit.intended));
    }
    return text;
}

QJsonObject InventoryJson(const Common& common) {
    QJsonArray units;
    for (const fleet::InventoryUnit& unit : common.units) {
        QJsonObject labels;
        for (auto label = unit.labels.cbegin(); label != unit.labels.cend(); ++label) {
            labels.insert(label.key(), label.value());
        }
        units.append(QJsonObject{{QStringLiteral("unit"), unit.name},
                                 {QStringLiteral("port"), unit.port},
                                 {QStringLiteral("labels"), labels},
                                 {QStringLiteral("intended"), IntendedJson(unit.intended)}});
    }
    return {{QStringLiteral("inventory"), common.inventory}, {QStringLiteral("units"), units}};
}

class ApplyWork final : public Runner::Work {
public:
    ApplyWork(const Request& request, const Context& context)
        : request_(request),
          context_(context),
          check_(request.OptionsOf<ApplyOptions>().check),
          results_(static_cast<size_t>(request.common.ports.size())) {}

    int Exec() { return run_.Exec({}); }

    void Begin(int unit, Session& session) override {
        Apply(session, request_.common.units.at(static_cast<size_t>(unit)).intended, check_,
              [this, unit](const ApplyResult& result) { End(unit, result); });
    }

    // A unit whose port cannot be opened has failed, with its line and its JSON entry.
    void OpenFailed(int unit, const QString& why) override {
        ApplyResult failed = NeverApplied(unit, ApplyResult::End::kFailed, why);
        failed.failedAt = QStringLiteral("cannot open the port");
        failed.unreachable = true;
        End(unit, failed);
    }

    void NotStarted(int unit) override {
        End(unit, NeverApplied(unit, ApplyResult::End::kNotStarted, QStringLiteral("interrupted")),
            Rollout::State::kNotStarted);
    }

    int Report() override {
        QJsonArray units;
        std::vector<ApplyResult> results;
        for (const std::optional<ApplyResult>& result : results_) {
            const QString message = ApplyMessage(*result);
            Write(context_.err, message.isEmpty() ? message : message + QLatin1Char('\n'));
            if (!request_.common.json) {
                Write(context_.out, ApplyLine(*result));
            }
            units.append(ApplyJson(*result));
            results.push_back(*result);
        }
        if (request_.common.json) {
            Write(context_.out, JsonLine({{QStringLiteral("units"), units}}));
        }
        return run_.Interrupted() ? run_.InterruptCode() : ApplyExitCode(results);
    }

private:
    // The result of a unit that was never applied.
    ApplyResult NeverApplied(int unit, ApplyResult::End end, const QString& why) const {
        ApplyResult result;
        result.named = run_.Units().Named(unit);
        result.unit = run_.Units().TargetOf(unit).name;
        result.port = run_.Units().TargetOf(unit).port;
        result.intended = request_.common.units.at(static_cast<size_t>(unit)).intended;
        result.check = check_;
        result.end = end;
        result.why = why;
        return result;
    }

    void End(int unit, const ApplyResult& result, Rollout::State state = Rollout::State::kDone) {
        if (!run_.HasEnded(unit)) {
            results_[static_cast<size_t>(unit)] = result;
            run_.End(unit, state);
        }
    }

    const Request& request_;
    const Context& context_;
    bool check_;
    std::vector<std::optional<ApplyResult>> results_;
    Runner run_{request_, context_, *this};
};

constexpr Option kCheck{
    .name = "check", .help = "Read only, and say what would change (exit 5 when something would)."};

// The inventory is read with every unit when nothing is selected.
std::optional<QString> ReadInventory(const Given& given, Request& request) {
    fleet::Selection& selection = request.common.selection;
    if (request.common.inventory.isEmpty()) {
        return QStringLiteral("%1 needs --inventory (or %2)")
            .arg(QLatin1String(given.Of().name), QLatin1String(kInventoryVariable));
    }
    selection.all = selection.all || selection.Empty();
    return std::nullopt;
}

int RunInventory(const Request& request, const Context& context) {
    Write(context.out, request.common.json ? JsonLine(InventoryJson(request.common))
                                           : InventoryText(request.common));
    return kDone;
}

std::optional<QString> ReadApply(const Given& given, Request& request) {
    if (request.common.selection.Empty()) {
        return QStringLiteral("%1 needs --unit, --all or --select")
            .arg(QLatin1String(given.Of().name));
    }
    request.options = ApplyOptions{given.IsSet(kCheck)};
    return std::nullopt;
}

int RunApply(const Request& request, const Context& context) {
    return ApplyWork(request, context).Exec();
}

constexpr char kApplyDescription[] =
    "Reads each selected unit's offsets, IEEE 1344 flag and firmware version. Where the offsets\n"
    "or the flag differ from the inventory, sets all three in one request and reads them back;\n"
    "where max_clock_offset_ms is given, measures the unit's clock as check-time does and sets\n"
    "it as set-time does, only when the whole interval lies beyond the limit, then measures it\n"
    "again. A value the unit does not keep is a failure naming both. A firmware\n"
    "version other than the inventory's is reported as drift: apply never flashes. With\n"
    "--check it only reads and says what it would change (exit 5 when something would). Every\n"
    "change is recorded in the system log. Several units at once, a line each.";

}  // namespace

const Command kInventoryCommand{
    .name = "inventory",
    .summary = "list the selected units of the inventory, with their intended settings",
    .description =
        "Lists the units the selection names (every unit without one), with their ports, labels\n"
        "and intended settings, without opening a port.",
    .options = {Selection(), Output()},
    .read = ReadInventory,
    .run = RunInventory,
};

const Command kApply{
    .name = "apply",
    .summary = "make the selected units as the inventory says: offsets, flag and clock",
    .description = kApplyDescription,
    .options = {UnitWork(Ports::kSeveral), Output(), kCheck},
    .read = ReadApply,
    .run = RunApply,
};

}  // namespace irig::cli
