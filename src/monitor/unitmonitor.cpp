#include "monitor/unitmonitor.h"

#include <utility>

#include "link/protocol.h"

namespace irig::monitor {

UnitMonitor::UnitMonitor(const QString& port, std::unique_ptr<link::PortController> serial,
                         unit::Timeouts timeouts, Schedule schedule,
                         const fleet::InventoryUnit* fromInventory, QObject* parent)
    : QObject(parent),
      session_(port, std::move(serial), timeouts),
      schedule_(schedule),
      reading_(FirstReading(port, fromInventory)) {
    session_.SetUnitName(reading_.unit);
    offsetsTimer_.setInterval(schedule.offsetsMs);
    connect(&offsetsTimer_, &QTimer::timeout, this, [this] {
        offsetsDue_ = true;
        Poll();
    });
    measureTimer_.setSingleShot(true);
    statusTimer_.setInterval(schedule.statusMs);
    connect(&statusTimer_, &QTimer::timeout, this, [this] {
        statusDue_ = true;
        Poll();
    });
    connect(&measureTimer_, &QTimer::timeout, this, &UnitMonitor::MeasureNow);
    requested_.setSingleShot(true);
    connect(&requested_, &QTimer::timeout, this, &UnitMonitor::MeasureNow);
    session_.KeepOpen(schedule.retryCapMs);
    connect(&session_, &unit::Session::Opened, this, &UnitMonitor::Opened);
    connect(&session_, &unit::Session::OpenFailed, this, [this](const QString& why) {
        emit Said(QStringLiteral("%1: cannot open the port: %2").arg(session_.Port(), why));
        emit Changed(reading_);
        session_.Await();
    });
    connect(&session_, &unit::Session::Lost, this, [this](const QString& reason) {
        emit Said(QStringLiteral("%1: lost: %2").arg(session_.Named(), reason));
        SetUp(false);
    });
    connect(&session_, &unit::Session::Waiting, this, [this](const QString& waiting) {
        emit Said(QStringLiteral("%1: %2").arg(session_.Port(), waiting));
    });
    connect(&session_, &unit::Session::Reopened, this, [this] {
        emit Said(QStringLiteral("%1: open again").arg(session_.Named()));
        Opened();
    });
}

UnitMonitor::~UnitMonitor() {
    EndTurn();
    if (const auto lending = std::exchange(lending_, {})) {
        lending(false);
    }
}

UnitReading UnitMonitor::FirstReading(const QString& port,
                                      const fleet::InventoryUnit* fromInventory) {
    UnitReading reading;
    reading.port = port;
    if (fromInventory != nullptr) {
        reading.unit = fromInventory->name;
        reading.labels = fromInventory->labels;
        reading.intended = fromInventory->intended;
    }
    return reading;
}

void UnitMonitor::Start() {
    session_.Open();
}

void UnitMonitor::Adopt(const fleet::InventoryUnit& unit) {
    const bool offsetsBefore = reading_.intended.SetsOffsets();
    reading_.unit = unit.name;
    reading_.labels = unit.labels;
    reading_.intended = unit.intended;
    session_.SetUnitName(unit.name);
    if (!reading_.intended.SetsOffsets()) {
        offsetsTimer_.stop();
        offsetsDue_ = false;
    } else if (!offsetsBefore && session_.IsOpen()) {
        offsetsTimer_.start();
        offsetsDue_ = true;
        Poll();
    }
    emit Changed(reading_);
}

void UnitMonitor::MeasureNow() {
    measureDue_ = true;
    Poll();
}

void UnitMonitor::MeasureOnRequest() {
    if (lent_ || measureDue_ || requested_.isActive()) {
        return;  // merged into the one to come
    }
    const qint64 since =
        lastMeasured_.isValid() ? lastMeasured_.elapsed() : schedule_.requestedEveryMs;
    if (since >= schedule_.requestedEveryMs) {
        MeasureNow();
    } else {
        requested_.start(static_cast<int>(schedule_.requestedEveryMs - since));
    }
}

void UnitMonitor::Lend(std::function<void(bool)> closed) {
    if (lent_ && !lending_) {
        closed(true);
        return;
    }
    if (const auto before = std::exchange(lending_, std::move(closed))) {
        before(false);
    }
    lent_ = true;
    for (QTimer* timer : {&statusTimer_, &measureTimer_, &requested_, &offsetsTimer_}) {
        timer->stop();
    }
    statusDue_ = measureDue_ = offsetsDue_ = false;
    session_.CloseWhenIdle([this] { Lent(); });
}

// The port has closed for a loan, or was taken back before it did: then it opens again at once.
void UnitMonitor::Lent() {
    EndTurn();
    const auto lending = std::exchange(lending_, {});
    if (!lent_) {
        session_.Open();
        if (lending) {
            lending(false);
        }
        return;
    }
    // What was read before the loan may not hold after it (a flash, new offsets).
    reading_.up = false;
    reading_.clock.reset();
    reading_.offset.reset();
    reading_.offsets.reset();
    reading_.diagnosis.reset();
    reading_.drift.reset();
    drift_.Reset();  // its clock may be set meanwhile
    reading_.leased = true;
    emit Changed(reading_);
    if (lending) {
        lending(true);
    }
}

void UnitMonitor::TakeBack() {
    if (!lent_) {
        return;
    }
    lent_ = false;
    if (lending_) {
        return;  // Lent() opens it again once it has closed
    }
    reading_.leased = false;
    saidAnything_ = false;
    emit Changed(reading_);
    session_.Open();
}

// The first answer comes from a clock request, at once; the measurement follows it.
void UnitMonitor::Opened() {
    measureAfterAnswer_ = true;
    statusTimer_.start();
    statusDue_ = true;
    if (reading_.intended.SetsOffsets()) {
        offsetsTimer_.start();
        offsetsDue_ = true;
    }
    Poll();
}

// A clock request, or the measurement when one is due and its turn has come, a status request
// that fell due meanwhile first; never two at once. A closed port gives its turn up.
void UnitMonitor::Poll() {
    if (!session_.IsOpen()) {
        EndTurn();
        return;
    }
    if (busy_) {
        return;
    }
    if (statusDue_) {
        statusDue_ = false;
        busy_ = true;
        session_.AskClock([this](const unit::Result<unit::Session::ClockAnswer>& answer) {
            if (answer) {
                Heard(*answer);
                measureDue_ = measureDue_ || std::exchange(measureAfterAnswer_, false);
                SetUp(true);
            } else {
                NotHeard(answer.Why());
            }
            Idle();
        });
    } else if (offsetsDue_) {
        offsetsDue_ = false;
        busy_ = true;
        session_.AskOffsets([this](const unit::Result<unit::Offsets>& offsets) {
            reading_.offsets = offsets ? std::optional(*offsets) : std::nullopt;
            if (offsets) {
                Diagnose();
                reading_.lastReply = status::HostNow();
                SetUp(true);
            } else {
                NotHeard(offsets.Why());
            }
            Idle();
        });
    } else if (measureDue_ && TakeTurn()) {
        measureDue_ = false;
        busy_ = true;
        lastMeasured_.start();
        measureTimer_.start(schedule_.measureMs);
        session_.MeasureClock(
            [this](const unit::Session::ClockAnswer& answer) {
                Heard(answer);
                emit Changed(reading_);
            },
            [this](const unit::Result<status::ClockOffset>& offset) {
                EndTurn();
                Measured(offset);
                Idle();
            });
    }
}

void UnitMonitor::Heard(const unit::Session::ClockAnswer& answer) {
    reading_.clock = answer.clock;
    reading_.lastReply = answer.reply.received;
}

void UnitMonitor::Measured(const unit::Result<status::ClockOffset>& offset) {
    if (lent_) {
        return;
    }
    reading_.offset = offset ? std::optional(*offset) : std::nullopt;
    if (offset) {
        reading_.measured = status::HostNow();
        drift_.Add(*reading_.measured, *offset,
                   reading_.clock ? std::optional(reading_.clock->source) : std::nullopt);
    }
    Diagnose();
    if (!offset && offset.Why().kind != unit::Failure::Kind::kImpossibleDate) {
        NotHeard(offset.Why());
        return;
    }
    if (!offset) {
        emit Said(QStringLiteral("%1: check-time: %2").arg(session_.Named(), offset.Why().text));
    }
    reading_.lastReply = status::HostNow();
    SetUp(true);
}

// Whole hours on a reference are corrected by the offsets: they are read for the advice's
// command where they are not known.
void UnitMonitor::Diagnose() {
    if (!reading_.offset) {
        reading_.diagnosis.reset();
        return;
    }
    diagnosis::Inputs in = diagnosis::ThisComputer(*reading_.offset);
    if (reading_.clock) {
        in.source = reading_.clock->source;
    }
    if (reading_.offsets) {
        in.offsets = status::OffsetsReading{reading_.offsets->irig, reading_.offsets->gps,
                                            reading_.offsets->ieee1344};
    }
    in.port = session_.Port();
    reading_.drift = in.drift = drift_.Current();
    reading_.diagnosis = diagnosis::Diagnose(in);
    if (reading_.diagnosis->kind == diagnosis::Kind::kHourOffset && !reading_.offsets &&
        in.source != link::source::kInternalCrystal) {
        offsetsDue_ = true;
    }
}

void UnitMonitor::NotHeard(const unit::Failure& failure) {
    if (failure.kind != unit::Failure::Kind::kPortLost) {
        SetUp(false, failure.text);
    }
}

// Says when the unit starts or stops answering, once each time; a lost port has said so itself.
void UnitMonitor::SetUp(bool up, const QString& why) {
    if (lent_) {
        return;  // what ended as the port closed for a loan says nothing of the unit
    }
    reading_.up = up;
    if (!saidAnything_ || saidUp_ != up) {
        if (up) {
            emit Said(QStringLiteral("%1: answering").arg(session_.Named()));
        } else if (!why.isEmpty()) {
            emit Said(QStringLiteral("%1: not answering: %2").arg(session_.Named(), why));
        }
        saidAnything_ = true;
        saidUp_ = up;
    }
    emit Changed(reading_);
}

// Whether the measurement may start now; if not, it waits for its turn, and polls when it comes.
bool UnitMonitor::TakeTurn() {
    if (turns_ == nullptr || turn_ == Turn::kHeld) {
        return true;
    }
    if (turn_ == Turn::kNone) {
        const bool now = turns_->Ask(this, [this] {
            turn_ = Turn::kHeld;
            QTimer::singleShot(0, this, &UnitMonitor::Poll);
        });
        turn_ = now ? Turn::kHeld : Turn::kWaiting;
    }
    return turn_ == Turn::kHeld;
}

void UnitMonitor::EndTurn() {
    if (turns_ != nullptr && turn_ != Turn::kNone) {
        turn_ = Turn::kNone;
        turns_->Done(this);
    }
}

void UnitMonitor::Idle() {
    busy_ = false;
    if (statusDue_ || measureDue_ || offsetsDue_) {
        QTimer::singleShot(0, this, &UnitMonitor::Poll);
    }
}

}  // namespace irig::monitor
