#include "shell/unitrecord.h"

#include "status/requests.h"

namespace irig::shell {

namespace {

constexpr int kVersionWaitMs = 10'000;

// An offset box's text as the unit will take it, as the Set request converts it.
int Hours(QStringView text) {
    return static_cast<int8_t>(
        status::OffsetToByte(status::RoundOffset(status::OffsetTextValue(text))));
}

}  // namespace

UnitRecord::UnitRecord(std::function<QString()> portName, const link::PortController& port,
                       std::function<void(const QString&)> log, QObject* parent)
    : QObject(parent), portName_(std::move(portName)), port_(port), log_(std::move(log)) {
    versionWait_.setSingleShot(true);
    versionWait_.setInterval(kVersionWaitMs);
    connect(&versionWait_, &QTimer::timeout, this,
            [this] { log_(QStringLiteral("No answer from the unit 10 s after the re-boot")); });
}

QString UnitRecord::Named() const {
    const QString name = portName_();
    const QString device = port_.Device();
    return device.isEmpty() || device == name ? name : QStringLiteral("%1 (%2)").arg(name, device);
}

void UnitRecord::Heard(int16_t code, const QByteArray& payload) {
    if (const std::optional<status::OffsetsReading> read = status::ReadOffsets(code, payload)) {
        offsets_ = unit::Offsets{read->irig, read->gps, read->ieee1344};
    }
    const std::optional<status::ClockReading> clock = status::ReadClock(code, payload);
    if (clock && clock->version && versionWait_.isActive()) {
        versionWait_.stop();
        log_(QStringLiteral("Unit answers version ") + status::VersionText(*clock->version));
    }
}

void UnitRecord::OffsetsSent(QStringView irig, QStringView gps, bool ieee1344) {
    record_.OffsetsSet(Named(), offsets_, {Hours(irig), Hours(gps), ieee1344},
                       QStringLiteral("sent"));
}

void UnitRecord::ClockSent(const QString& second) {
    record_.ClockSet(Named(), {}, second + QStringLiteral(", sent"));
}

void UnitRecord::UpdateStarted(int blocks) {
    record_.FlashEvent(Named(), unit::ChangeRecord::Flash::kStarted,
                       QStringLiteral("%1, %2 blocks").arg(file_).arg(blocks));
}

void UnitRecord::UpdateEnded(flash::FlashSession::End end) {
    if (end == flash::FlashSession::End::kCompleted) {
        record_.FlashEvent(Named(), unit::ChangeRecord::Flash::kDone,
                           file_ + QStringLiteral(", programming complete"));
    } else {
        record_.FlashEvent(Named(), unit::ChangeRecord::Flash::kFailed,
                           end == flash::FlashSession::End::kEraseFailed
                               ? QStringLiteral("the erase failed")
                               : QStringLiteral("the line went away"));
    }
}

void UnitRecord::UpdateLeft() {
    record_.FlashEvent(Named(), unit::ChangeRecord::Flash::kLeft,
                       QStringLiteral("Exit before the update was complete"));
}

void UnitRecord::Exited() {
    versionWait_.start();
}

}  // namespace irig::shell
