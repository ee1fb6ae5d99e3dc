#include "cli/unit.h"

namespace irig::cli {

Unit::Unit(QString port, link::PortController& serial, QObject* parent)
    : QObject(parent), port_(std::move(port)), serial_(serial) {
    serial_.SetBaudRate(link::kBaudRate);
    timeout_.setSingleShot(true);
    connect(&timeout_, &QTimer::timeout, this, [this] {
        failure_ = QStringLiteral("no answer within %1 ms").arg(timeout_.interval());
        silent_ = true;
        Finish(std::nullopt);
    });
    connect(&serial_, &link::PortController::DataReceived, &exchange_,
            &exchange::UnitExchange::DataReceived);
    connect(&exchange_, &exchange::UnitExchange::FrameReceived, this, &Unit::Answered);
    connect(&exchange_, &exchange::UnitExchange::FrameDropped, this, [this](int16_t code) {
        if (expect_ && code == expect_->code) {
            failure_ = QStringLiteral("an answer that does not fit: more than %1 bytes")
                           .arg(link::kMaxPayload);
            Finish(std::nullopt);
        }
    });
    connect(&exchange_, &exchange::UnitExchange::SingleCodeReceived, this, [this](int16_t code) {
        if (code_ != 0 && code == code_) {
            Finish(QByteArray());
        }
    });
    connect(&serial_, &link::PortController::PortLost, this, [this](const QString& reason) {
        lost_ = true;
        failure_ = QStringLiteral("the port closed: %1").arg(reason);
        Finish(std::nullopt);
        emit PortLost(reason);
    });
}

QString Unit::Named() const {
    const QString device = serial_.Device();
    return device.isEmpty() || device == port_ ? port_
                                               : QStringLiteral("%1 (%2)").arg(port_, device);
}

bool Unit::Open(QString* why) {
    if (serial_.OpenPort(port_) == link::kPortOpened) {
        return true;
    }
    *why = link::FailureText(port_, serial_.LastFailure());
    return false;
}

// The expected answer ends the wait, and so does one that carries the right end code and command
// but not the expected length: a unit that answered so will not answer otherwise.
void Unit::Answered(int16_t code, const QByteArray& payload) {
    if (!expect_ || code != expect_->code || payload.isEmpty() ||
        static_cast<uint8_t>(payload[0]) != expect_->command) {
        return;
    }
    if (expect_->length >= 0 && payload.size() != expect_->length) {
        failure_ = QStringLiteral("an answer that does not fit: %1 bytes where %2 were expected")
                       .arg(payload.size())
                       .arg(expect_->length);
        Finish(std::nullopt);
        return;
    }
    Finish(payload);
}

void Unit::Ask(const QByteArray& frame, Expect expect, int timeoutMs,
               std::function<void(std::optional<QByteArray>)> done) {
    expect_ = expect;
    code_ = 0;
    done_ = std::move(done);
    failure_.clear();
    silent_ = false;
    timeout_.start(Wait(timeoutMs));
    exchange_.SendFrame(frame);
}

void Unit::AwaitCode(const QByteArray& frame, int16_t code, int timeoutMs,
                     std::function<void(bool)> done) {
    expect_.reset();
    code_ = code;
    done_ = [done = std::move(done)](const std::optional<QByteArray>& payload) {
        done(payload.has_value());
    };
    failure_.clear();
    silent_ = false;
    timeout_.start(Wait(timeoutMs));
    if (!frame.isEmpty()) {
        exchange_.SendFrame(frame);
    }
}

void Unit::Cancel() {
    if (done_) {
        failure_ = QStringLiteral("interrupted");
        Finish(std::nullopt);
    }
}

void Unit::Finish(std::optional<QByteArray> payload) {
    timeout_.stop();
    expect_.reset();
    code_ = 0;
    if (auto done = std::exchange(done_, nullptr)) {
        done(std::move(payload));
    }
}

}  // namespace irig::cli
