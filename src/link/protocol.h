// The unit's serial protocol in one place: the line's speed, the codes that follow the escape byte,
// the command numbers and lengths of the read and set frames, and how long bytes take on the
// wire. Framing bytes is the frame codec's job; what replies mean is the status and flash code's.
#pragma once

#include <QtGlobal>
#include <chrono>
#include <cstdint>

namespace irig::link {

inline constexpr qint32 kBaudRate = 19200;
inline constexpr int kBitsPerByte = 10;  // a start bit, eight data bits and a stop bit

inline constexpr uint8_t kEscape = 0x80;

// Codes that follow the escape byte. A start code's end code is the next value up.
namespace code {
inline constexpr uint8_t kStartRead = 0xE0;
inline constexpr uint8_t kEndRead = 0xE1;
inline constexpr uint8_t kStartSet = 0xE2;
inline constexpr uint8_t kEndSet = 0xE3;
inline constexpr uint8_t kReBoot = 0xF0;
inline constexpr uint8_t kFlashMode = 0xF1;
inline constexpr uint8_t kStartErase = 0xF2;
inline constexpr uint8_t kEndErase = 0xF3;
inline constexpr uint8_t kStartBlock = 0xF6;
inline constexpr uint8_t kEndBlock = 0xF7;
}  // namespace code

// The first payload byte of every read (0xE0/0xE1) and set (0xE2/0xE3) frame.
namespace command {
inline constexpr uint8_t kClock = 0x01;
inline constexpr uint8_t kOffsets = 0x02;
inline constexpr uint8_t kGpsMessage = 0x03;
}  // namespace command

// The unit's time reference, as a read reply's source byte gives it.
namespace source {
inline constexpr uint8_t kInternalCrystal = 0x01;
inline constexpr uint8_t kGps = 0x02;
inline constexpr uint8_t kIrigB = 0x04;
inline constexpr uint8_t kIrigBBad = 0x0C;
}  // namespace source

// The payload lengths of the replies the unit gives, command number included.
namespace length {
inline constexpr qsizetype kClockRead = 10;  // with the firmware version
inline constexpr qsizetype kClockSet = 9;
inline constexpr qsizetype kOffsets = 4;
}  // namespace length

// The time `bytes` take on the line, to the microsecond below.
constexpr std::chrono::microseconds WireTime(qsizetype bytes) {
    return std::chrono::microseconds(bytes * kBitsPerByte * 1'000'000 / kBaudRate);
}

// The same, in whole milliseconds rounded up: a wait never shorter than the bytes' time.
constexpr int WireMilliseconds(qsizetype bytes) {
    return static_cast<int>((bytes * kBitsPerByte * 1000 + kBaudRate - 1) / kBaudRate);
}

// The same in seconds, for figures.
constexpr double WireSeconds(qint64 bytes) {
    return static_cast<double>(bytes) * kBitsPerByte / kBaudRate;
}

}  // namespace irig::link
