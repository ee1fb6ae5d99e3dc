// The simulated unit's own behaviour, without a line: its codec, its answers and its faults.
#include "unit.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace sim {
namespace {

using namespace std::chrono_literals;

Bytes B(std::initializer_list<int> values) {
    Bytes bytes;
    for (int v : values)
        bytes.push_back(static_cast<uint8_t>(v));
    return bytes;
}

class SimUnit : public testing::Test {
protected:
    explicit SimUnit(Options options = {}) { Make(std::move(options)); }
    void Make(Options options) {
        unit = std::make_unique<Unit>(
            std::move(options), [this](const std::string& line) { log.push_back(line); },
            [this](uint32_t from, uint32_t size) { written.emplace_back(from, size); });
    }
    std::vector<Bytes> Send(const Bytes& wire) {
        return unit->Receive(wire.data(), wire.size(), now);
    }
    std::vector<Bytes> EnterFlashMode() { return Send(B({0x80, 0xF1})); }
    Bytes Block(uint32_t address, uint8_t fill) {
        Bytes payload(132, fill);
        payload[0] = uint8_t(address);
        payload[1] = uint8_t(address >> 8);
        payload[2] = uint8_t(address >> 16);
        payload[3] = 0x00;
        return payload;
    }

    Clock::time_point now = Clock::now();
    std::unique_ptr<Unit> unit;
    std::vector<std::string> log;
    std::vector<std::pair<uint32_t, uint32_t>> written;
};

TEST_F(SimUnit, DecoderNeedsAStartCodeAndItsOwnEndCode) {
    Decoder decoder;
    const Bytes wire = B({0x01, 0x80, 0xE1,                          // no start: dropped
                          0x80, 0xE0, 0x01, 0x80, 0xE3,              // wrong end: dropped
                          0x80, 0xE2, 0x80, 0x80, 0x05, 0x80, 0xE3,  // escaped data byte
                          0x80, 0xF0});
    const auto messages = decoder.Feed(wire.data(), wire.size());
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].code, 0xE2);
    EXPECT_EQ(messages[0].payload, B({0x80, 0x05}));
    EXPECT_EQ(messages[1].code, 0xF0);
    EXPECT_EQ(EncodeFrame(0xF6, B({0x80, 0x01})), B({0x80, 0xF6, 0x80, 0x80, 0x01, 0x80, 0xF7}));
}

TEST_F(SimUnit, StatusReplyCarriesSourceClockAndVersion) {
    Options options;
    options.source = "irig";
    options.version = 31;
    Make(options);
    const auto replies = Send(B({0x80, 0xE0, 0x01, 0x80, 0xE1}));
    ASSERT_EQ(replies.size(), 1u);
    const Bytes& r = replies[0];
    ASSERT_EQ(r.size(), 14u);  // no 0x80 in this payload this century
    EXPECT_EQ(r[2], 0x01);
    EXPECT_EQ(r[3], 0x04);  // IRIG-B in a read reply
    EXPECT_EQ(r[11], 31);
    EXPECT_EQ(B({r[0], r[1], r[13]}), B({0x80, 0xE0, 0xE1}));
}

TEST_F(SimUnit, SetTimeMovesItsClockAndRepliesWithTheSetColumnsSource) {
    const auto replies =
        Send(B({0x80, 0xE2, 0x01, 0x00, 0xD6, 0x07, 0x03, 0x07, 0x09, 0x05, 0x1E, 0x80, 0xE3}));
    ASSERT_EQ(replies.size(), 1u);
    const Bytes& r = replies[0];
    EXPECT_EQ(r[3], 0x04);  // GPS in a set reply
    EXPECT_EQ(B({r[4], r[5], r[6], r[7], r[8], r[9]}), B({0xD6, 0x07, 0x03, 0x07, 0x09, 0x05}));
    EXPECT_LE(r[10], 0x1F);  // the seconds have moved on by at most a second
    EXPECT_EQ(r.size(), 13u);
}

