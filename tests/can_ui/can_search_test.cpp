// The node search and its frame decoder: the grid texts, the time-stamp and lastNode
// rules, the row limit, and a search over the baud rates against simulated devices.
#include "can_ui/can_search.h"

#include <gtest/gtest.h>

#include "can_ui/can_texts.h"
#include "support/can_sim.h"

namespace romtide::canui {
namespace {

class DecoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Tbootloader::resetSharedState();
        CanNodeSearch::resetState();
        baud.setItems({baudListItems().begin(), baudListItems().end()});
        baud.setItemIndex(2);
    }
    void frame(uint32_t id, std::array<uint8_t, 8> d) {
        search.IdentifyFrame(++stamp, id, 8, d.data());
    }
    std::string cell(int c, int r) const { return grid.cell(c, r); }

    test::TestServices ts;
    Tbootloader session{ts.services};
    ui::PlainStringGrid grid{8, 2, 20};
    ui::PlainProgressBar gauge;
    ui::PlainComboBox baud;
    DeviceGrid view{grid};
    CanNodeSearch search{session, {gauge, baud, {}, &view}};
    uint32_t stamp = 100;
};

TEST(CanTexts, DeviceTypeTextsFollowTheProfileAndItsByteOrder) {
    struct Case {
        std::array<uint8_t, 4> d;
        const char* c1;
        const char* c2;
    };
    for (const Case& k : {
             Case{{0x96, 0x01, 0x02, 0x00},
                  " Encoder [406]",
                  "MultiTurn absolute rotary encoder [2]"},
             Case{{0x92, 0x01, 0x02, 0x00},
                  " Drive or Motion Control [402]",
                  "Servo Drive DC motor [512]"},
             Case{{0x92, 0x01, 0x00, 0x01},
                  " Drive or Motion Control [402]",
                  "Frequency Converter [1]"},
             Case{{0x96, 0x01, 0x00, 0x00}, " Encoder [406]", "not in list [0]"},
             Case{
                 {0x96, 0x01, 0x0A, 0x00}, " Encoder [406]", "Multi-Sensor encoder interface [10]"},
             Case{{0x91, 0x01, 0x05, 0x07}, " I/O Modul [401]", "0"},
             Case{{0x95, 0x01, 0x00, 0x00}, " Pogrammable Device [405]", "0"},
             Case{{0x0F, 0x27, 0x00, 0x00}, "0", "0"},  // profile 9999
         }) {
        auto [c1, c2] = deviceTypeTexts(k.d[0], k.d[1], k.d[2], k.d[3]);
        EXPECT_EQ(c1, k.c1);
        EXPECT_EQ(c2, k.c2);
    }
}

TEST(CanTexts, BootloaderVersionTextsNameKnownProductsOnly) {
    EXPECT_EQ(bootloaderVersionText(3, 'D', 0), "Bootloader V.3.497 Encoder");
    EXPECT_EQ(bootloaderVersionText(2, 'G', 'X'), "Bootloader V.2.387 Presto");
    EXPECT_EQ(bootloaderVersionText(1, 'U', 'E'), "UpdateLoader V.1.498 Inkra");
    EXPECT_EQ(bootloaderVersionText(1, 'U', 'G'), std::nullopt);
    EXPECT_EQ(bootloaderVersionText(0, 0, 0), std::nullopt);
    EXPECT_EQ(revisionText(2, 0, 1, 0), "01.02");
    EXPECT_EQ(revisionText(255, 10, 0, 12), "120.10255");
}

TEST(CanTexts, RunOutcomesGiveTheMemoSuffixes) {
    EXPECT_EQ(memoLine(5, connectOutcome(0).suffix), "Slave 5 - bootloader connect ok");
    EXPECT_EQ(connectOutcome(-8).next, ConnectNext::ConnectAgain);
    EXPECT_TRUE(connectOutcome(-8).askProduct);
    EXPECT_EQ(connectOutcome(-6).next, ConnectNext::Download);
    EXPECT_EQ(connectOutcome(-5).suffix, nullptr);
    EXPECT_EQ(memoLine(12, downloadOutcome(0).suffix), "Slave 12 - okay");
    EXPECT_TRUE(downloadOutcome(-8).stopRun);
    EXPECT_TRUE(downloadOutcome(-1).stopRun);
    EXPECT_FALSE(downloadOutcome(-9).stopRun);
    EXPECT_EQ(baudListItems()[8], "1000 kBit/s");
    EXPECT_EQ(baudDisplayTexts()[4], "125 kBit/s");
}

