#include "cli/flash.h"

#include <QHash>
#include <QJsonArray>
#include <QRegularExpression>
#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

#include "cli/commandline.h"
#include "cli/firmwarecheck.h"
#include "cli/flashjob.h"
#include "cli/inspect.h"
#include "cli/progress.h"
#include "cli/runner.h"
#include "link/printable.h"

namespace irig::cli {

namespace {

// "3 done, 1 failed, 2 skipped, 4 not started": done and failed always, the others when some.
QString SummaryText(const Rollout::Summary& summary) {
    QString text = QStringLiteral("%1 done, %2 failed").arg(summary.done).arg(summary.failed);
    for (const auto& [count, what] : {std::pair{summary.skipped, "skipped"},
                                      {summary.stopped, "stopped"},
                                      {summary.notStarted, "not started"}}) {
        if (count > 0) {
            text += QStringLiteral(", %1 %2").arg(count).arg(QLatin1String(what));
        }
    }
    return text + QLatin1Char('\n');
}

Rollout::State StateOf(FlashResult::End end) {
    switch (end) {
        case FlashResult::End::kDone:
            return Rollout::State::kDone;
        case FlashResult::End::kSkipped:
            return Rollout::State::kSkipped;
        case FlashResult::End::kStopped:
            return Rollout::State::kStopped;
        case FlashResult::End::kNotStarted:
            return Rollout::State::kNotStarted;
        case FlashResult::End::kFailed:
            break;
    }
    return Rollout::State::kFailed;
}

class FlashWork final : public Runner::Work {
public:
    FlashWork(const Request& request, const Context& context)
        : request_(request), context_(context), options_(request.OptionsOf<FlashOptions>()) {}

    int Exec() {
        // Each update in flight holds its own copy of the image: so many, not every unit.
        return run_.Exec({options_.canary, options_.maxParallel.value_or(kMostAtOnce),
                          options_.maxFailures, false});
    }

    int Prepare() override {
        image_ = std::make_unique_for_overwrite<flash::FlashImage>();
        if (const int refused = LoadFirmware(*image_); refused != kDone) {
            return refused;
        }
        results_.resize(static_cast<size_t>(request_.common.ports.size()));
        if (!request_.common.quiet) {
            progress_ =
                std::make_unique<Progress>(QList<FlashJob*>{}, Progress::OutputOf(context_.err));
        }
        return kDone;
    }

    void Begin(int unit, unit::Session& session) override;

    // A unit whose port cannot be opened has failed, with its line and its JSON entry.
    void OpenFailed(int unit, const QString& why) override {
        portFailed_ = true;
        Finish(unit,
               NeverFlashed(unit, FlashResult::End::kFailed,
                            QStringLiteral("cannot open the port: ") + why),
               Rollout::State::kFailed);
    }

    void NotStarted(int unit) override {
        Finish(unit, NeverFlashed(unit, FlashResult::End::kNotStarted, StopReason()),
               Rollout::State::kNotStarted);
    }

    // The first Ctrl-C starts no new update and lets the running ones stop after the block in
    // flight; a second stops them at once.
    bool Interrupt(bool again) override {
        if (!again) {
            Say(
                QStringLiteral("irigctl: stopping after the blocks in flight (Ctrl-C again stops "
                               "at once)"));
            for (FlashJob* job : running_) {
                job->Interrupt();
            }
            return true;
        }
        for (FlashJob* job : QList<FlashJob*>(running_.values())) {
            job->StopNow();
        }
        return false;
    }

    int Report() override;

private:
    int LoadFirmware(flash::FlashImage& image);
    std::vector<FileExpectation> Expectations() const;

    // The version a unit must answer after its update: --expect-version, or its inventory's.
    std::optional<int> ExpectedVersion(int unit) const {
        if (options_.expectVersion) {
            return options_.expectVersion;
        }
        const auto index = static_cast<size_t>(unit);
        return index < request_.common.units.size() ? request_.common.units[index].intended.firmware
                                                    : std::nullopt;
    }

