#include "cli/ask.h"

#include <QJsonArray>
#include <memory>
#include <vector>

#include "cli/runner.h"

namespace irig::cli {

namespace {

constexpr int kWatchMs = 500;

class AskWork final : public Runner::Work {
public:
    AskWork(const Request& request, const Context& context, const Ask& ask, bool watch)
        : request_(request),
          context_(context),
          ask_(ask),
          watch_(watch),
          outcomes_(static_cast<size_t>(request.common.ports.size())) {}

    int Exec() {
        Runner::Pace pace;
        pace.watch = watch_;
        if (watch_) {
            pace.mostAtOnce.reset();  // every unit watched at once
        }
        return run_.Exec(pace);
    }

    void Begin(int unit, unit::Session& session) override {
        if (watch_) {
            Watch(unit, session);
        }
        AskUnit(unit);
    }

    // A unit whose port cannot be opened has failed, with its line and its JSON entry.
    void OpenFailed(int unit, const QString& why) override {
        Outcome failed;
        failed.exitCode = kPortFailed;
        failed.error =
            QStringLiteral("%1: cannot open the port: %2").arg(run_.Units().Named(unit), why);
        failed.json = run_.TargetJson(unit, {{QStringLiteral("error"), why}});
        End(unit, failed);
    }

    void NotStarted(int unit) override {
        Outcome outcome;
        outcome.exitCode = run_.InterruptCode();
        outcome.error = run_.Units().Named(unit) + QStringLiteral(": not started: interrupted");
        outcome.json =
            run_.TargetJson(unit, {{QStringLiteral("error"), QStringLiteral("interrupted")}});
        End(unit, outcome, Rollout::State::kNotStarted);
    }

    int Report() override;

private:
    void AskUnit(int unit) {
        ask_(*run_.Units().SessionOf(unit),
             [this, unit](const Outcome& outcome) { Answered(unit, outcome); });
    }

    void Answered(int unit, const Outcome& outcome) {
        if (!watch_) {
            End(unit, outcome);
            return;
        }
        // Each reading as it comes; a lost port is awaited back, and the watch goes on.
        unit::Session& session = *run_.Units().SessionOf(unit);
        Write(context_.out, request_.common.json ? JsonLine(outcome.json) : outcome.text);
        if (!session.IsOpen()) {
            return;  // said by the port watch, which asks again once the port is back
        }
        Write(context_.err,
              outcome.error.isEmpty() ? QString() : outcome.error + QLatin1Char('\n'));
        session.After(kWatchMs, [this, unit, &session] {
            if (!run_.Interrupted() && session.IsOpen()) {
                AskUnit(unit);
            }
        });
    }

    // A watched unit's port, when lost, is awaited back as itself; the watch says so on standard
    // error and goes on once it is back.
    void Watch(int unit, unit::Session& session) {
        auto lostWhy = std::make_shared<QString>();
        QObject::connect(
            &session, &unit::Session::Lost, &session,
            [lostWhy](const QString& reason) { *lostWhy = unit::Failure::PortLost(reason).text; });
        QObject::connect(
            &session, &unit::Session::Waiting, &session,
            [this, &session, lostWhy](const QString& waiting) {
                Write(context_.err,
                      QStringLiteral("%1: lost: %2; %3\n").arg(session.Named(), *lostWhy, waiting));
            });
        QObject::connect(&session, &unit::Session::Reopened, &session, [this, unit, &session] {
            Write(context_.err, QStringLiteral("%1: back; watching again\n").arg(session.Named()));
            if (!run_.Interrupted()) {
                AskUnit(unit);
            }
        });
    }

    void End(int unit, const Outcome& outcome, Rollout::State state = Rollout::State::kDone) {
        if (!run_.HasEnded(unit)) {
            outcomes_[static_cast<size_t>(unit)] = outcome;
            run_.End(unit, state);
        }
    }

    const Request& request_;
    const Context& context_;
    const Ask& ask_;
    bool watch_;
    std::vector<Outcome> outcomes_;
    Runner run_{request_, context_, *this};
};

int AskWork::Report() {
    const Common& common = request_.common;
    int exitCode = kDone;
    QJsonArray units;
    for (const Outcome& outcome : outcomes_) {
        exitCode = std::max(exitCode, outcome.exitCode);
        // A watch has said its readings; what ended it (a port that never opened) is still said
        // here.
        if (!watch_ || outcome.json.isEmpty() || outcome.exitCode == kPortFailed) {
            Write(context_.err,
                  outcome.error.isEmpty() ? QString() : outcome.error + QLatin1Char('\n'));
        }
        if (!watch_ && !common.json) {
            Write(context_.out, outcome.text);
        }
        units.append(outcome.json);
    }
    if (common.json && !watch_) {
        Write(context_.out, JsonLine(request_.command->OneUnit()
                                         ? units.at(0).toObject()
                                         : QJsonObject{{QStringLiteral("units"), units}}));
    }
    return run_.Interrupted() ? run_.InterruptCode() : exitCode;
}

}  // namespace

int AskEach(const Request& request, const Context& context, const Ask& ask, bool watch) {
    return AskWork(request, context, ask, watch).Exec();
}

}  // namespace irig::cli
