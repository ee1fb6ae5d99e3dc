#include "monitor/unitmonitor.h"

#include <utility>

#include "cli/checktime.h"
#include "cli/commands.h"
#include "link/protocol.h"

namespace irig::monitor {

UnitMonitor::UnitMonitor(const QString& port, std::unique_ptr<link::PortController> serial,
                         const cli::Request& request, Schedule schedule, QObject* parent)
    : QObject(parent),
      serial_(std::move(serial)),
      unit_(port, *serial_),
      watch_(*serial_),
      request_(request) {
    reading_.port = port;
    statusTimer_.setInterval(schedule.statusMs);
    connect(&statusTimer_, &QTimer::timeout, this, &UnitMonitor::Poll);
    measureTimer_.setInterval(schedule.measureMs);
    connect(&measureTimer_, &QTimer::timeout, this, &UnitMonitor::MeasureNow);
    connect(&unit_, &cli::Unit::PortLost, this, [this](const QString& reason) {
        open_ = false;
        emit Said(QStringLiteral("%1: lost: %2").arg(unit_.Named(), reason));
        SetUp(false);
    });
    connect(&watch_, &link::PortWatch::WaitingChanged, this, [this](const QString& waiting) {
        emit Said(QStringLiteral("%1: %2").arg(unit_.Port(), waiting));
    });
    connect(&watch_, &link::PortWatch::Reopened, this, [this] {
        unit_.Resume();
        emit Said(QStringLiteral("%1: open again").arg(unit_.Named()));
        Opened();
    });
}

void UnitMonitor::Start() {
    QString why;
    if (unit_.Open(&why)) {
        Opened();
        return;
    }
    emit Said(QStringLiteral("%1: cannot open the port: %2").arg(unit_.Port(), why));
    emit Changed(reading_);
    watch_.Await(unit_.Port());
}

void UnitMonitor::MeasureNow() {
    measureDue_ = true;
    Poll();
}

// The first answer comes from a clock request, at once; the measurement follows it.
void UnitMonitor::Opened() {
    open_ = true;
    measureAfterAnswer_ = true;
    watch_.Opened(unit_.Port());
    statusTimer_.start();
    measureTimer_.start();
    Poll();
}

// A clock request, or the measurement when one is due; never two waits at once.
void UnitMonitor::Poll() {
    if (busy_ || !open_) {
        return;
    }
    busy_ = true;
    if (measureDue_) {
        measureDue_ = false;
        auto* check = new cli::TimeCheck(unit_, request_, this);
        connect(check, &cli::TimeCheck::Finished, this,
                [this, check](const std::optional<status::ClockOffset>& offset,
                              const QString& failure) {
                    check->deleteLater();
                    Measured(offset, failure);
                });
        check->Start();
        return;
    }
    cli::AskClock(unit_, request_, [this](const std::optional<QByteArray>& payload) {
        if (payload) {
            Heard(*payload);
        } else {
            NotHeard();
        }
    });
}

void UnitMonitor::Heard(const QByteArray& payload) {
    reading_.clock = status::ReadClock(link::code::kEndRead, payload);
    reading_.lastReply = status::HostNow();
    measureDue_ = measureDue_ || std::exchange(measureAfterAnswer_, false);
    SetUp(true);
    Idle();
}

void UnitMonitor::Measured(const std::optional<status::ClockOffset>& offset,
                           const QString& failure) {
    reading_.offset = offset;
    if (!offset && failure.isEmpty()) {
        NotHeard();
        return;
    }
    if (!failure.isEmpty()) {
        emit Said(QStringLiteral("%1: check-time: %2").arg(unit_.Named(), failure));
    }
    reading_.lastReply = status::HostNow();
    SetUp(true);
    Idle();
}

void UnitMonitor::NotHeard() {
    if (!unit_.Lost()) {
        SetUp(false, unit_.Failure());
    }
    Idle();
}

// Says when the unit starts or stops answering, once each time; a lost port has said so itself.
void UnitMonitor::SetUp(bool up, const QString& why) {
    reading_.up = up;
    if (!saidAnything_ || saidUp_ != up) {
        if (up) {
            emit Said(QStringLiteral("%1: answering").arg(unit_.Named()));
        } else if (!why.isEmpty()) {
            emit Said(QStringLiteral("%1: not answering: %2").arg(unit_.Named(), why));
        }
        saidAnything_ = true;
        saidUp_ = up;
    }
    emit Changed(reading_);
}

void UnitMonitor::Idle() {
    busy_ = false;
    if (measureDue_) {
        QTimer::singleShot(0, this, &UnitMonitor::Poll);
    }
}

}  // namespace irig::monitor
