// irigctl flash on one unit, unattended: re-boot, flash mode, erase and every block with its echo
// checked (the exchange's session), a re-boot to leave flash mode, and the unit's answer to the
// status poll within 10 s of it, with the version expected. Every wait has a time-out; a missing
// or wrong echo, or a failed erase, starts over from the erase up to --retries times. Its start and
// its end are recorded as changes to the unit.
#pragma once

#include <QElapsedTimer>
#include <QObject>

#include "cli/commands.h"

namespace irig::cli {

class FlashJob final : public QObject {
    Q_OBJECT

public:
    enum class Phase {
        kWaiting,
        kReBooting,
        kEnteringFlashMode,
        kErasing,
        kProgramming,
        kLeaving,
        kChecking,  // asking the re-booted unit for its version
        kDone,
        kFailed,
        kInterrupted,
        kSkipped,     // it answers the expected version already
        kNotStarted,  // the rollout never started it
    };

    // `image` is copied into the unit's exchange.
    FlashJob(unit::Session& session, const flash::FlashImage& image, const Request& request);

    // The version (N.N) the unit must answer after the update, if any.
    void ExpectVersion(std::optional<QString> version) { expected_ = std::move(version); }
    void Start();
    // Ends a job that never starts: it answers the expected version already, or the rollout
    // stopped before it.
    void Skip(const QString& version);
    void NotStarted(const QString& why);
    // Ctrl-C: stops after the block in flight, and stays in flash mode.
    void Interrupt();

    Phase CurrentPhase() const { return phase_; }
    int Blocks() const { return blocks_; }
    int Confirmed() const;
    int Retries() const { return retries_; }
    // Since Start, up to the job's end.
    qint64 ElapsedMs() const;
    // The programming time still to go, from the rate so far; negative while unknown.
    qint64 RemainingMs() const;
    const unit::Session& SessionOf() const { return session_; }

signals:
    void Progressed();
    // A line for standard error: a retry, and why.
    void Said(const QString& line);
    void Finished(const Outcome& outcome);

private:
    void ReBoot();
    void EnterFlashMode();
    void Program();
    void Leave();
    void AskVersion();
    void OnStep(const flash::FlashSession::Step& step);
    void OnTimeout();
    void Retry(const QString& why);
    void Fail(const QString& why);
    void Succeed(const QString& version);
    void Stop(const QString& where);
    void SetPhase(Phase phase);
    // Why the erase failed, from what the unit answered.
    static QString EraseFailure(const flash::FlashSession::Step& step);
    // "120 of 897 blocks written; the unit stays in flash mode with its firmware incomplete".
    QString Incomplete() const;

    unit::Session& session_;
    Request request_;
    Phase phase_ = Phase::kWaiting;
    int blocks_ = 0;
    int retries_ = 0;
    int32_t lastSent_ = 0;  // the start of the last block sent
    bool interrupted_ = false;
    QElapsedTimer started_;
    QElapsedTimer rebooted_;  // since the re-boot that leaves flash mode
    std::optional<QString> expected_;
    qint64 endedMs_ = -1;  // ElapsedMs at the job's end
    QTimer wait_;          // the session's wait for the erase result or an echo
};

}  // namespace irig::cli
