// irigctl flash on one unit, unattended: re-boot, flash mode, erase and every block with its echo
// checked (the exchange's session), a re-boot to leave flash mode, and the unit's answer to the
// status poll within 10 s of it, with the version expected. Every wait has a time-out; a missing
// or wrong echo, or a failed erase, starts over from the erase up to --retries times. Its start and
// its end are recorded as changes to the unit. Its end is a typed FlashResult, which the
// renderers here print as a line, a message and JSON.
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>

#include "cli/commands.h"

namespace irig::cli {

// How one unit's update ended.
struct FlashResult {
    enum class End { kDone, kFailed, kStopped, kSkipped, kNotStarted };

    QString named;  // as messages name the unit: "sub-a-1 (socket://ts-a:4001)"
    QString unit;   // its name in the inventory, if any
    QString port;
    End end = End::kNotStarted;
    QString why;      // failed: why; stopped: where; not started: why
    QString version;  // done or skipped: the version it answers
    int blocks = 0;
    int confirmed = 0;
    int retries = 0;
    double seconds = 0;     // from the job's start to its end
    double startedAt = -1;  // since the rollout began, in seconds; -1 when never started
    double endedAt = -1;
};

// "sub-a-1 (socket://ts-a:4001): done in 12.3 s, answers version 2.4", "...: failed": standard
// output's line.
QString FlashLine(const FlashResult& result);
// Whether a unit that answers `version` (in tenths) answers the one `expected`, if any: the
// settings table's comparison.
bool Answers(std::optional<int> expected, std::optional<int> version);

// What standard error says of a unit that failed, stopped or was not started; empty otherwise.
QString FlashMessage(const FlashResult& result);
// The unit's part of --json: "result" is done, failed, interrupted, skipped or not started.
QJsonObject FlashJson(const FlashResult& result);

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

    // `image` (from `file`) is copied into the unit's exchange; a failed erase or echo starts over
    // at most `retries` times. The session must outlive the job's work; once Finished, the job no
    // longer touches it.
    FlashJob(unit::Session& session, const flash::FlashImage& image, const QString& file,
             int retries);

    // The version (in tenths) the unit must answer after the update, if any.
    void ExpectVersion(std::optional<int> version) { expected_ = version; }
    void Start();
    // Ends a job that never starts: it answers the expected version already, or the rollout
    // stopped before it.
    void Skip(int version);
    void NotStarted(const QString& why);
    // Ctrl-C: stops after the block in flight, and stays in flash mode.
    void Interrupt();
    // Ctrl-C again: stops now, whatever it waits for, and says where.
    void StopNow();

    Phase CurrentPhase() const { return phase_; }
    bool Ended() const;
    const QString& Port() const { return port_; }
    int Blocks() const { return blocks_; }
    int Confirmed() const { return confirmed_; }
    int Retries() const { return retries_; }
    // Since Start, up to the job's end.
    qint64 ElapsedMs() const;
    // The programming time still to go, from the rate so far; negative while unknown.
    qint64 RemainingMs() const;

signals:
    void Progressed();
    // A line for standard error: a retry, and why.
    void Said(const QString& line);
    void Finished(const FlashResult& result);

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
    void End(FlashResult::End end, const QString& why, const QString& version = {});
    void SetPhase(Phase phase);
    // Why the erase failed, from what the unit answered.
    static QString EraseFailure(const flash::FlashSession::Step& step);
    // "120 of 897 blocks written; the unit stays in flash mode with its firmware incomplete".
    QString Incomplete() const;

    unit::Session& session_;
    QString file_;  // the firmware file's name, for the record
    int mostRetries_;
    QString port_;
    Phase phase_ = Phase::kWaiting;
    int blocks_ = 0;
    int confirmed_ = 0;
    int retries_ = 0;
    int32_t lastSent_ = 0;  // the start of the last block sent
    bool interrupted_ = false;
    QElapsedTimer started_;
    QElapsedTimer rebooted_;  // since the re-boot that leaves flash mode
    std::optional<int> expected_;
    qint64 endedMs_ = -1;  // ElapsedMs at the job's end
    QTimer wait_;          // the session's wait for the erase result or an echo
};

}  // namespace irig::cli
