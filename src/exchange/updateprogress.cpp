#include "exchange/updateprogress.h"

namespace irig::exchange {

void UpdateProgress::Start(int blocks, qint64 nowMs) {
    running_ = true;
    blocks_ = blocks;
    confirmed_ = 0;
    startMs_ = heardMs_ = nowMs;
    firstBlockMs_ = -1;
}

void UpdateProgress::Apply(const flash::FlashSession::Step& step, qint64 nowMs) {
    if (step.sent && firstBlockMs_ < 0) {
        firstBlockMs_ = nowMs;
    }
    if (step.confirmed) {
        ++confirmed_;
    }
    if (step.Ended()) {
        running_ = false;
    }
}

double UpdateProgress::BlocksPerSecond(qint64 nowMs) const {
    const qint64 since = nowMs - firstBlockMs_;
    return firstBlockMs_ < 0 || since <= 0 ? 0 : 1000.0 * confirmed_ / static_cast<double>(since);
}

qint64 UpdateProgress::RemainingMs(qint64 nowMs) const {
    if (!running_ || firstBlockMs_ < 0 || confirmed_ == 0) {
        return -1;
    }
    return (nowMs - firstBlockMs_) * (blocks_ - confirmed_) / confirmed_;
}

}  // namespace irig::exchange