TEST_F(DecoderTest, DeviceTypeAndDetailsFillOneRowPerDevice) {
    frame(0x585, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0x02, 0x00});
    frame(0x585, {0x80, 0x00, 0x30, 0x01, 0, 0, 2, 6});  // the abort of the second request
    frame(0x586, {0x43, 0x00, 0x30, 0x01, 'C', 0x02, 'F', 0x00});
    ASSERT_EQ(grid.rowCount(), 3);
    EXPECT_EQ(cell(0, 1), "5");
    EXPECT_EQ(cell(1, 1), " Encoder [406]");
    EXPECT_EQ(cell(0, 2), "6");
    EXPECT_EQ(cell(1, 2), "Bootloader V.2.387 Quadra");
    EXPECT_EQ(cell(2, 2), "Korvane Electric AG");

    frame(0x585, {0x43, 0x08, 0x10, 0x00, 'E', 'N', 'C', '1'});  // exactly four characters
    frame(0x585, {0x43, 0x09, 0x10, 0x00, 'H', '2', 0, 'X'});    // ends at the first zero
    frame(0x585, {0x41, 0x0A, 0x10, 0x00, 9, 0, 0, 0});          // segmented: left empty
    frame(0x585, {0x43, 0x18, 0x10, 0x03, 2, 0, 1, 0});
    EXPECT_EQ(cell(3, 1), "ENC1");
    EXPECT_EQ(cell(5, 1), "H2");
    EXPECT_EQ(cell(6, 1), "");
    EXPECT_EQ(cell(4, 1), "01.02");
    EXPECT_EQ(cell(3, 2), "");
}

TEST_F(DecoderTest, TheTimeStampAndLastNodeRulesDropFrames) {
    frame(0x585, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0x02, 0x00});
    // Same time stamp as the frame before: ignored, even from another node.
    std::array<uint8_t, 8> other{0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0x02, 0x00};
    search.IdentifyFrame(stamp, 0x587, 8, other.data());
    EXPECT_EQ(grid.rowCount(), 2);
    // The bootloader answer right after the device type of the same node adds no row.
    frame(0x585, {0x43, 0x00, 0x30, 0x01, 'C', 3, 'D', 0});
    EXPECT_EQ(grid.rowCount(), 2);
    EXPECT_EQ(CanNodeSearch::lastNode, 5);
    // Node 0 and identifiers above 0x5FF never make rows.
    frame(0x580, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0, 0});
    frame(0x600, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0, 0});
    EXPECT_EQ(grid.rowCount(), 2);
}

TEST_F(DecoderTest, DetailsOfANodeWithoutRowGoWhereSearchRowPoints) {
    frame(0x590, {0x43, 0x08, 0x10, 0x00, 'L', 'O', 'S', 'T'});
    EXPECT_EQ(cell(3, 0), "");  // searchRow 0: the header is never written
    frame(0x585, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0, 0});
    frame(0x590, {0x43, 0x08, 0x10, 0x00, 'S', 'T', 'R', 'Y'});
    EXPECT_EQ(cell(3, 1), "STRY");
}

TEST_F(DecoderTest, AnAnswerFromNodeZeroTakesNoFreeRow) {
    frame(0x585, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0, 0});
    frame(0x580, {0x43, 0x08, 0x10, 0x00, 'Z', 'E', 'R', 'O'});
    frame(0x580, {0x43, 0x18, 0x10, 0x03, 1, 2, 3, 4});
    EXPECT_EQ(CanNodeSearch::searchRow, 1);
    EXPECT_EQ(cell(3, 1), "ZERO");  // where searchRow pointed
    frame(0x586, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0, 0});
    ASSERT_EQ(grid.rowCount(), 3);
    EXPECT_EQ(cell(0, 2), "6");
    EXPECT_EQ(CanNodeSearch::rowNodes[2], 6);
}

