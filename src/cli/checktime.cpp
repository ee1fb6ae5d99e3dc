#include "cli/checktime.h"

#include <QDateTime>
#include <algorithm>
#include <cstdlib>

#include "link/framecodec.h"
#include "status/hostclock.h"
#include "status/replies.h"
#include "status/requests.h"

namespace irig::cli {

namespace {

constexpr int kMostSamples = 150;  // a second polled fast, then halving
constexpr auto kLongest = std::chrono::seconds(20);
// The least time between planning a request and sending it.
constexpr qint64 kMarginMicros = 2'000;

}  // namespace

TimeCheck::TimeCheck(Unit& unit, const Request& request, QObject* parent)
    : QObject(parent), unit_(unit), request_(request) {
    next_.setSingleShot(true);
    next_.setTimerType(Qt::PreciseTimer);
    connect(&next_, &QTimer::timeout, this, &TimeCheck::Ask);
}

void TimeCheck::Start() {
    started_ = std::chrono::steady_clock::now();
    Ask();
}

void TimeCheck::Ask() {
    const status::Instant now = status::InstantNow();
    sent_ = now.host;
    sentSteady_ = now.steady;
    AskClock(unit_, request_, [this](const std::optional<QByteArray>& payload) {
        if (payload) {
            Answered(*payload);
        } else {
            emit Finished(std::nullopt, {});
        }
    });
}

void TimeCheck::Answered(const QByteArray& payload) {
    const status::HostMicros received = status::HostNow();
    const status::ClockReading clock = *status::ReadClock(link::code::kEndRead, payload);
    const QDateTime read = clock.DateTime();
    if (!read.isValid()) {
        emit Finished(
            std::nullopt,
            QStringLiteral("the unit read an impossible date and time: %1").arg(clock.Text()));
        return;
    }
    const qsizetype requestBytes = status::StatusRequest().size();
    check_.Add({sent_, received, read.toSecsSinceEpoch(), sentSteady_, planned_}, requestBytes,
               link::Frame(link::code::kStartRead, payload).size());
    if (Done()) {
        emit Finished(status::OffsetOf(check_), {});
        return;
    }
    const status::HostMicros now = status::HostNow();
    const status::HostMicros at = check_.NextSend(now + kMarginMicros);
    planned_ = at;
    next_.start(static_cast<int>(std::max<qint64>(0, (at - now + 500) / 1000)));
}

bool TimeCheck::Done() const {
    return check_.Narrow() || check_.Samples() >= kMostSamples ||
           std::chrono::steady_clock::now() - started_ >= kLongest;
}

void CheckTime(Unit& unit, const Request& request, const Done& done) {
    auto* check = new TimeCheck(unit, request, &unit);
    QObject::connect(
        check, &TimeCheck::Finished, &unit,
        [&unit, &request, done, check](const std::optional<status::ClockOffset>& offset,
                                       const QString& failure) {
            check->deleteLater();
            if (!offset && failure.isEmpty()) {
                done(NoAnswer(unit, QStringLiteral("check-time")));
                return;
            }
            Outcome outcome;
            if (!offset) {
                outcome.exitCode = kUnitFailed;
                outcome.error = QStringLiteral("%1: check-time: %2").arg(unit.Named(), failure);
                outcome.json = {{QStringLiteral("port"), unit.Port()},
                                {QStringLiteral("error"), failure}};
                done(outcome);
                return;
            }
            const std::optional<status::KernelClock> kernel = status::ReadKernelClock();
            outcome.text =
                QStringLiteral("%1: the unit is %2; %3\n")
                    .arg(unit.Port(), status::OffsetText(*offset), status::HostClockText(kernel));
            outcome.json = {{QStringLiteral("port"), unit.Port()},
                            {QStringLiteral("offsetMs"), offset->offsetMs},
                            {QStringLiteral("uncertaintyMs"), offset->uncertaintyMs},
                            {QStringLiteral("hostClock"), HostClockJson(kernel)}};
            if (request.maxOffsetMs &&
                std::abs(offset->offsetMs) + offset->uncertaintyMs > *request.maxOffsetMs) {
                outcome.exitCode = kUnitFailed;
                outcome.error = QStringLiteral(
                                    "%1: the unit may be more than %2 ms off "
                                    "(--max-offset)")
                                    .arg(unit.Named())
                                    .arg(*request.maxOffsetMs);
            }
            done(outcome);
        });
    check->Start();
}

}  // namespace irig::cli
