// The DP segment without a board: frame arithmetic, configurations, the slave state
// machine, and the master's parameterisation and data exchange on the virtual clock.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/profibus/dp_master.h"
#include "sim/profibus/dp_timing.h"
#include "tests/sim/profibus/dp_bus.h"

namespace romtide::sim {
namespace {

using test::DpBus;

constexpr int kBaud12M = 9;
constexpr int kBaud1M5 = 6;
constexpr int kBaud93k75 = 2;
constexpr int kPpo1Bytes = 12;

TEST(DpTiming, BaudRateCodesAndTheUnsupportedOnes) {
    const int64_t rates[] = {9600,    19200,   93750,   187500,   500000, 0,
                             1500000, 3000000, 6000000, 12000000, 0};
    for (int code = 0; code <= 10; ++code) {
        EXPECT_EQ(dpBaudRate(code), rates[code]) << code;
    }
    EXPECT_EQ(dpBaudRate(-1), 0);
    EXPECT_EQ(dpCycleUs(5, kPpo1Bytes, kPpo1Bytes), 0.0);
}

TEST(DpTiming, OnePpo1CycleAtTheToolsTiming) {
    // 2 x (9 + 12) characters of 11 bits, the station delay and the idle time.
    EXPECT_EQ(dpRequestBits(kPpo1Bytes), 231);
    EXPECT_EQ(dpCycleBits(dpToolTiming(kBaud12M), kPpo1Bytes, kPpo1Bytes), 231 + 11 + 231 + 58);
    EXPECT_EQ(dpCycleBits(dpToolTiming(kBaud1M5), kPpo1Bytes, kPpo1Bytes), 231 + 22 + 231 + 88);
    EXPECT_NEAR(dpCycleUs(kBaud12M, kPpo1Bytes, kPpo1Bytes), 44.25, 0.01);
    EXPECT_NEAR(dpCycleUs(kBaud1M5, kPpo1Bytes, kPpo1Bytes), 381.33, 0.01);
    EXPECT_NEAR(dpCycleUs(kBaud93k75, kPpo1Bytes, kPpo1Bytes), 6101.33, 0.01);
    // Empty frames: a request without data is SD1, an answer without data the short
    // acknowledge; a slave that asks for a longer station delay gets it.
    EXPECT_EQ(dpRequestBits(0), 66);
    EXPECT_EQ(dpResponseBits(0), 11);
    EXPECT_EQ(dpStationDelayBits(dpToolTiming(kBaud12M), 40), 40);
    EXPECT_EQ(dpTimeoutBits(dpToolTiming(kBaud12M), 2), 2 * (121 + 1000));
    EXPECT_EQ(dpBitsToUs(531, 12000000), 45);  // rounded up
}

TEST(DpConfiguration, GeneralAndSpecialIdentifiersGiveTheByteCounts) {
    struct Case {
        std::vector<uint8_t> cfg;
        std::optional<std::pair<int, int>> io;  // inputs, outputs
    } cases[] = {
        {{0xF3, 0xF1}, std::pair{12, 12}},
        {{0xF3, 0xF5}, std::pair{20, 20}},
        {{0x10, 0x2F}, std::pair{1, 16}},                // 1 byte in, 16 bytes out
        {{0xC0, 0x41, 0x07}, std::pair{8, 4}},           // special: output 2 words, input 8 bytes
        {{0x42, 0x01, 0xAA, 0xBB}, std::pair{2, 0}},     // special: input, manufacturer bytes
        {{0x00}, std::pair{0, 0}},                       // an empty slot
        {{0xC0, 0x41}, std::nullopt},                    // the input length byte is missing
        {{0x43, 0x01, 0xAA}, std::nullopt},              // manufacturer bytes cut short
        {std::vector<uint8_t>(17, 0x7F), std::nullopt},  // 17 x 16 words is too much
    };
    for (const Case& c : cases) {
        auto io = dpConfigLength(c.cfg);
        ASSERT_EQ(io.has_value(), c.io.has_value());
        if (io) {
            EXPECT_EQ(io->inputs, c.io->first);
            EXPECT_EQ(io->outputs, c.io->second);
        }
    }
}

TEST(DpSlaveStateMachine, IdentAndConfigurationDecideOnDataExchange) {
    const std::vector<uint8_t> ppo1{0xF3, 0xF1};
    DpSlaveState s(0x0793, ppo1);
    EXPECT_EQ(s.diagnosis(), (DpDiagnosis{0x02, 0x05, 0, 0xFF, 0x07, 0x93}));
    s.checkConfiguration(ppo1);  // without parameters a configuration means nothing
    EXPECT_FALSE(s.inDataExchange());

    s.setParameters(1, {0, 0, 0, 11, 0x07, 0x94, 0});
    EXPECT_EQ(s.diagnosis(), (DpDiagnosis{0x42, 0x05, 0, 0xFF, 0x07, 0x93}));  // Prm_Fault
    s.checkConfiguration(ppo1);
    EXPECT_FALSE(s.inDataExchange());

    s.setParameters(1, {0, 0, 0, 11, 0x07, 0x93, 0});
    s.checkConfiguration({0xF3, 0xF5});
    EXPECT_FALSE(s.inDataExchange());
    EXPECT_EQ(s.diagnosis()[0], 0x06);  // Cfg_Fault, not ready

    s.setParameters(1, {0, 0, 0, 11, 0x07, 0x93, 0});
    s.checkConfiguration(ppo1);
    EXPECT_TRUE(s.inDataExchange());
    EXPECT_EQ(s.minTsdr(), 11);
    EXPECT_EQ(s.diagnosis(), (DpDiagnosis{0x00, 0x04, 0, 0x01, 0x07, 0x93}));
}

TEST(DpMasterBus, ParameterisesOnlyTheSlavesThatAcceptTheirSets) {
    DpBus bus;
    bus.add({.address = 3});
    bus.add({.address = 4, .ppo = 2});
    bus.add({.address = 6, .ident = 0x1234});
    bus.segment.addMaster(2);
    bus.up(kBaud12M);
    bus.parameterise(3);
    bus.parameterise(4);  // PPO1 for a PPO2 application: configuration refused
    bus.parameterise(6);  // the tool's ident, not the slave's
    bus.parameterise(9);  // nobody there
    bus.parameterise(2);  // a master is no slave
    bus.clock.sleepMs(5);
    EXPECT_TRUE(bus.master.inDataExchange(3));
    for (int a : {4, 6, 9, 2}) {
        EXPECT_FALSE(bus.master.inDataExchange(a)) << a;
        EXPECT_TRUE(bus.image.diagnostic[a / 8] & (1 << (a % 8))) << a;
    }
    EXPECT_TRUE(bus.image.inTransferList(3));
    EXPECT_FALSE(bus.image.inTransferList(4));
    EXPECT_EQ(bus.segment.encoder(4)->diagnosis()[0], 0x06);
    EXPECT_EQ(bus.segment.encoder(6)->diagnosis()[0], 0x42);

    // The right type for station 4: parameterised anew, in data exchange.
    bus.parameterise(4, true);
    bus.clock.sleepMs(1);
    EXPECT_TRUE(bus.master.inDataExchange(4));
    // An empty set removes the station.
    bus.master.setSlaveParameters(3, std::nullopt);
    EXPECT_FALSE(bus.image.inTransferList(3));
    EXPECT_EQ((*bus.master.liveList()).size(), 5u);  // 1 and 2 masters, 3, 4, 6
}

TEST(DpMasterBus, ExchangesFollowTheCycleTimeAtEachRate) {
    for (int code : {kBaud12M, kBaud93k75}) {
        DpBus bus;
        bus.add({.address = 3});
        bus.up(code);
        bus.parameterise(3);
        bus.clock.sleepMs(200);
        const uint64_t before = bus.master.exchanges();
        const int64_t windowUs = 2000000;
        bus.clock.sleepUs(windowUs);
        const double expected = windowUs / dpCycleUs(code, kPpo1Bytes, kPpo1Bytes);
        EXPECT_LE(std::abs(static_cast<double>(bus.master.exchanges() - before) - expected), 1.0)
            << "code " << code;
    }
}

TEST(DpMasterBus, ARequestIsAnsweredInTheSecondOrThirdCycle) {
    for (int code : {kBaud12M, kBaud93k75}) {
        DpBus bus;
        bus.add({.address = 3});
        bus.up(code);
        bus.parameterise(3);
        bus.clock.sleepMs(50);
        const double cycle = dpCycleUs(code, kPpo1Bytes, kPpo1Bytes);
        for (int64_t phase : {0, 7, 23}) {
            bus.clock.sleepUs(phase);
            bus.write(3, {0, 0, 0, 0});
            bus.clock.sleepUs(static_cast<int64_t>(4 * cycle));
            const int64_t t0 = bus.clock.nowUs();
            bus.write(3, {0x139A, 0, 0, 0});
            ASSERT_TRUE(bus.waitFor(3, 0x139A, 0, static_cast<int64_t>(5 * cycle), 1));
            const double took = static_cast<double>(bus.clock.nowUs() - t0);
            EXPECT_GE(took, 2 * cycle - 1) << "code " << code;
            EXPECT_LE(took, 3 * cycle + 2) << "code " << code;
        }
    }
}

TEST(DpMasterBus, NothingIsScheduledWhileNoSlaveExchangesData) {
    DpBus bus;
    bus.add({.address = 3});
    bus.up(kBaud12M);
    EXPECT_EQ(bus.clock.pendingEvents(), 0u);
    bus.parameterise(3);
    bus.clock.sleepMs(1);
    EXPECT_GT(bus.clock.pendingEvents(), 0u);
    bus.master.setMode(DpMode::Stop);
    EXPECT_FALSE(bus.image.inTransferList(3));
    bus.clock.sleepMs(1);  // the exchange on the wire ends
    EXPECT_EQ(bus.clock.pendingEvents(), 0u);
    // Leaving STOP parameterises the station anew.
    bus.master.setMode(DpMode::Clear);
    bus.clock.sleepMs(1);
    EXPECT_TRUE(bus.master.inDataExchange(3));
}

TEST(DpMasterBus, ClearSendsZerosAndOperateTheProcessImage) {
    DpBus bus;
    bus.add({.address = 3});
    bus.up(kBaud12M);
    bus.parameterise(3);
    bus.master.setMode(DpMode::Clear);
    bus.write(3, {0x139A, 0, 0, 0});
    bus.clock.sleepMs(5);
    EXPECT_EQ(bus.read(3), (std::vector<uint16_t>{0, 0, 0, 0}));
    bus.master.setMode(DpMode::Operate);
    EXPECT_TRUE(bus.waitFor(3, 0x139A, 0, 1000));
}

TEST(DpMasterBus, OutputsCaughtHalfWrittenAreNotSentTheStationKeepsItsPreviousOnes) {
    DpBus bus;
    bus.add({.address = 3});
    bus.up(kBaud12M);
    bus.parameterise(3);
    bus.write(3, {0x139A, 0, 0, 0});
    ASSERT_TRUE(bus.waitFor(3, 0x139A, 0, 1000));
    // The host is in the middle of writing the next request: whatever the area holds is
    // not a telegram, and the station must not take it for one.
    bus.image.writing = true;
    bus.write(3, {0, 0, 0, 0});
    bus.clock.sleepMs(5);
    EXPECT_EQ(bus.read(3, 2), (std::vector<uint16_t>{0x139A, 0}));
    bus.image.writing = false;
    EXPECT_TRUE(bus.waitFor(3, 0, 0, 1000));
}

TEST(DpMasterBus, ARestartedSlaveIsParameterisedAgainWhenItComesBack) {
    DpBus bus;
    SimEncoder& enc = bus.add({.address = 3});
    bus.up(kBaud12M);
    bus.parameterise(3);
    bus.clock.sleepMs(1);
    bus.write(3, {0x3398, 0, 0x0052, 0x5354});
    bus.clock.sleepUs(200);
    EXPECT_EQ(enc.mode(), EncoderMode::Restarting);
    auto live = *bus.master.liveList();
    EXPECT_EQ(live, (std::vector<DpLiveEntry>{{1, DpStationType::Master}}));
    // The master's next request goes unanswered; then there is nothing to poll.
    bus.clock.sleepMs(1);
    EXPECT_FALSE(bus.master.inDataExchange(3));
    EXPECT_EQ(bus.clock.pendingEvents(), 1u);  // the encoder's own restart
    bus.clock.sleepMs(100);
    EXPECT_EQ(enc.mode(), EncoderMode::Bootloader);
    EXPECT_TRUE(bus.master.inDataExchange(3));  // the kept PPO1 set fits the bootloader
    bus.write(3, {0x63C4, 0x0900, 0, 0});
    ASSERT_TRUE(bus.waitFor(3, 0x43C4, 0x0900, 1000));
    EXPECT_EQ(bus.read(3)[2], 0x0400);
}

TEST(DpMasterBus, DiagnosisCrossesTheBusAndNewBusParametersAnswerItAsAbsent) {
    DpBus bus;
    bus.add({.address = 3});
    EXPECT_FALSE(bus.master.diagnose(3, [](const DpDiagnosis&) {}));  // offline
    ASSERT_TRUE(bus.master.loadBusParameters(1, dpToolTiming(kBaud93k75)));
    bus.clock.sleepUs(DpMaster::kOnlineDelayUs);
    std::vector<DpDiagnosis> got;
    auto keep = [&](const DpDiagnosis& d) { got.push_back(d); };
    ASSERT_TRUE(bus.master.diagnose(3, keep));
    ASSERT_TRUE(bus.master.diagnose(9, keep));
    bus.clock.sleepUs(4400);
    EXPECT_TRUE(got.empty());  // 28 characters and the delays: 418 bits, 4.46 ms
    bus.clock.sleepUs(100);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][4], 0x07);
    EXPECT_EQ(got[0][5], 0x93);
    // Station 9 does not answer: two slot times go by. New bus parameters meanwhile end
    // the wait at once.
    bus.clock.sleepUs(10000);
    EXPECT_EQ(got.size(), 1u);
    ASSERT_TRUE(bus.master.loadBusParameters(1, dpToolTiming(kBaud12M)));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1], (DpDiagnosis{0x01, 0, 0, 0xFF, 0, 0}));
    // Bus parameters are for STOP only.
    bus.master.setMode(DpMode::Clear);
    EXPECT_FALSE(bus.master.loadBusParameters(1, dpToolTiming(kBaud12M)));
    bus.master.setMode(DpMode::Stop);
    EXPECT_FALSE(bus.master.loadBusParameters(1, dpToolTiming(5)));
}

}  // namespace
}  // namespace romtide::sim
