// TCANComm against the simulated bus on the virtual clock: board selection through the
// run-time module, the receive slots, and frames reaching the handler on the
// user-interface thread.
#include "can/tcancomm.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/can_sim.h"
#include "vci/virtual_bus.h"

namespace romtide {
namespace {

using test::CanSim;
using test::Peer;

std::string variantModule(const char* name) {
    return std::string(ROMTIDE_BIN_DIR) + "/libxat-" + name + ".so";
}

class TCANCommTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(comm.SelectBoard(), 1);
        ASSERT_TRUE(TCANComm::IsBoardReady());
        TCANComm::SetBaudIndex(2);
        ASSERT_GT(comm.InitCan(0, 0x585), 0);
    }
    CanSim sim;
    TCANComm comm{sim.ts.services};
    Peer peer{sim.bus, 50000};
};

TEST(TCANCommBaud, OutOfRangeIndexesFallBackTo50kBit) {
    TCANComm::resetSharedState();
    for (int i = 0; i <= 8; ++i) {
        TCANComm::SetBaudIndex(i);
        EXPECT_EQ(TCANComm::GetBaudIndex(), i);
    }
    for (int bad : {9, -1, 100}) {
        TCANComm::SetBaudIndex(5);
        TCANComm::SetBaudIndex(bad);
        EXPECT_EQ(TCANComm::GetBaudIndex(), 2) << bad;
    }
}

TEST_F(TCANCommTest, AReplyShowsInSlotZeroOnceAndShortRepliesAreZeroFilled) {
    uint8_t req[8] = {0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0};
    EXPECT_EQ(comm.Transmit(req, 0x605, 8), 1);
    sim.run(5);
    ASSERT_EQ(peer.heard.size(), 1u);
    EXPECT_EQ(peer.heard[0].id, 0x605u);
    EXPECT_EQ(peer.heard[0].data[0], 0x40);

    // Fill the slot with a long frame first, so a short reply must clear what was there.
    comm.rxSlots[0].fill(0xEE);
    peer.send(0x585, {0x43, 0x00, 0x30});
    sim.run(5);
    EXPECT_EQ(comm.Receive(), 1);
    uint8_t data[8];
    ASSERT_EQ(comm.GetRxData(0, data), 0);
    EXPECT_EQ(data[0], 0x43);
    EXPECT_EQ(data[2], 0x30);
    for (int i = 3; i < 8; ++i) {
        EXPECT_EQ(data[i], 0) << i;
    }
    comm.Receive();
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(comm.GetRxByte(0, i), 0) << i;
    }
    EXPECT_EQ(comm.GetRxData(2, data), -1);
}

TEST_F(TCANCommTest, RxBytesAreSignedAndBoundsGiveMinusOne) {
    peer.send(0x586, {0x43, 0x00, 0x30, 0x01, 'C', 0x80, 'D', 0xFF});
    sim.run(5);
    comm.Receive();
    EXPECT_EQ(comm.GetRxByte(1, 5), -128);
    EXPECT_EQ(comm.GetRxByte(1, 7), -1);  // byte 0xFF, the same value as the bound
    EXPECT_EQ(comm.GetRxByte(1, 4), 'C');
    EXPECT_EQ(comm.GetRxByte(0, 0), 0);  // slot 0 belongs to 0x585
    EXPECT_EQ(comm.GetRxByte(2, 0), -1);
    EXPECT_EQ(comm.GetRxByte(0, 9), -1);
    EXPECT_EQ(comm.GetRxByte(-1, 0), -1);
}

TEST_F(TCANCommTest, FramesReachTheHandlerOnTheUserInterfaceThreadInOrder) {
    std::vector<uint8_t> seen;
    std::vector<std::thread::id> threads;
    TCANComm::SetReceiveHandler([&](CanFrameRecord r) {
        seen.push_back(r.data[0]);
        threads.push_back(std::this_thread::get_id());
    });
    TCANComm::SetReceiveForward(true);
    for (uint8_t i = 1; i <= 3; ++i) {
        peer.send(0x123, {i});
    }
    sim.ts.clock.sleepMs(5);
    EXPECT_TRUE(seen.empty());  // nothing runs before the pump does
    sim.ts.pump.processPending();
    EXPECT_EQ(seen, (std::vector<uint8_t>{1, 2, 3}));
    for (auto id : threads) {
        EXPECT_EQ(id, std::this_thread::get_id());
    }
    EXPECT_EQ(TCANComm::lastRxFrame.data[0], 3);

    TCANComm::SetReceiveForward(false);
    peer.send(0x123, {9});
    sim.run(5);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(TCANComm::lastRxFrame.data[0], 9);
}