TEST_F(DecoderTest, ANewDeviceAfterADetailOfAnEarlierOneTakesTheNextRowAndEndsTheList) {
    frame(0x581, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0, 0});
    frame(0x582, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0, 0});
    frame(0x582, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0, 0});  // lastNode: dropped
    frame(0x581, {0x43, 0x08, 0x10, 0x00, 'O', 'N', 'E', 0});  // searchRow back to 1
    frame(0x583, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0, 0});
    // Row 2 is taken again, as the window's grid always did, and the values agree.
    ASSERT_EQ(grid.rowCount(), 3);
    EXPECT_EQ(cell(0, 2), "3");
    ASSERT_EQ(search.devices().size(), 2u);
    EXPECT_EQ(search.devices()[0].name, "ONE");
    EXPECT_EQ(search.devices()[1].node, 3);
}

TEST_F(DecoderTest, NoRowBeyond128AndTheNewestRowStaysInView) {
    for (int i = 0; i < 140; ++i) {
        // Alternate two nodes so the lastNode rule lets every frame through.
        frame(i % 2 == 0 ? 0x581 : 0x582, {0x43, 0x00, 0x10, 0x00, 0x96, 0x01, 0, 0});
    }
    EXPECT_EQ(grid.rowCount(), 129);
    EXPECT_EQ(CanNodeSearch::searchRow, 128);
    EXPECT_EQ(grid.topRow(), 129 - 20);
}

TEST(CanSearch, DevicesOnlyAt125AreFoundStartingFrom50) {
    test::CanSim sim;
    Tbootloader::resetSharedState();
    CanNodeSearch::resetState();
    sim::SimDeviceConfig a;
    a.node = 3;
    a.name = "ENC";
    sim::SimDeviceConfig b;
    b.node = 40;
    b.startsInBootloader = true;
    b.bootVersion = 2;
    b.product = 'E';
    sim.addDevice(a);
    sim.addDevice(b);
    Tbootloader session(sim.ts.services);
    ASSERT_EQ(session.canComm->SelectBoard(), 1);
    ui::PlainStringGrid grid(8, 2, 20);
    ui::PlainProgressBar gauge;
    ui::PlainComboBox baud;
    baud.setItems({baudListItems().begin(), baudListItems().end()});
    baud.setItemIndex(2);
    ui::PlainButton search(true), download(false);
    DeviceGrid view(grid);
    CanNodeSearch s(session, {gauge, baud, {&search, &download}, &view});
    TCANComm::SetReceiveHandler(s.receiveHandler());
    session.AddNode(99);
    s.button_can_searchClick();

    EXPECT_EQ(baud.itemIndex(), 4);
    EXPECT_EQ(baud.items()[4], "  125 kBit/s");
    EXPECT_EQ(TCANComm::GetBaudIndex(), 4);
    EXPECT_EQ(session.GetNodeId(), 1);
    EXPECT_EQ(session.GetNode(0), 0);  // the search empties nodeList
    ASSERT_EQ(grid.rowCount(), 3);
    EXPECT_EQ(grid.cell(0, 1), "3");
    EXPECT_EQ(grid.cell(1, 1), " Encoder [406]");
    EXPECT_EQ(grid.cell(2, 1), "MultiTurn absolute rotary encoder [2]");
    EXPECT_EQ(grid.cell(3, 1), "ENC");
    EXPECT_EQ(grid.cell(4, 1), "01.02");
    EXPECT_EQ(grid.cell(5, 1), "H1");
    EXPECT_EQ(grid.cell(6, 1), "S1");
    EXPECT_EQ(grid.cell(0, 2), "40");
    EXPECT_EQ(grid.cell(1, 2), "Bootloader V.2.498 Inkra");
    EXPECT_EQ(gauge.position(), 127);
    // The same as values, for callers without a grid.
    ASSERT_EQ(s.devices().size(), 2u);
    const FoundDevice& encoder = s.devices()[0];
    EXPECT_EQ(encoder.node, 3);
    EXPECT_EQ(encoder.kbit, 125);
    EXPECT_EQ(encoder.baudIndex, 4);
    EXPECT_FALSE(encoder.bootloaderMode);
    EXPECT_EQ(encoder.name, "ENC");
    EXPECT_EQ(encoder.revision, "01.02");
    EXPECT_EQ(encoder.hardwareVersion, "H1");
    EXPECT_EQ(encoder.softwareVersion, "S1");
    const FoundDevice& loader = s.devices()[1];
    EXPECT_EQ(loader.node, 40);
    EXPECT_TRUE(loader.bootloaderMode);
    EXPECT_EQ(loader.deviceType, "Bootloader V.2.498 Inkra");
    EXPECT_TRUE(search.isEnabled());
    EXPECT_TRUE(download.isEnabled());
    EXPECT_FALSE(TCANComm::receiveForward);
}

