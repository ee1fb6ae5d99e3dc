#include "cli/flashjob.h"

#include <QJsonObject>

#include <QFileInfo>

#include "cli/inspect.h"
#include "fleet/inventory.h"
#include "link/framecodec.h"
#include "status/replies.h"
#include "unit/changerecord.h"

namespace irig::cli {

namespace {

// A retry waits this long first, so that a late echo is not taken for the erase result.
constexpr int kQuietMs = 300;

}  // namespace

FlashJob::FlashJob(unit::Session& session, const flash::FlashImage& image, const QString& file,
                   int retries)
    : session_(session),
      file_(QFileInfo(file).fileName()),
      mostRetries_(retries),
      port_(session.Port()) {
    session_.Exchange().Image() = image;
    blocks_ = flash::BlocksToSend(image);
    wait_.setSingleShot(true);
    connect(&wait_, &QTimer::timeout, this, &FlashJob::OnTimeout);
    connect(&session_.Exchange(), &exchange::UnitExchange::SessionStepped, this, &FlashJob::OnStep);
    connect(&session_, &unit::Session::Lost, this, [this](const QString& reason) {
        if (phase_ == Phase::kErasing || phase_ == Phase::kProgramming) {
            session_.Exchange().Abandon();
            wait_.stop();
            Fail(QStringLiteral("%1; the unit is left erased, in flash mode: run flash again when "
                                "the port is back")
                     .arg(unit::Failure::PortLost(reason).text));
        }
    });
}

void FlashJob::Start() {
    started_.start();
    session_.Changes().FlashEvent(session_.RecordedAs(), unit::ChangeRecord::Flash::kStarted,
                                  QStringLiteral("%1, %2 blocks").arg(file_).arg(blocks_));
    ReBoot();
}

void FlashJob::Skip(int version) {
    SetPhase(Phase::kSkipped);
    End(FlashResult::End::kSkipped, {}, fleet::VersionName(version));
}

bool Answers(std::optional<int> expected, std::optional<int> version) {
    fleet::Intended intended;
    intended.firmware = expected;
    fleet::Observed observed;
    observed.version = version;
    return version && fleet::Compare(intended, observed).empty();
}

void FlashJob::NotStarted(const QString& why) {
    SetPhase(Phase::kNotStarted);
    End(FlashResult::End::kNotStarted, why);
}

bool FlashJob::Ended() const {
    return phase_ == Phase::kDone || phase_ == Phase::kFailed || phase_ == Phase::kInterrupted ||
           phase_ == Phase::kSkipped || phase_ == Phase::kNotStarted;
}

qint64 FlashJob::ElapsedMs() const {
    if (endedMs_ >= 0) {
        return endedMs_;
    }
    return started_.isValid() ? started_.elapsed() : 0;
}

qint64 FlashJob::RemainingMs() const {
    if (phase_ != Phase::kProgramming) {
        return -1;
    }
    return session_.Exchange().Progress().RemainingMs(session_.Exchange().Now());
}

void FlashJob::SetPhase(Phase phase) {
    phase_ = phase;
    if (phase == Phase::kDone || phase == Phase::kFailed || phase == Phase::kInterrupted) {
        endedMs_ = ElapsedMs();
    }
    emit Progressed();
}

void FlashJob::ReBoot() {
    SetPhase(Phase::kReBooting);
    session_.Reboot([this](const std::optional<unit::Failure>& failure) {
        if (interrupted_) {
            Stop(QStringLiteral("before flash mode; the unit's firmware is as it was"));
        } else if (!failure) {
            EnterFlashMode();
        } else {
            Fail(QStringLiteral("re-boot: %1; nothing was erased, the unit's firmware is as it was")
                     .arg(failure->text));
        }
    });
}

void FlashJob::EnterFlashMode() {
    SetPhase(Phase::kEnteringFlashMode);
    session_.AwaitCode(link::SingleCode(link::code::kFlashMode), link::code::kFlashMode,
                       session_.Waits().FlashMode(),
                       [this](const std::optional<unit::Failure>& failure) {
                           if (interrupted_) {
                               Stop(
                                   QStringLiteral("before the erase; nothing was erased: if the "
                                                  "unit answers nothing, \"irigctl reboot\" "
                                                  "leaves flash mode"));
                           } else if (!failure) {
                               Program();
                           } else {
                               Fail(QStringLiteral("flash mode: %1; nothing was erased: if the "
                                                   "unit answers nothing, \"irigctl reboot\" "
                                                   "leaves flash mode")
                                        .arg(failure->text));
                           }
                       });
}

void FlashJob::Program() {
    SetPhase(Phase::kErasing);
    session_.Exchange().Program();
}

// The session's verdicts, and this job's reactions: a stray reply while blocks are awaited is a
// wrong echo and starts over; Ctrl-C stops at the next echo, before the next block goes out.
void FlashJob::OnStep(const flash::FlashSession::Step& step) {
    if (phase_ != Phase::kErasing && phase_ != Phase::kProgramming) {
        return;
    }
    confirmed_ = session_.Exchange().Progress().Confirmed();
    if (step.end == flash::FlashSession::End::kCompleted) {
        wait_.stop();
        Leave();
        return;
    }
    if (step.end == flash::FlashSession::End::kEraseFailed) {
        wait_.stop();
        session_.Exchange().Abandon();
        Retry(EraseFailure(step));
        return;
    }
    if (step.strayIgnored) {
        wait_.stop();
        session_.Exchange().Abandon();
        Retry(QStringLiteral("a wrong echo of the block at %1").arg(Address(lastSent_)));
        return;
    }
    if (step.confirmed) {
        emit Progressed();
        if (interrupted_) {
            wait_.stop();
            session_.Exchange().Abandon();  // its next block is not sent
            Stop(QStringLiteral("after the block at %1: %2")
                     .arg(Address(step.confirmed->address), Incomplete()));
            return;
        }
    }
    if (step.eraseSent) {
        wait_.start(session_.Wait(session_.Waits().Erase()));
    } else if (step.sent) {
        lastSent_ = step.sent->address;
        if (phase_ == Phase::kErasing) {
            SetPhase(Phase::kProgramming);
        }
        wait_.start(session_.Wait(session_.Waits().Reply(step.frame.size(), step.frame.size())));
    }
}

QString FlashJob::EraseFailure(const flash::FlashSession::Step& step) {
    if (step.answerCode != link::code::kEndErase) {
        return QStringLiteral(
                   "the erase failed: an answer with end code 0x%1 came where the erase "
                   "result was expected")
            .arg(QString::number(step.answerCode, 16).toUpper());
    }
    if (step.answer.size() != 1) {
        return QStringLiteral(
                   "the erase failed: an answer that does not fit: %1 bytes where 1 "
                   "was expected")
            .arg(step.answer.size());
    }
    return QStringLiteral("the erase failed (the unit answered 0x%1)")
        .arg(QString::number(static_cast<uint8_t>(step.answer[0]), 16)
                 .toUpper()
                 .rightJustified(2, QLatin1Char('0')));
}

QString FlashJob::Incomplete() const {
    return QStringLiteral(
               "%1 of %2 blocks written; the unit stays in flash mode with its firmware "
               "incomplete: flash again")
        .arg(Confirmed())
        .arg(blocks_);
}

void FlashJob::OnTimeout() {
    session_.Exchange().Abandon();
    if (interrupted_) {
        Stop(QStringLiteral("with the block at %1 unconfirmed: %2")
                 .arg(Address(lastSent_), Incomplete()));
        return;
    }
    Retry(phase_ == Phase::kErasing
              ? QStringLiteral("no erase result within %1 ms").arg(wait_.interval())
              : QStringLiteral("no echo of the block at %1 within %2 ms")
                    .arg(Address(lastSent_))
                    .arg(wait_.interval()));
}

void FlashJob::Retry(const QString& why) {
    if (interrupted_) {
        Stop(QStringLiteral("after %1: %2").arg(why, Incomplete()));
        return;
    }
    if (retries_ >= mostRetries_) {
        Fail(QStringLiteral("%1, and no retries are left (--retries %2); the unit stays in flash "
                            "mode with its firmware incomplete: flash again")
                 .arg(why)
                 .arg(mostRetries_));
        return;
    }
    ++retries_;
    emit Said(QStringLiteral("%1: %2; starting over from the erase (retry %3 of %4)")
                  .arg(session_.Named(), why)
                  .arg(retries_)
                  .arg(mostRetries_));
    SetPhase(Phase::kErasing);
    QTimer::singleShot(kQuietMs, this, [this] {
        if (phase_ == Phase::kErasing && !interrupted_) {
            Program();
        } else if (interrupted_) {
            Stop(QStringLiteral("before the erase; the unit stays in flash mode: flash again"));
        }
    });
}

void FlashJob::Leave() {
    SetPhase(Phase::kLeaving);
    rebooted_.start();
    session_.Reboot([this](const std::optional<unit::Failure>& failure) {
        if (!failure) {
            SetPhase(Phase::kChecking);
            AskVersion();
        } else if (failure->kind == unit::Failure::Kind::kInterrupted) {
            Stop(QStringLiteral("after all %1 blocks were written, before the unit reported its "
                                "re-boot: ask it with \"irigctl status\"; if it answers nothing, "
                                "flash again")
                     .arg(blocks_));
        } else {
            Fail(QStringLiteral("all %1 blocks were written, but the unit did not report its "
                                "re-boot: %2; if it answers nothing, flash again")
                     .arg(blocks_)
                     .arg(failure->text));
        }
    });
}

// "Done" means that the unit answers, with the version expected: asked until it answers, within
// the re-boot's wait from the re-boot.
void FlashJob::AskVersion() {
    const int within = session_.Waits().Reboot();
    session_.AskClock([this, within](const unit::Result<unit::Session::ClockAnswer>& answer) {
        if (!answer && answer.Why().kind == unit::Failure::Kind::kSilent &&
            rebooted_.elapsed() < within) {
            AskVersion();
            return;
        }
        if (!answer && answer.Why().kind == unit::Failure::Kind::kInterrupted) {
            Stop(QStringLiteral("after all %1 blocks were written and the re-boot, before the unit "
                                "answered its version: ask it with \"irigctl status\"")
                     .arg(blocks_));
            return;
        }
        if (!answer || !answer->clock.version) {
            Fail(QStringLiteral("flashed, but the unit did not answer within %1 s of the "
                                "re-boot: it may need flash again, or a power cycle")
                     .arg(within / 1000.0));
            return;
        }
        const QString version = fleet::VersionName(*answer->clock.version);
        if (!Answers(expected_, answer->clock.version)) {
            Fail(QStringLiteral("flashed, but the unit answers version %1 where %2 was expected")
                     .arg(version, fleet::VersionName(*expected_)));
            return;
        }
        Succeed(version);
    });
}

void FlashJob::Interrupt() {
    if (Ended()) {
        return;
    }
    interrupted_ = true;
    if (phase_ == Phase::kReBooting || phase_ == Phase::kEnteringFlashMode) {
        session_.Cancel();
    } else if (phase_ == Phase::kErasing && !session_.Exchange().Session().Running()) {
        // Waiting out the quiet time before a retry: the timer's callback stops.
    } else if (phase_ == Phase::kErasing) {
        session_.Exchange().Abandon();
        wait_.stop();
        Stop(
            QStringLiteral("while erasing; the unit stays in flash mode and its flash may be "
                           "erased: flash again"));
    }
    // Programming: the echo of the block in flight stops the job. Leaving: the re-boot completes.
}

void FlashJob::StopNow() {
    if (Ended() || phase_ == Phase::kWaiting) {
        return;
    }
    interrupted_ = true;
    if (phase_ == Phase::kErasing || phase_ == Phase::kProgramming) {
        const bool erasing = phase_ == Phase::kErasing;
        const bool running = session_.Exchange().Session().Running();
        session_.Exchange().Abandon();
        wait_.stop();
        Stop(erasing && !running
                 ? QStringLiteral("before the erase; the unit stays in flash mode: flash again")
             : erasing ? QStringLiteral("while erasing; the unit stays in flash mode and its "
                                        "flash may be erased: flash again")
                       : QStringLiteral("with the block at %1 unconfirmed: %2")
                             .arg(Address(lastSent_), Incomplete()));
        return;
    }
    session_.Interrupt();  // the request in progress ends, and with it the job, saying where
}

void FlashJob::Succeed(const QString& version) {
    SetPhase(Phase::kDone);
    session_.Changes().FlashEvent(session_.RecordedAs(), unit::ChangeRecord::Flash::kDone,
                                  QStringLiteral("%1, answers version %2").arg(file_, version));
    End(FlashResult::End::kDone, {}, version);
}

void FlashJob::Fail(const QString& why) {
    SetPhase(Phase::kFailed);
    session_.Changes().FlashEvent(session_.RecordedAs(), unit::ChangeRecord::Flash::kFailed, why);
    End(FlashResult::End::kFailed, why);
}

void FlashJob::Stop(const QString& where) {
    SetPhase(Phase::kInterrupted);
    session_.Changes().FlashEvent(session_.RecordedAs(), unit::ChangeRecord::Flash::kLeft,
                                  QStringLiteral("stopped %1").arg(where));
    End(FlashResult::End::kStopped, where);
}

void FlashJob::End(FlashResult::End end, const QString& why, const QString& version) {
    wait_.stop();
    FlashResult result;
    result.named = session_.Named();
    result.unit = session_.UnitName();
    result.port = port_;
    result.end = end;
    result.why = why;
    result.version = version;
    result.blocks = blocks_;
    result.confirmed = confirmed_;
    result.retries = retries_;
    result.seconds = static_cast<double>(ElapsedMs()) / 1000;
    emit Finished(result);
}

QString FlashLine(const FlashResult& result) {
    using End = FlashResult::End;
    switch (result.end) {
        case End::kDone:
            return QStringLiteral("%1: done in %2%3, answers version %4\n")
                .arg(result.named, Duration(result.seconds),
                     result.retries == 0
                         ? QString()
                         : QStringLiteral(" (%1 %2)")
                               .arg(result.retries)
                               .arg(result.retries == 1 ? QStringLiteral("retry")
                                                        : QStringLiteral("retries")),
                     result.version);
        case End::kSkipped:
            return QStringLiteral("%1: already %2\n").arg(result.named, result.version);
        case End::kFailed:
            return QStringLiteral("%1: failed\n").arg(result.named);
        case End::kStopped:
            return QStringLiteral("%1: stopped\n").arg(result.named);
        case End::kNotStarted:
            return QStringLiteral("%1: not started\n").arg(result.named);
    }
    return {};
}

QString FlashMessage(const FlashResult& result) {
    using End = FlashResult::End;
    switch (result.end) {
        case End::kFailed:
            return QStringLiteral("%1: failed: %2").arg(result.named, result.why);
        case End::kStopped:
            return QStringLiteral("%1: stopped %2").arg(result.named, result.why);
        case End::kNotStarted:
            return QStringLiteral("%1: not started: %2").arg(result.named, result.why);
        case End::kDone:
        case End::kSkipped:
            break;
    }
    return {};
}

QJsonObject FlashJson(const FlashResult& result) {
    using End = FlashResult::End;
    QJsonObject json{{QStringLiteral("port"), result.port},
                     {QStringLiteral("startedAt"), result.startedAt},
                     {QStringLiteral("endedAt"), result.endedAt}};
    if (!result.unit.isEmpty()) {
        json.insert(QStringLiteral("unit"), result.unit);
    }
    const QJsonObject counts{{QStringLiteral("blocks"), result.blocks},
                             {QStringLiteral("confirmed"), result.confirmed},
                             {QStringLiteral("retries"), result.retries}};
    const auto add = [&json](const QJsonObject& more) {
        for (auto it = more.begin(); it != more.end(); ++it) {
            json.insert(it.key(), it.value());
        }
    };
    switch (result.end) {
        case End::kDone:
            add({{QStringLiteral("result"), QStringLiteral("done")},
                 {QStringLiteral("blocks"), result.blocks},
                 {QStringLiteral("retries"), result.retries},
                 {QStringLiteral("seconds"), result.seconds},
                 {QStringLiteral("version"), result.version}});
            break;
        case End::kSkipped:
            add({{QStringLiteral("result"), QStringLiteral("skipped")},
                 {QStringLiteral("version"), result.version}});
            break;
        case End::kFailed:
            add(counts);
            add({{QStringLiteral("result"), QStringLiteral("failed")},
                 {QStringLiteral("error"), result.why}});
            break;
        case End::kStopped:
            add(counts);
            add({{QStringLiteral("result"), QStringLiteral("interrupted")},
                 {QStringLiteral("stopped"), result.why}});
            break;
        case End::kNotStarted:
            add({{QStringLiteral("result"), QStringLiteral("not started")},
                 {QStringLiteral("error"), result.why}});
            break;
    }
    return json;
}

}  // namespace irig::cli
