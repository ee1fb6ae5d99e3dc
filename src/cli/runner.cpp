#include "cli/runner.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <memory>
#include <optional>
#include <vector>

#include "cli/apply.h"
#include "cli/commands.h"
#include "cli/fanout.h"
#include "cli/firmwarecheck.h"
#include "cli/flashjob.h"
#include "cli/inspect.h"
#include "cli/progress.h"
#include "cli/rollout.h"
#include "link/portmap.h"
#include "link/printable.h"
#include "unit/changerecord.h"
#include "unit/filelimit.h"
#include "unit/interrupts.h"

namespace irig::cli {

namespace {

constexpr int kWatchMs = 500;
// The most units that apply and the other commands serve at once, within the file limit: each a
// port, a session of some 25 KiB and a request or two in flight, in one event loop.
constexpr int kMostAtOnce = 1000;

// Every byte of `text`, a NUL included: nothing after one is lost.
void Write(std::FILE* file, const QString& text) {
    if (!text.isEmpty()) {
        const QByteArray bytes = text.toLocal8Bit();
        (void)std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), file);
        (void)std::fflush(file);
    }
}

QString JsonLine(const QJsonObject& json) {
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) +
           QLatin1Char('\n');
}

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

std::vector<FanOut::Target> TargetsOf(const Request& request) {
    std::vector<FanOut::Target> targets;
    targets.reserve(static_cast<size_t>(request.ports.size()));
    for (qsizetype i = 0; i < request.ports.size(); ++i) {
        targets.push_back({request.ports[i], static_cast<size_t>(i) < request.units.size()
                                                 ? request.units[static_cast<size_t>(i)].name
                                                 : QString()});
    }
    return targets;
}

class Runner {
public:
    Runner(const Request& request, std::FILE* out, std::FILE* err, unit::PortMaker makePort,
           unit::ChangeRecord::Sink changes)
        : request_(request),
          out_(out),
          err_(err),
          makePort_(makePort ? std::move(makePort) : unit::RealPorts(TimeoutsOf(request))),
          changes_(std::make_shared<unit::ChangeRecord>(
              changes ? std::move(changes) : unit::ChangeRecord::SystemLog("irigctl"))) {}
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    int Exec() {
        if (request_.command == QLatin1String("inspect")) {
            return RunInspect();
        }
        if (request_.command == QLatin1String("inventory")) {
            Write(out_,
                  request_.json ? JsonLine(InventoryJson(request_)) : InventoryText(request_));
            return kDone;
        }
        if (const QString same = SameDevice(); !same.isEmpty()) {
            Write(err_, UsageText(same));
            return kUsage;
        }
        if (const QString bad = BadAddress(); !bad.isEmpty()) {
            Write(err_, UsageText(bad));
            return kUsage;
        }
        if (flashing_) {
            image_ = std::make_unique_for_overwrite<flash::FlashImage>();
            if (const int refused = LoadFirmware(*image_); refused != kDone) {
                return refused;
            }
        }
        const int atOnce = unit::UnitsOpenAtOnce(unit::RaiseFileLimit());
        bound_ = request_.watch ? static_cast<int>(request_.ports.size())
                                : std::min(atOnce, kMostAtOnce);
        fanOut_ = std::make_unique<FanOut>(TargetsOf(request_), makePort_, TimeoutsOf(request_),
                                           changes_, request_.watch);
        QObject::connect(fanOut_.get(), &FanOut::Opened, [this](int unit) { Opened(unit); });
        QObject::connect(fanOut_.get(), &FanOut::OpenFailed,
                         [this](int unit, const QString& why) { OpenFailed(unit, why); });
        states_.assign(request_.ports.size(), State::kQueued);
        outcomes_.resize(request_.ports.size());
        applied_.resize(applying_ ? request_.ports.size() : 0);
        WatchInterrupts();
        if (flashing_) {
            // Each update in flight holds its own copy of the image: so many, not every unit.
            StartRollout(std::min(request_.maxParallel.value_or(kMostAtOnce), atOnce));
        } else {
            Pump();
        }
        loop_.emplace();
        if (finished_ < states_.size()) {
            loop_->exec();
        }
        return Report();
    }

private:
    enum class State { kQueued, kOpening, kWorking, kEnded };