// Its answer to the setting, and a read right after, show exactly the second set, every time: the
// clocks are read once per request.
TEST_F(SimUnit, SetTimeAnswerAndAReadRightAfterShowTheSecondSet) {
    for (int run = 0; run < 300; ++run) {
        // The next whole second, carried as Set Time carries it, arriving as it begins.
        const auto host = std::chrono::system_clock::now();
        const auto second = std::chrono::ceil<std::chrono::seconds>(host + 1ms);
        const std::time_t whole = std::chrono::system_clock::to_time_t(second);
        std::tm local{};
        localtime_r(&whole, &local);
        const int year = local.tm_year + 1900;
        const Bytes payload = B({0x01, 0x00, year & 0xFF, year >> 8, local.tm_mon + 1,
                                 local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec});
        const Bytes shown = B({local.tm_hour, local.tm_min, local.tm_sec});
        now = Clock::now();
        const auto set = Send(EncodeFrame(0xE2, payload));
        ASSERT_EQ(set.size(), 1u);
        ASSERT_EQ(B({set[0][8], set[0][9], set[0][10]}), shown) << "run " << run;
        now += 1ms;  // the read's own frame arrives after the set's
        const auto replies = Send(B({0x80, 0xE0, 0x01, 0x80, 0xE1}));
        ASSERT_EQ(replies.size(), 1u);
        ASSERT_EQ(B({replies[0][8], replies[0][9], replies[0][10]}), shown) << "run " << run;
    }
}

// Offsets are kept and read back; told to forget writes, the unit acknowledges a set of offsets or
// of its clock as it came and keeps what it had.
TEST_F(SimUnit, OffsetsAreStoredAndReadBackUnlessWritesAreForgotten) {
    for (const bool forget : {false, true}) {
        Options options;
        options.forgetWrites = forget;
        options.clockOffsetSeconds = 7200;
        Make(options);
        EXPECT_EQ(Send(B({0x80, 0xE2, 0x02, 0xFB, 0x17, 0x01, 0x80, 0xE3}))[0],
                  B({0x80, 0xE2, 0x02, 0xFB, 0x17, 0x01, 0x80, 0xE3}));
        EXPECT_EQ(Send(B({0x80, 0xE0, 0x02, 0x80, 0xE1}))[0],
                  forget ? B({0x80, 0xE0, 0x02, 0x00, 0x00, 0x00, 0x80, 0xE1})
                         : B({0x80, 0xE0, 0x02, 0xFB, 0x17, 0x01, 0x80, 0xE1}));
        const std::time_t host = std::time(nullptr);
        std::tm local{};
        localtime_r(&host, &local);
        const int year = local.tm_year + 1900;
        const auto set =
            Send(EncodeFrame(0xE2, B({0x01, 0x00, year & 0xFF, year >> 8, local.tm_mon + 1,
                                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec})));
        ASSERT_EQ(set.size(), 1u);
        EXPECT_EQ(set[0][8], local.tm_hour) << "the answer shows the time set";
        const auto read = Send(B({0x80, 0xE0, 0x01, 0x80, 0xE1}));
        ASSERT_EQ(read.size(), 1u);
        EXPECT_EQ(read[0][8] == local.tm_hour, !forget) << "two hours ahead when forgotten";
    }
}

TEST_F(SimUnit, GpsMessage) {
    const auto replies = Send(B({0x80, 0xE0, 0x03, 0x80, 0xE1}));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0][2], 0x03);
    EXPECT_EQ(std::string(replies[0].begin() + 3, replies[0].end() - 2), Options{}.gpsMessage);
}

