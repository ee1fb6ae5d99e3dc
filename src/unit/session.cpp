#include "unit/session.h"

#include <QStringList>
#include <algorithm>
#include <utility>

#include "link/framecodec.h"
#include "link/portswitch.h"
#include "link/printable.h"
#include "status/requests.h"
#include "unit/changerecord.h"
#include "unit/clockmeasurement.h"

namespace irig::unit {

namespace {

// A back-to-back measurement in progress: each request as soon as the last reply allows, placed on
// the unit's boundary, until the stop rule says enough, and never past its time; it deletes itself
// at its end.
class ClockRun final : public QObject {
public:
    ClockRun(Session& session, std::function<void(const Session::ClockAnswer&)> each,
             std::function<void(Result<status::ClockOffset>)> done)
        : QObject(&session), session_(session), each_(std::move(each)), done_(std::move(done)) {
        next_.setSingleShot(true);
        next_.setTimerType(Qt::PreciseTimer);
        connect(&next_, &QTimer::timeout, this, &ClockRun::Ask);
        connect(&session_, &Session::Interrupted, this, [this] {
            if (next_.isActive()) {
                next_.stop();
                Ask();
            }
        });
    }

    void StopWhen(std::function<bool(const status::ClockOffset&)> decided) {
        measurement_.StopWhen(std::move(decided));
    }

    void Ask() {
        const int normal = session_.Waits().Reply(kClockReadBytes, kClockAnswerBytes);
        // The request in flight counts too: the time is up when it is up.
        const qint64 left = measurement_.RemainingMs() - session_.Wait(0);
        capped_ = left < normal;
        session_.AskClock([this](const Result<Session::ClockAnswer>& answer) { Answered(answer); },
                          static_cast<int>(std::clamp<qint64>(left, 1, normal)));
    }

private:
    void Answered(const Result<Session::ClockAnswer>& answer) {
        if (!answer) {
            const bool timeUp = capped_ && answer.Why().kind == Failure::Kind::kSilent;
            if (timeUp && measurement_.Offset()) {
                End(*measurement_.Offset());
            } else {
                End(answer.Why());
            }
            return;
        }
        if (each_) {
            each_(*answer);
        }
        const Session::Reply& reply = answer->reply;
        if (!measurement_.Add(answer->clock, reply.sent, planned_, reply.received,
                              link::Frame(link::code::kStartRead, reply.payload).size())) {
            End(Failure::ImpossibleDate(answer->clock.Text()));
            return;
        }
        const status::HostMicros now = status::HostNow();
        const status::HostMicros at = measurement_.NextSend(now);
        const qint64 waitMs = std::max<qint64>(0, (at - now + 500) / 1000);
        if (measurement_.Done() || waitMs >= measurement_.RemainingMs()) {
            End(*measurement_.Offset());
            return;
        }
        planned_ = at;
        next_.start(static_cast<int>(waitMs));
    }

    void End(Result<status::ClockOffset> result) {
        auto done = std::move(done_);
        deleteLater();
        done(std::move(result));
    }

