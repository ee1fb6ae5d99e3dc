#include "link/framecodec.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <random>

#include "support/bytes.h"
#include "support/recordingsink.h"

namespace irig::link {
namespace {

using test::Bytes;
using test::Hex;
using test::RecordingSink;

struct CodecRow {
    const char* name;
    const char* wire;
    QStringList events;
    const char* rxData;  // strRxData afterwards
    int16_t rxCode;      // intRxCode afterwards
    bool escapePending;  // blnRxEscape afterwards
};

const CodecRow kCodecRows[] = {
    {"status_request", "80 E0 01 80 E1", {"end e1 [01]"}, "01", 0xE1, false},
    {"literal_escape_byte",
     "80 E0 01 80 80 02 80 E1",
     {"end e1 [01 80 02]"},
     "01 80 02",
     0xE1,
     false},
    {"unknown_code_dropped_frame_continues",
     "80 E0 01 80 41 02 80 E1",
     {"end e1 [01 02]"},
     "01 02",
     0xE1,
     false},
    {"unknown_code_keeps_last_code", "80 E0 01 80 41", {}, "01", 0xE0, false},
    {"start_code_mid_frame_restarts",
     "80 E0 01 02 80 E2 05 80 E3",
     {"end e3 [05]"},
     "05",
     0xE3,
     false},
    {"end_code_without_start", "11 22 80 E1", {"end e1 [11 22]"}, "11 22", 0xE1, false},
    {"two_end_codes", "80 E0 01 80 E1 80 E1", {"end e1 [01]", "end e1 [01]"}, "01", 0xE1, false},
    {"single_codes_leave_the_frame_alone",
     "80 E0 01 80 F0 02 80 F1 03 80 E1",
     {"single f0", "single f1", "end e1 [01 02 03]"},
     "01 02 03",
     0xE1,
     false},
    {"single_code_alone", "80 F1", {"single f1"}, "", 0xF1, false},
    {"every_end_code",
     "80 F2 FF 80 F3 80 F6 AA 80 F7 80 E2 01 80 E3",
     {"end f3 [ff]", "end f7 [aa]", "end e3 [01]"},
     "01",
     0xE3,
     false},
    {"bytes_after_a_frame_collect", "80 E0 01 80 E1 33", {"end e1 [01]"}, "01 33", 0xE1, false},
    {"escape_waits_for_its_code", "01 80", {}, "01", 0, true},
    {"empty_delivery", "", {}, "", 0, false},
};

class Codec : public testing::TestWithParam<CodecRow> {
protected:
    // Feeds the wire bytes in pieces cut at `cuts`, and checks the result against the row.
    void Check(const std::vector<qsizetype>& cuts, const std::string& how) {
        const CodecRow& row = GetParam();
        const QByteArray wire = Bytes(row.wire);
        FrameReceiver rx;
        RecordingSink sink(rx);
        qsizetype from = 0;
        for (qsizetype cut : cuts) {
            rx.Feed(QByteArrayView(wire).sliced(from, cut - from), sink);
            from = cut;
        }
        rx.Feed(QByteArrayView(wire).sliced(from), sink);
        EXPECT_EQ(sink.Texts(), row.events) << how;
        EXPECT_EQ(rx.strRxData, Bytes(row.rxData)) << how;
        EXPECT_EQ(rx.intRxCode, row.rxCode) << how;
        EXPECT_EQ(rx.blnRxEscape, row.escapePending) << how;
    }
};

TEST_P(Codec, OneDelivery) {
    Check({}, "one delivery");
}

TEST_P(Codec, TwoDeliveriesSplitAtEveryPosition) {
    const qsizetype size = Bytes(GetParam().wire).size();
    for (qsizetype cut = 0; cut <= size; ++cut) {
        Check({cut}, "split at " + std::to_string(cut));
    }
}

TEST_P(Codec, OneBytePerDelivery) {
    std::vector<qsizetype> cuts;
    for (qsizetype cut = 1; cut < Bytes(GetParam().wire).size(); ++cut) {
        cuts.push_back(cut);
    }
    Check(cuts, "byte by byte");
}

INSTANTIATE_TEST_SUITE_P(FrameCodec, Codec, testing::ValuesIn(kCodecRows),
                         [](const testing::TestParamInfo<CodecRow>& row) {
                             return row.param.name;
                         });

TEST(FrameCodec, ASenderEmptyingTheBufferAtAnEndCodeStartsTheNextPayloadAfresh) {
    FrameReceiver rx;
    RecordingSink sink(rx, [](const QByteArray&) { return true; });
    rx.Feed(Bytes("80 E0 01 80 E1 44 80 E1"), sink);
    EXPECT_EQ(sink.Texts(), (QStringList{"end e1 [01]", "end e1 [44]"}));
}

TEST(FrameCodec, EscapeBytesDoublesEveryEscapeByteOnly) {
    EXPECT_EQ(EscapeBytes({}), QByteArray());
    EXPECT_EQ(EscapeBytes(Bytes("01 80 80 02")), Bytes("01 80 80 80 80 02"));
    EXPECT_EQ(EscapeBytes(Bytes("00 7F 81 FF")), Bytes("00 7F 81 FF"));
}

TEST(FrameCodec, FramesPairTheirStartAndEndCodes) {
    EXPECT_EQ(Frame(code::kStartRead, Bytes("01")), Bytes("80 E0 01 80 E1"));
    EXPECT_EQ(Frame(code::kStartSet, Bytes("02 80")), Bytes("80 E2 02 80 80 80 E3"));
    EXPECT_EQ(Frame(code::kStartErase, Bytes("55 AA")), Bytes("80 F2 55 AA 80 F3"));
    EXPECT_EQ(Frame(code::kStartBlock, {}), Bytes("80 F6 80 F7"));
    EXPECT_EQ(SingleCode(code::kReBoot), Bytes("80 F0"));
}

TEST(FrameCodec, RandomPayloadsSurviveEscapingAndRandomDeliveries) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 300; ++round) {
        QByteArray payload(std::uniform_int_distribution<int>(0, 300)(random), '\0');
        for (char& byte : payload) {
            // Plenty of escape bytes, and every other value too.
            byte = static_cast<char>(random() % 4 == 0 ? 0x80 : random() % 256);
        }
        const QByteArray wire = Frame(code::kStartBlock, payload);
        ASSERT_EQ(wire.size(), payload.size() + payload.count('\x80') + 4);

        FrameReceiver rx;
        RecordingSink sink(rx);
        for (qsizetype from = 0; from < wire.size();) {
            const qsizetype piece = std::uniform_int_distribution<qsizetype>(1, 17)(random);
            rx.Feed(QByteArrayView(wire).sliced(from, std::min(piece, wire.size() - from)), sink);
            from += piece;
        }
        ASSERT_EQ(sink.Texts(), QStringList{QStringLiteral("end f7 [%1]").arg(Hex(payload))});
        ASSERT_EQ(rx.strRxData, payload);
    }
}

