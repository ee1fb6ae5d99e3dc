#include "cli/runner.h"

#include <QEventLoop>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <memory>
#include <optional>
#include <vector>

#include "cli/commands.h"
#include "cli/flashjob.h"
#include "cli/inspect.h"
#include "cli/progress.h"
#include "link/portmap.h"
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
    Runner(const Request& request, std::FILE* out, std::FILE* err, unit::PortMaker makePort)
        : request_(request),
          out_(out),
          err_(err),
          makePort_(makePort ? std::move(makePort) : unit::RealPorts(TimeoutsOf(request))) {}
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;
    int Exec() {
        if (request_.command == QLatin1String("inspect")) {
            return RunInspect();
        }
        if (const QString same = SameDevice(); !same.isEmpty()) {
            Write(err_, QStringLiteral("irigctl: %1\nRun \"irigctl --help\" for the commands and "
                                       "options.\n")
                            .arg(same));
            return kUsage;
        }
        if (const QString bad = BadAddress(); !bad.isEmpty()) {
            Write(err_, QStringLiteral("irigctl: %1\nRun \"irigctl --help\" for the commands and "
                                       "options.\n")
                            .arg(bad));
            return kUsage;
        }
        image_ = std::make_unique_for_overwrite<flash::FlashImage>();
        if (request_.command == QLatin1String("flash") && !LoadFirmware(*image_)) {
            return kBadFile;
        }
        outcomes_.resize(request_.ports.size());
        for (qsizetype i = 0; i < request_.ports.size(); ++i) {
            sessions_.push_back(std::make_unique<unit::Session>(request_.ports[i], makePort_(),
                                                                TimeoutsOf(request_)));
            unit::Session& session = *sessions_.back();
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
            if (const QString problem = link::PortAddressProblem(port); !problem.isEmpty()) {
                return problem;
            }
        }
        return {};
    }

    void Opened(size_t index) {
        unit::Session& session = *sessions_[index];
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

    void StartFlash(const flash::FlashImage& image) {
        QList<FlashJob*> jobs;
        for (size_t i = 0; i < sessions_.size(); ++i) {
            if (failedOpen_.contains(i)) {
                continue;
            }
            auto* job = new FlashJob(*sessions_[i], image, request_);
            job->setParent(sessions_[i].get());
            QObject::connect(job, &FlashJob::Said, [this](const QString& line) { Say(line); });
            QObject::connect(job, &FlashJob::Finished, [this, i](const Outcome& outcome) {
                outcomes_[i] = outcome;
                Finished();
            });
            jobs.append(job);
        }
        jobs_ = jobs;
        if (!request_.quiet) {
            progress_ = std::make_unique<Progress>(jobs, Progress::OutputOf(err_));
        }
        for (FlashJob* job : jobs) {
            job->Start();
        }
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
        for (FlashJob* job : jobs_) {
            job->Interrupt();
        }
    }

    int Report() {
        if (progress_) {
            progress_->Finish();
        }
        int exitCode = kDone;
        QJsonArray units;
        int done = 0;
        for (const Outcome& outcome : outcomes_) {
            exitCode = std::max(exitCode, outcome.exitCode);
            done += outcome.exitCode == kDone ? 1 : 0;
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
            Write(out_, QStringLiteral("%1 done, %2 failed\n")
                            .arg(done)
                            .arg(static_cast<qsizetype>(outcomes_.size()) - done));
        }
        if (request_.json && !request_.watch) {
            QJsonObject document;
            if (request_.command == QLatin1String("status") ||
                request_.command == QLatin1String("flash")) {
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
    std::unique_ptr<Progress> progress_;
    std::unique_ptr<unit::Interrupts> interrupts_;
    QJsonObject firmware_;
    bool interrupted_ = false;
    int interruptCode_ = kInterrupted;
};

}  // namespace

int Run(const Request& request, std::FILE* out, std::FILE* err, const unit::PortMaker& makePort) {
    return Runner(request, out, err, makePort).Exec();
}

}  // namespace irig::cli
