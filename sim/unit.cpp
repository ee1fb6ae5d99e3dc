#include "unit.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <tuple>
#include <utility>

namespace sim {

namespace {

constexpr uint8_t kEscape = 0x80;
constexpr uint8_t kRead = 0xE0, kSet = 0xE2, kReBoot = 0xF0, kFlashMode = 0xF1, kErase = 0xF2,
                  kBlock = 0xF6;

bool IsStart(uint8_t b) {
    return b == kRead || b == kSet || b == kErase || b == kBlock;
}

// Source codes as a read reply and as a set reply carry them.
uint8_t SourceCode(const std::string& source, bool setReply) {
    if (source == "crystal")
        return 0x01;
    if (source == "irig-bad")
        return 0x0C;
    if (source == "irig")
        return setReply ? 0x02 : 0x04;
    return setReply ? 0x04 : 0x02;  // gps
}

std::string Hex(const Bytes& bytes, size_t limit = 12) {
    std::string text;
    char digits[4];
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(digits, sizeof digits, "%02X ", bytes[i]);
        text += digits;
    }
    if (bytes.size() > limit)
        text += "...";
    return text;
}

}  // namespace

std::vector<Decoder::Message> Decoder::Feed(const uint8_t* data, size_t size) {
    std::vector<Message> messages;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        if (!escape_) {
            if (b == kEscape) {
                escape_ = true;
            } else if (inFrame_) {
                payload_.push_back(b);
            }
            continue;
        }
        escape_ = false;
        if (b == kEscape) {
            if (inFrame_)
                payload_.push_back(kEscape);
        } else if (IsStart(b)) {
            inFrame_ = true;
            start_ = b;
            payload_.clear();
        } else if (inFrame_ && b == start_ + 1) {
            messages.push_back({start_, payload_});
            inFrame_ = false;
        } else if (b == kReBoot || b == kFlashMode) {
            messages.push_back({b, {}});
        } else {
            inFrame_ = false;  // a foreign code spoils the frame
        }
    }
    return messages;
}

Bytes EncodeFrame(uint8_t startCode, const Bytes& payload) {
    Bytes frame{kEscape, startCode};
    for (const uint8_t b : payload) {
        frame.push_back(b);
        if (b == kEscape)
            frame.push_back(kEscape);
    }
    frame.push_back(kEscape);
    frame.push_back(static_cast<uint8_t>(startCode + 1));
    return frame;
}

Unit::Unit(Options options, std::function<void(const std::string&)> log,
           std::function<void(uint32_t, uint32_t)> flashWritten)
    : options_(std::move(options)),
      log_(std::move(log)),
      flashWritten_(std::move(flashWritten)),
      clockOffset_(std::chrono::round<std::chrono::system_clock::duration>(
          std::chrono::duration<double>(options_.clockOffsetSeconds))),
      driftFrom_(std::chrono::system_clock::now()) {
    flash_.fill(0xFF);
}

std::vector<Bytes> Unit::Receive(const uint8_t* data, size_t size, Clock::time_point now) {
    std::vector<Bytes> replies;
    for (const Decoder::Message& message : decoder_.Feed(data, size)) {
        if (options_.silent) {
            log_("silent: ignored " + Hex(message.payload));
            continue;
        }
        if (rebootDue_) {
            log_("re-booting: ignored frame " + std::to_string(message.code) + ": " +
                 Hex(message.payload));
            continue;
        }
        for (Bytes& reply : Answer(message, now)) {
            replies.push_back(std::move(reply));
        }
    }
    return replies;
}

std::vector<Bytes> Unit::Answer(const Decoder::Message& message, Clock::time_point now) {
    const Bytes& p = message.payload;
    // The host's wall clock when the request's last byte arrived, from one reading of each clock:
    // a setting and its reply then agree to the nanosecond.
    const HostTime arrived =
        std::chrono::system_clock::now() -
        std::chrono::duration_cast<std::chrono::system_clock::duration>(Clock::now() - now);
    Replies replies;
    switch (message.code) {
        case kReBoot:
            log_("re-boot");
            rebootDue_ = now + std::chrono::milliseconds(options_.rebootMs);
            return {};
        case kFlashMode:
            if (options_.refuseFlashMode)
                break;
            log_("flash mode");
            flashMode_ = true;
            updated_ = false;
            return {{kEscape, kFlashMode}};
        case kRead:
            replies = flashMode_ ? std::nullopt : Read(p, arrived);
            break;
        case kSet:
            replies = flashMode_ ? std::nullopt : Set(p, arrived);
            break;
        case kErase:
            replies = flashMode_ ? Erase(p) : std::nullopt;
            break;
        case kBlock:
            replies = flashMode_ ? Block(p) : std::nullopt;
            break;
        default:
            break;
    }
    if (replies)
        return std::move(*replies);
    log_("ignored frame " + std::to_string(message.code) + (flashMode_ ? " (flash mode): " : ": ") +
         Hex(p));
    return {};
}

