// Runs one irigctl request: Run hands it to its command. A command that works on units does it
// through a Runner: the ports checked before any is opened, every unit served at once from one
// event loop (opened in the order and number a Rollout lets start, each borrowed from a monitor
// first when one is named and given back once closed when its work ends), and Ctrl-C, which ends
// every unit with its result. What each unit's work is, and what is said of it, is the command's
// Work.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonObject>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "cli/command.h"
#include "cli/fanout.h"
#include "cli/rollout.h"
#include "lease/borrower.h"
#include "unit/changerecord.h"
#include "unit/interrupts.h"
#include "unit/session.h"

namespace irig::cli {

// `makePort` makes each port's serial component; by default one on a real serial port or a
// terminal server's, connecting within --timeout (5 s without).
// Every change made to a unit is recorded through `changes`, by default the system log. A busy
// port's watcher is asked for at `localMonitor`, by default lease::kLocalMonitor.
int Run(const Request& request, std::FILE* out, std::FILE* err,
        const unit::PortMaker& makePort = {}, const unit::ChangeRecord::Sink& changes = {},
        const QUrl& localMonitor = {});

// The most units served at once, within the file limit: each a port, a session of some 25 KiB and
// a request or two in flight, in one event loop.
inline constexpr int kMostAtOnce = 1000;

class Runner {
public:
    // What a command does with each unit, and says at the end. Each unit's work ends with End.
    class Work {
    public:
        virtual ~Work() = default;
        // Before any port is opened (flash: the firmware); another exit code than kDone ends the
        // run with it.
        virtual int Prepare() { return kDone; }
        // The unit's port is open: its work begins.
        virtual void Begin(int unit, unit::Session& session) = 0;
        // The unit's port cannot be opened.
        virtual void OpenFailed(int unit, const QString& why) = 0;
        // The unit never began: interrupted, or the rollout stopped.
        virtual void NotStarted(int unit) = 0;
        // Ctrl-C (`again` for a second one). True when the work stops by itself and the sessions
        // are to be left to end their requests.
        virtual bool Interrupt(bool /*again*/) { return false; }
        // Every unit has ended (or a watch was interrupted): the results; the exit code.
        virtual int Report() = 0;
    };

    // How the units start: the first `canary` alone, at most `mostAtOnce` at once (no more than
    // the file limit lets open; none: every unit at once), none once `maxFailures` have failed.
    // A watch awaits a lost port back, and Ctrl-C ends it at once.
    struct Pace {
        int canary = 0;
        std::optional<int> mostAtOnce = kMostAtOnce;
        std::optional<int> maxFailures;
        bool watch = false;
    };

    Runner(const Request& request, const Context& context, Work& work);
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;
    ~Runner();

    int Exec(const Pace& pace);

    // The unit's work has ended as `state`: its port closes and the next units may start. A unit
    // ends once; HasEnded says whether it has.
    void End(int unit, Rollout::State state = Rollout::State::kDone);
    bool HasEnded(int unit) const { return states_[static_cast<size_t>(unit)] == State::kEnded; }

    const FanOut& Units() const { return *fanOut_; }
    const Rollout& Schedule() const { return *rollout_; }
    bool Interrupted() const { return interrupted_; }
    int InterruptCode() const { return interruptCode_; }
    // Since the units began to start, and when the unit started (-1: never), in seconds.
    double Seconds() const { return static_cast<double>(clock_.elapsed()) / 1000; }
    double StartedAt(int unit) const { return startedAt_[static_cast<size_t>(unit)]; }
    // The unit's JSON before or without its session: "port", and "unit" where it has a name.
    QJsonObject TargetJson(int unit, QJsonObject json) const;

private:
    enum class State { kQueued, kOpening, kWorking, kEnded };

    QString SamePort() const;
    QString BadAddress() const;
    void Launch();
    void Open(int unit);
    void Opened(int unit);
    void OpenFailed(int unit, const QString& why);
    void Closed(int unit);
    void Interrupt(int code);
    void Quit();

    const Request& request_;
    const Context& context_;
    Work& work_;
    std::unique_ptr<FanOut> fanOut_;
    std::unique_ptr<lease::Borrower> borrowing_;
    std::optional<Rollout> rollout_;
    std::vector<State> states_;
    std::vector<double> startedAt_;
    size_t finished_ = 0;  // units ended
    bool watch_ = false;
    std::optional<QEventLoop> loop_;
    std::unique_ptr<unit::Interrupts> interrupts_;
    QElapsedTimer clock_;
    bool interrupted_ = false;
    bool quitting_ = false;  // a watch interrupted: ends once its leases are back
    int interruptCode_ = kInterrupted;
};

}  // namespace irig::cli
