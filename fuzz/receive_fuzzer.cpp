// Hostile bytes from the serial line: arbitrary bytes cut into arbitrary deliveries, floods of junk
// beyond the receive buffer's bound, through the exchange with the unit (receive state machine,
// flash step, reply decoding) with the session idle, waiting for an erase result, or programming a
// loaded image. Besides raw deliveries the input can echo the last frame sent, whole or with one
// byte changed, so that programming gets somewhere.
// Checks, beyond "no crash":
// - the state machine, fed in pieces, agrees with a byte-at-a-time reference, also when a sender
//   empties the buffer at an end code, so the buffer never holds a byte that was not received;
// - memory stays bounded: the receive buffer never exceeds its bound, nor a GPS text its own;
// - every frame the flash session sends is a well-formed block inside the image, carrying the
//   image's bytes;
// - the status display changes only for a reply of an accepted command and length.
#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "exchange/unitexchange.h"
#include "support/fakeportcontroller.h"
#include "support/recordingsink.h"

namespace {

using irig::flash::FlashImage;
using irig::link::FrameReceiver;
using irig::link::kMaxPayload;

constexpr int kFloods = 4;
constexpr qsizetype kFloodSize = kMaxPayload / 2 + 1;

// One delivery of an input: `size` bytes at `at` of the input's stream of deliveries, or, for a
// flood, `size` times the one byte there.
struct Delivery {
    qsizetype at = 0;
    qsizetype size = 0;
    bool flood = false;
};

// The bytes of a delivery; a flood is spelt out in `room`.
QByteArrayView Bytes(const Delivery& delivery, const QByteArray& stream, QByteArray& room) {
    if (!delivery.flood)
        return QByteArrayView(stream).sliced(delivery.at, delivery.size);
    std::memset(room.data(), stream[delivery.at], size_t(delivery.size));
    return QByteArrayView(room.constData(), delivery.size);
}

// A sender that empties the buffer at some end codes, decided by the payload itself so that the
// reference can make the same choice.
bool SenderEmpties(QByteArrayView payload) {
    return !payload.isEmpty() && (payload[0] & 1);
}

// The receive state machine as written, one byte at a time, with the buffer's bound.
struct Reference {
    std::vector<char> strRxData = std::vector<char>(size_t(kMaxPayload));
    qsizetype size = 0;  // strRxData's bytes in use
    int16_t intRxCode = 0;
    bool blnRxEscape = false;
    bool overflow = false;
    const QList<QByteArray>* recorded = nullptr;  // the recording sink's events, to agree with
    qsizetype events = 0;                         // how many of them the reference has met

    // Back to the start, keeping the buffer's room from run to run.
    void Reset(const QList<QByteArray>& sinkEvents) {
        size = 0;
        intRxCode = 0;
        blnRxEscape = overflow = false;
        recorded = &sinkEvents;
        events = 0;
    }
    // The next event the sink recorded is the code b with the payload as it stands.
    void Event(uint8_t b, qsizetype payload) {
        Check(events < recorded->size(), "the sink recorded every event of the reference");
        const QByteArray& event = (*recorded)[events++];
        Check(event.size() == payload + 1 && uint8_t(event[0]) == b &&
                  std::memcmp(event.constData() + 1, strRxData.data(), size_t(payload)) == 0,
              "end and single codes agree with the reference");
    }

    void Append(char b) {
        if (overflow)
            return;
        if (size == kMaxPayload) {
            size = 0;
            overflow = true;
            return;
        }
        strRxData[size_t(size++)] = b;
    }
    void Feed(uint8_t b) {
        if (blnRxEscape) {
            blnRxEscape = false;
            if (b == 0x80) {
                Append(char(0x80));
            } else if (b == 0xE0 || b == 0xE2 || b == 0xF2 || b == 0xF6) {
                intRxCode = b;
                size = 0;
                overflow = false;
            } else if (b == 0xE1 || b == 0xE3 || b == 0xF3 || b == 0xF7) {
                intRxCode = b;
                if (overflow) {
                    overflow = false;
                    return;
                }
                Event(b, size);
                if (SenderEmpties(QByteArrayView(strRxData.data(), size)))
                    size = 0;
            } else if (b == 0xF0 || b == 0xF1) {
                intRxCode = b;
                Event(b, 0);
            }
        } else if (b == 0x80) {
            blnRxEscape = true;
        } else {
            Append(char(b));
        }
    }
    // A flood: `count` times the byte b, which is not the escape byte. The same as feeding it
    // byte by byte: it fills the buffer up to its bound, and the byte after that drops it all.
    void Flood(uint8_t b, qsizetype count) {
        if (blnRxEscape && count > 0) {
            Feed(b);
            --count;
        }
        if (overflow || count == 0)
            return;
        if (size + count > kMaxPayload) {
            size = 0;
            overflow = true;
            return;
        }
        std::memset(strRxData.data() + size, b, size_t(count));
        size += count;
    }
};

// Undoes the escaping of a frame's middle into `payload` (room for 132 bytes); returns the
// number of bytes, or -1 if an escape byte stands alone or the payload is longer.
int Unescape(QByteArrayView escaped, std::array<uint8_t, 132>& payload) {
    int size = 0;
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        if (uint8_t(escaped[i]) == 0x80) {
            if (i + 1 >= escaped.size() || uint8_t(escaped[i + 1]) != 0x80)
                return -1;
            ++i;
        }
        if (size == int(payload.size()))
            return -1;
        payload[size_t(size++)] = uint8_t(escaped[i]);
    }
    return size;
}

