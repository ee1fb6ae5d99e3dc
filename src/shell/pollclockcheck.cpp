#include "shell/pollclockcheck.h"

#include <QDateTime>

#include "link/framecodec.h"
#include "status/replies.h"
#include "status/requests.h"

namespace irig::shell {

namespace {

constexpr int kMostSamples = 40;
constexpr auto kLongest = std::chrono::seconds(30);
constexpr int kMinuteMs = 60'000;
constexpr qint64 kMarginMicros = 2'000;

}  // namespace

PollClockCheck::PollClockCheck(exchange::UnitExchange& exchange, std::function<bool()> mayPoll,
                               QObject* parent)
    : QObject(parent), exchange_(exchange), mayPoll_(std::move(mayPoll)) {
    placed_.setSingleShot(true);
    placed_.setTimerType(Qt::PreciseTimer);
    connect(&placed_, &QTimer::timeout, this, [this] {
        if (mayPoll_()) {
            Send(placedRequest_, placedAt_);
            emit Placed();
        }
    });
    everyMinute_.setInterval(kMinuteMs);
    connect(&everyMinute_, &QTimer::timeout, this, &PollClockCheck::Begin);
    connect(&exchange_, &exchange::UnitExchange::FrameReceived, this, &PollClockCheck::Heard);
}

void PollClockCheck::Begin() {
    check_ = {};
    measuring_ = true;
    sent_ = 0;
    started_ = std::chrono::steady_clock::now();
    everyMinute_.start();
}

void PollClockCheck::Poll(const QByteArray& request, int withinMs) {
    placed_.stop();
    if (!measuring_) {
        exchange_.SendFrame(request);
        return;
    }
    const status::HostMicros now = status::HostNow();
    const qint64 wait = check_.Target(now) - now;
    if (wait < kMarginMicros || wait >= qint64{withinMs} * 1000) {
        Send(request, std::nullopt);
        return;
    }
    placedRequest_ = request;
    placedAt_ = now + wait;
    placed_.start(static_cast<int>(std::max<qint64>(0, (wait + 500) / 1000)));
}

void PollClockCheck::Send(const QByteArray& request, std::optional<status::HostMicros> planned) {
    planned_ = planned;
    const status::Instant now = status::InstantNow();
    sent_ = now.host;
    sentSteady_ = now.steady;
    exchange_.SendFrame(request);
}

void PollClockCheck::Heard(int16_t code, const QByteArray& payload) {
    const std::optional<status::ClockReading> clock = status::ReadClock(code, payload);
    if (!measuring_ || sent_ == 0 || !clock || code != link::code::kEndRead) {
        return;
    }
    const QDateTime read = clock->DateTime();
    if (read.isValid()) {
        check_.Add({sent_, status::HostNow(), read.toSecsSinceEpoch(), sentSteady_, planned_},
                   status::StatusRequest().size(),
                   link::Frame(link::code::kStartRead, payload).size());
    }
    sent_ = 0;
    if (check_.Narrow() || check_.Samples() >= kMostSamples ||
        std::chrono::steady_clock::now() - started_ >= kLongest) {
        measuring_ = false;
        if (check_.WidthMicros() < status::ClockCheck::kSecond) {
            emit Measured(status::OffsetOf(check_));
        }
    }
}

QString UnitClockText(const status::ClockOffset& offset) {
    const QString sign = offset.offsetMs > 0   ? QStringLiteral("+")
                         : offset.offsetMs < 0 ? QStringLiteral("−")
                                               : QString();
    return QStringLiteral("unit %1%2 ms ±%3 ms")
        .arg(sign)
        .arg(std::abs(offset.offsetMs))
        .arg(offset.uncertaintyMs);
}

}  // namespace irig::shell