    // Two ports that name one device, said before anything is opened; empty when there are none.
    QString SameDevice() const {
        QHash<QString, QString> named;  // device: the first port that named it
        for (const QString& port : request_.ports) {
            const QString device = link::ResolvePortName(port);
            if (const auto first = named.constFind(device); first != named.cend()) {
                return link::PrintableUtf8(
                    QStringLiteral("%1 and %2 are the same device (%3)").arg(*first, port, device));
            }
            named.insert(device, port);
        }
        return {};
    }

    // A port (or the target of its port-map link) meant as a terminal server's address but none.
    QString BadAddress() const {
        for (const QString& port : request_.ports) {
            if (QString problem = link::PortAddressProblem(port); !problem.isEmpty()) {
                return link::PrintableUtf8(problem);
            }
        }
        return {};
    }

    // Units start while fewer than the bound have their ports open; none after an interrupt.
    void Pump() {
        while (next_ < states_.size() && !interrupted_ && fanOut_->OpenNow() < bound_) {
            states_[next_] = State::kOpening;
            fanOut_->Open(static_cast<int>(next_++));
        }
    }

    void Opened(int index) {
        const auto unit = static_cast<size_t>(index);
        states_[unit] = State::kWorking;
        unit::Session& session = *fanOut_->SessionOf(index);
        if (const QString note = session.Note(); !note.isEmpty() && !request_.quiet) {
            Write(err_, QStringLiteral("%1: %2\n").arg(session.Named(), note));
        }
        if (flashing_) {
            BeginFlash(index, session);
        } else if (request_.watch) {
            Watch(index);
            Ask(index);
        } else {
            Ask(index);
        }
    }

    // A unit whose port cannot be opened has failed, with its line and its JSON entry.
    void OpenFailed(int index, const QString& why) {
        const QString named = fanOut_->Named(index);
        if (flashing_) {
            FlashResult result = NeverFlashed(index, FlashResult::End::kFailed,
                                              QStringLiteral("cannot open the port: ") + why);
            portFailed_ = true;
            FlashEnded(index, result, Rollout::State::kFailed);
            return;
        }
        if (applying_) {
            ApplyResult failed = NeverApplied(index, ApplyResult::End::kFailed, why);
            failed.failedAt = QStringLiteral("cannot open the port");
            failed.unreachable = true;
            ApplyEnded(index, failed);
            return;
        }
        Outcome failed;
        failed.exitCode = kPortFailed;
        failed.error = QStringLiteral("%1: cannot open the port: %2").arg(named, why);
        failed.json = TargetJson(index, {{QStringLiteral("error"), why}});
        Ended(index, failed);
    }

    // The unit's JSON before or without its session: "port", and "unit" where it has a name.
    QJsonObject TargetJson(int index, QJsonObject json) const {
        const FanOut::Target& target = fanOut_->TargetOf(index);
        json.insert(QStringLiteral("port"), target.port);
        if (!target.name.isEmpty()) {
            json.insert(QStringLiteral("unit"), target.name);
        }
        return json;
    }

    int RunInspect() {
        auto image = std::make_unique_for_overwrite<flash::FlashImage>();
        const Inspection inspection = Inspect(request_.file, *image);
        if (!inspection.readable) {
            Write(err_, QStringLiteral("irigctl: cannot read %1: %2\n")
                            .arg(link::PrintableUtf8(request_.file), inspection.readError));
            return kBadFile;
        }
        if (request_.json) {
            QJsonObject json = inspection.Json();
            json.insert(QStringLiteral("file"), request_.file);
            Write(out_, JsonLine(json));
        } else {
            Write(out_, inspection.Text());
        }
        return inspection.programmable ? kDone : kBadFile;
    }

