#include "link/portswitch.h"

#include "link/portmap.h"

namespace irig::link {

PortSwitch::PortSwitch(QObject* parent) : PortController(parent) {
    for (PortController* component :
         {static_cast<PortController*>(&serial_), static_cast<PortController*>(&network_)}) {
        connect(component, &PortController::DataReceived, this, &PortController::DataReceived);
        connect(component, &PortController::PortLost, this, &PortController::PortLost);
        connect(component, &PortController::OpenFinished, this, &PortController::OpenFinished);
    }
}

void PortSwitch::SetBaudRate(qint32 baud) {
    serial_.SetBaudRate(baud);
    network_.SetBaudRate(baud);
}

int PortSwitch::OpenPort(const QString& name) {
    return OpenDevice(name, ResolvePortName(name));
}

int PortSwitch::OpenDevice(const QString& name, const QString& device) {
    active_->ClosePort();
    active_ = LooksLikeAddress(device) ? static_cast<PortController*>(&network_)
                                       : static_cast<PortController*>(&serial_);
    return active_->OpenDevice(name, device);
}

}  // namespace irig::link
