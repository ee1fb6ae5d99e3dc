#include "flash/hexfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "support/bytes.h"
#include "support/firmwarefile.h"
#include "support/hexrecords.h"
#include "support/scriptedfile.h"

namespace irig::flash {
namespace {

using test::DataRecord;
using test::EndRecord;
using test::LinearRecord;
using test::Lines;
using test::Record;
using test::SegmentRecord;

TEST(HexDigits, ConversionsAreLenientAndReadTheirOwnCharacters) {
    struct Row {
        const char* text;
        int byte, integer, longValue;
    };
    const Row rows[] = {{"7", 0x70, 0x70, 0x7},
                        {"1G", 0x10, 0x10, 0x10},
                        {"ff", 0xFF, 0xFF, 0xFF},
                        {"0F", 0x0F, 0x0F, 0x0F},
                        {"", 0, 0, 0},
                        {"ABC", 0xAB, 0xAB, 0xABC},
                        {"12345", 0x12, 0x12, 0x2345},
                        {"FFFF", 0xFF, 0xFF, 0xFFFF},
                        {"zz", 0, 0, 0},
                        {" 1", 0x01, 0x01, 0x01},
                        {"-1", 0x01, 0x01, 0x01},
                        {"aBcD", 0xAB, 0xAB, 0xABCD}};
    for (const Row& row : rows) {
        EXPECT_EQ(HexToByte(row.text), row.byte) << row.text;
        EXPECT_EQ(HexToInt(row.text), row.integer) << row.text;
        EXPECT_EQ(HexToLong(row.text), row.longValue) << row.text;
    }
}

TEST(HexDigits, NumbersInMessagesHaveALeadingBlank) {
    EXPECT_EQ(NumberText(0), QStringLiteral(" 0"));
    EXPECT_EQ(NumberText(7), QStringLiteral(" 7"));
    EXPECT_EQ(NumberText(131073), QStringLiteral(" 131073"));
    EXPECT_EQ(LineMessage(LineVerdict::LengthError, 12),
              QStringLiteral("Length error - Line  12\r\n"));
    EXPECT_EQ(LineMessage(LineVerdict::OutsideImage, 12), QString());
}

// A load of `content` into `image` through the line reader and the parser; returns the log.
struct LoadResult {
    QString log;
    bool succeeded;
    bool programmable;
    int64_t bytesLoaded;
};

LoadResult Load(FlashImage& image, const QByteArray& content) {
    QBuffer file;
    file.setData(content);
    file.open(QIODevice::ReadOnly);
    QString log;
    HexLoad load(image, file, [&](const QString& text) { log += text; });
    load.Begin(QStringLiteral("/x.hex"));
    while (!load.AtEnd()) {
        load.ReadLine();
    }
    load.Finish();
    if (!load.ReadFailed()) {
        load.ShowProgramId();
    }
    return {log, load.Succeeded(), load.Programmable(), load.Parser().lngBytesLoaded};
}

const QString kOpening =
    QStringLiteral("Initalizing flash image\r\nOpening /x.hex\r\nReading flash data\r\n");

struct LoadRow {
    const char* name;
    QByteArray content;
    const char* messages;  // the log between the opening messages and "Program ID: "
    std::vector<std::pair<int32_t, int>> bytes;  // image offsets and their values afterwards
};

const QByteArray k3 = test::Bytes("11 22 33");

const LoadRow kLoadRows[] = {
    {"empty_file",
     "",
     "Loaded  0 bytes -  No errors\r\nNothing to program - no data from 0x4000 up\r\n",
     {{0x4000, 0xFF}, {0, 0xFF}}},
    {"crlf_lines",
     Lines({DataRecord(0x4000, k3), EndRecord()}),
     "Loaded  3 bytes -  No errors\r\n",
     {{0x3FFF, 0xFF}, {0x4000, 0x11}, {0x4002, 0x33}, {0x4003, 0xFF}}},
    {"cr_only_lines",
     Lines({DataRecord(0x4000, k3), DataRecord(0x10, k3)}, "\r"),
     "Loaded  6 bytes -  No errors\r\nSkipped  3 bytes below 0x4000 - not programmed\r\n",
     {{0x4001, 0x22}, {0x10, 0x11}}},
    {"no_line_end_after_the_last_line",
     DataRecord(0x4000, k3),
     "Loaded  3 bytes -  No errors\r\n",
     {{0x4000, 0x11}}},
    {"lf_only_is_one_line",
     Lines({DataRecord(0x4000, k3), EndRecord()}, "\n"),
     "Length error - Line  1\r\nFlash file load error\r\n",
     {{0x4000, 0xFF}}},
    {"blank_last_line",
     Lines({DataRecord(0x4000, k3), ""}),
     "Length error - Line  2\r\nFlash file load error\r\n",
     {{0x4000, 0x11}}},
    {"cr_lf_lf_starts_the_next_line_with_lf",
     DataRecord(0x4000, k3) + "\r\n\n" + DataRecord(0x10, k3),
     "Invalid starting character - Line  2\r\nFlash file load error\r\n",
     {{0x4000, 0x11}, {0x10, 0xFF}}},
    {"ten_characters_is_a_length_error_before_the_start",
     Lines({"X000000000"}),
     "Length error - Line  1\r\nFlash file load error\r\n",
     {}},
    {"eleven_characters_without_colon",
     Lines({"X0000000000"}),
     "Invalid starting character - Line  1\r\nFlash file load error\r\n",
     {}},
    {"length_not_matching_the_count",
     Lines({DataRecord(0x4000, k3).chopped(2), EndRecord()}),
     "Length error - Line  1\r\nFlash file load error\r\n",
     {{0x4000, 0xFF}}},
    {"trailing_blank_counts",
     Lines({DataRecord(0x4000, k3) + ' '}),
     "Length error - Line  1\r\nFlash file load error\r\n",
     {}},
    {"checksum_error",
     Lines({EndRecord(), Record(0x00, 0x4000, k3, 1), DataRecord(0x4010, k3)}),
     "Checksum error - Line  2\r\nFlash file load error\r\n",
     {{0x4000, 0xFF}, {0x4010, 0x11}}},
    {"every_faulty_line_reported_accepted_lines_applied",
     Lines(
         {"", DataRecord(0x4000, k3), "junk", Record(0x00, 0x4010, k3, 7), DataRecord(0x4020, k3)}),
     "Length error - Line  1\r\nLength error - Line  3\r\nChecksum error - Line  4\r\n"
     "Flash file load error\r\n",
     {{0x4000, 0x11}, {0x4010, 0xFF}, {0x4020, 0x11}}},
    {"lower_case_digits",
     Lines({DataRecord(0x4000, k3).toLower()}),
     "Loaded  3 bytes -  No errors\r\n",
     {{0x4000, 0x11}}},
    // ":01400000G0BF": 'G' counts 0, so the byte is 0x00 and the sum still comes out right.
    {"non_hex_digit_counts_zero",
     Lines({":01400000G0BF"}),
     "Loaded  1 bytes -  No errors\r\n",
     {{0x4000, 0x00}}},
    {"end_record_does_not_end_reading",
     Lines({EndRecord(), DataRecord(0x4000, k3)}),
     "Loaded  3 bytes -  No errors\r\n",
     {{0x4000, 0x11}}},
    {"segment_base",
     Lines({SegmentRecord(0x1000), DataRecord(0x0010, k3)}),
     "Loaded  3 bytes -  No errors\r\n",
     {{0x10010, 0x11}, {0x10, 0xFF}}},
    {"linear_address_zero_is_no_base",
     Lines({LinearRecord(0x0000), DataRecord(0x4000, k3)}),
     "Loaded  3 bytes -  No errors\r\n",
     {{0x4000, 0x11}, {0x14000, 0xFF}}},
    {"linear_address_one_puts_data_at_0x10000_up",
     Lines({LinearRecord(0x0001), DataRecord(0x4000, k3)}),
     "Loaded  3 bytes -  No errors\r\n",
     {{0x14000, 0x11}, {0x4000, 0xFF}}},
    {"segment_then_linear_address_the_later_counts",
     Lines({SegmentRecord(0x1000), LinearRecord(0x0001), DataRecord(0x4000, k3)}),
     "Loaded  3 bytes -  No errors\r\n",
     {{0x14000, 0x11}, {0x1C000, 0xFF}}},
    {"linear_then_segment_address_the_later_counts",
     Lines({LinearRecord(0x0001), SegmentRecord(0x0800), DataRecord(0x0010, k3)}),
     "Loaded  3 bytes -  No errors\r\n",
     {{0x8010, 0x11}, {0x10010, 0xFF}}},
    {"linear_address_beyond_the_image_is_refused",
     Lines({LinearRecord(0x0002), DataRecord(0x0000, k3), DataRecord(0x0001, k3)}),
     "Flash file load error\r\n",
     {{0x20000, 0x11}, {0x0000, 0xFF}}},
    {"linear_address_far_beyond_the_image_is_refused",
     Lines({LinearRecord(0xFFFF), DataRecord(0xFFFF, k3)}),
     "Flash file load error\r\n",
     {}},
    {"data_only_below_0x4000_is_nothing_to_program",
     Lines({DataRecord(0x0000, k3), DataRecord(0x3FFD, k3)}),
     "Loaded  6 bytes -  No errors\r\nSkipped  6 bytes below 0x4000 - not programmed\r\n"
     "Nothing to program - no data from 0x4000 up\r\n",
     {{0x0000, 0x11}, {0x3FFF, 0x33}}},
    {"only_erased_bytes_from_0x4000_is_nothing_to_program",
     Lines(
         {DataRecord(0x4000, QByteArray(16, '\xFF')), DataRecord(0xFFF0, QByteArray(16, '\xFF'))}),
     "Loaded  32 bytes -  No errors\r\nNothing to program - no data from 0x4000 up\r\n",
     {{0x4000, 0xFF}}},
    {"data_partly_below_0x4000_loads_and_says_what_is_skipped",
     Lines({DataRecord(0x3FFE, test::Bytes("01 02 03 04"))}),
     "Loaded  4 bytes -  No errors\r\nSkipped  2 bytes below 0x4000 - not programmed\r\n",
     {{0x3FFE, 0x01}, {0x4001, 0x04}}},
    {"line_longer_than_any_record_is_a_length_error",
     Lines({":" + QByteArray(100'000, 'A'), DataRecord(0x4000, k3)}),
     "Length error - Line  1\r\nFlash file load error\r\n",
     {{0x4000, 0x11}}},
    {"long_line_without_colon_is_an_invalid_start",
     Lines({QByteArray(100'000, 'A')}),
     "Invalid starting character - Line  1\r\nFlash file load error\r\n",
     {}},
    {"last_offsets_of_the_image",
     Lines({SegmentRecord(0x1FFF), DataRecord(0x000F, test::Bytes("AB CD"))}),
     "Loaded  2 bytes -  No errors\r\n",
     {{0x1FFFF, 0xAB}, {0x20000, 0xCD}}},
    {"top_of_the_image_is_0x20000",
     Lines({SegmentRecord(0x1001), DataRecord(0xFFF0, test::Bytes("AB"))}),
     "Loaded  1 bytes -  No errors\r\n",
     {{0x20000, 0xAB}}},
    {"bytes_before_0x20001_stay_stored_and_counted",
     Lines({SegmentRecord(0x1000), DataRecord(0xFFFF, k3), DataRecord(0x4000, k3)}),
     "Flash file load error\r\n",
     {{0x1FFFF, 0x11}, {0x20000, 0x22}, {0x14000, 0x11}}},
    {"overwrites_win_count_twice_and_are_said",
     Lines({DataRecord(0x4000, k3), DataRecord(0x4001, test::Bytes("99"))}),
     "Loaded  4 bytes -  No errors\r\nOverlapping  1 bytes - later records replaced earlier "
     "ones\r\n",
     {{0x4000, 0x11}, {0x4001, 0x99}}},
    {"a_file_given_twice_overlaps_whole",
     Lines(
         {DataRecord(0x4000, QByteArray(16, '\x11')), DataRecord(0x4000, QByteArray(16, '\x22'))}),
     "Loaded  32 bytes -  No errors\r\nOverlapping  16 bytes - later records replaced earlier "
     "ones\r\n",
     {{0x4000, 0x22}, {0x400F, 0x22}}},
    {"overlap_through_another_base",
     Lines({DataRecord(0x4002, k3), SegmentRecord(0x0400), DataRecord(0x0000, k3)}),
     "Loaded  6 bytes -  No errors\r\nOverlapping  1 bytes - later records replaced earlier "
     "ones\r\n",
     {{0x4002, 0x33}, {0x4003, 0x22}}},
    {"records_longer_than_128_bytes",
     Lines({DataRecord(0x4000, QByteArray(255, '\x5A'))}),
     "Loaded  255 bytes -  No errors\r\n",
     {{0x4000, 0x5A}, {0x40FE, 0x5A}, {0x40FF, 0xFF}}},
};

class Loader : public testing::TestWithParam<LoadRow> {};

TEST_P(Loader, ReportsAndStores) {
    const LoadRow& row = GetParam();
    auto image = std::make_unique<FlashImage>();
    image->fill(0x00);
    const LoadResult result = Load(*image, row.content);
    const QString expected = kOpening + QLatin1String(row.messages) +
                             QStringLiteral("Closing flash data file\r\nProgram ID: ");
    ASSERT_TRUE(result.log.startsWith(expected)) << "expected:\n"
                                                 << expected.toStdString() << "\ngot:\n"
                                                 << result.log.toStdString();
    EXPECT_EQ(result.succeeded, QByteArray(row.messages).contains("No errors"));
    EXPECT_EQ(result.programmable,
              result.succeeded && !QByteArray(row.messages).contains("Nothing to program"));
    for (const auto& [offset, value] : row.bytes) {
        EXPECT_EQ((*image)[offset], value) << std::hex << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(HexFile, Loader, testing::ValuesIn(kLoadRows),
                         [](const testing::TestParamInfo<LoadRow>& row) { return row.param.name; });

struct OpenRow {
    const char* name;
    std::function<QString(const QTemporaryDir&)> path;  // made in the folder
    const char* refused;                                // part of why, or none when it opens
};

class FirmwareFiles : public testing::TestWithParam<OpenRow> {};

TEST_P(FirmwareFiles, OpenOnlyWhenRegular) {
    QTemporaryDir dir;
    QFile file(GetParam().path(dir));
    QString why;
    const bool opened = OpenFirmwareFile(file, &why);
    EXPECT_EQ(opened, GetParam().refused == nullptr) << why.toStdString();
    if (GetParam().refused != nullptr) {
        EXPECT_TRUE(why.contains(QLatin1String(GetParam().refused))) << why.toStdString();
        EXPECT_FALSE(file.isOpen());
    } else {
        EXPECT_EQ(file.readAll(), QByteArray(":00000001FF\r\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    HexFile, FirmwareFiles,
    testing::Values(
        OpenRow{"regular_file",
                [](const QTemporaryDir& dir) {
                    return test::WriteFile(dir.filePath(QStringLiteral("f.hex")),
                                           ":00000001FF\r\n");
                },
                nullptr},
        OpenRow{"named_pipe",
                [](const QTemporaryDir& dir) {
                    const QString path = dir.filePath(QStringLiteral("fifo.hex"));
                    EXPECT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
                    return path;
                },
                "it is a named pipe (FIFO), not a regular file"},
        OpenRow{"endless_device", [](const QTemporaryDir&) { return QStringLiteral("/dev/zero"); },
                "it is a character device, not a regular file"},
        OpenRow{"folder", [](const QTemporaryDir& dir) { return dir.path(); },
                "it is a directory, not a regular file"},
        OpenRow{"missing_file",
                [](const QTemporaryDir& dir) { return dir.filePath(QStringLiteral("none.hex")); },
                "No such file or directory"}),
    [](const testing::TestParamInfo<OpenRow>& row) { return row.param.name; });

TEST(HexFile, BytesLoadedCountsEveryStoredByte) {
    auto image = std::make_unique<FlashImage>();
    EXPECT_EQ(Load(*image, Lines({DataRecord(0x4000, k3), DataRecord(0x4000, k3)})).bytesLoaded, 6);
    EXPECT_EQ(Load(*image, Lines({SegmentRecord(0x1000), DataRecord(0xFFFE, k3)})).bytesLoaded, 3);
    EXPECT_EQ(Load(*image, Lines({SegmentRecord(0x1000), DataRecord(0xFFFF, k3)})).bytesLoaded, 2);
}

TEST(HexFile, ANewLoadStartsFromABlankImageAndSegmentZero) {
    auto image = std::make_unique<FlashImage>();
    Load(*image, Lines({SegmentRecord(0x1000), DataRecord(0x0010, k3)}));
    ASSERT_EQ((*image)[0x10010], 0x11);
    Load(*image, Lines({DataRecord(0x0010, k3)}));
    EXPECT_EQ((*image)[0x10010], 0xFF);
    EXPECT_EQ((*image)[0x0010], 0x11);
}

TEST(HexFile, ProgramIdIsTheTextAt0x4168UpToAZeroByteAndAtMost65Characters) {
    auto image = std::make_unique<FlashImage>();
    EXPECT_TRUE(
        Load(*image, "").log.endsWith(QStringLiteral("Program ID: ") + QString(65, QChar(0xFF))));
    EXPECT_TRUE(Load(*image, Lines({DataRecord(0x4168, test::Bytes("00 41"))}))
                    .log.endsWith(QStringLiteral("\r\nProgram ID: ")));
    EXPECT_TRUE(
        Load(*image, Lines({DataRecord(0x4168, QByteArray("IRIG v2.3\xE9", 10) + '\0' + "XY")}))
            .log.endsWith(QStringLiteral("Program ID: IRIG v2.3\u00E9")));
    image->fill(0x41);
    EXPECT_EQ(ProgramId(*image), QString(65, QLatin1Char('A')));
}

TEST(HexFile, AReadErrorEndsTheLoadAtOnceAsAFailure) {
    const QByteArray content =
        Lines({DataRecord(0x4000, k3), DataRecord(0x4010, k3), DataRecord(0x4020, k3)});
    test::ScriptedFile file(content, /*chunk=*/64 * 1024, /*readable=*/content.indexOf(':', 1) + 5);
    auto image = std::make_unique<FlashImage>();
    QString log;
    HexLoad load(*image, file, [&](const QString& text) { log += text; });
    load.Begin(QStringLiteral("/x.hex"));
    int lines = 0;
    while (!load.AtEnd()) {
        load.ReadLine();
        ++lines;
    }
    load.Finish();
    EXPECT_TRUE(load.ReadFailed());
    EXPECT_FALSE(load.Succeeded());
    EXPECT_EQ(lines, 2);
    EXPECT_EQ(log, kOpening + QStringLiteral("Flash file load error\r\n"));
}

// Every byte of the image: the firmware's bytes from `base`, erased flash elsewhere.
void ExpectImageHolds(const FlashImage& image, const test::FirmwareFile& firmware, int32_t base) {
    for (int32_t offset = 0; offset <= kImageTop; ++offset) {
        const bool inFirmware = offset >= base && offset < base + firmware.bytes.size();
        const uint8_t expected =
            inFirmware ? static_cast<uint8_t>(firmware.bytes[offset - base]) : 0xFF;
        ASSERT_EQ(image[offset], expected) << std::hex << offset;
    }
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(HexFile, ObjcopyFileOfRandomBytesAt0x4000LoadsExactly) {
    QTemporaryDir dir;
    const test::FirmwareFile firmware = test::MakeFirmwareFile(dir.path(), 0x1C000 - 0x123, 4000);
    ASSERT_FALSE(firmware.path.isEmpty()) << "objcopy failed";
    auto image = std::make_unique<FlashImage>();
    const LoadResult result = Load(*image, ReadAll(firmware.path));
    EXPECT_TRUE(result.programmable) << result.log.left(400).toStdString();
    EXPECT_EQ(result.bytesLoaded, firmware.bytes.size());
    ExpectImageHolds(*image, firmware, 0x4000);
}

// objcopy writes segment records (type 02) below 1 MB; the same file with each segment record
// turned into the linear address record (type 04) of the same base loads the same bytes.
TEST(HexFile, ImageAbove0x10000LoadsExactlyWithSegmentOrLinearAddressRecords) {
    QTemporaryDir dir;
    const test::FirmwareFile firmware = test::MakeFirmwareFile(dir.path(), 0x10001, 4001, 0x10000);
    ASSERT_FALSE(firmware.path.isEmpty()) << "objcopy failed";
    const QByteArray segmented = ReadAll(firmware.path);
    const QByteArray linear = test::WithLinearAddressRecords(segmented);
    ASSERT_TRUE(linear.contains(LinearRecord(1))) << "the test wrote linear address records";
    ASSERT_FALSE(linear.contains(":02000002"));
    for (const QByteArray& content : {segmented, linear}) {
        auto image = std::make_unique<FlashImage>();
        const LoadResult result = Load(*image, content);
        EXPECT_TRUE(result.programmable) << result.log.left(400).toStdString();
        EXPECT_EQ(result.bytesLoaded, firmware.bytes.size());
        ExpectImageHolds(*image, firmware, 0x10000);
    }
}

TEST(HexFile, ByteCountGoesPastTwoToTheThirtyFirst) {
    auto image = std::make_unique<FlashImage>();
    HexParser parser(*image);
    parser.lngBytesLoaded = int64_t{INT32_MAX} - 1;
    ASSERT_EQ(parser.ParseHexLine(DataRecord(0x4000, QByteArray(255, 'x'))), LineVerdict::Accepted);
    EXPECT_EQ(parser.lngBytesLoaded, int64_t{INT32_MAX} + 254);
    EXPECT_EQ(NumberText(parser.lngBytesLoaded), QStringLiteral(" 2147483901"));
    EXPECT_EQ(LineMessage(LineVerdict::ChecksumError, int64_t{5'000'000'000}),
              QStringLiteral("Checksum error - Line  5000000000\r\n"));
}

TEST(HexFile, FaultyLinesAreListedUpToTheBoundThenCounted) {
    const int lines = 1'000'000;
    auto image = std::make_unique<FlashImage>();
    const LoadResult result = Load(*image, QByteArray(lines, '\r'));  // a million empty lines
    EXPECT_EQ(result.log.count(QStringLiteral("Length error - Line ")), kListedFaults);
    EXPECT_TRUE(
        result.log.contains(QStringLiteral("Length error - Line  5000\r\n"
                                           "More faulty lines not listed -  995000\r\n"
                                           "Flash file load error\r\n")));
    EXPECT_LT(result.log.size(), 200'000);
}

TEST(HexFile, ALineWithoutEndIsNeverHeldWhole) {
    // 8 MB without a carriage return, handed over in pieces as a file is read.
    test::ScriptedFile file(":" + QByteArray(8 * 1024 * 1024, '0'), 4096);
    HexLineReader reader(file);
    const QByteArrayView line = reader.ReadLine();
    EXPECT_EQ(line.size(), kLongestRecord + 1);
    EXPECT_TRUE(reader.AtEnd());
    auto image = std::make_unique<FlashImage>();
    EXPECT_EQ(HexParser(*image).ParseHexLine(line), LineVerdict::LengthError);
}

}  // namespace
}  // namespace irig::flash
