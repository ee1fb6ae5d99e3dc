#include "shell/portview.h"

#include <QSerialPortInfo>
#include <QTimer>

#include "link/portmap.h"

namespace irig::shell {

namespace {

constexpr qint64 kStaleMs = 1500;  // no clock reply for this long: the values are greyed
constexpr int kDescribeAfterMs = 300;

}  // namespace

PortView::PortView(StatusLine& status, link::PortController& port,
                   std::initializer_list<QLabel*> values, SteadyClock now, QObject* parent)
    : QObject(parent), status_(status), port_(port), values_(values), now_(std::move(now)) {}

// The port and its device at once; what the system says of the adapter a moment later, so that
// asking it (a walk through the system's device list) never delays the window.
void PortView::Open(const QString& name) {
    confirmedMs_ = now_();
    const QString device = port_.Device();
    // What a terminal server would not do stands where an adapter's description would.
    status_.SetPort(PortOpenText(name, device, port_.Note()));
    if (!port_.Note().isEmpty()) {
        return;
    }
    QTimer::singleShot(kDescribeAfterMs, this, [this, name, device] {
        if (status_.Port() == PortOpenText(name, device, {})) {
            status_.SetPort(PortOpenText(
                name, device, link::DeviceDescription(device, QSerialPortInfo::availablePorts())));
        }
    });
}

void PortView::Connecting(const QString& name) {
    status_.SetPort(PortConnectingText(name, port_.Device()));
    SetStale(true);
}

void PortView::Failed(const QString& why) {
    status_.SetPort(why);
    SetStale(true);
}

void PortView::Closed() {
    status_.SetPort(QStringLiteral("closed while choosing a port"));
    SetStale(true);
}

void PortView::Lost(const QString& name, const QString& reason, const QString& waiting) {
    lostReason_ = reason;
    Waiting(name, waiting);
    SetStale(true);
}

void PortView::Waiting(const QString& name, const QString& waiting) {
    status_.SetPort(PortLostText(name, lostReason_, waiting));
}

void PortView::Confirmed() {
    confirmedMs_ = now_();
    SetStale(false);
}

void PortView::CheckStale() {
    if (now_() - confirmedMs_ > kStaleMs) {
        SetStale(true);
    }
}

// Values that no reply has confirmed lately are greyed until the next one.
void PortView::SetStale(bool stale) {
    for (QLabel* value : values_) {
        value->setEnabled(!stale);
    }
}

bool PortView::Stale() const {
    return !values_.empty() && !values_.front()->isEnabled();
}

}  // namespace irig::shell
