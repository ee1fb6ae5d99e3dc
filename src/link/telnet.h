// Telnet as RFC 854 and 855 frame it, for the COM-PORT-OPTION of RFC 2217: data with IAC doubled
// on the way out, and on the way in the data, the option negotiations and the subnegotiations
// between them, decoded as bytes come in pieces of any size. No I/O, and a bound on what a
// subnegotiation may hold.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>

namespace irig::link::telnet {

inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;

inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPort = 44;

// Far above any subnegotiation RFC 2217 defines (a signature aside, at most 5 bytes).
inline constexpr qsizetype kMaxSubnegotiation = 64;

// Every IAC of the data doubled.
QByteArray Escape(QByteArrayView data);
// IAC, the verb (WILL, WONT, DO, DONT) and the option.
QByteArray Negotiation(uint8_t verb, uint8_t option);
// IAC SB, the option, the payload with its IACs doubled, IAC SE.
QByteArray Subnegotiation(uint8_t option, QByteArrayView payload);

class Decoder {
public:
    class Sink {
    public:
        // Data bytes, IAC IAC already undone.
        virtual void Data(QByteArrayView data) = 0;
        // IAC WILL, WONT, DO or DONT, and its option.
        virtual void Negotiation(uint8_t verb, uint8_t option) = 0;
        // IAC SB option ... IAC SE, the payload with IAC IAC undone.
        virtual void Subnegotiation(uint8_t option, QByteArrayView payload) = 0;
        // A subnegotiation ran past kMaxSubnegotiation; what follows it until IAC SE is dropped.
        virtual void Overlong() = 0;

    protected:
        ~Sink() = default;
    };

    void Feed(QByteArrayView bytes, Sink& sink);

private:
    enum class State { kData, kIac, kVerb, kSbOption, kSb, kSbIac };

    State state_ = State::kData;
    uint8_t verb_ = 0;
    uint8_t option_ = 0;
    QByteArray sb_;
    bool overlong_ = false;
};

}  // namespace irig::link::telnet
