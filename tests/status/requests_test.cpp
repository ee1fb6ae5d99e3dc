#include "status/requests.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/bytes.h"
#include "support/scopedlocale.h"

namespace irig::status {
namespace {

using test::Bytes;

TEST(Requests, ReadRequestsAreConstantFrames) {
    EXPECT_EQ(StatusRequest(), Bytes("80 E0 01 80 E1"));
    EXPECT_EQ(RetrieveOffsetsRequest(), Bytes("80 E0 02 80 E1"));
    EXPECT_EQ(RetrieveGpsMessageRequest(), Bytes("80 E0 03 80 E1"));
}

struct TimeRow {
    const char* name;
    QDateTime now;
    const char* frame;
};

class SetTime : public testing::TestWithParam<TimeRow> {};

TEST_P(SetTime, FrameCarriesTheLocalDateAndTimeAsBinary) {
    EXPECT_EQ(SetTimeRequest(GetParam().now), Bytes(GetParam().frame));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SetTime,
    testing::Values(TimeRow{"afternoon", QDateTime(QDate(2026, 12, 6), QTime(14, 5, 9)),
                            "80 E2 01 00 EA 07 0C 06 0E 05 09 80 E3"},
                    TimeRow{"midnight_new_month", QDateTime(QDate(2026, 1, 31), QTime(0, 0, 0)),
                            "80 E2 01 00 EA 07 01 1F 00 00 00 80 E3"},
                    TimeRow{"year_1920_low_byte_is_escaped",
                            QDateTime(QDate(1920, 5, 1), QTime(23, 59, 59)),
                            "80 E2 01 00 80 80 07 05 01 17 3B 3B 80 E3"},
                    TimeRow{"year_2176_low_byte_is_escaped",
                            QDateTime(QDate(2176, 12, 31), QTime(12, 0, 0)),
                            "80 E2 01 00 80 80 08 0C 1F 0C 00 00 80 E3"}),
    [](const testing::TestParamInfo<TimeRow>& row) { return row.param.name; });

TEST(Requests, SetOffsetsCarriesBothOffsetsAndTheFlag) {
    EXPECT_EQ(SetOffsetsRequest(u"5", u"-3", true), Bytes("80 E2 02 05 FD 01 80 E3"));
    EXPECT_EQ(SetOffsetsRequest(u"99", u"-99", false), Bytes("80 E2 02 17 E9 00 80 E3"));
    EXPECT_EQ(SetOffsetsRequest(u"", u"", false), Bytes("80 E2 02 00 00 00 80 E3"));
}

struct OffsetRow {
    const char* text;
    uint8_t byte;
};

void PrintTo(const OffsetRow& row, std::ostream* out) {
    *out << '"' << row.text << '"';
}

class OffsetConversion : public testing::TestWithParam<OffsetRow> {};

TEST_P(OffsetConversion, TextBecomesTheClampedByte) {
    const OffsetRow& row = GetParam();
    EXPECT_EQ(OffsetToByte(RoundOffset(OffsetTextValue(QString::fromUtf8(row.text)))), row.byte)
        << '"' << row.text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Requests, OffsetConversion,
    testing::Values(
        // no number at all counts as 0
        OffsetRow{"", 0x00}, OffsetRow{"abc", 0x00}, OffsetRow{"-", 0x00}, OffsetRow{".", 0x00},
        OffsetRow{"&H", 0x00}, OffsetRow{"\xEF\xBC\x91", 0x00} /* a full-width digit one */,
        // a leading number, the rest ignored
        OffsetRow{"7 hours", 0x07}, OffsetRow{"1,5", 0x01}, OffsetRow{"1.5.3", 0x02},
        OffsetRow{"+7", 0x07}, OffsetRow{"7e", 0x07}, OffsetRow{"--5", 0x00},
        // blanks, tabs and line feeds are ignored anywhere
        OffsetRow{" - 2", 0xFE}, OffsetRow{"\t-\n3", 0xFD}, OffsetRow{"1 0", 0x0A},
        // rounding half to even
        OffsetRow{"2.5", 0x02}, OffsetRow{"3.5", 0x04}, OffsetRow{"-0.5", 0x00},
        OffsetRow{"-2.5", 0xFE}, OffsetRow{"1.5", 0x02}, OffsetRow{".5", 0x00},
        OffsetRow{"22.5", 0x16}, OffsetRow{"-4", 0xFC},
        // exponents, hexadecimal and octal
        OffsetRow{"1e1", 0x0A}, OffsetRow{"1E+1", 0x0A}, OffsetRow{"150e-1", 0x0F},
        OffsetRow{"1e0000001", 0x0A}, OffsetRow{"&H10", 0x10}, OffsetRow{"&h0f", 0x0F},
        OffsetRow{"&O17", 0x0F}, OffsetRow{"&o9", 0x00}, OffsetRow{"&HFFFE", 0x17},
        // beyond -23..23, also beyond 16 bits and beyond a double: clamped
        OffsetRow{"23", 0x17}, OffsetRow{"-23", 0xE9}, OffsetRow{"23.5", 0x17},
        OffsetRow{"-23.5", 0xE9}, OffsetRow{"24", 0x17}, OffsetRow{"99", 0x17},
        OffsetRow{"-99", 0xE9}, OffsetRow{"99999", 0x17}, OffsetRow{"-99999", 0xE9},
        OffsetRow{"-1e9", 0xE9}, OffsetRow{"1e300", 0x17}, OffsetRow{"1e400", 0x17},
        OffsetRow{"-1e99999999999", 0xE9}, OffsetRow{"1e-400", 0x00}, OffsetRow{"&HFFFFFFFF", 0x17},
        OffsetRow{
            "&HFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
            "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
            "FF"
            "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
            "FF",
            0x17}));

TEST(Requests, RoundingIsHalfToEvenAndStaysInside16Bits) {
    const std::pair<double, int16_t> rows[] = {
        {2.5, 2},     {3.5, 4},       {-2.5, -2},        {23.5, 24},
        {0.49, 0},    {-0.51, -1},    {32767.5, 32767},  {-32768.5, -32768},
        {1e9, 32767}, {-1e9, -32768}, {INFINITY, 32767}, {-INFINITY, -32768},
        {NAN, 0}};
    for (const auto& [value, rounded] : rows) {
        EXPECT_EQ(RoundOffset(value), rounded) << value;
    }
}

TEST(Requests, OffsetToByteIsTwosComplementClampedTo23) {
    const std::pair<int16_t, uint8_t> rows[] = {{0, 0x00},     {23, 0x17},    {24, 0x17},
                                                {32767, 0x17}, {-1, 0xFF},    {-23, 0xE9},
                                                {-24, 0xE9},   {-32768, 0xE9}};
    for (const auto& [offset, byte] : rows) {
        EXPECT_EQ(OffsetToByte(offset), byte) << offset;
    }
}

TEST(Requests, OffsetTextReadsTheFullStopAsDecimalPointWhateverTheLocale) {
    const test::ScopedLocale german(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_DOUBLE_EQ(OffsetTextValue(u"2.75"), 2.75);
    EXPECT_DOUBLE_EQ(OffsetTextValue(u"2,75"), 2.0);
    EXPECT_TRUE(std::isinf(OffsetTextValue(u"1e400")));
}

}  // namespace
}  // namespace irig::status
