#include "cli/runner.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QSet>
#include <memory>
#include <optional>
#include <vector>

#include "cli/apply.h"
#include "cli/commands.h"
#include "cli/flashjob.h"
#include "cli/inspect.h"
#include "cli/progress.h"
#include "cli/rollout.h"
#include "link/portmap.h"
#include "unit/changerecord.h"
#include "unit/interrupts.h"

namespace irig::cli {

namespace {

constexpr int kWatchMs = 500;

void Write(std::FILE* file, const QString& text) {
    if (!text.isEmpty()) {
        (void)std::fputs(text.toLocal8Bit().constData(), file);
        (void)std::fflush(file);
    }
}

QString JsonLine(const QJsonObject& json) {
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact)) +
           QLatin1Char('\n');
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
        if (request_.command == QLatin1String("flash")) {
            image_ = std::make_unique_for_overwrite<flash::FlashImage>();
            if (!LoadFirmware(*image_)) {
                return kBadFile;
            }
        }
        outcomes_.resize(request_.ports.size());
        for (qsizetype i = 0; i < request_.ports.size(); ++i) {
            sessions_.push_back(std::make_unique<unit::Session>(request_.ports[i], makePort_(),
                                                                TimeoutsOf(request_)));
            unit::Session& session = *sessions_.back();
            session.SetChangeRecord(changes_);
            if (static_cast<size_t>(i) < request_.units.size()) {
                session.SetUnitName(request_.units[size_t(i)].name);
            }
            if (request_.watch) {
                session.KeepOpen();
            }
            QObject::connect(&session, &unit::Session::Opened, &session,
                             [this, i] { Opened(size_t(i)); });
            QObject::connect(&session, &unit::Session::OpenFailed, &session,
                             [this, i](const QString& why) { OpenFailed(size_t(i), why); });
            session.Open();
        }
        WatchInterrupts();
        loop_.emplace();
        loop_->exec();
        return Report();
    }