    // The firmware is loaded and judged before anything is sent to any unit; what it carries is
    // checked against what every unit expects.
    int LoadFirmware(flash::FlashImage& image) {
        const QString file = link::PrintableUtf8(request_.file);
        const Inspection inspection = Inspect(request_.file, image);
        if (!inspection.readable) {
            Write(err_,
                  QStringLiteral("irigctl: cannot read %1: %2\n").arg(file, inspection.readError));
            return kBadFile;
        }
        if (!inspection.programmable) {
            QStringList lines = inspection.messages;
            if (!inspection.advice.isEmpty()) {
                lines.append(inspection.advice);
            }
            Write(err_, QStringLiteral("irigctl: %1 is refused, nothing was sent:\n%2\n")
                            .arg(file, lines.join(QLatin1Char('\n'))));
            return kBadFile;
        }
        if (inspection.overlappingBytes > 0 && !request_.allowOverlap) {
            Write(err_, QStringLiteral("irigctl: %1 is refused, nothing was sent: %2 bytes are "
                                       "stored by more than one record, the first at %3 (a mixed "
                                       "or concatenated file?); --allow-overlap flashes it as "
                                       "the window would, the last record of an address winning\n")
                            .arg(file)
                            .arg(inspection.overlappingBytes)
                            .arg(Address(inspection.firstOverlap)));
            return kBadFile;
        }
        if (const std::optional<QString> wrong =
                CheckFirmwareFile(request_.file, inspection.programId,
                                  QString::fromLatin1(inspection.sha256), Expectations())) {
            Write(err_, UsageText(*wrong));
            return kUsage;
        }
        firmware_ = inspection.Json();
        blocks_ = inspection.blocks;
        return kDone;
    }

