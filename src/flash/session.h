// The stop-and-wait flash programming session: an erase request, then one 128-byte block per
// matching echo from 0x4000 up past the image's last byte other than 0xFF. It decides what to send
// and report; the window sends the frames, writes the log and moves the progress bar.
#pragma once

#include <QByteArray>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "flash/hexfile.h"

namespace irig::flash {

inline constexpr int32_t kFirstBlock = 0x4000;
inline constexpr int32_t kBlockSize = 128;

// The block's offset as three little-endian bytes and a 0x00.
QByteArray AddressToBytes(int32_t address);

class FlashSession {
public:
    enum State : int16_t { kIdle = 0, kErasePending = 2, kProgramming = 4 };

    // What the window does for one event of the session, in this order.
    struct Step {
        QStringList log;                // messages to append
        QByteArray frame;               // a frame to send, if not empty
        std::optional<float> progress;  // the progress bar's new value, 0 to 100
        std::optional<bool> barVisible;
        bool ended = false;  // erase failed or programming complete
    };

    // The Program click: finds the end of the data and asks for the erase. Starts over from any
    // state.
    Step Program(const FlashImage& image);

    // The first step of every reply: the erase result, or the echo of the last block.
    Step FlashStep(int16_t code, const QByteArray& strRxData, const FlashImage& image);

    // Forgets a session, so that a reply still in flight cannot send a block of another image.
    void Abandon() { intFlashState = kIdle; }

    int16_t intFlashState = kIdle;
    int32_t lngFlashAddress = 0;
    int32_t lngFlashEnd = 0;
    QByteArray strFlashBlock;  // the last block sent, before escaping

private:
    QByteArray SendBlock(const FlashImage& image);
};

}  // namespace irig::flash