TEST(CanSearch, WithoutAGridTheDevicesAreStillHandedOver) {
    test::CanSim sim;
    Tbootloader::resetSharedState();
    CanNodeSearch::resetState();
    sim::SimDeviceConfig a;
    a.node = 9;
    a.kbit = 500;
    sim.addDevice(a);
    Tbootloader session(sim.ts.services);
    ASSERT_EQ(session.canComm->SelectBoard(), 1);
    ui::PlainProgressBar gauge;
    ui::PlainComboBox baud;
    baud.setItems({baudListItems().begin(), baudListItems().end()});
    baud.setItemIndex(4);
    CanNodeSearch s(session, {gauge, baud, {}, nullptr});
    TCANComm::SetReceiveHandler(s.receiveHandler());
    s.button_can_searchClick();
    ASSERT_EQ(s.devices().size(), 1u);
    EXPECT_EQ(s.devices()[0].node, 9);
    EXPECT_EQ(s.devices()[0].kbit, 500);
    // A second search starts from nothing.
    s.clearDevices();
    EXPECT_TRUE(s.devices().empty());
}

TEST(CanSearch, ALateAnswerToTheLastRequestsCountsForTheRateItWasAskedAt) {
    // Node 127 is asked last; its answers come 20 ms later, inside the pause that ends
    // the scan. They belong to this rate, not to the next one the search would try.
    test::CanSim sim;
    Tbootloader::resetSharedState();
    CanNodeSearch::resetState();
    sim::SimDeviceConfig late;
    late.node = 127;
    late.answerDelayUs = 20000;
    sim.addDevice(late);
    Tbootloader session(sim.ts.services);
    ASSERT_EQ(session.canComm->SelectBoard(), 1);
    ui::PlainStringGrid grid(8, 2, 20);
    ui::PlainProgressBar gauge;
    ui::PlainComboBox baud;
    baud.setItems({baudListItems().begin(), baudListItems().end()});
    baud.setItemIndex(4);
    DeviceGrid view(grid);
    CanNodeSearch s(session, {gauge, baud, {}, &view});
    TCANComm::SetReceiveHandler(s.receiveHandler());
    s.button_can_searchClick();

    EXPECT_EQ(baud.itemIndex(), 4);
    EXPECT_EQ(TCANComm::GetBaudIndex(), 4);
    ASSERT_EQ(grid.rowCount(), 2);
    EXPECT_EQ(grid.cell(0, 1), "127");
}

TEST(CanSearch, NobodyAnsweringMeansNinePassesAndTheListBackWhereItStarted) {
    test::CanSim sim;
    Tbootloader::resetSharedState();
    CanNodeSearch::resetState();
    Tbootloader session(sim.ts.services);
    ASSERT_EQ(session.canComm->SelectBoard(), 1);
    ui::PlainStringGrid grid(8, 4, 20);
    grid.setCell(3, 2, "old");
    ui::PlainProgressBar gauge;
    ui::PlainComboBox baud;
    baud.setItems({baudListItems().begin(), baudListItems().end()});
    baud.setItemIndex(5);
    DeviceGrid view(grid);
    CanNodeSearch s(session, {gauge, baud, {}, &view});
    int64_t start = sim.ts.clock.nowMs();
    s.button_can_searchClick();
    EXPECT_GE(sim.ts.clock.nowMs() - start, 9 * 1270);
    EXPECT_EQ(baud.itemIndex(), 5);
    EXPECT_EQ(TCANComm::GetBaudIndex(), 4);  // the rate tried last
    EXPECT_EQ(grid.rowCount(), 4);           // kept, but emptied
    EXPECT_EQ(grid.cell(3, 2), "");
}

}  // namespace
}  // namespace romtide::canui
