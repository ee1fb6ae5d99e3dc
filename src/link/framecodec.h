// The byte framing of the serial line: escaping, frame assembly, and the receive state machine
// that turns the incoming byte stream back into payloads and control codes. It does no I/O and
// does not judge payloads; that is the reply dispatcher's business.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>

#include "link/protocol.h"

namespace irig::link {

// The receive buffer's bound, far above any payload the unit sends (a block echo is 132 bytes).
inline constexpr qsizetype kMaxPayload = qsizetype{64} * 1024;

// Every 0x80 of the data doubled, every other byte copied.
QByteArray EscapeBytes(const QByteArray& data);

// 0x80, the start code, the escaped payload, 0x80 and the start code's end code.
QByteArray Frame(uint8_t startCode, const QByteArray& payload);

// A stand-alone control code: 0x80 and the code.
QByteArray SingleCode(uint8_t code);

// The receive state machine. Bytes are pushed in as they arrive, in deliveries of any size; at
// each end code and each stand-alone code it calls the sink before it looks at the next byte.
// The payload never grows past kMaxPayload: a payload that would is dropped whole, with every data
// byte up to the next start code, end code or emptying; that end code reaches the sink only as
// Dropped.
class FrameReceiver {
public:
    class Sink {
    public:
        // strRxData holds the payload; the sink may change it (a sender empties it).
        virtual void EndCode(int16_t code) = 0;
        // 0xF0 re-boot complete or 0xF1 flash programming mode entered.
        virtual void SingleCode(int16_t code) = 0;
        // The end of a frame that was dropped for running past kMaxPayload.
        virtual void Dropped(int16_t /*code*/) {}

    protected:
        ~Sink() = default;
    };

    void Feed(QByteArrayView bytes, Sink& sink);
    // Empties the payload, as every sender and every poll tick do; its room is kept for the next.
    void Empty() {
        strRxData.resize(0);
        blnRxOverflow = false;
    }

    QByteArray strRxData;        // the payload collected since the last start code or emptying
    int16_t intRxCode = 0;       // the last start, end or single code taken from the stream
    bool blnRxEscape = false;    // the previous byte was an escape still waiting for its code
    bool blnRxOverflow = false;  // the payload hit the bound and is being dropped

private:
    void Append(const char* bytes, qsizetype size);
};

}  // namespace irig::link