    // Why the units not started were not: an interrupt, or the failure that stopped the rollout.
    QString StopReason() const {
        if (run_.Interrupted()) {
            return QStringLiteral("interrupted");
        }
        if (const std::optional<int> by = run_.Schedule().StoppedBy()) {
            return *by < options_.canary ? QStringLiteral("the canary %1 failed")
                                               .arg(results_[static_cast<size_t>(*by)]->named)
                                         : QStringLiteral("--max-failures %1 reached")
                                               .arg(options_.maxFailures.value_or(0));
        }
        return QStringLiteral("the rollout stopped");
    }

    // The result of a unit whose update never began.
    FlashResult NeverFlashed(int unit, FlashResult::End end, const QString& why) const {
        FlashResult result;
        result.named = run_.Units().Named(unit);
        result.unit = run_.Units().TargetOf(unit).name;
        result.port = run_.Units().TargetOf(unit).port;
        result.end = end;
        result.why = why;
        result.blocks = blocks_;
        return result;
    }

    void Finish(int unit, FlashResult result, Rollout::State state) {
        if (run_.HasEnded(unit)) {
            return;
        }
        result.startedAt = run_.StartedAt(unit);
        result.endedAt = run_.Seconds();
        results_[static_cast<size_t>(unit)] = std::move(result);
        run_.End(unit, state);
    }

    // A message for the operator (a retry, a stop on its way): not with --quiet.
    void Say(const QString& line) {
        if (request_.common.quiet) {
            return;
        }
        if (progress_) {
            progress_->Say(line);
        } else {
            Write(context_.err, line + QLatin1Char('\n'));
        }
    }