    Session& session_;
    std::function<void(const Session::ClockAnswer&)> each_;
    std::function<void(Result<status::ClockOffset>)> done_;
    ClockMeasurement measurement_{Pacing::kBackToBack};
    std::optional<status::HostMicros> planned_;
    bool capped_ = false;  // the request in flight waits only as long as the time left
    QTimer next_;
};

// A payload the request has already taken as its answer.
Offsets ReadOffsets(const QByteArray& payload) {
    const status::OffsetsReading read = *status::ReadOffsets(link::code::kEndRead, payload);
    return {read.irig, read.gps, read.ieee1344};
}

}  // namespace

QString Offsets::Text() const {
    const fleet::Observed observed = AsObserved();
    QStringList parts;
    for (const fleet::SettingRow& row : fleet::kSettings) {
        if (row.readBack == fleet::ReadBack::kOffsets) {
            parts << QStringLiteral("%1 %2").arg(
                QLatin1String(row.caption), fleet::Show(row.setting, *observed.Get(row.setting)));
        }
    }
    return parts.join(QLatin1String(", "));
}

fleet::Observed Offsets::AsObserved() const {
    fleet::Observed observed;
    observed.irigOffset = irig;
    observed.gpsOffset = gps;
    observed.ieee1344 = ieee1344;
    return observed;
}

QString OnOff(bool on) {
    return fleet::Show(fleet::Setting::kIeee1344, on);
}

PortMaker RealPorts(const Timeouts& timeouts) {
    const int connectMs = timeouts.Connect();
    return [connectMs]() -> std::unique_ptr<link::PortController> {
        auto port = std::make_unique<link::PortSwitch>();
        port->SetConnectTimeout(connectMs);
        return port;
    };
}

Session::Session(QString port, std::unique_ptr<link::PortController> serial, Timeouts timeouts,
                 QObject* parent)
    : QObject(parent), port_(std::move(port)), serial_(std::move(serial)), timeouts_(timeouts) {
    serial_->SetBaudRate(link::kBaudRate);
    presence_.SetWatching(false);
    timeout_.setSingleShot(true);
    connect(&timeout_, &QTimer::timeout, this, &Session::TimedOut);
    settle_.setSingleShot(true);
    connect(&settle_, &QTimer::timeout, this, &Session::Settle);
    connect(serial_.get(), &link::PortController::DataReceived, this, &Session::Heard);
    connect(serial_.get(), &link::PortController::DataReceived, &exchange_,
            &exchange::UnitExchange::DataReceived);
    connect(&exchange_, &exchange::UnitExchange::FrameReceived, this, &Session::Answered);
    connect(&exchange_, &exchange::UnitExchange::FrameDropped, this, [this](int16_t code) {
        if (pending_ && pending_->sent && pending_->expect && code == pending_->expect->code) {
            Finish(Failure::TooLong(link::kMaxPayload));
        }
    });
    connect(&exchange_, &exchange::UnitExchange::SingleCodeReceived, this, [this](int16_t code) {
        if (pending_ && pending_->sent && pending_->code != 0 && code == pending_->code) {
            Finish(Reply{{}, pending_->sentAt, status::HostNow()});
        }
    });
    connect(&presence_, &PortPresence::Lost, this, [this](const QString& reason) {
        open_ = false;
        if (pending_) {
            Finish(Failure::PortLost(reason));
        }
        emit Lost(reason);
    });
    connect(&presence_, &PortPresence::WaitingChanged, this, &Session::Waiting);
    connect(&presence_, &PortPresence::Reopened, this, [this] {
        quiet_.Reset();  // a line opened again carries nothing of the last one's
        open_ = true;
        emit Reopened();
    });
    connect(&presence_, &PortPresence::Opened, this, [this] {
        open_ = true;
        emit Opened();
    });
    connect(&presence_, &PortPresence::OpenFailed, this,
            [this](const QString&, const QString& why) { emit OpenFailed(why); });
}

Session::~Session() = default;

QString Session::Named() const {
    return link::PrintableUtf8(RecordedAs());
}

QString Session::RecordedAs() const {
    if (!unitName_.isEmpty()) {
        return QStringLiteral("%1 (%2)").arg(unitName_, port_);
    }
    const QString device = serial_->Device();
    return device.isEmpty() || device == port_ ? port_
                                               : QStringLiteral("%1 (%2)").arg(port_, device);
}

const ChangeRecord& Session::Changes() const {
    static const ChangeRecord nowhere;
    return record_ ? *record_ : nowhere;
}

std::shared_ptr<const ChangeRecord> Session::ChangesShared() const {
    return record_ ? record_ : std::make_shared<const ChangeRecord>();
}

void Session::Open() {
    const int result = presence_.Open(port_);
    if (result == link::kPortOpening) {
        return;
    }
    const QString why = link::FailureText(port_, serial_->LastFailure());
    QTimer::singleShot(0, this, [this, result, why] {
        if (result == link::kPortOpened) {
            open_ = true;
            emit Opened();
        } else {
            emit OpenFailed(why);
        }
    });
}

void Session::KeepOpen(int retryCapMs) {
    presence_.SetRetryCap(retryCapMs);
    presence_.SetWatching(true);
}

void Session::Await() {
    presence_.Await(port_);
}

void Session::Ask(const QByteArray& frame, Expect expect, int timeoutMs,
                  std::function<void(Result<Reply>)> done) {
    Pending pending;
    pending.frame = frame;
    pending.expect = expect;
    pending.timeoutMs = timeoutMs;
    pending.done = std::move(done);
    Start(std::move(pending));
}

void Session::AwaitCode(const QByteArray& frame, int16_t code, int timeoutMs,
                        std::function<void(std::optional<Failure>)> done) {
    Pending pending;
    pending.frame = frame;
    pending.code = code;
    pending.timeoutMs = timeoutMs;
    pending.done = [done = std::move(done)](const Result<Reply>& result) {
        done(result ? std::nullopt : std::optional<Failure>(result.Why()));
    };
    Start(std::move(pending));
}

void Session::Start(Pending pending) {
    Q_ASSERT(!pending_);
    pending_ = std::move(pending);
    if (interrupted_) {
        QTimer::singleShot(0, this, [this] {
            if (pending_ && !pending_->sent) {
                Finish(Failure::Interrupted(false));
            }
        });
        return;
    }
    pending_->settleBy = status::SteadyMs() + 2 * qint64{Wait(pending_->timeoutMs)};
    Settle();
}

// The request goes once the line is quiet: a late answer to an earlier one would pass for its own.
// A line that never falls quiet (a unit talking on and on) ends the request unsent.
void Session::Settle() {
    if (!pending_ || pending_->sent) {
        return;
    }
    const qint64 now = status::SteadyMs();
    const qint64 left = quiet_.SendableAt() - now;
    if (left <= 0) {
        Send();
    } else if (now >= pending_->settleBy) {
        Finish(Failure::Unquiet(quiet_.QuietMs()));
    } else {
        settle_.start(static_cast<int>(std::min(left, pending_->settleBy - now)));
    }
}

void Session::Send() {
    pending_->sent = true;
    timeout_.start(Wait(pending_->timeoutMs));  // the wait counts from the request
    pending_->sentAt = status::InstantNow();
    if (!pending_->frame.isEmpty()) {
        exchange_.SendFrame(pending_->frame);
    }
}

void Session::TimedOut() {
    const int waited = timeout_.interval();
    quiet_.TimedOut(status::SteadyMs(), waited);
    Finish(Failure::Silent(waited));
}

void Session::Heard() {
    quiet_.Heard(status::SteadyMs());
}

// The expected answer ends the wait, and so does one that carries the right end code and command
// but not the expected length: a unit that answered so will not answer otherwise.
void Session::Answered(int16_t code, const QByteArray& payload) {
    if (!pending_ || !pending_->sent || !pending_->expect) {
        return;
    }
    const Expect& expect = *pending_->expect;
    if (code != expect.code || payload.isEmpty() ||
        static_cast<uint8_t>(payload[0]) != expect.command) {
        return;
    }
    if (expect.length >= 0 && payload.size() != expect.length) {
        Finish(Failure::Misfit(expect.length, payload.size()));
        return;
    }
    Finish(Reply{payload, pending_->sentAt, status::HostNow()});
}

void Session::Cancel() {
    if (pending_) {
        quiet_.TimedOut(status::SteadyMs(), timeout_.interval());  // its answer may still come
        Finish(Failure::Interrupted(pending_->sent));
    }
}

void Session::Interrupt() {
    if (interrupted_) {
        return;
    }
    interrupted_ = true;
    Cancel();
    emit Interrupted();
}

void Session::After(int milliseconds, std::function<void()> then) {
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    auto due = std::make_shared<std::function<void()>>(std::move(then));
    const auto fire = [timer, due] {
        if (!*due) {
            return;
        }
        const std::function<void()> run = std::exchange(*due, {});
        timer->deleteLater();
        run();
    };
    connect(timer, &QTimer::timeout, this, fire);
    connect(this, &Session::Interrupted, timer, fire);
    timer->start(interrupted_ ? 0 : milliseconds);
}

void Session::Finish(Result<Reply> result) {
    timeout_.stop();
    settle_.stop();
    auto done = std::move(pending_->done);
    pending_.reset();
    done(std::move(result));
}

void Session::AskClock(std::function<void(Result<ClockAnswer>)> done, std::optional<int> waitMs) {
    const QByteArray ask = status::StatusRequest();
    Ask(ask, {link::code::kEndRead, link::command::kClock, link::length::kClockRead},
        waitMs.value_or(timeouts_.Reply(ask.size(), kClockAnswerBytes)),
        [done = std::move(done)](const Result<Reply>& reply) {
            if (!reply) {
                done(reply.Why());
                return;
            }
            done(ClockAnswer{*reply, *status::ReadClock(link::code::kEndRead, reply->payload)});
        });
}

void Session::AskOffsets(std::function<void(Result<Offsets>)> done) {
    const QByteArray ask = status::RetrieveOffsetsRequest();
    Ask(ask, {link::code::kEndRead, link::command::kOffsets, link::length::kOffsets},
        timeouts_.Reply(ask.size(), 10), [done = std::move(done)](const Result<Reply>& reply) {
            done(reply ? Result<Offsets>(ReadOffsets(reply->payload)) : reply.Why());
        });
}

void Session::SetOffsets(const Offsets& offsets, std::function<void(Result<Offsets>)> done) {
    const QByteArray ask = status::SetOffsetsRequest(
        static_cast<int16_t>(offsets.irig), static_cast<int16_t>(offsets.gps), offsets.ieee1344);
    Ask(ask, {link::code::kEndSet, link::command::kOffsets, link::length::kOffsets},
        timeouts_.Reply(ask.size(), 10), [done = std::move(done)](const Result<Reply>& reply) {
            done(reply ? Result<Offsets>(ReadOffsets(reply->payload)) : reply.Why());
        });
}

void Session::AskGpsMessage(std::function<void(Result<QString>)> done) {
    const QByteArray ask = status::RetrieveGpsMessageRequest();
    Ask(ask, {link::code::kEndRead, link::command::kGpsMessage, -1},
        timeouts_.Reply(ask.size(), 200), [done = std::move(done)](const Result<Reply>& reply) {
            done(reply ? Result<QString>(QString::fromLatin1(reply->payload.mid(1))) : reply.Why());
        });
}

void Session::SetClock(const QByteArray& frame, std::function<void(Result<ClockAnswer>)> done) {
    Ask(frame, {link::code::kEndSet, link::command::kClock, link::length::kClockSet},
        timeouts_.Reply(frame.size(), 15), [done = std::move(done)](const Result<Reply>& reply) {
            done(reply ? Result<ClockAnswer>(ClockAnswer{
                             *reply, *status::ReadClock(link::code::kEndSet, reply->payload)})
                       : reply.Why());
        });
}

void Session::Reboot(std::function<void(std::optional<Failure>)> done) {
    AwaitCode(link::SingleCode(link::code::kReBoot), link::code::kReBoot, timeouts_.Reboot(),
              std::move(done));
}

void Session::MeasureClock(std::function<void(const ClockAnswer&)> each,
                           std::function<void(Result<status::ClockOffset>)> done,
                           std::function<bool(const status::ClockOffset&)> decided) {
    auto* run = new ClockRun(*this, std::move(each), std::move(done));
    run->StopWhen(std::move(decided));
    run->Ask();
}

}  // namespace irig::unit
