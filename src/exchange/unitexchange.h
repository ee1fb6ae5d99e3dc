// The exchange with the unit that every view shares: sends frames through the serial component by
// the sending rule, runs what arrives through the receive state machine, gives the flash session
// its step at each end code and then decodes the reply. It owns the receiver, the session and the
// image, and reports what happened as values; showing them is the view's job.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

#include "exchange/updateprogress.h"
#include "flash/hexfile.h"
#include "flash/session.h"
#include "link/framecodec.h"
#include "link/portcontroller.h"
#include "status/replies.h"

namespace irig::exchange {

class UnitExchange final : public QObject, private link::FrameReceiver::Sink {
    Q_OBJECT

public:
    using SteadyClock = std::function<qint64()>;  // milliseconds, for durations only

    // `port` must outlive the exchange.
    explicit UnitExchange(link::PortController& port, QObject* parent = nullptr);
    ~UnitExchange() override;

    // The clock that times an update; tests drive it.
    void SetSteadyClock(SteadyClock clock) { steady_ = std::move(clock); }
    qint64 Now() const { return steady_(); }

    // The sending rule: empty the receive buffer, then hand the whole frame to the component;
    // false when no port was open to take it.
    bool SendFrame(const QByteArray& frame);
    // Empties the receive buffer without sending, as every poll tick does.
    void EmptyReceived() { rx_.Empty(); }
    // The component's receive event: reads what has arrived and runs it through the receiver.
    void DataReceived();
    // Runs bytes through the receiver as one delivery.
    void Feed(QByteArrayView bytes);

    // The image a load fills and Program sends; made (zeroed, 128 KiB) the first time it is asked
    // for, so that an exchange that never flashes never holds one.
    flash::FlashImage& Image();
    // Starts a session from the erase, whatever state the last one is in.
    void Program();
    // Ends a running session as a failure because the line to the unit is gone.
    void LineLost();
    // Forgets the session, so that a reply still in flight cannot send a block of another image.
    void Abandon();

    const flash::FlashSession& Session() const { return session_; }
    const link::FrameReceiver& Receiver() const { return rx_; }
    // How far the update has come, from Program to the session's end.
    const UpdateProgress& Progress() const { return progress_; }

signals:
    // 0xF0 re-boot complete or 0xF1 flash programming mode entered.
    void SingleCodeReceived(int16_t code);
    // Every end code with its payload, before the session's step for it.
    void FrameReceived(int16_t code, const QByteArray& payload);
    // A step of the session, raised before its frame (if any) is sent; a receiver that abandons
    // the session meanwhile withholds that frame.
    void SessionStepped(const irig::flash::FlashSession::Step& step);
    // An accepted reply's texts, after the session's step for the same end code.
    void ReplyDecoded(int16_t code, const irig::status::StatusView& view);
    // A frame too long to keep ended with this end code; nothing else saw it.
    void FrameDropped(int16_t code);

private:
    void EndCode(int16_t code) override;
    void SingleCode(int16_t code) override;
    void Dropped(int16_t code) override { emit FrameDropped(code); }
    void ProcessFrame(int16_t code);
    void Apply(const flash::FlashSession::Step& step);

    link::PortController& port_;
    link::FrameReceiver rx_;  // strRxData, intRxCode and blnRxEscape
    flash::FlashSession session_;
    std::unique_ptr<flash::FlashImage> image_;  // none until asked for: no session can run
    UpdateProgress progress_;
    SteadyClock steady_;
};

}  // namespace irig::exchange