Unit::Replies Unit::Read(const Bytes& p, HostTime arrived) {
    if (p.size() != 1)
        return std::nullopt;
    if (p[0] == 0x01) {
        log_("status");
        return {{EncodeFrame(kRead, ClockPayload(false, arrived))}};
    }
    if (p[0] == 0x02) {
        log_("retrieve offsets");
        return {{EncodeFrame(kRead, {0x02, irigOffset_, gpsOffset_, ieee1344_})}};
    }
    if (p[0] == 0x03) {
        log_("retrieve GPS message");
        Bytes reply(options_.gpsMessage.size() + 1, 0x03);
        std::copy(options_.gpsMessage.begin(), options_.gpsMessage.end(), reply.begin() + 1);
        return {{EncodeFrame(kRead, reply)}};
    }
    return std::nullopt;
}

Unit::Replies Unit::Set(const Bytes& p, HostTime arrived) {
    if (p.size() == 9 && p[0] == 0x01) {
        const auto kept = std::pair(clockOffset_, driftFrom_);
        const long long lagMs = SetClock(p, arrived);
        log_("set time " + Hex(p) + "; the host's clock was " + std::to_string(lagMs) +
             " ms past it when the frame arrived" + (options_.forgetWrites ? "; forgotten" : ""));
        Bytes reply = ClockPayload(true, arrived);
        if (options_.forgetWrites)
            std::tie(clockOffset_, driftFrom_) = kept;
        return {{EncodeFrame(kSet, reply)}};
    }
    if (p.size() == 4 && p[0] == 0x02) {
        log_("set offsets " + Hex(p) + (options_.forgetWrites ? "; forgotten" : ""));
        if (!options_.forgetWrites)
            irigOffset_ = p[1], gpsOffset_ = p[2], ieee1344_ = p[3];
        return {{EncodeFrame(kSet, {0x02, p[1], p[2], p[3]})}};
    }
    return std::nullopt;
}

Unit::Replies Unit::Erase(const Bytes& p) {
    if (p != Bytes{0x55, 0xAA})
        return std::nullopt;
    if (++erases_ == options_.failErase) {
        log_("erase " + std::to_string(erases_) + ": failing it");
        return {{EncodeFrame(kErase, {0x00})}};
    }
    flash_.fill(0xFF);
    flashWritten_(0, kFlashSize);
    whole_ = false;
    log_("erase " + std::to_string(erases_));
    return {{EncodeFrame(kErase, {0xFF})}};
}

Unit::Replies Unit::Block(const Bytes& p) {
    if (p.size() != 132 || p[3] != 0x00)
        return std::nullopt;
    const uint32_t address = p[0] | (p[1] << 8) | (p[2] << 16);
    if (address + 128 > kFlashSize)
        return std::nullopt;
    std::copy(p.begin() + 4, p.end(), flash_.begin() + address);
    flashWritten_(address, 128);
    updated_ = true;
    whole_ = p.back() == 0xFF;
    ++echoes_;
    hangUp_ = hangUp_ || echoes_ == options_.hangUpAfter;
    char line[64];
    std::snprintf(line, sizeof line, "block %d at 0x%05X", echoes_, address);
    if (echoes_ == options_.dropEcho) {
        log_(std::string(line) + ": dropping its echo");
        return std::vector<Bytes>{};
    }
    Bytes echo = p;
    if (echoes_ == options_.corruptEcho) {
        echo[4 + echoes_ % 128] ^= 0x01;
        log_(std::string(line) + ": corrupting its echo");
    } else {
        log_(line);
    }
    return {{EncodeFrame(kBlock, echo)}};
}

