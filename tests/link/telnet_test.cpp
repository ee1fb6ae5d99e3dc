// The Telnet layer of RFC 2217 ports: IAC doubled on the way out, and on the way in the data, the
// negotiations and the subnegotiations, whatever the pieces the bytes come in.
#include "link/telnet.h"

#include <gtest/gtest.h>

#include <QStringList>

#include "support/bytes.h"

namespace irig::link::telnet {
namespace {

using test::Bytes;

TEST(Telnet, EscapingDoublesEveryIacAndFramesAnswers) {
    EXPECT_EQ(Escape(Bytes("01 FF 02 FF FF")), Bytes("01 FF FF 02 FF FF FF FF"));
    EXPECT_EQ(Negotiation(kWill, kComPort), Bytes("FF FB 2C"));
    EXPECT_EQ(Subnegotiation(kComPort, Bytes("01 00 00 4B 00")),
              Bytes("FF FA 2C 01 00 00 4B 00 FF F0"));
    EXPECT_EQ(Subnegotiation(kComPort, Bytes("01 FF")), Bytes("FF FA 2C 01 FF FF FF F0"));
}

// What the decoder reports, a line each: "data 01 02", "do 2c", "sb 2c [65 00]", "overlong".
class Record final : public Decoder::Sink {
public:
    void Data(QByteArrayView data) override {
        // Runs of data may come in any cuts; they are joined as one.
        if (!events.isEmpty() && events.last().startsWith(QLatin1String("data "))) {
            events.last() += QLatin1Char(' ') + test::Hex(data.toByteArray());
        } else {
            events.append(QStringLiteral("data ") + test::Hex(data.toByteArray()));
        }
    }
    void Negotiation(uint8_t verb, uint8_t option) override {
        const char* const verbs[] = {"will", "wont", "do", "dont"};
        events.append(
            QStringLiteral("%1 %2").arg(QLatin1String(verbs[verb - kWill])).arg(option, 0, 16));
    }
    void Subnegotiation(uint8_t option, QByteArrayView payload) override {
        events.append(
            QStringLiteral("sb %1 [%2]").arg(option, 0, 16).arg(test::Hex(payload.toByteArray())));
    }
    void Overlong() override { events.append(QStringLiteral("overlong")); }

    QStringList events;
};

struct DecodeRow {
    const char* name;
    QByteArray wire;
    QStringList events;
};

class Decoding : public testing::TestWithParam<DecodeRow> {};

TEST_P(Decoding, SameEventsWhateverThePieces) {
    for (const qsizetype piece : {qsizetype{1}, qsizetype{2}, qsizetype{3}, qsizetype{1 << 20}}) {
        Decoder decoder;
        Record record;
        const QByteArray& wire = GetParam().wire;
        for (qsizetype from = 0; from < wire.size(); from += piece) {
            decoder.Feed(QByteArrayView(wire).sliced(from, std::min(piece, wire.size() - from)),
                         record);
        }
        EXPECT_EQ(record.events, GetParam().events) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Telnet, Decoding,
    testing::Values(
        DecodeRow{"plain_data", Bytes("80 E0 01 80 E1"), {QStringLiteral("data 80 e0 01 80 e1")}},
        DecodeRow{"doubled_iac_is_one_data_byte",
                  Bytes("01 FF FF 02"),
                  {QStringLiteral("data 01 ff 02")}},
        DecodeRow{"negotiations_between_data",
                  Bytes("01 FF FD 2C 02 FF FB 00 FF FE 05"),
                  {QStringLiteral("data 01"), QStringLiteral("do 2c"), QStringLiteral("data 02"),
                   QStringLiteral("will 0"), QStringLiteral("dont 5")}},
        DecodeRow{"bare_commands_mean_nothing",
                  Bytes("01 FF F1 FF F9 02"),
                  {QStringLiteral("data 01 02")}},
        DecodeRow{"com_port_answer",
                  Bytes("FF FA 2C 65 00 00 4B 00 FF F0 03"),
                  {QStringLiteral("sb 2c [65 00 00 4b 00]"), QStringLiteral("data 03")}},
        DecodeRow{"doubled_iac_inside_a_subnegotiation",
                  Bytes("FF FA 2C 65 FF FF FF F0"),
                  {QStringLiteral("sb 2c [65 ff]")}},
        DecodeRow{"subnegotiation_at_its_bound",
                  Bytes("FF FA 2C") + QByteArray(64, 'x') + Bytes("FF F0"),
                  {QStringLiteral("sb 2c [") + test::Hex(QByteArray(64, 'x')) + QLatin1Char(']')}},
        DecodeRow{"subnegotiation_past_its_bound_is_dropped",
                  Bytes("FF FA 2C") + QByteArray(65, 'x') + Bytes("FF F0 07"),
                  {QStringLiteral("overlong"), QStringLiteral("data 07")}},
        DecodeRow{"subnegotiation_that_never_ends_holds_nothing",
                  Bytes("FF FA 2C") + QByteArray(1 << 20, 'x'),
                  {QStringLiteral("overlong")}}),
    [](const testing::TestParamInfo<DecodeRow>& row) { return row.param.name; });

}  // namespace
}  // namespace irig::link::telnet