TEST_F(SimUnit, ReBootIsSilentUntilItCompletesAndLeavesFlashMode) {
    EnterFlashMode();
    EXPECT_TRUE(Send(B({0x80, 0xF0})).empty());
    ASSERT_TRUE(unit->RebootDue().has_value());
    EXPECT_EQ(*unit->RebootDue(), now + 1500ms);
    EXPECT_TRUE(Send(B({0x80, 0xE0, 0x01, 0x80, 0xE1})).empty());
    EXPECT_TRUE(unit->Tick(now + 1499ms).empty());
    EXPECT_EQ(unit->Tick(now + 1500ms), std::vector<Bytes>{B({0x80, 0xF0})});
    EXPECT_FALSE(unit->RebootDue().has_value());
    EXPECT_TRUE(Send(B({0x80, 0xF2, 0x55, 0xAA, 0x80, 0xF3})).empty());  // flash mode is over
    EXPECT_EQ(Send(B({0x80, 0xE0, 0x01, 0x80, 0xE1})).size(), 1u);
}

TEST_F(SimUnit, FlashCommandsNeedFlashModeAndEchoEveryBlock) {
    EXPECT_TRUE(Send(B({0x80, 0xF2, 0x55, 0xAA, 0x80, 0xF3})).empty());
    EXPECT_EQ(EnterFlashMode(), std::vector<Bytes>{B({0x80, 0xF1})});
    EXPECT_TRUE(Send(B({0x80, 0xE0, 0x01, 0x80, 0xE1})).empty());  // no clock in flash mode
    EXPECT_EQ(Send(B({0x80, 0xF2, 0x55, 0xAA, 0x80, 0xF3})),
              std::vector<Bytes>{B({0x80, 0xF2, 0xFF, 0x80, 0xF3})});
    const Bytes block = Block(0x4080, 0x80);
    EXPECT_EQ(Send(EncodeFrame(0xF6, block)), std::vector<Bytes>{EncodeFrame(0xF6, block)});
    EXPECT_EQ(unit->Flash()[0x4080], 0x80);
    EXPECT_EQ(unit->Flash()[0x40FF], 0x80);
    EXPECT_EQ(unit->Flash()[0x4100], 0xFF);
    EXPECT_EQ(written.back(), std::make_pair(0x4080u, 128u));
    // The top block fits the flash; one past it does not.
    EXPECT_EQ(Send(EncodeFrame(0xF6, Block(0x20000, 0x01))).size(), 1u);
    EXPECT_TRUE(Send(EncodeFrame(0xF6, Block(0x20080, 0x01))).empty());
}

TEST_F(SimUnit, FaultsHitOnlyTheirNthEvent) {
    Options options;
    options.failErase = 1;
    options.dropEcho = 2;
    options.corruptEcho = 3;
    options.hangUpAfter = 4;
    Make(options);
    EnterFlashMode();
    const Bytes erase = B({0x80, 0xF2, 0x55, 0xAA, 0x80, 0xF3});
    EXPECT_EQ(Send(erase), std::vector<Bytes>{B({0x80, 0xF2, 0x00, 0x80, 0xF3})});
    EXPECT_EQ(Send(erase), std::vector<Bytes>{B({0x80, 0xF2, 0xFF, 0x80, 0xF3})});
    std::vector<std::vector<Bytes>> echoes;
    for (uint32_t i = 0; i < 5; ++i) {
        const Bytes block = Block(0x4000 + 128 * i, static_cast<uint8_t>(i));
        echoes.push_back(Send(EncodeFrame(0xF6, block)));
        EXPECT_EQ(unit->Flash()[0x4000 + 128 * i], i) << "every block is programmed";
        EXPECT_EQ(unit->TakeHangUp(), i == 3) << i;
    }
    EXPECT_EQ(echoes[0].size(), 1u);
    EXPECT_TRUE(echoes[1].empty());
    ASSERT_EQ(echoes[2].size(), 1u);
    EXPECT_NE(echoes[2][0], EncodeFrame(0xF6, Block(0x4100, 2)));
    EXPECT_EQ(echoes[3][0], EncodeFrame(0xF6, Block(0x4180, 3)));
}

struct AfterUpdateRow {
    const char* name;
    const char* programId;  // the text the update writes at 0x4168
    bool silentAfterUpdate;
    bool cutShort;  // the update ends with the block that holds the program ID
    int version;    // what the status reply then carries; -1 for no reply
};