TEST_F(TCANCommTest, ThreeRecordsOfOneCallReachTheHandlerThreeTimesAndLengthsAreClamped) {
    std::vector<CanFrameRecord> seen;
    TCANComm::SetReceiveHandler([&](CanFrameRecord r) { seen.push_back(r); });
    TCANComm::SetReceiveForward(true);
    CanFrameRecord records[3] = {};
    for (int i = 0; i < 3; ++i) {
        records[i].id = 0x580u + static_cast<uint32_t>(i);
        records[i].length = static_cast<uint8_t>(13 + i);
        records[i].timeStamp = static_cast<uint32_t>(i);
    }
    TCANComm::OnVciReceive(1, 3, records);
    sim.ts.pump.processPending();
    ASSERT_EQ(seen.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(static_cast<uint32_t>(seen[i].id), 0x580u + static_cast<uint32_t>(i));
        EXPECT_EQ(seen[i].length & 0x0F, 8);
    }
}

TEST_F(TCANCommTest, AFloodThatTheWindowDoesNotDrainIsDroppedAndCounted) {
    std::vector<CanFrameRecord> flood(TCANComm::kMaxFramesInFlight + 200);
    TCANComm::OnVciReceive(1, static_cast<uint16_t>(flood.size()), flood.data());
    EXPECT_EQ(sim.ts.pump.pendingCount(), static_cast<size_t>(TCANComm::kMaxFramesInFlight));
    EXPECT_EQ(TCANComm::droppedFrames(), 200);
    sim.ts.pump.processPending();
    TCANComm::OnVciReceive(1, 1, flood.data());
    EXPECT_EQ(sim.ts.pump.pendingCount(), 1u);
}

TEST_F(TCANCommTest, ANodeAtAnotherBitRateIsNotHeard) {
    Peer fast(sim.bus, 1000000);
    fast.send(0x585, {0x43, 1, 2, 3});
    sim.run(5);
    comm.Receive();
    EXPECT_EQ(comm.GetRxByte(0, 0), 0);
    uint8_t req[8] = {};
    comm.Transmit(req, 0x605, 8);
    sim.run(5);
    EXPECT_TRUE(fast.heard.empty());
    EXPECT_EQ(peer.heard.size(), 1u);
}

TEST_F(TCANCommTest, DestroyingAnyObjectReleasesTheBoardForAll) {
    { TCANComm other(sim.ts.services); }
    EXPECT_FALSE(TCANComm::IsBoardReady());
    uint8_t req[8] = {};
    EXPECT_NE(comm.Transmit(req, 0x605, 8), 1);
}

TEST(TCANCommSelect, SelectionResultsDecideTheBoard) {
    CanSim sim;
    TCANComm comm(sim.ts.services);
    ASSERT_EQ(comm.SelectBoard(), 1);
    uint16_t first = TCANComm::boardHandle;

    // Abandoned by the user: the board prepared before stays.
    TCANComm::setRegistryModulePath(variantModule("abandon"));
    EXPECT_EQ(comm.SelectBoard(), 2);
    EXPECT_TRUE(TCANComm::IsBoardReady());
    EXPECT_EQ(TCANComm::boardHandle, first);

    // Nothing selected: the old board is released and none is ready.
    TCANComm::setRegistryModulePath({});
    ::setenv("ROMTIDE_CAN_INTERFACE", "", 1);
    EXPECT_EQ(comm.SelectBoard(), 0);
    EXPECT_FALSE(TCANComm::IsBoardReady());
    EXPECT_TRUE(sim.ts.messages.shown.empty());
}

TEST(TCANCommSelect, WithoutAChoiceTheFirstInterfaceFoundIsTaken) {
    CanSim sim;
    ::unsetenv("ROMTIDE_CAN_INTERFACE");
    TCANComm comm(sim.ts.services);
    EXPECT_EQ(comm.SelectBoard(), 1);
    EXPECT_TRUE(TCANComm::IsBoardReady());
}

TEST(TCANCommSelect, ModuleFailuresGiveTheirMessagesAndALaterSelectionLoadsAfresh) {
    CanSim sim;
    TCANComm comm(sim.ts.services);
    const std::string cannotLoad =
        "Cannot load XATXXReg.DLL\nPlease install a IXXAT CAN adapter first\nor read the help "
        "file.";
    const std::string cannotMap = "Cannot map functions in XATXXReg.DLL";
    struct Case {
        std::string module;
        std::string text;
    };
    for (const Case& c : {Case{variantModule("missing-on-purpose"), cannotLoad},
                          Case{variantModule("wrong-version"), cannotLoad},
                          Case{variantModule("incomplete"), cannotMap}}) {
        sim.ts.messages.shown.clear();
        TCANComm::setRegistryModulePath(c.module);
        EXPECT_EQ(comm.SelectBoard(), -1) << c.module;
        ASSERT_EQ(sim.ts.messages.shown.size(), 1u) << c.module;
        EXPECT_EQ(sim.ts.messages.shown[0].text, c.text);
        EXPECT_EQ(sim.ts.messages.shown[0].title, "Romtide");
        EXPECT_FALSE(TCANComm::IsBoardReady());
    }
    TCANComm::setRegistryModulePath({});
    EXPECT_EQ(comm.SelectBoard(), 1);
    EXPECT_TRUE(TCANComm::IsBoardReady());
}

}  // namespace
}  // namespace romtide
