#include "unit/portpresence.h"

#include "link/portfailure.h"

namespace irig::unit {

PortPresence::PortPresence(link::PortController& port, QObject* parent)
    : QObject(parent), port_(port) {
    // Before the watch's own: a loss is said before what it awaits.
    connect(&port_, &link::PortController::PortLost, this, &PortPresence::Lost);
    watch_ = std::make_unique<link::PortWatch>(port_);
    connect(watch_.get(), &link::PortWatch::WaitingChanged, this, &PortPresence::WaitingChanged);
    connect(watch_.get(), &link::PortWatch::Reopened, this, &PortPresence::Reopened);
    connect(&port_, &link::PortController::OpenFinished, this, &PortPresence::Finished);
}

PortPresence::~PortPresence() = default;

int PortPresence::Open(const QString& name) {
    watch_->Forget();
    opening_.clear();
    const int result = port_.OpenPort(name);
    if (result == link::kPortOpened && watching_) {
        watch_->Opened(name);
    } else if (result == link::kPortOpening) {
        opening_ = name;
    }
    return result;
}

void PortPresence::Close() {
    opening_.clear();
    watch_->Forget();
    port_.ClosePort();
}

void PortPresence::Await(const QString& name) {
    if (watching_) {
        watch_->Await(name);
    }
}

// Only an open of this presence's; the watch's own reopening ends in Reopened.
void PortPresence::Finished(int result) {
    if (opening_.isEmpty()) {
        return;
    }
    const QString name = std::exchange(opening_, {});
    if (result == link::kPortOpened) {
        if (watching_) {
            watch_->Opened(name);
        }
        emit Opened(name);
    } else {
        emit OpenFailed(name, link::FailureText(name, port_.LastFailure()));
    }
}

}  // namespace irig::unit