TEST(FrameCodec, DeliveryLongerThan32767BytesIsHandledWhole) {
    QByteArray payload;
    for (int i = 0; i < 60'000; ++i) {
        payload.append(static_cast<char>(i % 251 == 0 ? 0x80 : i % 256 == 0x80 ? 0x81 : i % 256));
    }
    FrameReceiver rx;
    RecordingSink sink(rx);
    rx.Feed(Frame(code::kStartRead, payload), sink);
    ASSERT_EQ(sink.Texts().size(), 1);
    EXPECT_EQ(rx.strRxData, payload);
}

// The bound on the payload: junk and frames at and beyond it, in deliveries of two sizes.
struct BoundRow {
    const char* name;
    QByteArray wire;
    QStringList events;  // payload sizes instead of bytes: "end e1 <size>", "dropped e1"
    qsizetype rxSize;    // strRxData's size afterwards
};

const QByteArray kStatus = Bytes("80 E0 01 80 E1");
const QByteArray kOverBound(kMaxPayload + 1, 'j');

const BoundRow kBoundRows[] = {
    {"payload_at_the_bound_is_delivered",
     Frame(code::kStartRead, QByteArray(kMaxPayload, 'p')),
     {QStringLiteral("end e1 %1").arg(kMaxPayload)},
     kMaxPayload},
    {"frame_over_the_bound_is_dropped_whole_and_the_next_one_delivered",
     Frame(code::kStartRead, kOverBound) + kStatus,
     {QStringLiteral("dropped e1"), QStringLiteral("end e1 1")},
     1},
    {"junk_over_the_bound_is_dropped_up_to_the_next_start",
     kOverBound + QByteArray(1000, 'k') + kStatus,
     {QStringLiteral("end e1 1")},
     1},
    {"junk_over_the_bound_then_an_end_code_is_only_said_dropped",
     kOverBound + Bytes("11 80 E1 22 33 80 E1"),
     {QStringLiteral("dropped e1"), QStringLiteral("end e1 2")},
     2},
    {"escaped_bytes_count_towards_the_bound",
     Bytes("80 E0") + QByteArray(kMaxPayload - 1, 'p') + Bytes("80 80 80 80 80 E1") + kStatus,
     {QStringLiteral("dropped e1"), QStringLiteral("end e1 1")},
     1},
};

// Records the size of the payload at each end code, and each dropped frame.
class SizeSink final : public FrameReceiver::Sink {
public:
    explicit SizeSink(FrameReceiver& rx) : rx_(rx) {}
    void EndCode(int16_t code) override {
        events.append(QStringLiteral("end %1 %2").arg(code, 0, 16).arg(rx_.strRxData.size()));
    }
    void SingleCode(int16_t) override {}
    void Dropped(int16_t code) override {
        events.append(QStringLiteral("dropped %1").arg(code, 0, 16));
    }

    QStringList events;

private:
    FrameReceiver& rx_;
};

class PayloadBound : public testing::TestWithParam<BoundRow> {};

TEST_P(PayloadBound, BoundsTheBufferAndDropsWhatIsBeyond) {
    for (const qsizetype piece : {qsizetype{7}, qsizetype{100'000}}) {
        FrameReceiver rx;
        SizeSink sink(rx);
        const QByteArray& wire = GetParam().wire;
        for (qsizetype from = 0; from < wire.size(); from += piece) {
            rx.Feed(QByteArrayView(wire).sliced(from, std::min(piece, wire.size() - from)), sink);
            ASSERT_LE(rx.strRxData.size(), kMaxPayload);
        }
        EXPECT_EQ(sink.events, GetParam().events) << piece;
        EXPECT_EQ(rx.strRxData.size(), GetParam().rxSize) << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(FrameCodec, PayloadBound, testing::ValuesIn(kBoundRows),
                         [](const testing::TestParamInfo<BoundRow>& row) {
                             return row.param.name;
                         });

TEST(FrameCodec, EmptyingEndsADroppedFrame) {
    FrameReceiver rx;
    RecordingSink sink(rx);
    rx.Feed(kOverBound, sink);
    ASSERT_TRUE(rx.blnRxOverflow);
    rx.Empty();
    rx.Feed(Bytes("11 22 80 E1"), sink);
    EXPECT_EQ(sink.Texts(), QStringList{QStringLiteral("end e1 [11 22]")});
}

}  // namespace
}  // namespace irig::link
