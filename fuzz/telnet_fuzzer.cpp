// Hostile Telnet streams from a terminal server: the decoder reads the same events however the
// bytes are split, never holds a subnegotiation past its bound, and gives back exactly the data
// that was escaped on the way out.
#include <QByteArray>
#include <algorithm>
#include <string>
#include <vector>

#include "check.h"
#include "link/telnet.h"

namespace telnet = irig::link::telnet;

namespace {

// The events as one list of texts; data runs are merged, since a split may cut one run in two.
class Recorder : public telnet::Decoder::Sink {
public:
    std::vector<std::string> events;

    void Data(QByteArrayView data) override {
        if (events.empty() || events.back().front() != 'D') {
            events.emplace_back("D");
        }
        events.back().append(data.data(), static_cast<size_t>(data.size()));
    }
    void Negotiation(uint8_t verb, uint8_t option) override {
        events.push_back(std::string{'N', static_cast<char>(verb), static_cast<char>(option)});
    }
    void Subnegotiation(uint8_t option, QByteArrayView payload) override {
        Check(payload.size() <= telnet::kMaxSubnegotiation, "a subnegotiation stays in its bound");
        events.push_back(std::string{'S', static_cast<char>(option)} +
                         std::string(payload.data(), static_cast<size_t>(payload.size())));
    }
    void Overlong() override { events.emplace_back("O"); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 7;
    const QByteArrayView stream(data + 1, static_cast<qsizetype>(size - 1));

    Recorder whole;
    telnet::Decoder wholeDecoder;
    wholeDecoder.Feed(stream, whole);

    Recorder pieces;
    telnet::Decoder piecesDecoder;
    for (qsizetype at = 0; at < stream.size(); at += static_cast<qsizetype>(piece)) {
        piecesDecoder.Feed(stream.sliced(at, std::min<qsizetype>(piece, stream.size() - at)),
                           pieces);
    }
    Check(whole.events == pieces.events, "the events do not depend on how the bytes are split");

    Recorder echoed;
    telnet::Decoder echoedDecoder;
    echoedDecoder.Feed(telnet::Escape(stream), echoed);
    const std::string sent(stream.data(), static_cast<size_t>(stream.size()));
    Check(stream.empty() ? echoed.events.empty()
                         : echoed.events == std::vector<std::string>{"D" + sent},
          "escaped data decodes to itself and nothing else");
    return 0;
}
