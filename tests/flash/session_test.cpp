#include "flash/session.h"

#include <gtest/gtest.h>

#include <memory>

#include "link/framecodec.h"
#include "support/bytes.h"

namespace irig::flash {
namespace {

using test::Bytes;

std::unique_ptr<FlashImage> BlankImage() {
    auto image = std::make_unique<FlashImage>();
    image->fill(kBlank);
    return image;
}

// Runs a session against a unit that erases and echoes every block; returns the blocks the steps
// said were sent and confirmed.
struct SessionRun {
    std::vector<FlashSession::Block> blocks;
    std::vector<FlashSession::Block> confirmed;
    std::vector<float> progress;
    QStringList log;
    bool barHidden = false;
    FlashSession::End end = FlashSession::End::kNone;
};

SessionRun Programme(FlashSession& session, const FlashImage& image) {
    SessionRun run;
    FlashSession::Step step = session.Program(image);
    EXPECT_TRUE(step.eraseSent);
    run.log += step.log;
    step = session.FlashStep(link::code::kEndErase, Bytes("FF"), image);
    run.log += step.log;
    while (step.sent && run.blocks.size() < 2000) {
        run.blocks.push_back(*step.sent);
        step = session.FlashStep(link::code::kEndBlock, session.FlashBlock(), image);
        run.log += step.log;
        if (step.confirmed) {
            run.confirmed.push_back(*step.confirmed);
        }
        if (step.progress) {
            run.progress.push_back(*step.progress);
        }
        run.barHidden = step.barVisible == false;
        run.end = step.end;
    }
    return run;
}

TEST(FlashSession, AddressToBytesIsLittleEndianWithAZeroFourthByte) {
    EXPECT_EQ(AddressToBytes(0x1FF80), Bytes("80 FF 01 00"));
    EXPECT_EQ(AddressToBytes(0x4000), Bytes("00 40 00 00"));
    EXPECT_EQ(AddressToBytes(0x20000), Bytes("00 00 02 00"));
    EXPECT_EQ(AddressToBytes(0x7F123456), Bytes("56 34 12 00"));
}

TEST(FlashSession, ProgramAsksForTheEraseAndShowsTheBarAtZero) {
    auto image = BlankImage();
    (*image)[0x5123] = 0x00;
    FlashSession session;
    const FlashSession::Step step = session.Program(*image);
    EXPECT_EQ(step.log, QStringList{QStringLiteral("Erasing flash memory")});
    EXPECT_EQ(step.frame, Bytes("80 F2 55 AA 80 F3"));
    EXPECT_EQ(step.progress, 0.0f);
    EXPECT_EQ(step.barVisible, true);
    EXPECT_EQ(session.FlashState(), FlashSession::kErasePending);
    EXPECT_EQ(session.FlashAddress(), 0x4000);
    EXPECT_EQ(session.FlashEnd(), 0x5123 + 128);
}

struct BlockRow {
    const char* name;
    int32_t lastData;  // the last offset whose byte is not 0xFF; -1 for none
    std::vector<int32_t> firstBlocks;
    size_t blocks;
};

class BlocksSent : public testing::TestWithParam<BlockRow> {};

TEST_P(BlocksSent, FromTheFirstBlockPastTheLastData) {
    auto image = BlankImage();
    if (GetParam().lastData >= 0) {
        (*image)[GetParam().lastData] = 0x00;
    }
    FlashSession session;
    const SessionRun run = Programme(session, *image);
    ASSERT_EQ(run.blocks.size(), GetParam().blocks);
    for (size_t i = 0; i < GetParam().firstBlocks.size(); ++i) {
        EXPECT_EQ(run.blocks[i].address, GetParam().firstBlocks[i]) << i;
    }
    for (size_t i = 0; i < run.blocks.size(); ++i) {
        ASSERT_EQ(run.blocks[i].number, static_cast<int>(i));
    }
    EXPECT_EQ(run.confirmed, run.blocks) << "every block sent, and only those, is confirmed";
    EXPECT_EQ(run.log.back(), QStringLiteral("Programming complete"));
    EXPECT_EQ(run.end, FlashSession::End::kCompleted);
    EXPECT_TRUE(run.barHidden);
    EXPECT_EQ(session.FlashState(), FlashSession::kProgramming);
}

INSTANTIATE_TEST_SUITE_P(
    FlashSession, BlocksSent,
    testing::Values(BlockRow{"at_0x4000", 0x4000, {0x4000}, 1},
                    BlockRow{"at_0x4001", 0x4001, {0x4000, 0x4080}, 2},
                    BlockRow{"at_0x4080", 0x4080, {0x4000, 0x4080}, 2},
                    BlockRow{"at_0x4081", 0x4081, {0x4000, 0x4080, 0x4100}, 3},
                    BlockRow{"blank_image", -1, {0x4000}, 1},
                    BlockRow{"data_below_0x4000_only", 0x3FFF, {0x4000}, 1},
                    BlockRow{"at_0x1FF80", 0x1FF80, {0x4000, 0x4080}, 896},
                    BlockRow{"at_0x1FF81_takes_the_top_block", 0x1FF81, {0x4000}, 897},
                    BlockRow{"at_0x20000_takes_the_top_block", 0x20000, {0x4000}, 897}),
    [](const testing::TestParamInfo<BlockRow>& row) { return row.param.name; });

TEST(FlashSession, TopBlockCarriesTheLastImageByteAndErasedBytesBeyond) {
    auto image = BlankImage();
    (*image)[0x1FFFF] = 0x12;
    (*image)[0x20000] = 0x34;
    FlashSession session;
    Programme(session, *image);
    EXPECT_EQ(session.FlashBlock(), Bytes("00 00 02 00 34") + QByteArray(127, '\xFF'));
}

TEST(FlashSession, BlocksCarryTheImageBytesAtTheirAddress) {
    auto image = BlankImage();
    for (int32_t offset = 0x4000; offset < 0x4100; ++offset) {
        (*image)[offset] = static_cast<uint8_t>(offset * 3);
    }
    FlashSession session;
    session.Program(*image);
    const FlashSession::Step first = session.FlashStep(link::code::kEndErase, Bytes("FF"), *image);
    QByteArray data(reinterpret_cast<const char*>(image->data() + 0x4000), 128);
    EXPECT_EQ(first.frame, link::Frame(link::code::kStartBlock, Bytes("00 40 00 00") + data));
    EXPECT_EQ(session.FlashAddress(), 0x4080);
}

TEST(FlashSession, ProgressIsTheConfirmedShareOfTheRange) {
    auto image = BlankImage();
    (*image)[0x4F80] = 0x00;  // lngFlashEnd = 0x5000
    FlashSession session;
    const SessionRun run = Programme(session, *image);
    ASSERT_EQ(run.progress.size(), 31u);
    EXPECT_EQ(run.progress.front(), 3.125f);
    EXPECT_EQ(run.progress.back(), 96.875f);
    EXPECT_LT(run.progress.back(), 100.0f);
}

TEST(FlashSession, AnythingButAnEraseResultOfFFFailsTheErase) {
    const std::pair<int16_t, const char*> replies[] = {{0xF3, "00"}, {0xF3, "FF FF"}, {0xF3, ""},
                                                       {0xE1, "FF"}, {0xF7, "FF"},    {0xE3, ""}};
    auto image = BlankImage();
    for (const auto& [code, payload] : replies) {
        FlashSession session;
        session.Program(*image);
        const FlashSession::Step step = session.FlashStep(code, Bytes(payload), *image);
        EXPECT_EQ(step.log, QStringList{QStringLiteral("Erase Flash memory failed")}) << payload;
        EXPECT_EQ(step.end, FlashSession::End::kEraseFailed);
        EXPECT_EQ(step.answerCode, code);
        EXPECT_EQ(step.answer, Bytes(payload));
        EXPECT_TRUE(step.frame.isEmpty());
        EXPECT_FALSE(step.barVisible.has_value());
        EXPECT_EQ(session.FlashState(), FlashSession::kIdle);
    }
}

TEST(FlashSession, OnlyAnExactEchoMovesOnAndItsEndCodeDoesNotMatter) {
    auto image = BlankImage();
    (*image)[0x4100] = 0x00;
    FlashSession session;
    session.Program(*image);
    session.FlashStep(link::code::kEndErase, Bytes("FF"), *image);
    const QByteArray block = session.FlashBlock();
    QByteArray differing = block;
    differing[100] = static_cast<char>(differing[100] ^ 1);
    for (const QByteArray& wrong : {differing, block + '\xFF', block.chopped(1), QByteArray()}) {
        const FlashSession::Step step = session.FlashStep(link::code::kEndBlock, wrong, *image);
        EXPECT_TRUE(step.log.isEmpty() && step.frame.isEmpty() && !step.progress);
        EXPECT_TRUE(step.strayIgnored) << "said, for a view that takes it for a wrong echo";
        EXPECT_FALSE(step.confirmed.has_value());
    }
    EXPECT_EQ(session.FlashAddress(), 0x4080);
    EXPECT_FALSE(session.FlashStep(link::code::kEndRead, block, *image).frame.isEmpty());
    EXPECT_EQ(session.FlashAddress(), 0x4100);
}

TEST(FlashSession, ARepeatedLastEchoCompletesAgain) {
    auto image = BlankImage();
    FlashSession session;
    Programme(session, *image);
    const FlashSession::Step again =
        session.FlashStep(link::code::kEndBlock, session.FlashBlock(), *image);
    EXPECT_EQ(again.log, QStringList{QStringLiteral("Programming complete")});
    EXPECT_TRUE(again.frame.isEmpty());
}

TEST(FlashSession, ProgramStartsOverFromAnyStateAndIdleIgnoresReplies) {
    auto image = BlankImage();
    (*image)[0x8000] = 0x00;
    FlashSession session;
    EXPECT_TRUE(session.FlashStep(link::code::kEndErase, Bytes("FF"), *image).log.isEmpty());
    session.Program(*image);
    session.FlashStep(link::code::kEndErase, Bytes("FF"), *image);
    session.FlashStep(link::code::kEndBlock, session.FlashBlock(), *image);
    ASSERT_EQ(session.FlashAddress(), 0x4100);
    session.Program(*image);
    EXPECT_EQ(session.FlashState(), FlashSession::kErasePending);
    EXPECT_EQ(session.FlashAddress(), 0x4000);
    // The echo of the block still in flight now fails the erase.
    EXPECT_EQ(session.FlashStep(link::code::kEndBlock, session.FlashBlock(), *image).log,
              QStringList{QStringLiteral("Erase Flash memory failed")});
}

}  // namespace
}  // namespace irig::flash