private:
    // Two ports that name one device, said before anything is opened; empty when there are none.
    QString SameDevice() const {
        QHash<QString, QString> named;  // device: the first port that named it
        for (const QString& port : request_.ports) {
            const QString device = link::ResolvePortName(port);
            if (const auto first = named.constFind(device); first != named.cend()) {
                return QStringLiteral("%1 and %2 are the same device (%3)")
                    .arg(*first, port, device);
            }
            named.insert(device, port);
        }
        return {};
    }

    // A port (or the target of its port-map link) meant as a terminal server's address but none.
    QString BadAddress() const {
        for (const QString& port : request_.ports) {
            if (QString problem = link::PortAddressProblem(port); !problem.isEmpty()) {
                return problem;
            }
        }
        return {};
    }

    void Opened(size_t index) {
        const unit::Session& session = *sessions_[index];
        if (const QString note = session.Note(); !note.isEmpty() && !request_.quiet) {
            Write(err_, QStringLiteral("%1: %2\n").arg(session.Named(), note));
        }
        if (request_.watch) {
            Watch(index);
        }
        Decided();
    }

    void OpenFailed(size_t index, const QString& why) {
        Outcome& failed = outcomes_[index];
        failed.exitCode = kPortFailed;
        failed.error =
            QStringLiteral("%1: cannot open the port: %2").arg(sessions_[index]->Port(), why);
        failed.json = {{QStringLiteral("port"), sessions_[index]->Port()},
                       {QStringLiteral("error"), why}};
        failedOpen_.insert(index);
        ++finished_;
        Decided();
    }

    // Once every port has opened or failed to, the command starts on those that opened.
    void Decided() {
        if (++decided_ < sessions_.size()) {
            return;
        }
        if (interrupted_) {
            Quit();
            return;
        }
        if (request_.command == QLatin1String("flash")) {
            StartFlash(*image_);
        } else {
            for (size_t i = 0; i < sessions_.size(); ++i) {
                if (!failedOpen_.contains(i)) {
                    Ask(i);
                }
            }
        }
        if (finished_ == outcomes_.size()) {
            Quit();
        }
    }

    int RunInspect() {
        auto image = std::make_unique_for_overwrite<flash::FlashImage>();
        const Inspection inspection = Inspect(request_.file, *image);
        if (!inspection.readable) {
            Write(err_, QStringLiteral("irigctl: cannot read %1: %2\n")
                            .arg(request_.file, inspection.readError));
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

    // The firmware is loaded and judged before anything is sent to any unit.
    bool LoadFirmware(flash::FlashImage& image) {
        const Inspection inspection = Inspect(request_.file, image);
        if (!inspection.readable) {
            Write(err_, QStringLiteral("irigctl: cannot read %1: %2\n")
                            .arg(request_.file, inspection.readError));
            return false;
        }
        if (!inspection.programmable) {
            QStringList lines = inspection.messages;
            if (!inspection.advice.isEmpty()) {
                lines.append(inspection.advice);
            }
            Write(err_, QStringLiteral("irigctl: %1 is refused, nothing was sent:\n%2\n")
                            .arg(request_.file, lines.join(QLatin1Char('\n'))));
            return false;
        }
        if (inspection.overlappingBytes > 0 && !request_.allowOverlap) {
            Write(err_, QStringLiteral("irigctl: %1 is refused, nothing was sent: %2 bytes are "
                                       "stored by more than one record, the first at %3 (a mixed "
                                       "or concatenated file?); --allow-overlap flashes it as "
                                       "the window would, the last record of an address winning\n")
                            .arg(request_.file)
                            .arg(inspection.overlappingBytes)
                            .arg(Address(inspection.firstOverlap)));
            return false;
        }
        firmware_ = inspection.Json();
        return true;
    }

    void Ask(size_t index) {
        unit::Session& unit = *sessions_[index];
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
        } else if (command == QLatin1String("apply")) {
            Apply(unit, request_.units.at(index).intended, request_.check, done);
        }
    }

    void Answered(size_t index, const Outcome& outcome) {
        if (!request_.watch) {
            outcomes_[index] = outcome;
            Finished();
            return;
        }
        // --watch: each reading as it comes; a lost port is awaited back, and the watch goes on.
        Write(out_, request_.json ? JsonLine(outcome.json) : outcome.text);
        if (!sessions_[index]->IsOpen()) {
            return;  // said by the port watch, which asks again once the port is back
        }
        Write(err_, outcome.error.isEmpty() ? QString() : outcome.error + QLatin1Char('\n'));
        QTimer::singleShot(kWatchMs, sessions_[index].get(), [this, index] {
            if (!interrupted_ && sessions_[index]->IsOpen()) {
                Ask(index);
            }
        });
    }

    // A watched unit's port, when lost, is awaited back as itself; the watch says so on standard
    // error and goes on once it is back.
    void Watch(size_t index) {
        unit::Session& unit = *sessions_[index];
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

    // Every unit that opened gets its job, started as the rollout says: canaries first, so many
    // at once, none after too many failures or an interrupt.
    void StartFlash(const flash::FlashImage& image) {
        for (size_t i = 0; i < sessions_.size(); ++i) {
            if (failedOpen_.contains(i)) {
                continue;
            }
            auto* job = new FlashJob(*sessions_[i], image, request_);
            job->setParent(sessions_[i].get());
            job->ExpectVersion(ExpectedVersion(i));
            const int index = static_cast<int>(jobs_.size());
            QObject::connect(job, &FlashJob::Said, [this](const QString& line) { Say(line); });
            QObject::connect(job, &FlashJob::Finished, [this, i, index, job](const Outcome& ended) {
                Outcome outcome = ended;
                outcome.json.insert(QStringLiteral("startedAt"), startedAt_.value(index, -1));
                outcome.json.insert(QStringLiteral("endedAt"),
                                    static_cast<double>(clock_.elapsed()) / 1000);
                outcomes_[i] = outcome;
                rollout_->Ended(index, StateOf(job->CurrentPhase()));
                if (rollout_->Stopped() && stopReason_.isEmpty()) {
                    stopReason_ =
                        index < request_.canary
                            ? QStringLiteral("the canary %1 failed").arg(sessions_[i]->Named())
                            : QStringLiteral("--max-failures %1 reached")
                                  .arg(request_.maxFailures.value_or(0));
                }
                Finished();
                Launch();
            });
            jobs_.append(job);
            jobIndex_.push_back(i);
        }
        rollout_.emplace(static_cast<int>(jobs_.size()), request_.canary, request_.maxParallel,
                         request_.maxFailures);
        if (!request_.quiet) {
            progress_ = std::make_unique<Progress>(jobs_, Progress::OutputOf(err_));
        }
        clock_.start();
        Launch();
    }

    // The version a unit must answer after its update: --expect-version, or its inventory's.
    std::optional<QString> ExpectedVersion(size_t session) const {
        if (request_.expectVersion) {
            return request_.expectVersion;
        }
        if (session < request_.units.size() && request_.units[session].intended.firmware) {
            return fleet::VersionName(*request_.units[session].intended.firmware);
        }
        return std::nullopt;
    }

    static Rollout::State StateOf(FlashJob::Phase phase) {
        switch (phase) {
            case FlashJob::Phase::kDone:
                return Rollout::State::kDone;
            case FlashJob::Phase::kSkipped:
                return Rollout::State::kSkipped;
            case FlashJob::Phase::kInterrupted:
                return Rollout::State::kStopped;
            case FlashJob::Phase::kNotStarted:
                return Rollout::State::kNotStarted;
            default:
                return Rollout::State::kFailed;
        }
    }

    // Starts what the rollout lets start; once nothing runs and nothing may start, the rest never
    // will.
    void Launch() {
        for (const int index : rollout_->Next()) {
            Begin(index);
        }
        for (const int index : rollout_->NotStarted()) {
            jobs_[index]->NotStarted(stopReason_.isEmpty() ? QStringLiteral("the rollout stopped")
                                                           : stopReason_);
        }
    }

    // A unit that answers the expected version already is skipped, unless --force.
    void Begin(int index) {
        FlashJob& job = *jobs_[index];
        startedAt_.insert(index, static_cast<double>(clock_.elapsed()) / 1000);
        const std::optional<QString> expected = ExpectedVersion(jobIndex_[size_t(index)]);
        if (!expected || request_.force) {
            job.Start();
            return;
        }
        unit::Session& session = *sessions_[jobIndex_[size_t(index)]];
        session.AskClock(
            [this, &job, expected](const unit::Result<unit::Session::ClockAnswer>& answer) {
                if (interrupted_) {
                    job.NotStarted(QStringLiteral("interrupted"));
                } else if (answer && answer->clock.version &&
                           fleet::VersionTenths(*expected) == answer->clock.version) {
                    job.Skip(*expected);
                } else {
                    job.Start();
                }
            });
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

    void Finished() {
        if (++finished_ == outcomes_.size()) {
            Quit();
        }
    }

    // Ctrl-C reaches the event loop (POSIX; elsewhere it ends the program at once).
    void WatchInterrupts() {
        interrupts_ = std::make_unique<unit::Interrupts>();
        QObject::connect(interrupts_.get(), &unit::Interrupts::Interrupted,
                         [this](int code) { Interrupt(code); });
    }

    // `code` is the exit code the signal asks for: 130 for Ctrl-C, 143 for SIGTERM.
    void Interrupt(int code) {
        interruptCode_ = code;
        if (interrupted_ || jobs_.isEmpty()) {
            // A second Ctrl-C, or a command that has nothing to finish: stop at once.
            interrupted_ = true;
            for (size_t i = 0; i < sessions_.size(); ++i) {
                if (!failedOpen_.contains(i) && outcomes_[i].json.isEmpty() && !request_.watch) {
                    outcomes_[i].exitCode = kInterrupted;
                    outcomes_[i].error = sessions_[i]->Named() + QStringLiteral(": interrupted");
                }
            }
            Quit();
            return;
        }
        interrupted_ = true;
        Say(
            QStringLiteral("irigctl: stopping after the blocks in flight (Ctrl-C again stops at "
                           "once)"));
        stopReason_ = QStringLiteral("interrupted");
        rollout_->Stop();
        for (FlashJob* job : jobs_) {
            job->Interrupt();
        }
        Launch();
    }

    // "3 done, 1 failed, 2 skipped, 4 not started": done and failed always, the others when some.
    QString Summary(const QMap<QString, int>& results) const {
        const int done = results.value(QStringLiteral("done"));
        const int skipped = results.value(QStringLiteral("skipped"));
        const int stopped = results.value(QStringLiteral("interrupted"));
        const int notStarted = results.value(QStringLiteral("not started"));
        QString text =
            QStringLiteral("%1 done, %2 failed")
                .arg(done)
                .arg(static_cast<int>(outcomes_.size()) - done - skipped - stopped - notStarted);
        for (const auto& [count, what] :
             {std::pair{skipped, "skipped"}, {stopped, "stopped"}, {notStarted, "not started"}}) {
            if (count > 0) {
                text += QStringLiteral(", %1 %2").arg(count).arg(QLatin1String(what));
            }
        }
        return text + QLatin1Char('\n');
    }

    // A port that did not open, then a unit that failed, then --check's "something would change".
    int ApplyExitCode() const {
        int code = kDone;
        for (const int wanted : {kPortFailed, kUnitFailed, kWouldChange}) {
            if (std::any_of(outcomes_.begin(), outcomes_.end(),
                            [wanted](const Outcome& o) { return o.exitCode == wanted; })) {
                return wanted;
            }
        }
        return code;
    }

    int Report() {
        if (progress_) {
            progress_->Finish();
        }
        int exitCode = kDone;
        QJsonArray units;
        QMap<QString, int> results;  // flash: how many units ended so
        for (const Outcome& outcome : outcomes_) {
            exitCode = std::max(exitCode, outcome.exitCode);
            ++results[outcome.json.value(QStringLiteral("result")).toString()];
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
        if (request_.command == QLatin1String("flash") && outcomes_.size() > 1 && !request_.json) {
            Write(out_, Summary(results));
        }
        if (request_.command == QLatin1String("apply")) {
            exitCode = ApplyExitCode();
        }
        if (request_.json && !request_.watch) {
            QJsonObject document;
            if (request_.command == QLatin1String("status") ||
                request_.command == QLatin1String("flash") ||
                request_.command == QLatin1String("apply")) {
                document.insert(QStringLiteral("units"), units);
                if (!firmware_.isEmpty()) {
                    firmware_.insert(QStringLiteral("file"), request_.file);
                    document.insert(QStringLiteral("firmware"), firmware_);
                }
            } else {
                document = units.at(0).toObject();
            }
            Write(out_, JsonLine(document));
        }
        return interrupted_ ? interruptCode_ : exitCode;
    }

    const Request& request_;
    std::FILE* out_;
    std::FILE* err_;
    unit::PortMaker makePort_;
    std::optional<QEventLoop> loop_;  // while the units are served (inspect needs none)
    std::vector<std::unique_ptr<unit::Session>> sessions_;
    QSet<size_t> failedOpen_;
    std::unique_ptr<flash::FlashImage> image_;
    std::vector<Outcome> outcomes_;
    size_t decided_ = 0;  // ports opened or failed to
    size_t finished_ = 0;
    QList<FlashJob*> jobs_;
    std::vector<size_t> jobIndex_;  // each job's session
    std::optional<Rollout> rollout_;
    QString stopReason_;
    QElapsedTimer clock_;           // since the jobs were made
    QHash<int, double> startedAt_;  // seconds, by job
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
