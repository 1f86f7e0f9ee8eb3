// The board firmware's DP master with a simulated segment behind it, reached through
// the real library on the virtual clock: command blocks as the tool builds them, the
// reports, the status block and the process data.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/nubox/profibus_segment.h"
#include "support/temp_dir.h"
#include "tests/nuboxlink/rig.h"
#include "tests/sim/nubox/dp_blocks.h"
#include "tests/sim/profibus/dp_text.h"

namespace nubox_sim {
namespace {

using romtide::sim::DpSegmentConfig;
using romtide::sim::EncoderMode;
using romtide::sim::SimEncoderConfig;
using test::Block;

constexpr uint8_t kStop = 0x40, kClear = 0x80, kOperate = 0xC0;
constexpr int kBaud12M = 9;
constexpr int kBaud93k75 = 2;
constexpr uint16_t kDataArea = 6000;

struct SegmentRig : nuboxlink_test::Rig {
    explicit SegmentRig(const DpSegmentConfig& config = romtide::sim::defaultDpSegment())
        : board(addPci(0, 0, 0x42)) {
        segment = std::make_unique<ProfibusSegment>(board, platform.virtualClock(), config);
        channel(0, 0, NUBOX_CHANNEL_DPEM, kDataArea);
        EXPECT_EQ(init(1), 0);
    }
    void sleepMs(int64_t ms) { platform.virtualClock().sleepMs(ms); }
    void sleepUs(int64_t us) { platform.virtualClock().sleepUs(us); }
    // The next report, or an empty block when none comes within `limitMs`.
    Block report(int64_t limitMs = 2000) {
        Block r(256);
        for (int64_t t = 0; t <= limitMs; ++t) {
            if (lib->dpemGetReport(0, 0, r.data()) == 0) {
                return r;
            }
            sleepMs(1);
        }
        return {};
    }
    Block confirm(const Block& block) {
        EXPECT_EQ(lib->dpemWriteCommand(0, 0, block.data()), 0);
        Block r = report();
        EXPECT_EQ(r.size(), 256u) << "no confirmation of " << std::hex << int(block[0]);
        return r;
    }
    void busUp(int baudCode) {
        confirm(test::setModeBlock(kStop));
        EXPECT_EQ(confirm(test::busParameterBlock(baudCode))[1], kConfirmOk);
        sleepMs(25);
    }
    void parameterise(uint8_t station, bool ppo2) {
        confirm(test::emptySlaveParameterBlock(station));
        EXPECT_EQ(confirm(test::slaveParameterBlock(station, ppo2))[1], kConfirmOk);
    }
    void operate() {
        confirm(test::setModeBlock(kClear));
        confirm(test::setModeBlock(kOperate));
    }
    void write(uint8_t station, std::vector<uint16_t> words, bool ppo2 = false) {
        std::vector<uint8_t> bytes(20);
        for (size_t i = 0; i < words.size(); ++i) {
            bytes[2 * i] = static_cast<uint8_t>(words[i] >> 8);
            bytes[2 * i + 1] = static_cast<uint8_t>(words[i]);
        }
        EXPECT_EQ(lib->dpemWriteOutputData(0, 0, bytes.data(), test::outputOffsetOf(station),
                                           ppo2 ? 20 : 12, station),
                  0);
    }
    std::vector<uint16_t> read(uint8_t station, bool ppo2 = false) {
        std::vector<uint8_t> bytes(20);
        EXPECT_EQ(lib->dpemReadInputData(0, 0, bytes.data(), test::inputOffsetOf(station),
                                         ppo2 ? 20 : 12, station),
                  0);
        std::vector<uint16_t> words(ppo2 ? 10 : 6);
        for (size_t i = 0; i < words.size(); ++i) {
            words[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
        }
        return words;
    }
    // Polls the input every 100 us until words 0 and 1 are these.
    bool await(uint8_t station, uint16_t w0, uint16_t w1, int64_t limitMs = 200) {
        for (int64_t t = 0; t <= limitMs * 10; ++t) {
            auto in = read(station);
            if (in[0] == w0 && in[1] == w1) {
                return true;
            }
            sleepUs(100);
        }
        return false;
    }
    bool inTransferList(uint8_t station) {
        uint8_t list[16] = {};
        EXPECT_EQ(lib->dpemReadDataTransferList(0, 0, list), 0);
        return list[station / 8] & (1 << (station % 8));
    }
    uint8_t online() {
        uint8_t on = 0xFF;
        EXPECT_EQ(lib->dpemStationOnline(0, 0, &on), 0);
        return on;
    }

    SimBoard& board;
    std::unique_ptr<ProfibusSegment> segment;
};

TEST(DpSegmentBoard, TheMasterJoinsTheRingAfterItsBusParametersAndListsEveryStation) {
    SegmentRig rig;
    Block list = rig.confirm(test::liveListBlock());
    EXPECT_EQ(list[0], 0xF5);
    EXPECT_EQ(list[1], 1);  // not in the token ring
    Block mode = rig.confirm(test::setModeBlock(kClear));
    EXPECT_EQ(mode[0], 0xE7);
    EXPECT_EQ(mode[1], kConfirmOk);
    EXPECT_EQ(mode[3], kClear);
    rig.confirm(test::setModeBlock(kStop));
    EXPECT_EQ(rig.confirm(test::busParameterBlock(kBaud12M))[0], 0xE4);
    EXPECT_EQ(rig.online(), 0);
    rig.sleepMs(25);
    EXPECT_EQ(rig.online(), 1);
    list = rig.confirm(test::liveListBlock());
    const std::vector<uint8_t> entries(list.begin() + 2, list.begin() + 12);
    EXPECT_EQ(list[1], 11);
    EXPECT_EQ(entries, (std::vector<uint8_t>{1, 0x30, 2, 0x30, 3, 0x00, 4, 0x00, 5, 0x00}));
    EXPECT_EQ(list[12], 0);
}

TEST(DpSegmentBoard, BlocksTheMasterCannotTakeAreConfirmedWithAStatus) {
    SegmentRig rig;
    struct Case {
        Block block;
        uint8_t status;
    };
    Block farOffset = test::slaveParameterBlock(126, true);
    test::put16(farOffset, 39, 5990);  // 20 input bytes from 5990 leave the data area
    Block shortSet = test::slaveParameterBlock(3, false);
    test::put16(shortSet, 8, 36);  // the parts add up to 37
    Block inClear = test::busParameterBlock(kBaud12M);
    std::vector<Case> cases = {
        {test::setModeBlock(0x00), kConfirmRefused},
        {test::busParameterBlock(5), kConfirmRefused},
        {test::slaveParameterBlock(127, false), kConfirmRefused},
        {test::slaveParameterBlock(1, false), kConfirmRefused},  // the master's own address
        {farOffset, kConfirmRefused},
        {shortSet, kConfirmRefused},
        {test::slaveParameterBlock(126, true), kConfirmOk},  // offsets 5000 and 5020
        {test::emptySlaveParameterBlock(126), kConfirmOk},
        {test::header(0x22, 0, 0), kConfirmUnsupported},
        {test::diagnosisBlock(3), kConfirmOffline},
        {test::setModeBlock(kClear), kConfirmOk},
        {inClear, kConfirmWrongState},
    };
    for (const Case& c : cases) {
        Block r = rig.confirm(c.block);
        ASSERT_EQ(r.size(), 256u);
        EXPECT_EQ(r[0], static_cast<uint8_t>(c.block[0] + 0xC0));
        EXPECT_EQ(r[1], c.status) << std::hex << int(c.block[0]) << " " << int(c.block[3]);
    }
}

TEST(DpSegmentBoard, DiagnosisCarriesTheIdentAfterABusRoundTrip) {
    SegmentRig rig;
    rig.busUp(kBaud93k75);
    ASSERT_EQ(rig.lib->dpemWriteCommand(0, 0, test::diagnosisBlock(3).data()), 0);
    EXPECT_TRUE(rig.report(3).empty());  // 418 bit times at 93.75 kbit/s: 4.5 ms
    Block d = rig.report(10);
    ASSERT_EQ(d.size(), 256u);
    EXPECT_EQ(d[0], 0xE1);
    EXPECT_EQ(d[3], 3);
    EXPECT_EQ(d[6] << 8 | d[7], 6);
    EXPECT_EQ(d[8], 0x02);  // not ready: not parameterised yet
    EXPECT_EQ(d[9], 0x05);
    EXPECT_EQ(d[12] << 8 | d[13], 0x0793);
    for (uint8_t absent : {9, 2}) {  // nobody, and a master that is no slave
        d = rig.confirm(test::diagnosisBlock(absent));
        EXPECT_EQ(d[3], absent);
        EXPECT_NE(d[8], 0);
        EXPECT_EQ(d[12] << 8 | d[13], 0);
    }
}

TEST(DpSegmentBoard, ParameterSetsDecideTheTransferListAndTheCycle) {
    DpSegmentConfig config = romtide::sim::defaultDpSegment();
    config.encoders.push_back(SimEncoderConfig{.address = 6, .ident = 0x0794});
    SegmentRig rig(config);
    rig.busUp(kBaud93k75);
    rig.parameterise(3, false);
    rig.parameterise(4, true);
    rig.parameterise(6, false);  // wrong ident
    rig.parameterise(5, true);   // a bootloader speaks PPO1
    rig.operate();
    rig.sleepMs(100);
    EXPECT_TRUE(rig.inTransferList(3));
    EXPECT_TRUE(rig.inTransferList(4));
    EXPECT_FALSE(rig.inTransferList(5));
    EXPECT_FALSE(rig.inTransferList(6));
    uint8_t diag[16] = {};
    ASSERT_EQ(rig.lib->dpemReadSystemDiagnostic(0, 0, diag), 0);
    EXPECT_EQ(diag[0], (1 << 5) | (1 << 6));
    EXPECT_EQ(rig.confirm(test::diagnosisBlock(6))[8], 0x42);  // Prm_Fault
    EXPECT_EQ(rig.confirm(test::diagnosisBlock(5))[8], 0x06);  // Cfg_Fault

    // Two slaves in the cycle, 12 and 20 bytes each way.
    const uint64_t before = rig.segment->master().exchanges();
    rig.sleepMs(1000);
    const double pair =
        romtide::sim::dpCycleUs(kBaud93k75, 12, 12) + romtide::sim::dpCycleUs(kBaud93k75, 20, 20);
    EXPECT_NEAR(static_cast<double>(rig.segment->master().exchanges() - before), 2 * 1e6 / pair,
                2.0);

    rig.confirm(test::emptySlaveParameterBlock(4));
    EXPECT_FALSE(rig.inTransferList(4));
    EXPECT_TRUE(rig.inTransferList(3));
}

TEST(DpSegmentBoard, ParameterChannelThroughTheProcessImage) {
    SegmentRig rig;
    rig.busUp(kBaud12M);
    rig.parameterise(3, false);
    rig.parameterise(4, true);
    rig.operate();
    rig.write(3, {0x139A, 0, 0, 0});
    rig.write(4, {0x139A, 0, 0, 0}, true);
    ASSERT_TRUE(rig.await(3, 0x139A, 0));
    EXPECT_EQ(rig.read(3), (std::vector<uint16_t>{0x139A, 0, 0, 1, 0, 0}));
    EXPECT_EQ(rig.read(4, true)[3], 2);
    rig.write(3, {0x63C4, 0x0900, 0, 0});
    ASSERT_TRUE(rig.await(3, 0x43C4, 0x0900));
    EXPECT_EQ(rig.read(3)[3], 0x3104);  // the default application version 3.1.4
}

// The library's output write counter of channel 0 in the board's memory, found behind
// the data area from where a distinctive request of station 3 landed.
uint8_t* outputWriteCounter(SegmentRig& rig) {
    rig.write(3, {0xA5C3, 0x5AC3, 0x1234, 0x4321});
    const uint8_t pattern[] = {0xA5, 0xC3, 0x5A, 0xC3, 0x12, 0x34, 0x43, 0x21};
    uint8_t* dpr = rig.board.dpr();
    uint8_t* end = dpr + rig.board.dprSize() - sizeof pattern;
    for (uint8_t* p = dpr; p < end; ++p) {
        if (std::memcmp(p, pattern, sizeof pattern) == 0) {
            uint8_t* counter = p - test::outputOffsetOf(3) + kDataArea + 36;
            EXPECT_EQ(*counter, rig.board.outputCounter(0));
            return counter;
        }
    }
    ADD_FAILURE() << "the request is not in the board's memory";
    return nullptr;
}

TEST(DpSegmentBoard, OutputsTheLibraryIsWritingGoOutOnlyWhenItIsDoneOrDiedWritingThem) {
    SegmentRig rig;
    rig.busUp(kBaud12M);
    rig.parameterise(3, false);
    rig.operate();
    uint8_t* counter = outputWriteCounter(rig);
    ASSERT_NE(counter, nullptr);
    rig.write(3, {0x139A, 0, 0, 0});
    ASSERT_TRUE(rig.await(3, 0x139A, 0));
    // A library caught in the middle of writing the next request (a process that is not
    // running at the moment): its counter odd, the first word written, the rest not.
    ++*counter;
    uint8_t* request = counter - 36 - kDataArea + test::outputOffsetOf(3);
    request[0] = 0x63;
    request[1] = 0xC4;
    rig.sleepMs(20);
    EXPECT_EQ(rig.read(3)[0], 0x139A) << "half a request went out";
    // One that never finishes its write has died in it: after 100 ms what it left goes.
    request[2] = 0x09;
    rig.sleepMs(100);
    EXPECT_TRUE(rig.await(3, 0x43C4, 0x0900));
}

TEST(DpSegmentBoard, AStationIsUpdatedThroughItsBootloaderAsTheImageSays) {
    romtide::test::TempDir dir;
    const std::string image = romtide::test::srecCat(
        "-generate 0x2000 0x2300 -repeat-string 'Romtide DP segment' -address-length=3",
        dir.file("image.mhx"));
    SegmentRig rig;
    rig.busUp(kBaud12M);
    rig.parameterise(3, false);
    rig.operate();
    rig.write(3, {0x3398, 0, 0x0052, 0x5354});
    rig.sleepMs(1);
    EXPECT_FALSE(rig.inTransferList(3));
    rig.write(3, {0, 0, 0, 0});
    rig.sleepMs(110);
    ASSERT_EQ(rig.segment->encoder(3)->mode(), EncoderMode::Bootloader);
    ASSERT_TRUE(rig.inTransferList(3));  // parameterised again with the kept set

    rig.write(3, {0x87D0, 3, 0xAA55, 0});
    ASSERT_TRUE(rig.await(3, 0x67D0, 3, 1000));
    std::stringstream text;
    text << std::ifstream(image).rdbuf();
    uint16_t sequence = 9;
    for (const auto& chars : romtide::sim::test::dataTelegramWords(text.str())) {
        ++sequence;
        rig.write(3, {0x87D0, sequence, chars[0], chars[1]});
        ASSERT_TRUE(rig.await(3, 0x67D0, sequence)) << sequence;
    }
    EXPECT_EQ(rig.segment->encoder(3)->dataTelegrams(), sequence - 9u);
    rig.write(3, {0x87D0, 1, 0xAA55, 0});
    rig.sleepMs(110);
    EXPECT_EQ(rig.segment->encoder(3)->mode(), EncoderMode::Application);
    ASSERT_EQ(rig.segment->dumpStations(dir.file("dump")), "");
    const auto cmp = romtide::test::runProgram(std::string(ROMTIDE_SREC_CMP) + " " + image + " " +
                                               dir.file("dump/station-3.srec"));
    EXPECT_EQ(cmp.status, 0) << cmp.out;
    // Every station is dumped, programmed or not.
    EXPECT_TRUE(std::ifstream(dir.file("dump/station-5.srec")).good());
}

TEST(DpSegmentBoard, ABoardRestartResetsTheMasterButNotTheStations) {
    SegmentRig rig;
    rig.busUp(kBaud12M);
    rig.parameterise(3, false);
    rig.operate();
    rig.write(3, {0x3398, 0, 0x0052, 0x5354});
    rig.sleepMs(200);
    ASSERT_TRUE(rig.inTransferList(3));
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 0);
    EXPECT_EQ(rig.init(1), 0);
    EXPECT_FALSE(rig.inTransferList(3));
    EXPECT_EQ(rig.online(), 0);
    EXPECT_EQ(rig.confirm(test::liveListBlock())[1], 1);
    EXPECT_EQ(rig.segment->master().mode(), romtide::sim::DpMode::Stop);
    EXPECT_EQ(rig.segment->encoder(3)->mode(), EncoderMode::Bootloader);
    // Up again: the master holds no parameter set any more.
    rig.busUp(kBaud12M);
    rig.operate();
    rig.sleepMs(10);
    EXPECT_FALSE(rig.inTransferList(3));
}

}  // namespace
}  // namespace nubox_sim
