// Hostile bytes from the serial line: arbitrary bytes cut into arbitrary deliveries, through the
// receive state machine, the reply dispatcher and the flash step, with the session idle, waiting
// for an erase result, or programming a loaded image. Besides raw deliveries the input can echo
// the last frame sent, whole or with one byte changed, so that programming gets somewhere.
// Checks, beyond "no crash":
// - the state machine, fed in pieces, agrees with a byte-at-a-time reference, also when a sender
//   empties the buffer at an end code, so the buffer never holds a byte that was not received;
// - every frame the flash session sends is a well-formed block inside the image, carrying the
//   image's bytes;
// - the status display changes only for a reply of an accepted command and length.
#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QRegularExpression>
#include <cstdlib>
#include <memory>
#include <vector>

#include "check.h"
#include "flash/session.h"
#include "link/framecodec.h"
#include "status/replies.h"

namespace {

using irig::flash::FlashImage;
using irig::flash::FlashSession;
using irig::link::FrameReceiver;

// A sender that empties the buffer at some end codes, decided by the payload itself so that the
// reference can make the same choice.
bool SenderEmpties(const QByteArray& payload) {
    return !payload.isEmpty() && (payload[0] & 1);
}

// The receive state machine as written, one byte at a time.
struct Reference {
    QByteArray strRxData;
    int16_t intRxCode = 0;
    bool blnRxEscape = false;
    std::vector<QByteArray> events;