    const Request& request_;
    const Context& context_;
    const FlashOptions& options_;
    std::unique_ptr<flash::FlashImage> image_;
    int blocks_ = 0;
    QJsonObject firmware_;  // the file, as inspect shows it
    std::vector<std::optional<FlashResult>> results_;
    QHash<int, FlashJob*> running_;  // by unit
    bool portFailed_ = false;
    Runner run_{request_, context_, *this};
    QObject jobs_;  // the jobs' parent
    std::unique_ptr<Progress> progress_;
};

// The firmware is loaded and judged before anything is sent to any unit; what it carries is
// checked against what every unit expects.
int FlashWork::LoadFirmware(flash::FlashImage& image) {
    const QString& path = request_.common.file;
    const QString file = link::PrintableUtf8(path);
    const Inspection inspection = Inspect(path, image);
    if (!inspection.readable) {
        Write(context_.err,
              QStringLiteral("irigctl: cannot read %1: %2\n").arg(file, inspection.readError));
        return kBadFile;
    }
    if (!inspection.programmable) {
        QStringList lines = inspection.messages;
        if (!inspection.advice.isEmpty()) {
            lines.append(inspection.advice);
        }
        Write(context_.err, QStringLiteral("irigctl: %1 is refused, nothing was sent:\n%2\n")
                                .arg(file, lines.join(QLatin1Char('\n'))));
        return kBadFile;
    }
    if (inspection.overlappingBytes > 0 && !options_.allowOverlap) {
        Write(context_.err, QStringLiteral("irigctl: %1 is refused, nothing was sent: %2 bytes are "
                                           "stored by more than one record, the first at %3 (a "
                                           "mixed or concatenated file?); --allow-overlap flashes "
                                           "it as the window would, the last record of an "
                                           "address winning\n")
                                .arg(file)
                                .arg(inspection.overlappingBytes)
                                .arg(Address(inspection.firstOverlap)));
        return kBadFile;
    }
    if (const std::optional<QString> wrong = CheckFirmwareFile(
            path, inspection.programId, QString::fromLatin1(inspection.sha256), Expectations())) {
        Write(context_.err, UsageText(*wrong));
        return kUsage;
    }
    firmware_ = inspection.Json();
    blocks_ = inspection.blocks;
    return kDone;
}

// What each unit expects of the file: --expect-version and --sha256, else its inventory's.
std::vector<FileExpectation> FlashWork::Expectations() const {
    std::vector<FileExpectation> expected;
    if (options_.expectVersion || options_.sha256) {
        expected.push_back({options_.expectVersion, QStringLiteral("--expect-version"),
                            options_.sha256, QStringLiteral("--sha256")});
    }
    for (const fleet::InventoryUnit& unit : request_.common.units) {
        FileExpectation inventory;
        if (!options_.expectVersion) {
            inventory.version = unit.intended.firmware;
            inventory.versionFrom = QStringLiteral("the inventory's firmware for ") + unit.name;
        }
        if (!options_.sha256) {
            inventory.sha256 = unit.firmwareSha256;
            inventory.sha256From =
                QStringLiteral("the inventory's firmware_sha256 for ") + unit.name;
        }
        if (inventory.version || inventory.sha256) {
            expected.push_back(inventory);
        }
    }
    return expected;
}

// A unit that answers the expected version already is skipped, unless --force.
void FlashWork::Begin(int unit, unit::Session& session) {
    auto* job = new FlashJob(session, *image_, request_.common.file, options_.retries);
    job->setParent(&jobs_);
    job->ExpectVersion(ExpectedVersion(unit));
    running_.insert(unit, job);
    QObject::connect(job, &FlashJob::Said, [this](const QString& line) { Say(line); });
    QObject::connect(job, &FlashJob::Finished, [this, unit](const FlashResult& result) {
        running_.remove(unit);
        Finish(unit, result, StateOf(result.end));
    });
    if (progress_) {
        progress_->Add(job);
    }
    const std::optional<int> expected = ExpectedVersion(unit);
    if (!expected || options_.force) {
        job->Start();
        return;
    }
    session.AskClock([this, job, expected](const unit::Result<unit::Session::ClockAnswer>& answer) {
        if (run_.Interrupted()) {
            job->NotStarted(QStringLiteral("interrupted"));
        } else if (answer && Answers(expected, answer->clock.version)) {
            job->Skip(*expected);
        } else {
            job->Start();
        }
    });
}

int FlashWork::Report() {
    if (progress_) {
        progress_->Finish();
    }
    QJsonArray units;
    for (const std::optional<FlashResult>& result : results_) {
        const QString message = FlashMessage(*result);
        Write(context_.err, message.isEmpty() ? message : message + QLatin1Char('\n'));
        if (!request_.common.json) {
            Write(context_.out, FlashLine(*result));
        }
        units.append(FlashJson(*result));
    }
    const Rollout::Summary summary = run_.Schedule().Count();
    if (request_.common.json) {
        firmware_.insert(QStringLiteral("file"), request_.common.file);
        Write(context_.out, JsonLine({{QStringLiteral("units"), units},
                                      {QStringLiteral("firmware"), firmware_}}));
    } else if (results_.size() > 1) {
        Write(context_.out, SummaryText(summary));
    }
    if (run_.Interrupted()) {
        return run_.InterruptCode();
    }
    return portFailed_                               ? kPortFailed
           : summary.failed + summary.notStarted > 0 ? kUnitFailed
                                                     : kDone;
}

constexpr Option kRetries{.name = "retries",
                          .value = "N",
                          .help = "Start over from the erase at most N times (default 2).",
                          .range = Range{0, 100}};
constexpr Option kAllowOverlap{
    .name = "allow-overlap",
    .help =
        "Flash a file whose records overlap (the last record of an address wins); refused "
        "otherwise."};
constexpr Option kCanary{
    .name = "canary",
    .value = "N",
    .help =
        "Flash the first N units first; the others only once every one of them is done and "
        "answers the expected version.",
    .range = Range{1, 100'000}};
constexpr Option kMaxParallel{
    .name = "max-parallel",
    .value = "M",
    .help =
        "Flash at most M units at once (default: 1000, and no more than the open-file limit "
        "allows).",
    .range = Range{1, 100'000}};
constexpr Option kMaxFailures{.name = "max-failures",
                              .value = "K",
                              .help = "Start no new update once K units have failed.",
                              .range = Range{1, 100'000}};
constexpr Option kExpectVersion{
    .name = "expect-version",
    .value = "N.N",
    .help =
        "The version N.N each unit must answer after its update (default: the inventory's "
        "firmware); units that answer it already are skipped."};
constexpr Option kForce{.name = "force",
                        .help = "Flash also the units that already answer the expected version."};
constexpr Option kSha256{
    .name = "sha256",
    .value = "HEX",
    .help =
        "Refuse the file unless the SHA-256 of the blocks it writes (as inspect shows it) is "
        "HEX; nothing is flashed otherwise."};

std::optional<QString> ReadFlash(const Given& given, Request& request) {
    FlashOptions options;
    const std::optional<QString> numbers[] = {given.Number(kMaxParallel, options.maxParallel),
                                              given.Number(kMaxFailures, options.maxFailures),
                                              given.Number(kCanary, options.canary),
                                              given.Number(kRetries, options.retries)};
    if (const auto* wrong = std::find_if(std::begin(numbers), std::end(numbers),
                                         [](const auto& number) { return number.has_value(); });
        wrong != std::end(numbers)) {
        return *wrong;
    }
    if (given.IsSet(kExpectVersion)) {
        const auto parsed = fleet::Parse(fleet::Setting::kFirmware, given.Value(kExpectVersion),
                                         fleet::Spelling::kCommandLine);
        if (const auto* refusal = std::get_if<QString>(&parsed)) {
            return *refusal;
        }
        options.expectVersion = static_cast<int>(std::get<fleet::Value>(parsed));
    }
    if (given.IsSet(kSha256)) {
        static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
        const QString sha256 = given.Value(kSha256);
        if (!hex.match(sha256).hasMatch()) {
            return QStringLiteral("--sha256 \"%1\" is not 64 hexadecimal digits").arg(sha256);
        }
        options.sha256 = sha256.toLower();
    }
    options.force = given.IsSet(kForce);
    options.allowOverlap = given.IsSet(kAllowOverlap);
    request.options = options;
    return std::nullopt;
}

int RunFlash(const Request& request, const Context& context) {
    return FlashWork(request, context).Exec();
}

constexpr char kFlashDescription[] =
    "Replaces each unit's firmware: re-boot, flash mode, erase, every block with its echo\n"
    "checked, a re-boot to leave flash mode, and the unit's answer to the status poll within\n"
    "10 s, with its version. A faulty file, one with nothing to program, or one whose records\n"
    "overlap (unless --allow-overlap) is refused before anything is sent. A missing or wrong\n"
    "echo or a failed erase starts over from the erase, at most --retries times. Over many\n"
    "units: --canary N flashes the first N first and the others only once every canary answers\n"
    "the expected version; --max-parallel M flashes at most M at once; --max-failures K starts\n"
    "no new update once K have failed; a port that cannot be opened is a failed unit. With\n"
    "--expect-version (or the inventory's firmware), the file's program ID must carry that\n"
    "version, a unit that answers another version afterwards has failed, and a unit that\n"
    "answers it already is skipped unless --force; with --sha256 (or the inventory's\n"
    "firmware_sha256) the file's blocks must have that SHA-256: a file that does not is\n"
    "refused before any unit is erased (exit 2). A result line each, the count at the end.\n"
    "Ctrl-C starts no new update and stops the running ones after the block in flight;\n"
    "Ctrl-C again stops them at once.";

}  // namespace

const Command kFlash{
    .name = "flash",
    .summary = "replace the unit's firmware from an Intel HEX file, unattended",
    .description = kFlashDescription,
    .options = {UnitWork(Ports::kSeveral), Output(), kRetries, kAllowOverlap, kCanary, kMaxParallel,
                kMaxFailures, kExpectVersion, kForce, kSha256},
    .argument = "FILE",
    .argumentHelp = "The firmware, an Intel HEX file.",
    .read = ReadFlash,
    .run = RunFlash,
};

}  // namespace irig::cli
