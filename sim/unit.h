// The simulated time-code unit's behaviour: its own compact frame codec, its clock, settings and
// flash, what it answers to each request, and the faults it can be told to make. No I/O: the line
// (a pseudo-terminal or a tty) is driven by main.cpp.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline constexpr uint32_t kFlashSize = 0x20080;  // 0x00000-0x2007F

struct Options {
    std::string source = "gps";  // gps, irig, irig-bad or crystal
    int version = 23;            // in tenths
    std::string gpsMessage = "$GPRMC,120000,A,4807.038,N,01131.000,E,000.0,000.0,071226,,*3F";
    int rebootMs = 1500;
    double clockOffsetSeconds = 0;  // the unit's clock against the host's at start
    double driftPpm = 0;            // the unit's clock gains this many millionths (negative: loses)
    bool silent = false;
    bool refuseFlashMode = false;    // 0x80 0xF1 is ignored, as by a unit that has no flash mode
    int dropEcho = 0;                // the Nth block echo is not sent (0: never)
    int corruptEcho = 0;             // the Nth block echo has a byte changed
    int failErase = 0;               // the Nth erase fails
    int hangUpAfter = 0;             // the line is hung up after the Nth block echo
    bool silentAfterUpdate = false;  // says nothing after the re-boot that ends an update
    bool forgetWrites = false;       // acknowledges Set Time and offset sets without keeping them
};

// The unit's side of the framing: a frame must open with a start code and close with its own end
// code; a doubled 0x80 is a data byte; 0x80 0xF0 and 0x80 0xF1 stand alone.
class Decoder {
public:
    struct Message {
        uint8_t code;  // the start code of a frame, or 0xF0/0xF1
        Bytes payload;
    };
    std::vector<Message> Feed(const uint8_t* data, size_t size);

private:
    bool escape_ = false;
    bool inFrame_ = false;
    uint8_t start_ = 0;
    Bytes payload_;
};

Bytes EncodeFrame(uint8_t startCode, const Bytes& payload);

class Unit {
public:
    // `log` gets one line per request (for --verbose); `flashWritten` is told which flash range
    // changed, before the reply that confirms it is sent.
    Unit(Options options, std::function<void(const std::string&)> log,
         std::function<void(uint32_t from, uint32_t size)> flashWritten);

    // Bytes from the host, whose last one arrived at `now`; returns the replies, one entry per
    // message on the line.
    std::vector<Bytes> Receive(const uint8_t* data, size_t size, Clock::time_point now);
    // When a re-boot in progress completes, if one is.
    std::optional<Clock::time_point> RebootDue() const { return rebootDue_; }
    // Completes a due re-boot; returns the 0x80 0xF0 it sends.
    std::vector<Bytes> Tick(Clock::time_point now);
    // True once, when the line should be hung up.
    bool TakeHangUp();

    const std::array<uint8_t, kFlashSize>& Flash() const { return flash_; }

private:
    using HostTime = std::chrono::system_clock::time_point;

    using Replies = std::optional<std::vector<Bytes>>;  // none: the request is ignored

    std::vector<Bytes> Answer(const Decoder::Message& message, Clock::time_point now);
    // Each request a unit out of flash mode answers (Read, Set), and those in flash mode (Erase,
    // Block).
    Replies Read(const Bytes& payload, HostTime arrived);
    Replies Set(const Bytes& payload, HostTime arrived);
    Replies Erase(const Bytes& payload);
    Replies Block(const Bytes& payload);
    std::optional<int> ProgramIdVersion() const;
    // The clock as it stands when a request's last byte arrives: `arrived`, the host's wall clock
    // then, read once per request.
    Bytes ClockPayload(bool setReply, HostTime arrived) const;
    // Sets the clock; returns how far the host's clock was past the time set when it arrived.
    long long SetClock(const Bytes& payload, HostTime arrived);
    // The unit's clock against the host's at `arrived`: as set, and drifted since.
    std::chrono::system_clock::duration OffsetAt(HostTime arrived) const;

    Options options_;
    std::function<void(const std::string&)> log_;
    std::function<void(uint32_t, uint32_t)> flashWritten_;
    Decoder decoder_;
    std::array<uint8_t, kFlashSize> flash_{};
    std::chrono::system_clock::duration clockOffset_;  // the unit's clock against the host's
    HostTime driftFrom_;                               // when clockOffset_ held
    uint8_t irigOffset_ = 0, gpsOffset_ = 0, ieee1344_ = 0;
    bool flashMode_ = false;
    bool updated_ = false;  // flash written since flash mode was entered
    // The image holds a whole update: not after an erase until the last block written ends in an
    // erased byte, as the last block of every whole update does. A re-boot without a whole image
    // stays in the boot loader, which answers nothing but the flash commands.
    bool whole_ = true;
    std::optional<Clock::time_point> rebootDue_;
    int erases_ = 0, echoes_ = 0;
    bool hangUp_ = false;
};

}  // namespace sim