    // What each unit expects of the file: --expect-version and --sha256, else its inventory's.
    std::vector<FileExpectation> Expectations() const {
        std::vector<FileExpectation> expected;
        if (request_.expectVersion || request_.sha256) {
            expected.push_back({request_.expectVersion, QStringLiteral("--expect-version"),
                                request_.sha256, QStringLiteral("--sha256")});
        }
        for (const fleet::InventoryUnit& unit : request_.units) {
            FileExpectation inventory;
            if (!request_.expectVersion) {
                inventory.version = unit.intended.firmware;
                inventory.versionFrom = QStringLiteral("the inventory's firmware for ") + unit.name;
            }
            if (!request_.sha256) {
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

    void Ask(int index) {
        unit::Session& unit = *fanOut_->SessionOf(index);
        auto done = [this, index](const Outcome& outcome) { Answered(index, outcome); };
        const QString& command = request_.command;
        if (command == QLatin1String("status")) {
            Status(unit, request_, done);
        } else if (command == QLatin1String("set-time")) {
            SetTime(unit, request_, done);
        } else if (command == QLatin1String("check-time")) {
            CheckTime(unit, request_, done);
        } else if (command == QLatin1String("offsets")) {
            Offsets(unit, request_, done);
        } else if (command == QLatin1String("gps-message")) {
            GpsMessage(unit, request_, done);
        } else if (command == QLatin1String("reboot")) {
            Reboot(unit, request_, done);
        } else if (applying_) {
            Apply(unit, request_.units.at(static_cast<size_t>(index)).intended, request_.check,
                  [this, index](const ApplyResult& result) { ApplyEnded(index, result); });
        }
    }

    void Answered(int index, const Outcome& outcome) {
        if (!request_.watch) {
            Ended(index, outcome);
            return;
        }
        // --watch: each reading as it comes; a lost port is awaited back, and the watch goes on.
        unit::Session& session = *fanOut_->SessionOf(index);
        Write(out_, request_.json ? JsonLine(outcome.json) : outcome.text);
        if (!session.IsOpen()) {
            return;  // said by the port watch, which asks again once the port is back
        }
        Write(err_, outcome.error.isEmpty() ? QString() : outcome.error + QLatin1Char('\n'));
        session.After(kWatchMs, [this, index, &session] {
            if (!interrupted_ && session.IsOpen()) {
                Ask(index);
            }
        });
    }

    // The result of a unit that was never applied.
    ApplyResult NeverApplied(int index, ApplyResult::End end, const QString& why) const {
        ApplyResult result;
        result.named = fanOut_->Named(index);
        result.unit = fanOut_->TargetOf(index).name;
        result.port = fanOut_->TargetOf(index).port;
        result.intended = request_.units.at(static_cast<size_t>(index)).intended;
        result.check = request_.check;
        result.end = end;
        result.why = why;
        return result;
    }

    void ApplyEnded(int index, const ApplyResult& result) {
        applied_[static_cast<size_t>(index)] = result;
        Ended(index, {});
    }

    // A unit's work is over: its port closes and the next unit may start.
    void Ended(int index, const Outcome& outcome) {
        const auto unit = static_cast<size_t>(index);
        if (states_[unit] == State::kEnded) {
            return;
        }
        outcomes_[unit] = outcome;
        states_[unit] = State::kEnded;
        fanOut_->Close(index);
        ++finished_;
        if (flashing_) {
            Launch();
        } else {
            Pump();
        }
        if (finished_ == states_.size()) {
            Quit();
        }
    }

    // A watched unit's port, when lost, is awaited back as itself; the watch says so on standard
    // error and goes on once it is back.
    void Watch(int index) {
        unit::Session& unit = *fanOut_->SessionOf(index);
        auto lostWhy = std::make_shared<QString>();
        QObject::connect(&unit, &unit::Session::Lost, &unit, [lostWhy](const QString& reason) {
            *lostWhy = unit::Failure::PortLost(reason).text;
        });
        QObject::connect(
            &unit, &unit::Session::Waiting, &unit, [this, &unit, lostWhy](const QString& waiting) {
                Write(err_,
                      QStringLiteral("%1: lost: %2; %3\n").arg(unit.Named(), *lostWhy, waiting));
            });
        QObject::connect(&unit, &unit::Session::Reopened, &unit, [this, index, &unit] {
            Write(err_, QStringLiteral("%1: back; watching again\n").arg(unit.Named()));
            if (!interrupted_) {
                Ask(index);
            }
        });
    }

    // Units are opened as the rollout starts them: canaries first, so many at once, none after
    // too many failures or an interrupt.
    void StartRollout(int atOnce) {
        flashResults_.resize(states_.size());
        rollout_.emplace(static_cast<int>(states_.size()), request_.canary, atOnce,
                         request_.maxFailures);
        if (!request_.quiet) {
            progress_ = std::make_unique<Progress>(QList<FlashJob*>{}, Progress::OutputOf(err_));
        }
        clock_.start();
        Launch();
    }

    // The version a unit must answer after its update: --expect-version, or its inventory's.
    std::optional<int> ExpectedVersion(int index) const {
        if (request_.expectVersion) {
            return request_.expectVersion;
        }
        const auto unit = static_cast<size_t>(index);
        return unit < request_.units.size() ? request_.units[unit].intended.firmware : std::nullopt;
    }

    static Rollout::State StateOf(FlashResult::End end) {
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

    // Starts what the rollout lets start; once nothing runs and nothing may start, the rest never
    // will.
    void Launch() {
        for (const int index : rollout_->Next()) {
            startedAt_.insert(index, Seconds());
            states_[static_cast<size_t>(index)] = State::kOpening;
            fanOut_->Open(index);
        }
        for (const int index : rollout_->NotStarted()) {
            FinishFlash(index,
                        NeverFlashed(index, FlashResult::End::kNotStarted,
                                     stopReason_.isEmpty() ? QStringLiteral("the rollout stopped")
                                                           : stopReason_));
        }
    }

    double Seconds() const { return static_cast<double>(clock_.elapsed()) / 1000; }

    // The result of a unit whose update never began.
    FlashResult NeverFlashed(int index, FlashResult::End end, const QString& why) const {
        FlashResult result;
        result.named = fanOut_->Named(index);
        result.unit = fanOut_->TargetOf(index).name;
        result.port = fanOut_->TargetOf(index).port;
        result.end = end;
        result.why = why;
        result.blocks = blocks_;
        return result;
    }

    // A unit that answers the expected version already is skipped, unless --force.
    void BeginFlash(int index, unit::Session& session) {
        auto* job = new FlashJob(session, *image_, request_);
        job->setParent(&jobs_);
        job->ExpectVersion(ExpectedVersion(index));
        running_.insert(index, job);
        QObject::connect(job, &FlashJob::Said, [this](const QString& line) { Say(line); });
        QObject::connect(job, &FlashJob::Finished, [this, index](const FlashResult& result) {
            running_.remove(index);
            FlashEnded(index, result, StateOf(result.end));
        });
        if (progress_) {
            progress_->Add(job);
        }
        const std::optional<int> expected = ExpectedVersion(index);
        if (!expected || request_.force) {
            job->Start();
            return;
        }
        session.AskClock(
            [this, job, expected](const unit::Result<unit::Session::ClockAnswer>& answer) {
                if (interrupted_) {
                    job->NotStarted(QStringLiteral("interrupted"));
                } else if (answer && Answers(expected, answer->clock.version)) {
                    job->Skip(*expected);
                } else {
                    job->Start();
                }
            });
    }

    void FlashEnded(int index, FlashResult result, Rollout::State state) {
        result.startedAt = startedAt_.value(index, -1);
        rollout_->Ended(index, state);
        if (rollout_->Stopped() && stopReason_.isEmpty()) {
            stopReason_ = index < request_.canary
                              ? QStringLiteral("the canary %1 failed").arg(result.named)
                              : QStringLiteral("--max-failures %1 reached")
                                    .arg(request_.maxFailures.value_or(0));
        }
        FinishFlash(index, std::move(result));
    }

    void FinishFlash(int index, FlashResult result) {
        result.endedAt = Seconds();
        flashResults_[static_cast<size_t>(index)] = result;
        Ended(index, {});
    }

    // A message for the operator (a retry, a stop on its way): not with --quiet.
    void Say(const QString& line) {
        if (request_.quiet) {
            return;
        }
        if (progress_) {
            progress_->Say(line);
        } else {
            Write(err_, line + QLatin1Char('\n'));
        }
    }

    void Quit() {
        if (loop_) {
            loop_->quit();
        }
    }

    // Ctrl-C reaches the event loop (POSIX; elsewhere it ends the program at once).
    void WatchInterrupts() {
        interrupts_ = std::make_unique<unit::Interrupts>();
        QObject::connect(interrupts_.get(), &unit::Interrupts::Interrupted,
                         [this](int code) { Interrupt(code); });
    }

    // `code` is the exit code the signal asks for: 130 for Ctrl-C, 143 for SIGTERM. A rollout
    // stops after the blocks in flight, and at once on a second signal; every other command stops
    // at once. Either way each unit ends with its result, and each change begun with its record.
    void Interrupt(int code) {
        interruptCode_ = code;
        const bool again = interrupted_;
        interrupted_ = true;
        if (request_.watch) {
            Quit();
            return;
        }
        if (flashing_ && !again) {
            Say(
                QStringLiteral("irigctl: stopping after the blocks in flight (Ctrl-C again stops "
                               "at once)"));
            stopReason_ = QStringLiteral("interrupted");
            rollout_->Stop();
            for (FlashJob* job : running_) {
                job->Interrupt();
            }
        } else {
            for (FlashJob* job : QList<FlashJob*>(running_.values())) {
                job->StopNow();
            }
            fanOut_->Interrupt();
        }
        // Units whose ports are still opening have begun nothing: they end here.
        for (size_t unit = 0; unit < states_.size(); ++unit) {
            if (states_[unit] == State::kOpening) {
                NotStarted(static_cast<int>(unit));
            }
        }
        if (flashing_) {
            Launch();
        } else {
            for (size_t unit = next_; unit < states_.size(); ++unit) {
                NotStarted(static_cast<int>(unit));
            }
        }
    }

    void NotStarted(int index) {
        if (flashing_) {
            FlashEnded(
                index,
                NeverFlashed(index, FlashResult::End::kNotStarted, QStringLiteral("interrupted")),
                Rollout::State::kNotStarted);
            return;
        }
        Outcome outcome;
        outcome.exitCode = interruptCode_;
        outcome.error = fanOut_->Named(index) + QStringLiteral(": not started: interrupted");
        outcome.json =
            TargetJson(index, {{QStringLiteral("error"), QStringLiteral("interrupted")}});
        if (request_.command == QLatin1String("apply")) {
            outcome.text = fanOut_->Named(index) + QStringLiteral(": not started\n");
            outcome.json.insert(QStringLiteral("result"), QStringLiteral("not started"));
        }
        Ended(index, outcome);
    }

    int FlashExitCode() const {
        const Rollout::Summary summary = rollout_->Count();
        return portFailed_                               ? kPortFailed
               : summary.failed + summary.notStarted > 0 ? kUnitFailed
                                                         : kDone;
    }

    int Report() {
        if (progress_) {
            progress_->Finish();
        }
        if (flashing_) {
            return ReportFlash();
        }
        if (applying_) {
            return ReportApply();
        }
        int exitCode = kDone;
        QJsonArray units;
        for (const Outcome& outcome : outcomes_) {
            exitCode = std::max(exitCode, outcome.exitCode);
            // A watch has said its readings; what ended it (a port that never opened) is still
            // said here.
            if (!request_.watch || outcome.json.isEmpty() || outcome.exitCode == kPortFailed) {
                Write(err_,
                      outcome.error.isEmpty() ? QString() : outcome.error + QLatin1Char('\n'));
            }
            if (!request_.watch && !request_.json) {
                Write(out_, outcome.text);
            }
            units.append(outcome.json);
        }
        if (request_.json && !request_.watch) {
            QJsonObject document;
            if (request_.command == QLatin1String("status")) {
                document.insert(QStringLiteral("units"), units);
            } else {
                document = units.at(0).toObject();
            }
            Write(out_, JsonLine(document));
        }
        return interrupted_ ? interruptCode_ : exitCode;
    }

    int ReportApply() {
        QJsonArray units;
        std::vector<ApplyResult> results;
        for (const std::optional<ApplyResult>& result : applied_) {
            const QString message = ApplyMessage(*result);
            Write(err_, message.isEmpty() ? message : message + QLatin1Char('\n'));
            if (!request_.json) {
                Write(out_, ApplyLine(*result));
            }
            units.append(ApplyJson(*result));
            results.push_back(*result);
        }
        if (request_.json) {
            Write(out_, JsonLine({{QStringLiteral("units"), units}}));
        }
        return interrupted_ ? interruptCode_ : ApplyExitCode(results);
    }

    int ReportFlash() {
        QJsonArray units;
        for (const std::optional<FlashResult>& result : flashResults_) {
            const QString message = FlashMessage(*result);
            Write(err_, message.isEmpty() ? message : message + QLatin1Char('\n'));
            if (!request_.json) {
                Write(out_, FlashLine(*result));
            }
            units.append(FlashJson(*result));
        }
        if (request_.json) {
            firmware_.insert(QStringLiteral("file"), request_.file);
            Write(out_, JsonLine({{QStringLiteral("units"), units},
                                  {QStringLiteral("firmware"), firmware_}}));
        } else if (flashResults_.size() > 1) {
            Write(out_, SummaryText(rollout_->Count()));
        }
        return interrupted_ ? interruptCode_ : FlashExitCode();
    }

    const Request& request_;
    std::FILE* out_;
    std::FILE* err_;
    unit::PortMaker makePort_;
    const bool flashing_ = request_.command == QLatin1String("flash");
    const bool applying_ = request_.command == QLatin1String("apply");
    std::optional<QEventLoop> loop_;  // while the units are served (inspect needs none)
    std::unique_ptr<FanOut> fanOut_;
    int bound_ = 1;  // the most units served at once, but for flash
    std::vector<State> states_;
    size_t next_ = 0;      // the next unit to start, but for flash
    size_t finished_ = 0;  // units ended
    std::vector<Outcome> outcomes_;
    std::vector<std::optional<ApplyResult>> applied_;
    // flash
    std::unique_ptr<flash::FlashImage> image_;
    int blocks_ = 0;
    std::vector<std::optional<FlashResult>> flashResults_;
    QObject jobs_;                   // the jobs' parent
    QHash<int, FlashJob*> running_;  // by unit
    std::optional<Rollout> rollout_;
    QString stopReason_;
    QElapsedTimer clock_;           // since the rollout began
    QHash<int, double> startedAt_;  // seconds, by unit
    bool portFailed_ = false;
    std::shared_ptr<unit::ChangeRecord> changes_;
    std::unique_ptr<Progress> progress_;
    std::unique_ptr<unit::Interrupts> interrupts_;
    QJsonObject firmware_;
    bool interrupted_ = false;
    int interruptCode_ = kInterrupted;
};

}  // namespace

int Run(const Request& request, std::FILE* out, std::FILE* err, const unit::PortMaker& makePort,
        const unit::ChangeRecord::Sink& changes) {
    return Runner(request, out, err, makePort, changes).Exec();
}

}  // namespace irig::cli
