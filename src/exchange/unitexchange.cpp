#include "exchange/unitexchange.h"

#include "status/clockcheck.h"

namespace irig::exchange {

UnitExchange::UnitExchange(link::PortController& port, QObject* parent)
    : QObject(parent), port_(port), steady_(&status::SteadyMs) {}

UnitExchange::~UnitExchange() = default;

flash::FlashImage& UnitExchange::Image() {
    if (!image_) {
        image_ = std::make_unique<flash::FlashImage>();
    }
    return *image_;
}

bool UnitExchange::SendFrame(const QByteArray& frame) {
    rx_.Empty();
    return port_.SendData(frame);
}

void UnitExchange::DataReceived() {
    progress_.Heard(steady_());
    Feed(port_.ReadData());
}

void UnitExchange::Feed(QByteArrayView bytes) {
    rx_.Feed(bytes, *this);
}

void UnitExchange::Program() {
    progress_.Start(flash::BlocksToSend(Image()), steady_());
    Apply(session_.Program(Image()));
}

void UnitExchange::Abandon() {
    session_.Abandon();
    progress_.Stop();
}

void UnitExchange::LineLost() {
    Apply(session_.LineLost());
}

void UnitExchange::EndCode(int16_t code) {
    ProcessFrame(code);
}

void UnitExchange::SingleCode(int16_t code) {
    emit SingleCodeReceived(code);
}

// The flash step first; then the payload as that step left it is decoded (a step that sent a
// frame has emptied it).
void UnitExchange::ProcessFrame(int16_t code) {
    emit FrameReceived(code, rx_.strRxData);
    if (image_) {
        Apply(session_.FlashStep(code, rx_.strRxData, *image_));
    }
    const status::StatusView view = status::DecodeReply(code, rx_.strRxData);
    if (!view.Empty()) {
        emit ReplyDecoded(code, view);
    }
}

void UnitExchange::Apply(const flash::FlashSession::Step& step) {
    if (step.Empty()) {
        return;
    }
    progress_.Apply(step, steady_());
    emit SessionStepped(step);
    // A frame no port could take ends the session as a lost line would, rather than waiting for
    // an answer to nothing.
    if (!step.frame.isEmpty() && session_.FlashState() != flash::FlashSession::kIdle &&
        !SendFrame(step.frame)) {
        Apply(session_.LineLost());
    }
}

}  // namespace irig::exchange
