// PCMCIA cards: channel 0 only, the plug-and-play driver's socket search, removal while
// open, and the fixed-name card of the earlier driver platform.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/nuboxlink/rig.h"

namespace nuboxlink_test {
namespace {

using namespace std::chrono_literals;

SimBoard& addCard(Rig& rig, unsigned slot, unsigned socket) {
    BoardSetup setup;
    setup.kind = BoardKind::Card;
    setup.index = slot;
    setup.id = static_cast<uint16_t>(socket);
    return rig.platform.addBoard(setup);
}

void configureCard(Rig& rig, unsigned device, uint32_t slotValue) {
    rig.platform.setDevice(device, RegValues{{"PCMCIA-Slot", RegValue::ofDword(slotValue)}});
    rig.channel(device, 0, NUBOX_CHANNEL_DPEM, 1000);
    rig.channel(device, 1, NUBOX_CHANNEL_DPEM, 1000);  // a card runs channel 0 only
}

TEST(PlugAndPlayCard, RunsChannelZeroOfTheCardInItsSocket) {
    Rig rig;
    addCard(rig, 0, 2);
    SimBoard& card = addCard(rig, 1, 3);
    configureCard(rig, 0, 0x13);  // the low four bits are the socket
    ASSERT_EQ(rig.init(1), 0);
    EXPECT_TRUE(card.eventsRegistered());
    EXPECT_NE(rig.lib->board(0)->channel(0), nullptr);
    EXPECT_EQ(rig.lib->board(0)->channel(1), nullptr);
    std::vector<uint8_t> block(256, 0);
    block[0] = 0x21;
    ASSERT_EQ(rig.lib->dpemWriteCommand(0, 0, block.data()), 0);
    card.step();
    card.step();
    uint8_t report[256];
    ASSERT_EQ(rig.lib->dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[0], 0xE1);
    DeviceInfo info{};
    ASSERT_EQ(rig.lib->getDeviceInfo(0, &info), 0);
    EXPECT_EQ(info.kind, NUBOX_KIND_PCMCIA);
    EXPECT_EQ(uint32_t{info.boardId}, 0u);
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 0);
    EXPECT_FALSE(card.eventsRegistered());
}

TEST(PlugAndPlayCard, MissingSocketIsNineAndASocketTwiceIsTen) {
    Rig rig;
    addCard(rig, 0, 2);
    configureCard(rig, 0, 2);
    configureCard(rig, 1, 2);
    configureCard(rig, 2, 5);
    EXPECT_EQ(rig.init(0b111), 3);
    EXPECT_EQ(rig.status[0], 0);
    EXPECT_EQ(rig.status[1], 10);
    EXPECT_EQ(rig.status[2], 9);
}

TEST(PlugAndPlayCard, APulledCardIsNoLongerOpen) {
    Rig rig;
    SimBoard& card = addCard(rig, 0, 1);
    configureCard(rig, 0, 1);
    ASSERT_EQ(rig.init(1), 0);
    card.removeCard();
    uint8_t out = 0;
    auto end = std::chrono::steady_clock::now() + 3s;
    while (rig.lib->dpemStationOnline(0, 0, &out) != 3 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(rig.lib->dpemStationOnline(0, 0, &out), 3);
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 0);
}

void ignoreReport(uint8_t, uint8_t, uint32_t) {}

TEST(PlugAndPlayCard, ClosingWithARunningWatchStopsItFirst) {
    Rig rig(/*virtualTime=*/false);
    addCard(rig, 0, 1);
    configureCard(rig, 0, 1);
    rig.platform.startFirmwareThread();
    ASSERT_EQ(rig.init(1), 0);
    ASSERT_EQ(rig.lib->watchMailbox(0, 0, ignoreReport, 0, 1), 0);
    rig.lib->board(0)->Close();
    EXPECT_EQ(rig.lib->stopWatchThread(0, 0), 5);  // already stopped
}

TEST(FixedNameCard, TheEarlierPlatformReachesEveryCardThroughOneName) {
    Rig rig;
    rig.platform.setGeneration(nuboxlink::Generation::DriverEarly);
    SimBoard& card = addCard(rig, 0, 7);
    configureCard(rig, 5, 7);
    ASSERT_EQ(rig.init(1 << 5), 0);
    EXPECT_FALSE(card.eventsRegistered());  // no plug-and-play events here
    uint8_t out;
    EXPECT_EQ(rig.lib->dpemStationOnline(5, 0, &out), 0);
    EXPECT_EQ(rig.lib->board(5)->Open(), 10);  // already open
}

}  // namespace
}  // namespace nuboxlink_test
