#include "link/telnet.h"

#include <cstring>

namespace irig::link::telnet {

QByteArray Escape(QByteArrayView data) {
    QByteArray escaped;
    escaped.reserve(data.size() + data.count(static_cast<char>(kIac)));
    for (const char byte : data) {
        escaped.append(byte);
        if (static_cast<uint8_t>(byte) == kIac) {
            escaped.append(byte);
        }
    }
    return escaped;
}

QByteArray Negotiation(uint8_t verb, uint8_t option) {
    const char bytes[] = {static_cast<char>(kIac), static_cast<char>(verb),
                          static_cast<char>(option)};
    return QByteArray(bytes, sizeof bytes);
}

QByteArray Subnegotiation(uint8_t option, QByteArrayView payload) {
    QByteArray frame;
    frame.append(static_cast<char>(kIac)).append(static_cast<char>(kSb));
    frame.append(static_cast<char>(option));
    frame.append(Escape(payload));
    frame.append(static_cast<char>(kIac)).append(static_cast<char>(kSe));
    return frame;
}

void Decoder::Feed(QByteArrayView bytes, Sink& sink) {
    const char* next = bytes.data();
    const char* const end = next + bytes.size();
    while (next != end) {
        if (state_ == State::kData) {
            // Data up to the next IAC goes out as one run.
            const auto* iac = static_cast<const char*>(std::memchr(next, kIac, end - next));
            const char* runEnd = iac != nullptr ? iac : end;
            if (runEnd != next) {
                sink.Data(QByteArrayView(next, runEnd - next));
            }
            next = runEnd;
            if (iac != nullptr) {
                state_ = State::kIac;
                ++next;
            }
            continue;
        }
        const auto b = static_cast<uint8_t>(*next++);
        switch (state_) {
            case State::kData:
                break;
            case State::kIac:
                if (b == kIac) {
                    sink.Data(QByteArrayView("\xFF", 1));
                    state_ = State::kData;
                } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                    verb_ = b;
                    state_ = State::kVerb;
                } else if (b == kSb) {
                    state_ = State::kSbOption;
                } else {
                    state_ = State::kData;  // NOP, GA and the other bare commands mean nothing here
                }
                break;
            case State::kVerb:
                sink.Negotiation(verb_, b);
                state_ = State::kData;
                break;
            case State::kSbOption:
                option_ = b;
                sb_.clear();
                overlong_ = false;
                state_ = State::kSb;
                break;
            case State::kSb:
                if (b == kIac) {
                    state_ = State::kSbIac;
                } else if (sb_.size() < kMaxSubnegotiation) {
                    sb_.append(static_cast<char>(b));
                } else if (!overlong_) {
                    overlong_ = true;
                    sink.Overlong();
                }
                break;
            case State::kSbIac:
                if (b == kSe) {
                    if (!overlong_) {
                        sink.Subnegotiation(option_, sb_);
                    }
                    sb_.clear();
                    state_ = State::kData;
                } else {
                    // IAC IAC is a data byte of the payload; any other command goes on with it.
                    if (b == kIac && sb_.size() < kMaxSubnegotiation) {
                        sb_.append(static_cast<char>(b));
                    } else if (b == kIac && !overlong_) {
                        overlong_ = true;
                        sink.Overlong();
                    }
                    state_ = State::kSb;
                }
                break;
        }
    }
}

}  // namespace irig::link::telnet