void CheckFrame(const QByteArray& frame, const FlashImage& image) {
    if (frame == QByteArrayView("\x80\xF2\x55\xAA\x80\xF3", 6))
        return;  // the erase request
    Check(frame.size() >= 4 && frame.startsWith("\x80\xF6") && frame.endsWith("\x80\xF7"),
          "a block frame is 0x80 0xF6 ... 0x80 0xF7");
    std::array<uint8_t, 132> block{};
    Check(Unescape(QByteArrayView(frame).sliced(2, frame.size() - 4), block) == 132,
          "a block is escaped and carries 4 address bytes and 128 data bytes");
    const int32_t address = block[0] | block[1] << 8 | block[2] << 16;
    Check(block[3] == 0, "the fourth address byte is 0");
    Check(address >= 0x4000 && address <= irig::flash::kImageTop && address % 128 == 0,
          "a block starts inside the image, on a block boundary from 0x4000");
    const int32_t inImage = std::min(128, irig::flash::kImageTop + 1 - address);
    Check(std::memcmp(block.data() + 4, image.data() + address, size_t(inImage)) == 0 &&
              std::all_of(block.begin() + 4 + inImage, block.end(),
                          [](uint8_t byte) { return byte == 0xFF; }),
          "a block carries the image's bytes");
}

bool AcceptedReply(int16_t code, const QByteArray& payload) {
    if (payload.isEmpty())
        return false;
    const auto command = uint8_t(payload[0]);
    const qsizetype length = payload.size();
    if (code == 0xE1)
        return (command == 1 && length == 10) || (command == 2 && length == 4) || command == 3;
    if (code == 0xE3)
        return (command == 1 && length == 9) || (command == 2 && length == 4);
    return false;
}

// Digits and separators in the given places: "dd:dd:dd" for hh:mm:ss.
bool Shaped(const QString& text, const char* shape) {
    const qsizetype length = qsizetype(std::strlen(shape));
    if (text.size() != length)
        return false;
    for (qsizetype i = 0; i < length; ++i) {
        if (shape[i] == 'd' ? !text[i].isDigit() : text[i] != QLatin1Char(shape[i]))
            return false;
    }
    return true;
}

void CheckView(int16_t code, const QByteArray& payload, const irig::status::StatusView& view) {
    Check(AcceptedReply(code, payload), "only accepted replies change the display");
    if (view.time)
        Check(Shaped(*view.time, "dd:dd:dd"), "time is hh:mm:ss");
    if (view.date)
        Check(Shaped(*view.date, "dd/dd/dddd") && view.date->right(4).toInt() <= 5375,
              "date is mm/dd/yyyy and the year is capped");
    if (view.irigOffset)
        Check(Shaped(*view.irigOffset, " d") || Shaped(*view.irigOffset, " dd") ||
                  Shaped(*view.irigOffset, " ddd") || Shaped(*view.irigOffset, "-d") ||
                  Shaped(*view.irigOffset, "-dd") || Shaped(*view.irigOffset, "-ddd"),
              "offset is signed");
    if (view.gpsMessage)
        Check(view.gpsMessage->size() <= irig::status::kGpsMessageShown, "the GPS text is bounded");
}

// The exchange and its serial component, kept from run to run so that its 128 KB image is set up
// only where it changes.
struct Harness {
    irig::test::FakePortController port;
    irig::exchange::UnitExchange exchange{port};
    int32_t lastData = 0;  // the offset of the image's 0x00, its last byte that is not 0xFF
    FlashImage pattern{};  // what the image holds up to lastData

    Harness() {
        exchange.Image().fill(0xFF);
        pattern.fill(0xFF);
        for (int32_t at = 0x4000; at <= irig::flash::kImageTop; ++at)
            pattern[at] = uint8_t((at * 7) >> 3 | 0x01);
        QObject::connect(&exchange, &irig::exchange::UnitExchange::ReplyDecoded,
                         [this](int16_t code, const irig::status::StatusView& view) {
                             CheckView(code, exchange.Receiver().strRxData, view);
                         });
        QObject::connect(&exchange, &irig::exchange::UnitExchange::SessionStepped,
                         [](const irig::flash::FlashSession::Step& step) {
                             if (step.progress)
                                 Check(*step.progress >= 0 && *step.progress < 100,
                                       "progress below 100");
                         });
    }