std::vector<Bytes> Unit::Tick(Clock::time_point now) {
    if (!rebootDue_ || now < *rebootDue_) {
        return {};
    }
    rebootDue_.reset();
    if (!whole_) {
        flashMode_ = true;
        log_("re-boot complete: the image is incomplete, the boot loader stays in flash mode");
        return {{kEscape, kReBoot}};
    }
    if (flashMode_ && updated_) {
        if (const std::optional<int> version = ProgramIdVersion()) {
            options_.version = *version;
            log_("the update's program ID carries version " + std::to_string(*version / 10) + "." +
                 std::to_string(*version % 10));
        }
        options_.silent = options_.silent || options_.silentAfterUpdate;
    }
    flashMode_ = false;
    log_("re-boot complete");
    return {{kEscape, kReBoot}};
}

// The last "N.N" of the program ID (the text at 0x4168, up to 65 bytes or a 0x00), in tenths.
std::optional<int> Unit::ProgramIdVersion() const {
    constexpr uint32_t kProgramIdAt = 0x4168;
    constexpr uint32_t kProgramIdLength = 65;
    std::string id;
    for (uint32_t i = 0; i < kProgramIdLength && flash_[kProgramIdAt + i] != 0x00; ++i)
        id += static_cast<char>(flash_[kProgramIdAt + i]);
    std::optional<int> version;
    for (size_t dot = id.find('.'); dot != std::string::npos; dot = id.find('.', dot + 1)) {
        size_t start = dot;
        while (start > 0 && std::isdigit(static_cast<unsigned char>(id[start - 1])))
            --start;
        if (start == dot || dot + 1 >= id.size() ||
            !std::isdigit(static_cast<unsigned char>(id[dot + 1])))
            continue;
        const int tenths =
            std::atoi(id.substr(start, dot - start).c_str()) * 10 + (id[dot + 1] - '0');
        if (tenths <= 255)
            version = tenths;
    }
    return version;
}

bool Unit::TakeHangUp() {
    return std::exchange(hangUp_, false);
}

Bytes Unit::ClockPayload(bool setReply, HostTime arrived) const {
    // Whole seconds, rounded down (to_time_t may round a time before the epoch's either way).
    const std::time_t now = std::chrono::system_clock::to_time_t(
        std::chrono::floor<std::chrono::seconds>(arrived + OffsetAt(arrived)));
    std::tm local{};
    localtime_r(&now, &local);
    const int year = local.tm_year + 1900;
    Bytes payload{0x01,
                  SourceCode(options_.source, setReply),
                  static_cast<uint8_t>(year & 0xFF),
                  static_cast<uint8_t>(year >> 8),
                  static_cast<uint8_t>(local.tm_mon + 1),
                  static_cast<uint8_t>(local.tm_mday),
                  static_cast<uint8_t>(local.tm_hour),
                  static_cast<uint8_t>(local.tm_min),
                  static_cast<uint8_t>(local.tm_sec)};
    if (!setReply)
        payload.push_back(static_cast<uint8_t>(options_.version));
    return payload;
}

long long Unit::SetClock(const Bytes& p, HostTime arrived) {
    std::tm set{};
    set.tm_year = (p[2] | (p[3] << 8)) - 1900;
    set.tm_mon = p[4] - 1;
    set.tm_mday = p[5];
    set.tm_hour = p[6];
    set.tm_min = p[7];
    set.tm_sec = p[8];
    set.tm_isdst = -1;
    const std::time_t when = std::mktime(&set);
    if (when == static_cast<std::time_t>(-1)) {
        return 0;
    }
    // The unit's second begins when the frame's last byte arrives; the host's wall clock then,
    // against the time the frame carried, is how late (or early) it came. Kept exact: a clock a
    // fraction of a millisecond short would read the second before the one just set.
    clockOffset_ = std::chrono::system_clock::from_time_t(when) - arrived;
    driftFrom_ = arrived;
    return -std::chrono::round<std::chrono::milliseconds>(clockOffset_).count();
}

std::chrono::system_clock::duration Unit::OffsetAt(HostTime arrived) const {
    const std::chrono::duration<double> drifted = (arrived - driftFrom_) * options_.driftPpm / 1e6;
    return clockOffset_ + std::chrono::round<std::chrono::system_clock::duration>(drifted);
}

}  // namespace sim
