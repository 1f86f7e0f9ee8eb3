// The download run against simulated devices on the virtual clock: the memo lines of
// every path, the product selection after a V1.0 bootloader, and a cancel that ends the
// run while a connect that fails only skips its node.
#include "can_ui/can_download_run.h"

#include <gtest/gtest.h>

#include <fstream>

#include "sim/core/srec.h"
#include "support/can_sim.h"

namespace romtide::canui {
namespace {

class DownloadRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Tbootloader::resetSharedState();
        std::string tmpl = ::testing::TempDir() + "canrunXXXXXX";
        std::string dir = ::mkdtemp(tmpl.data());
        sim::FlashImage image;
        for (uint32_t i = 0; i < 600; ++i) {
            image[0x010000 + i] = static_cast<uint8_t>(i);
        }
        test::ScriptedFileDialog dialog;
        dialog.answer = dir + "/run.mhx";
        std::ofstream(*dialog.answer) << sim::writeSrec(image, "RUN", 0x010000);
        ASSERT_EQ(session.OpenFile(dialog), 0);
        ASSERT_EQ(session.CheckFile(), 0);
    }
    void device(int node, int boot, char product) {
        sim::SimDeviceConfig c;
        c.node = node;
        c.kbit = 1000;
        c.bootVersion = boot;
        c.product = product;
        c.eraseUs = 1000;
        sim.addDevice(c);
    }
    void select() {
        ASSERT_EQ(session.canComm->SelectBoard(), 1);
        TCANComm::SetBaudIndex(8);
    }
    void TearDown() override { Tbootloader::resetSharedState(); }

    test::CanSim sim;
    Tbootloader session{sim.ts.services};
    ui::PlainMemo memo;
    ui::PlainProgressBar progress;
};

TEST_F(DownloadRunTest, EveryNodeGetsItsLinesAndLeavesTheList) {
    device(5, 3, 'D');
    device(6, 2, 'F');
    device(7, 0, 'E');
    select();
    for (uint8_t n : {5, 6, 7, 9}) {
        session.AddNode(n);
    }
    // Yes to both renewal questions (node 6 and node 7).
    sim.ts.messages.answers = {ui::MessageAnswer::Yes, ui::MessageAnswer::Yes};
    int products = 0;
    std::vector<int> doneShown;
    std::vector<NodeResult> results;
    DownloadRunHooks hooks{memo, progress, {}, {}, {}, {}, {}};
    hooks.chooseProduct = [&] {
        ++products;
        Tbootloader::selectedProduct = 498;
    };
    hooks.doneChanged = [&](int done) { doneShown.push_back(done); };
    hooks.nodeFinished = [&](const NodeResult& r) { results.push_back(r); };
    RunSummary s = runDownloadNodes(session, hooks);

    EXPECT_EQ(memo.lines(), (std::vector<std::string>{
                                "Slave 5 - bootloader connect ok",
                                "Slave 5 - okay",
                                "Slave 6 - bootloader update ok",
                                "Slave 6 - bootloader connect ok",
                                "Slave 6 - okay",
                                "Slave 7 - bootloader V1.0",
                                "Slave 7 - bootloader update ok",
                                "Slave 7 - bootloader connect ok",
                                "Slave 7 - okay",
                                "Slave 9 - bootloader connect error",
                                "Slave 9 - no connection to the bootloader",
                            }));
    EXPECT_EQ(products, 1);
    EXPECT_EQ(s.processed, 4);
    EXPECT_EQ(s.done, 3);
    EXPECT_FALSE(s.stopped);
    EXPECT_EQ(doneShown, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(session.GetNode(0), 0);
    ASSERT_EQ(results.size(), 4u);
    EXPECT_TRUE(results[3].skipped);
    EXPECT_EQ(results[3].connect, -4);
    EXPECT_EQ(sim.devices[2]->bootVersion(), 3);
}

TEST_F(DownloadRunTest, CancelDuringADownloadEndsTheRunCancelDuringAConnectSkipsTheNode) {
    device(5, 3, 'D');
    device(6, 3, 'D');
    select();
    session.AddNode(5);
    session.AddNode(6);
    // At 50 ms node 5 is resetting: the connect is cancelled and node 5 is skipped.
    sim.ts.pump.at(50, [this] { session.Cancel(); });
    // Node 6 connects from about 100 ms on and sends its units from about 500 ms.
    sim.ts.pump.at(550, [this] { session.Cancel(); });
    DownloadRunHooks hooks{memo, progress, {}, {}, {}, {}, {}};
    session.AddNode(7);
    RunSummary s = runDownloadNodes(session, hooks);
    EXPECT_EQ(memo.lines(), (std::vector<std::string>{
                                "Slave 5 - bootloader connect error",
                                "Slave 5 - no connection to the bootloader",
                                "Slave 6 - bootloader connect ok",
                                "Slave 6 - User has cancelled",
                            }));
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(s.processed, 2);
    EXPECT_EQ(session.GetNode(0), 7);  // never reached
}

}  // namespace
}  // namespace romtide::canui