class AfterUpdate : public testing::TestWithParam<AfterUpdateRow> {};

// After the re-boot that ends an update, the unit answers its new program ID's version, or says
// nothing if told so; a re-boot without an update changes neither. An update cut short leaves the
// unit in its boot loader, in flash mode, until it is flashed whole.
TEST_P(AfterUpdate, TheUnitAnswersTheVersionItsFirmwareCarries) {
    const AfterUpdateRow& row = GetParam();
    Options options;
    options.silentAfterUpdate = row.silentAfterUpdate;
    Unit unit(
        options, [](const std::string&) {}, [](uint32_t, uint32_t) {});
    const auto now = Clock::now();
    const auto send = [&](const Bytes& wire) {
        return unit.Receive(wire.data(), wire.size(), now);
    };
    const auto reboot = [&] {
        send(B({0x80, 0xF0}));
        unit.Tick(now + std::chrono::hours(1));
    };
    const Bytes status = B({0x80, 0xE0, 0x01, 0x80, 0xE1});
    const auto update = [&](bool whole) {
        EXPECT_EQ(send(B({0x80, 0xF1})).size(), 1u) << "flash mode";
        send(EncodeFrame(0xF2, B({0x55, 0xAA})));
        Bytes block(132, 0x00);
        block[1] = 0x41;  // 0x4100: the program ID at 0x4168 is its byte 0x68
        const std::string id = row.programId;
        std::copy(id.begin(), id.end(), block.begin() + 4 + 0x68);
        send(EncodeFrame(0xF6, block));
        if (whole) {
            Bytes end(132, 0xFF);
            end[0] = 0x80;
            end[1] = 0x41;
            end[2] = end[3] = 0x00;
            send(EncodeFrame(0xF6, end));
        }
        reboot();
    };
    reboot();
    EXPECT_EQ(send(status)[0][11], 23) << "no update, no change";
    update(!row.cutShort);
    const auto replies = send(status);
    if (row.version < 0) {
        EXPECT_TRUE(replies.empty());
    } else {
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0][11], row.version);
    }
    if (row.cutShort) {
        update(true);
        EXPECT_EQ(send(status).size(), 1u) << "flashed whole, it answers again";
    }
}

INSTANTIATE_TEST_SUITE_P(
    SimUnit, AfterUpdate,
    testing::Values(
        AfterUpdateRow{"a_version_in_the_program_id", "IRIG-B unit 2.4", false, false, 24},
        AfterUpdateRow{"the_last_of_two", "built 1.0 release 3.1", false, false, 31},
        AfterUpdateRow{"no_version_keeps_the_old", "IRIG-B unit", false, false, 23},
        AfterUpdateRow{"silent_after_the_update", "IRIG-B unit 2.4", true, false, -1},
        AfterUpdateRow{"cut_short_stays_in_the_boot_loader", "IRIG-B unit 2.4", false, true, -1}),
    [](const testing::TestParamInfo<AfterUpdateRow>& row) { return row.param.name; });

TEST_F(SimUnit, UnitWithoutFlashModeIgnoresItsRequest) {
    Options options;
    options.refuseFlashMode = true;
    Make(options);
    EXPECT_TRUE(EnterFlashMode().empty());
    EXPECT_EQ(Send(B({0x80, 0xE0, 0x01, 0x80, 0xE1})).size(), 1u) << "it keeps its clock";
}

TEST_F(SimUnit, SilentUnitAnswersNothing) {
    Options options;
    options.silent = true;
    Make(options);
    EXPECT_TRUE(Send(B({0x80, 0xE0, 0x01, 0x80, 0xE1})).empty());
    EXPECT_TRUE(EnterFlashMode().empty());
    EXPECT_TRUE(Send(B({0x80, 0xF0})).empty());
    EXPECT_FALSE(unit->RebootDue().has_value());
}

}  // namespace
}  // namespace sim
