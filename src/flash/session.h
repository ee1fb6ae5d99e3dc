// The stop-and-wait flash programming session: an erase request, then one 128-byte block per
// matching echo from 0x4000 up past the image's last byte other than 0xFF. It decides what to send
// and report; its owner sends the frames, writes the log and moves the progress bar.
#pragma once

#include <QByteArray>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "flash/hexfile.h"

namespace irig::flash {

inline constexpr int32_t kBlockSize = 128;

// The block's offset as three little-endian bytes and a 0x00.
QByteArray AddressToBytes(int32_t address);

// The end limit of a session on this image: the highest offset holding a byte other than 0xFF,
// plus 128. A block is sent while its start is below it (the block at 0x4000 always).
int32_t ProgramEnd(const FlashImage& image);

// The number of blocks a session on this image sends.
int32_t BlocksToSend(const FlashImage& image);

// "0:07", "12:34": a session's elapsed or remaining time in minutes and seconds, as the views show
// it.
QString MinutesSeconds(qint64 milliseconds);

class FlashSession {
public:
    enum State : int16_t { kIdle = 0, kErasePending = 2, kProgramming = 4 };

    // A block of the session: its start offset in the image, and its place among the session's
    // blocks, counted from 0.
    struct Block {
        int32_t address = 0;
        int number = 0;

        bool operator==(const Block&) const = default;
    };

    // How a session ended, when a step ends it.
    enum class End { kNone, kCompleted, kEraseFailed, kLineLost };

    // What the owner does for one event of the session, in this order, and what the event meant,
    // as values: no view needs to read a log text or a frame byte to know it.
    struct Step {
        QStringList log;                // messages to append
        QByteArray frame;               // a frame to send, if not empty
        std::optional<float> progress;  // the progress bar's new value, 0 to 100
        std::optional<bool> barVisible;

        bool eraseSent = false;          // the frame is the erase request
        std::optional<Block> sent;       // the frame is this block
        std::optional<Block> confirmed;  // the unit echoed this block
        // While blocks are awaited, a reply that is not the last block's echo: ignored, as it is
        // written; a view may take it for a wrong echo.
        bool strayIgnored = false;
        End end = End::kNone;
        // kEraseFailed: what came instead of the erase result, its end code and payload.
        int16_t answerCode = 0;
        QByteArray answer;

        bool Ended() const { return end != End::kNone; }
        bool Empty() const {
            return log.isEmpty() && frame.isEmpty() && !progress && !barVisible && !confirmed &&
                   !strayIgnored && !Ended();
        }
    };

    // The Program click: finds the end of the data and asks for the erase. Starts over from any
    // state.
    Step Program(const FlashImage& image);

    // The first step of every reply: the erase result, or the echo of the last block.
    Step FlashStep(int16_t code, const QByteArray& strRxData, const FlashImage& image);

    // Ends a running session as a failure because the line to the unit is gone.
    Step LineLost();

    // Forgets a session, so that a reply still in flight cannot send a block of another image.
    void Abandon() { intFlashState = kIdle; }

    // Waiting for the erase result or for the echo of a block that is not the last confirmed.
    bool Running() const {
        return intFlashState == kErasePending || (intFlashState == kProgramming && !complete_);
    }
    int16_t FlashState() const { return intFlashState; }
    int32_t FlashAddress() const { return lngFlashAddress; }
    int32_t FlashEnd() const { return lngFlashEnd; }
    const QByteArray& FlashBlock() const { return strFlashBlock; }

private:
    // Sends the block at lngFlashAddress and moves on: its frame, and the block it is.
    QByteArray SendBlock(const FlashImage& image, Step& step);

    int16_t intFlashState = kIdle;
    int32_t lngFlashAddress = 0;
    int32_t lngFlashEnd = 0;
    QByteArray strFlashBlock;  // the last block sent, before escaping
    bool complete_ = false;
};

}  // namespace irig::flash