    // A fresh start: no session, an empty receive buffer, no escape pending, nothing sent; and the
    // loaded image, a fixed pattern from 0x4000 up to `end` (a 0x00 there), erased flash elsewhere.
    void Reset(int32_t end) {
        exchange.Abandon();
        exchange.Feed(QByteArrayView("\0", 1));
        exchange.EmptyReceived();
        port.sent.clear();

        FlashImage& image = exchange.Image();
        image[lastData] = pattern[lastData];
        if (end > lastData)
            std::memcpy(image.data() + lastData + 1, pattern.data() + lastData + 1,
                        size_t(end - lastData));
        else
            std::memset(image.data() + end + 1, 0xFF, size_t(lastData - end));
        lastData = end;
        image[end] = 0x00;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const int state = input.ConsumeIntegralInRange(0, 2);
    // Where the loaded image's data ends, anywhere up to the top block.
    const int32_t lastData = input.ConsumeIntegralInRange<int32_t>(0x3F00, irig::flash::kImageTop);
    static Harness* const harness = new Harness;
    harness->Reset(lastData);
    irig::exchange::UnitExchange& exchange = harness->exchange;
    const irig::test::FakePortController& port = harness->port;

    // The whole receive path, with the session in the chosen state.
    if (state >= 1)
        exchange.Program();
    if (state == 2)
        exchange.Feed(QByteArray("\x80\xF2\xFF\x80\xF3", 5));
    // The deliveries one after another in one stream, kept from run to run like the room a flood
    // is spelt out in, so that an input costs no allocation of the harness's own.
    static QByteArray stream;
    static std::vector<Delivery> deliveries;
    static QByteArray floodRoom(kFloodSize, '\0');
    stream.resize(0);
    deliveries.clear();
    int floods = 0;
    while (input.remaining_bytes() > 0) {
        const uint8_t op = input.ConsumeIntegral<uint8_t>();
        Delivery delivery{stream.size(), 0, false};
        // A flood of one junk byte: two of them reach the receive buffer's bound from anywhere;
        // more would only repeat that path at 32 KB a time, so an input has at most kFloods.
        if (op == 0xD0 && floods < kFloods) {
            ++floods;
            stream.append(char(input.ConsumeIntegral<uint8_t>() & 0x7F));
            delivery.size = kFloodSize;
            delivery.flood = true;
        } else if (op <= 0xD0) {
            delivery.size = qsizetype(std::min<size_t>(op % 64, input.remaining_bytes()));
            stream.resize(delivery.at + delivery.size);
            input.ConsumeData(stream.data() + delivery.at, size_t(delivery.size));
        } else if (!port.sent.isEmpty()) {
            stream.append(port.sent.last());
            delivery.size = port.sent.last().size();
            if (op >= 0xF0) {
                const auto at = input.ConsumeIntegralInRange<qsizetype>(0, delivery.size - 1);
                char& changed = stream[delivery.at + at];
                changed = char(changed ^ input.ConsumeIntegral<uint8_t>());
            }
        }
        exchange.Feed(Bytes(delivery, stream, floodRoom));
        Check(exchange.Receiver().strRxData.size() <= kMaxPayload, "the receive buffer is bounded");
        deliveries.push_back(delivery);
    }
    for (const QByteArray& frame : port.sent)
        CheckFrame(frame, exchange.Image());

    // The same deliveries through the state machine against the reference, byte by byte.
    FrameReceiver rx;
    irig::test::RecordingSink recording(
        rx, [](const QByteArray& payload) { return SenderEmpties(payload); });
    static Reference reference;
    reference.Reset(recording.events);
    for (const Delivery& delivery : deliveries) {
        const QByteArrayView bytes = Bytes(delivery, stream, floodRoom);
        rx.Feed(bytes, recording);
        if (delivery.flood) {
            reference.Flood(uint8_t(bytes[0]), bytes.size());
        } else {
            for (const char b : bytes)
                reference.Feed(uint8_t(b));
        }
        Check(rx.strRxData.size() == reference.size && rx.intRxCode == reference.intRxCode &&
                  rx.blnRxEscape == reference.blnRxEscape && rx.blnRxOverflow == reference.overflow,
              "the receiver's state agrees with the reference after every delivery");
    }
    Check(rx.strRxData == QByteArrayView(reference.strRxData.data(), reference.size),
          "strRxData agrees with the reference");
    Check(reference.events == recording.events.size(), "the reference met every recorded event");
    return 0;
}
