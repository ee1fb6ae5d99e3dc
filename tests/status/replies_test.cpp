#include "status/replies.h"

#include <gtest/gtest.h>

#include <QLocale>

#include "link/framecodec.h"
#include "support/bytes.h"
#include "support/scopedlocale.h"

namespace irig::status {
namespace {

using test::Bytes;

TEST(TextFormats, TwoDigitFieldsKeepTheLastTwoDigits) {
    const std::pair<uint8_t, const char*> rows[] = {{0, "00"},  {7, "07"},   {12, "12"},
                                                    {99, "99"}, {123, "23"}, {255, "55"}};
    for (const auto& [value, text] : rows) {
        EXPECT_EQ(TwoDigits(value), QLatin1String(text)) << int(value);
    }
}

TEST(TextFormats, YearCapsItsHighByteAt20AndShowsFourDigits) {
    struct Row {
        uint8_t low, high;
        const char* text;
    };
    const Row rows[] = {{0xD6, 0x07, "2006"}, {0x05, 0x00, "0005"}, {0x00, 0x00, "0000"},
                        {0xFF, 0x14, "5375"}, {0xFF, 0xFF, "5375"}, {0x00, 0x15, "5120"}};
    for (const Row& row : rows) {
        EXPECT_EQ(YearText(row.low, row.high), QLatin1String(row.text)) << int(row.high);
    }
    EXPECT_EQ(MinOf(21, 20), 20);
    EXPECT_EQ(MinOf(-3, 4), -3);
}

TEST(TextFormats, VersionHasOneDecimalWithTheLocalesSeparator) {
    {
        const test::ScopedLocale c(QLocale::c());
        const std::pair<uint8_t, const char*> rows[] = {
            {0, "0.0"}, {7, "0.7"}, {23, "2.3"}, {100, "10.0"}, {255, "25.5"}};
        for (const auto& [tenths, text] : rows) {
            EXPECT_EQ(VersionText(tenths), QLatin1String(text)) << int(tenths);
        }
    }
    const test::ScopedLocale german(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(VersionText(23), QStringLiteral("2,3"));
}

TEST(TextFormats, OffsetsAreSignedWithABlankBeforeZeroOrMore) {
    const std::pair<uint8_t, const char*> rows[] = {{0x05, " 5"},   {0x00, " 0"},   {0xFD, "-3"},
                                                    {0x7F, " 127"}, {0x80, "-128"}, {0xFF, "-1"}};
    for (const auto& [byte, text] : rows) {
        EXPECT_EQ(OffsetText(byte), QLatin1String(text)) << int(byte);
    }
}

TEST(Dispatcher, FlashEndCodesNeverReachTheStatusDecoding) {
    for (int16_t code : {link::code::kEndErase, link::code::kEndBlock}) {
        for (const char* payload : {"01 02 D6 07 03 07 09 05 1E 17", "01 02 D6 07 03 07 09 05 1E",
                                    "02 01 01 01", "03 41"}) {
            EXPECT_TRUE(DecodeReply(code, Bytes(payload)).Empty()) << payload;
        }
    }
}

TEST(Dispatcher, AGpsMessageIsShownUpToItsBound) {
    const QByteArray text(3 * kGpsMessageShown, 'N');
    const StatusView view = DecodeReply(link::code::kEndRead, QByteArray(1, '\x03') + text);
    ASSERT_TRUE(view.gpsMessage.has_value());
    EXPECT_EQ(*view.gpsMessage, QString::fromLatin1(text.left(kGpsMessageShown)));
}

// A clock reply read as values: only an accepted clock reply reads, and an impossible date stays
// readable as sent but is no instant.
TEST(Dispatcher, ClockRepliesReadAsValues) {
    struct Row {
        int16_t code;
        const char* payload;
        const char* text;  // nullptr: not a clock reply
        bool instant;
    };
    const Row rows[] = {
        {link::code::kEndRead, "01 02 EA 07 0C 07 09 3A 1E 17", "12/07/2026 09:58:30", true},
        {link::code::kEndSet, "01 04 EA 07 0C 07 09 3A 1E", "12/07/2026 09:58:30", true},
        {link::code::kEndRead, "01 02 EA 07 0D 07 09 3A 1E 17", "13/07/2026 09:58:30", false},
        {link::code::kEndRead, "01 02 EA 07 02 1E 19 00 00 17", "02/30/2026 25:00:00", false},
        {link::code::kEndRead, "01 02 EA 07 0C 07 09 3A 1E", nullptr, false},
        {link::code::kEndSet, "01 04 EA 07 0C 07 09 3A 1E 17", nullptr, false},
        {link::code::kEndRead, "02 02 EA 07 0C 07 09 3A 1E 17", nullptr, false},
    };
    for (const Row& row : rows) {
        const std::optional<ClockReading> clock = ReadClock(row.code, Bytes(row.payload));
        ASSERT_EQ(clock.has_value(), row.text != nullptr) << row.payload;
        if (clock) {
            EXPECT_EQ(clock->Text().toStdString(), row.text);
            EXPECT_EQ(clock->DateTime().isValid(), row.instant) << row.payload;
            EXPECT_EQ(clock->version.has_value(), row.code == link::code::kEndRead);
        }
    }
}

}  // namespace
}  // namespace irig::status
