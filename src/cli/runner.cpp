#include "cli/runner.h"

#include <QCoreApplication>
#include <algorithm>

#include "cli/commandline.h"
#include "link/portmap.h"
#include "link/printable.h"
#include "link/sameplace.h"
#include "unit/filelimit.h"

namespace irig::cli {

int Run(const Request& request, std::FILE* out, std::FILE* err, const unit::PortMaker& makePort,
        const unit::ChangeRecord::Sink& changes, const QUrl& localMonitor) {
    Context context{out, err, makePort ? makePort : unit::RealPorts(request.common.Timeouts()),
                    changes};
    if (!localMonitor.isEmpty()) {
        context.localMonitor = localMonitor;
    }
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
    if (const QString same = SamePort(); !same.isEmpty()) {
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
        std::make_shared<unit::ChangeRecord>(
            context_.changes ? context_.changes : unit::ChangeRecord::SystemLog("irigctl")),
        watch_);
    QObject::connect(fanOut_.get(), &FanOut::Opened, [this](int unit) { Opened(unit); });
    QObject::connect(fanOut_.get(), &FanOut::OpenFailed,
                     [this](int unit, const QString& why) { OpenFailed(unit, why); });
    QObject::connect(fanOut_.get(), &FanOut::Closed, [this](int unit) { Closed(unit); });
    borrowing_ = std::make_unique<lease::Borrower>(request_.common.monitor,
                                                   QStringLiteral("irigctl %1 (pid %2)")
                                                       .arg(QLatin1String(request_.command->name))
                                                       .arg(QCoreApplication::applicationPid()),
                                                   static_cast<int>(units), context_.localMonitor);
    borrowing_->SetTls(lease::MonitorTls::Environment().Over(request_.common.monitorTls));
    // A lease lost ends the unit's work as a port lost would: its requests stop at once.
    QObject::connect(borrowing_.get(), &lease::Borrower::Lost,
                     [this](int unit, const QString& why) {
                         Write(context_.err, why + QLatin1Char('\n'));
                         if (unit::Session* session = fanOut_->SessionOf(unit)) {
                             session->Interrupt();
                         }
                     });
    QObject::connect(
        borrowing_.get(), &lease::Borrower::Returned, [this](int unit, const QString& problem) {
            if (!problem.isEmpty()) {
                Write(context_.err, QStringLiteral("%1: not given back to irigctl monitor: %2\n")
                                        .arg(fanOut_->Named(unit), problem));
            }
            if ((finished_ == states_.size() || quitting_) && borrowing_->Outstanding() == 0) {
                Quit();
            }
        });
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
    if (finished_ < units || borrowing_->Outstanding() > 0) {
        loop_->exec();
    }
    return work_.Report();
}

// Two ports that reach one unit (its hosts as written: names are told apart once opened), said
// before anything is opened; empty when there are none.
QString Runner::SamePort() const {
    link::Places places;
    for (qsizetype i = 0; i < request_.common.ports.size(); ++i) {
        const QString& port = request_.common.ports[i];
        const link::Place place = link::Place::Of(port);
        if (const std::optional<link::Places::Found> first = places.Find(place)) {
            return link::PrintableUtf8(
                QStringLiteral("%1 and %2 reach one unit (%3)")
                    .arg(request_.common.ports[first->index], port, first->shown));
        }
        places.Add(place, static_cast<int>(i));
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
        Open(unit);
    }
    for (const int unit : rollout_->NotStarted()) {
        work_.NotStarted(unit);
    }
}

// With a monitor named, the port opens only once the unit is lent; a refusal is a port that
// cannot be opened.
void Runner::Open(int unit) {
    if (!borrowing_->Named()) {
        fanOut_->Open(unit);
        return;
    }
    const FanOut::Target& target = fanOut_->TargetOf(unit);
    borrowing_->Take(
        unit, {link::PortAsOpened(target.port)},
        [this, unit] {
            if (states_[static_cast<size_t>(unit)] == State::kOpening) {
                fanOut_->Open(unit);
            }
        },
        [this, unit](const QString& why) {
            if (!HasEnded(unit)) {
                work_.OpenFailed(unit, why);
            }
        });
}

// A busy port, with no monitor named, may be the local monitor's: if so, that is what is said.
void Runner::OpenFailed(int unit, const QString& why) {
    const unit::Session* session = fanOut_->SessionOf(unit);
    if (borrowing_->Named() || session == nullptr || !session->LastFailure().Busy()) {
        work_.OpenFailed(unit, why);
        return;
    }
    const QString port = fanOut_->TargetOf(unit).port;
    borrowing_->AskWatcher(link::PrintableUtf8(port), link::PortAsOpened(port),
                           [this, unit, why](const std::optional<QString>& watched) {
                               if (!HasEnded(unit)) {
                                   work_.OpenFailed(unit, watched.value_or(why));
                               }
                           });
}

// The unit's port has closed: its lease goes back.
void Runner::Closed(int unit) {
    borrowing_->Return(unit);
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
    if (fanOut_->SessionOf(unit) == nullptr) {
        borrowing_->Return(unit);  // no port was opened: nothing to wait for
    }
    fanOut_->Close(unit);
    ++finished_;
    Launch();
    if (finished_ == states_.size() && borrowing_->Outstanding() == 0) {
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
    if (watch_ && !borrowing_->Named()) {
        Quit();
        return;
    }
    if (watch_) {
        // Every port closes and every lease goes back before the watch ends.
        quitting_ = true;
        for (size_t unit = 0; unit < states_.size(); ++unit) {
            if (fanOut_->SessionOf(static_cast<int>(unit)) == nullptr) {
                borrowing_->Return(static_cast<int>(unit));
            }
            fanOut_->Close(static_cast<int>(unit));
        }
        if (borrowing_->Outstanding() == 0) {
            Quit();
        }
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
