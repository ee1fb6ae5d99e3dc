#include "support/simulatedport.h"

#include <QTimer>
#include <chrono>

#include "link/portmap.h"

namespace irig::test {

SimUnit::SimUnit(sim::Options options)
    : unit(
          std::move(options),
          [this](const std::string& line) { log.append(QString::fromStdString(line)); },
          [](uint32_t, uint32_t) {}) {}

QByteArray SimUnit::Flash() const {
    return QByteArray(reinterpret_cast<const char*>(unit.Flash().data()),
                      static_cast<qsizetype>(unit.Flash().size()));
}

SimulatedPort::SimulatedPort(std::shared_ptr<SimUnit> unit) : unit_(std::move(unit)) {}

SimulatedPort::~SimulatedPort() = default;

int SimulatedPort::OpenPort(const QString& name) {
    return OpenDevice(name, link::ResolvePortName(name));
}

void SimulatedPort::Unplug() {
    open_ = false;
    emit PortLost(QStringLiteral("the device went away"));
}

int SimulatedPort::OpenDevice(const QString&, const QString& device) {
    device_ = device;
    if (failOpen) {
        failure_ = *failOpen;
        open_ = false;
        return link::kNoSuchDevice;
    }
    failure_ = {};
    open_ = true;
    return link::kPortOpened;
}

bool SimulatedPort::SendData(const QByteArray& data) {
    if (!open_) {
        return false;
    }
    QTimer::singleShot(0, this, [this, data] {
        if (!open_) {
            return;
        }
        if (answerInstead) {
            if (const std::optional<QByteArray> instead = answerInstead(data)) {
                Deliver(*instead);
                return;
            }
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(data.constData());
        QByteArray replies;
        for (const sim::Bytes& reply :
             unit_->unit.Receive(bytes, static_cast<size_t>(data.size()), sim::Clock::now())) {
            replies.append(reinterpret_cast<const char*>(reply.data()),
                           static_cast<qsizetype>(reply.size()));
        }
        Deliver(replies);
        if (unit_->unit.TakeHangUp()) {
            open_ = false;
            emit PortLost(QStringLiteral("the line hung up or the device went away"));
        }
        ScheduleReboot();
    });
    return true;
}

void SimulatedPort::ScheduleReboot() {
    const std::optional<sim::Clock::time_point> due = unit_->unit.RebootDue();
    if (!due || rebootScheduled_) {
        return;
    }
    rebootScheduled_ = true;
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(*due - sim::Clock::now()).count();
    QTimer::singleShot(static_cast<int>(std::max<qint64>(wait, 0)), this, [this] {
        rebootScheduled_ = false;
        QByteArray replies;
        for (const sim::Bytes& reply :
             unit_->unit.Tick(sim::Clock::now() + std::chrono::hours(1))) {
            replies.append(reinterpret_cast<const char*>(reply.data()),
                           static_cast<qsizetype>(reply.size()));
        }
        if (open_) {
            Deliver(replies);
        }
    });
}

void SimulatedPort::Deliver(const QByteArray& bytes) {
    if (bytes.isEmpty()) {
        return;
    }
    inbox_ += bytes;
    emit DataReceived();
}

QByteArray SimulatedPort::ReadData() {
    return std::exchange(inbox_, {});
}

}  // namespace irig::test
