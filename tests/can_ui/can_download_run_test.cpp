// The download run against simulated devices on the virtual clock: the memo lines of
// every path, the product selection after a V1.0 bootloader, a cancel that ends the run
// while a connect that fails only skips its node, and what the device shows when it is
// identified again after its download.
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
                                "Slave 6 - left in its bootloader, without an application; a "
                                "new download repairs it",
                            }));
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(s.processed, 2);
    EXPECT_EQ(session.GetNode(0), 7);  // never reached
}

// After its download a device must come back as its application; what it shows then
// decides the node's result, with or without an expected version.
TEST_F(DownloadRunTest, TheDeviceIdentifiedAgainDecidesTheResult) {
    sim::FlashImage data;
    for (uint32_t i = 0; i < 64; ++i) {
        data[0x010000 + i] = static_cast<uint8_t>(i);
    }
    const std::string withVersion = sim::writeSrec(data, "APP VERSION=S2", 0x010000);
    // A last record cut short (no line end, wrong checksum): every unit is acknowledged,
    // but the bootloader cannot finish the stream and keeps running.
    const std::string cutShort = sim::writeSrec(data, "APP", std::nullopt) + "S2080100000102030AE7";
    struct Case {
        const char* what;
        std::string image;
        bool stale;
        bool silent;
        std::optional<std::string> expected;
        const char* line;
        int32_t result;
        std::optional<bool> verified;
        std::optional<std::string> after;
    };
    const Case cases[] = {
        {"verified", withVersion, false, false, "S2", "Slave 5 - okay", result::kOk, true, "S2"},
        {"no verdict asked", withVersion, false, false, std::nullopt, "Slave 5 - okay", result::kOk,
         std::nullopt, "S2"},
        {"stale", withVersion, true, false, "S2", "Slave 5 - unverified, software version S1",
         result::kUnverified, false, "S1"},
        {"never came back", withVersion, false, true, "S2",
         "Slave 5 - no answer after the download", result::kNotBack, false, std::nullopt},
        {"not committed", cutShort, false, false, std::nullopt, "Slave 5 - not committed",
         result::kNotCommitted, std::nullopt, std::nullopt},
    };
    std::string dir = ::testing::TempDir();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::CanSim bus("comeback");
        Tbootloader::resetSharedState();
        Tbootloader run{bus.ts.services};
        std::string path = dir + "/comeback.mhx";
        std::ofstream(path, std::ios::binary) << c.image;
        run.imageFile = TextFile::open(path);
        sim::SimDeviceConfig config;
        config.node = 5;
        config.kbit = 1000;
        config.eraseUs = 1000;
        config.staleVersion = c.stale;
        config.silentAfterDownload = c.silent;
        bus.addDevice(config);
        ASSERT_EQ(run.canComm->SelectBoard(), 1);
        TCANComm::SetBaudIndex(8);
        run.AddNode(5);
        ui::PlainMemo lines;
        DownloadRunHooks hooks{lines, progress, {}, {}, {}, {}, {}};
        std::optional<NodeResult> result;
        hooks.nodeFinished = [&](const NodeResult& r) { result = r; };
        Verification verification;
        verification.comeBackMs = 5000;
        verification.expected = c.expected;
        RunSummary s = runDownloadNodes(run, hooks, verification);
        ASSERT_TRUE(result);
        // A download that was not committed leaves the device in its bootloader.
        const bool left = c.result == result::kNotCommitted;
        EXPECT_EQ(result->left, left ? DeviceLeft::InBootloader : DeviceLeft::Untouched);
        ASSERT_EQ(lines.lines().size(), left ? 3u : 2u);
        EXPECT_EQ(lines.lines()[1], c.line);
        EXPECT_EQ(result->download, c.result);
        EXPECT_EQ(result->done, c.result == result::kOk);
        EXPECT_EQ(s.done, c.result == result::kOk ? 1 : 0);
        EXPECT_EQ(result->verified, c.verified);
        ASSERT_TRUE(result->after);
        const bool back = result->after->answered == Answered::Application;
        EXPECT_EQ(back ? std::optional(result->after->device.softwareVersion) : std::nullopt,
                  c.after);
        // A device that came back is not waited for; one that did not, the whole wait.
        if (back) {
            EXPECT_LT(result->after->ms, 100);
        } else {
            EXPECT_GE(result->after->ms, verification.comeBackMs);
            EXPECT_LT(result->after->ms, verification.comeBackMs + 500);
        }
    }
}

}  // namespace
}  // namespace romtide::canui