    void Feed(uint8_t b) {
        if (blnRxEscape) {
            blnRxEscape = false;
            if (b == 0x80) {
                strRxData.append(char(0x80));
            } else if (b == 0xE0 || b == 0xE2 || b == 0xF2 || b == 0xF6) {
                intRxCode = b;
                strRxData.clear();
            } else if (b == 0xE1 || b == 0xE3 || b == 0xF3 || b == 0xF7) {
                intRxCode = b;
                events.push_back(QByteArray(1, char(b)) + strRxData);
                if (SenderEmpties(strRxData))
                    strRxData.clear();
            } else if (b == 0xF0 || b == 0xF1) {
                intRxCode = b;
                events.push_back(QByteArray(1, char(b)));
            }
        } else if (b == 0x80) {
            blnRxEscape = true;
        } else {
            strRxData.append(char(b));
        }
    }
};

class RecordingSink final : public FrameReceiver::Sink {
public:
    explicit RecordingSink(FrameReceiver& rx) : rx_(rx) {}
    void EndCode(int16_t code) override {
        events.push_back(QByteArray(1, char(code)) + rx_.strRxData);
        if (SenderEmpties(rx_.strRxData))
            rx_.strRxData.clear();
    }
    void SingleCode(int16_t code) override { events.push_back(QByteArray(1, char(code))); }
    std::vector<QByteArray> events;

private:
    FrameReceiver& rx_;
};

// Undoes the escaping of a frame's middle; false if an escape byte stands alone.
bool Unescape(QByteArrayView escaped, QByteArray& payload) {
    for (qsizetype i = 0; i < escaped.size(); ++i) {
        if (uint8_t(escaped[i]) == 0x80) {
            if (i + 1 >= escaped.size() || uint8_t(escaped[i + 1]) != 0x80)
                return false;
            ++i;
        }
        payload.append(escaped[i]);
    }
    return true;
}

void CheckBlockFrame(const QByteArray& frame, const FlashImage& image) {
    Check(frame.size() >= 4 && frame.startsWith("\x80\xF6") && frame.endsWith("\x80\xF7"),
          "a block frame is 0x80 0xF6 ... 0x80 0xF7");
    QByteArray block;
    Check(Unescape(QByteArrayView(frame).sliced(2, frame.size() - 4), block), "a block is escaped");
    Check(block.size() == 132, "a block carries 4 address bytes and 128 data bytes");
    const int32_t address = uint8_t(block[0]) | uint8_t(block[1]) << 8 | uint8_t(block[2]) << 16;
    Check(block[3] == 0, "the fourth address byte is 0");
    Check(address >= 0x4000 && address <= irig::flash::kImageTop && address % 128 == 0,
          "a block starts inside the image, on a block boundary from 0x4000");
    for (int i = 0; i < 128; ++i) {
        const int32_t at = address + i;
        const uint8_t expected = at <= irig::flash::kImageTop ? image[at] : 0xFF;
        Check(uint8_t(block[4 + i]) == expected, "a block carries the image's bytes");
    }
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

void CheckView(const irig::status::StatusView& view) {
    static const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d$"));
    static const QRegularExpression date(QStringLiteral("^\\d\\d/\\d\\d/\\d\\d\\d\\d$"));
    static const QRegularExpression offset(QStringLiteral("^( \\d{1,3}|-\\d{1,3})$"));
    if (view.time)
        Check(time.match(*view.time).hasMatch(), "time is hh:mm:ss");
    if (view.date)
        Check(date.match(*view.date).hasMatch(), "date is mm/dd/yyyy");
    if (view.irigOffset)
        Check(offset.match(*view.irigOffset).hasMatch(), "offset is signed");
    if (view.date)
        Check(view.date->right(4).toInt() <= 5375, "year is capped");
}

// The window's wiring, without widgets: what it sends and what it shows.
class Wiring final : public FrameReceiver::Sink {
public:
    Wiring(FrameReceiver& rx, FlashSession& session, const FlashImage& image)
        : rx_(rx), session_(session), image_(image) {}

    void EndCode(int16_t code) override {
        const irig::status::StatusView view =
            irig::status::ProcessFrame(code, rx_.strRxData, [&](int16_t c) {
                const FlashSession::Step step = session_.FlashStep(c, rx_.strRxData, image_);
                if (!step.frame.isEmpty()) {
                    CheckBlockFrame(step.frame, image_);
                    lastFrame = step.frame;
                    rx_.strRxData.clear();  // the sending rule
                }
                if (step.progress)
                    Check(*step.progress >= 0 && *step.progress < 100, "progress below 100");
            });
        Check(view.Empty() || AcceptedReply(code, rx_.strRxData),
              "only accepted replies change the display");
        CheckView(view);
    }
    void SingleCode(int16_t) override {}

    QByteArray lastFrame;  // the last frame the session sent

private:
    FrameReceiver& rx_;
    FlashSession& session_;
    const FlashImage& image_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const int state = input.ConsumeIntegralInRange(0, 2);
    // Where the loaded image's data ends, anywhere up to the top block.
    const int32_t lastData = input.ConsumeIntegralInRange<int32_t>(0x3F00, irig::flash::kImageTop);
    const uint8_t fill = input.ConsumeIntegral<uint8_t>();

    static auto image = std::make_unique<FlashImage>();
    image->fill(0xFF);
    for (int32_t at = 0x4000; at <= lastData; ++at)
        image->at(at) = uint8_t(fill + at);
    image->at(lastData) = 0x00;

    // The whole receive path, with the session in the chosen state.
    FlashSession session;
    FrameReceiver wired;
    Wiring wiring(wired, session, *image);
    if (state >= 1)
        wiring.lastFrame = session.Program(*image).frame;
    if (state == 2)
        wiring.lastFrame = session.FlashStep(0xF3, QByteArray(1, char(0xFF)), *image).frame;
    std::vector<QByteArray> deliveries;
    while (input.remaining_bytes() > 0) {
        const uint8_t op = input.ConsumeIntegral<uint8_t>();
        QByteArray delivery;
        if (op < 0xE0) {
            const std::string bytes = input.ConsumeBytesAsString(op % 64);
            delivery = QByteArray(bytes.data(), qsizetype(bytes.size()));
        } else {
            delivery = wiring.lastFrame;
            if (op >= 0xF0 && !delivery.isEmpty()) {
                const auto at = input.ConsumeIntegralInRange<qsizetype>(0, delivery.size() - 1);
                delivery[at] = char(delivery[at] ^ input.ConsumeIntegral<uint8_t>());
            }
        }
        wired.Feed(delivery, wiring);
        deliveries.push_back(delivery);
    }

    // The same deliveries through the state machine against the reference, byte by byte.
    FrameReceiver rx;
    RecordingSink recording(rx);
    Reference reference;
    for (const QByteArray& delivery : deliveries) {
        rx.Feed(delivery, recording);
        for (const char b : delivery)
            reference.Feed(uint8_t(b));
        Check(rx.strRxData == reference.strRxData, "strRxData agrees with the reference");
        Check(rx.intRxCode == reference.intRxCode && rx.blnRxEscape == reference.blnRxEscape,
              "intRxCode and blnRxEscape agree with the reference");
    }
    Check(recording.events == reference.events, "end and single codes agree with the reference");
    return 0;
}
