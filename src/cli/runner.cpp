#include "cli/runner.h"

#include <QHash>
#include <algorithm>

#include "cli/commandline.h"
#include "link/portmap.h"
#include "link/printable.h"
#include "unit/filelimit.h"

namespace irig::cli {

int Run(const Request& request, std::FILE* out, std::FILE* err, const unit::PortMaker& makePort,
        const unit::ChangeRecord::Sink& changes) {
    const Context context{out, err,
                          makePort ? makePort : unit::RealPorts(request.common.Timeouts()),
                          changes ? changes : unit::ChangeRecord::SystemLog("irigctl")};
    return request.command->run(request, context);
}

namespace {

std::vector<FanOut::Target> TargetsOf(const Common& common) {
    std::vector<FanOut::Target> targets;
    targets.reserve(static_cast<size_t>(common.ports.size()));
    for (qsizetype i = 0; i < common.ports.size(); ++i) {
        targets.push_back({common.ports[i], static_cast<size_t>(i) < common.units.size()
                                                ? common.units[static_cast<size_t>(i)].name
                                                : QString()});
    }
    return targets;
}

}  // namespace

Runner::Runner(const Request& request, const Context& context, Work& work)
    : request_(request), context_(context), work_(work) {}

Runner::~Runner() = default;

int Runner::Exec(const Pace& pace) {
    if (const QString same = SameDevice(); !same.isEmpty()) {
        Write(context_.err, UsageText(same));
        return kUsage;
    }
    if (const QString bad = BadAddress(); !bad.isEmpty()) {
        Write(context_.err, UsageText(bad));
        return kUsage;
    }
    if (const int refused = work_.Prepare(); refused != kDone) {
        return refused;
    }
    const int atOnce = unit::UnitsOpenAtOnce(unit::RaiseFileLimit());
    const auto units = static_cast<size_t>(request_.common.ports.size());
    watch_ = pace.watch;
    fanOut_ = std::make_unique<FanOut>(
        TargetsOf(request_.common), context_.makePort, request_.common.Timeouts(),
        std::make_shared<unit::ChangeRecord>(context_.changes), watch_);
    QObject::connect(fanOut_.get(), &FanOut::Opened, [this](int unit) { Opened(unit); });
    QObject::connect(fanOut_.get(), &FanOut::OpenFailed,
                     [this](int unit, const QString& why) { work_.OpenFailed(unit, why); });
    rollout_.emplace(
        static_cast<int>(units), pace.canary,
        pace.mostAtOnce ? std::optional(std::min(*pace.mostAtOnce, atOnce)) : std::nullopt,
        pace.maxFailures);
    states_.assign(units, State::kQueued);
    startedAt_.assign(units, -1);
    // Ctrl-C reaches the event loop (POSIX; elsewhere it ends the program at once).
    interrupts_ = std::make_unique<unit::Interrupts>();
    QObject::connect(interrupts_.get(), &unit::Interrupts::Interrupted,
                     [this](int code) { Interrupt(code); });
    clock_.start();
    Launch();
    loop_.emplace();
    if (finished_ < units) {
        loop_->exec();
    }
    return work_.Report();
}

// Two ports that name one device, said before anything is opened; empty when there are none.
QString Runner::SameDevice() const {
    QHash<QString, QString> named;  // device: the first port that named it
    for (const QString& port : request_.common.ports) {
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
QString Runner::BadAddress() const {
    for (const QString& port : request_.common.ports) {
        if (QString problem = link::PortAddressProblem(port); !problem.isEmpty()) {
            return link::PrintableUtf8(problem);
        }
    }
    return {};
}

// Opens what the rollout lets start; once nothing runs and nothing may start, the rest never
// will.
void Runner::Launch() {
    for (const int unit : rollout_->Next()) {
        startedAt_[static_cast<size_t>(unit)] = Seconds();
        states_[static_cast<size_t>(unit)] = State::kOpening;
        fanOut_->Open(unit);
    }
    for (const int unit : rollout_->NotStarted()) {
        work_.NotStarted(unit);
    }
}

void Runner::Opened(int unit) {
    states_[static_cast<size_t>(unit)] = State::kWorking;
    unit::Session& session = *fanOut_->SessionOf(unit);
    if (const QString note = session.Note(); !note.isEmpty() && !request_.common.quiet) {
        Write(context_.err, QStringLiteral("%1: %2\n").arg(session.Named(), note));
    }
    work_.Begin(unit, session);
}

void Runner::End(int unit, Rollout::State state) {
    if (HasEnded(unit)) {
        return;
    }
    states_[static_cast<size_t>(unit)] = State::kEnded;
    rollout_->Ended(unit, state);
    fanOut_->Close(unit);
    ++finished_;
    Launch();
    if (finished_ == states_.size()) {
        Quit();
    }
}

QJsonObject Runner::TargetJson(int unit, QJsonObject json) const {
    const FanOut::Target& target = fanOut_->TargetOf(unit);
    json.insert(QStringLiteral("port"), target.port);
    if (!target.name.isEmpty()) {
        json.insert(QStringLiteral("unit"), target.name);
    }
    return json;
}

// `code` is the exit code the signal asks for: 130 for Ctrl-C, 143 for SIGTERM. A watch ends at
// once; otherwise no unit starts any more, the work stops as it does (by default every session's
// request and waits end at once), and each unit ends with its result.
void Runner::Interrupt(int code) {
    interruptCode_ = code;
    const bool again = interrupted_;
    interrupted_ = true;
    if (watch_) {
        Quit();
        return;
    }
    rollout_->Stop();
    if (!work_.Interrupt(again)) {
        fanOut_->Interrupt();
    }
    // Units whose ports are still opening have begun nothing: they end here.
    for (size_t unit = 0; unit < states_.size(); ++unit) {
        if (states_[unit] == State::kOpening) {
            work_.NotStarted(static_cast<int>(unit));
        }
    }
    Launch();
}

void Runner::Quit() {
    if (loop_) {
        loop_->quit();
    }
}

}  // namespace irig::cli
