// Watched channels and the other places where the board and the library run at once:
// the channel watch and notifier threads, the report ring, the input copy handshake.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "nuboxlink/channel/dpem_channel.h"
#include "support/eventually.h"
#include "tests/nuboxlink/rig.h"

namespace nuboxlink_test {
namespace {

using namespace std::chrono_literals;

std::atomic<int> g_calls{0};
std::atomic<uint32_t> g_user{0};
std::atomic<int> g_device{-1}, g_channel{-1};

void onReport(uint8_t device, uint8_t channel, uint32_t user) {
    g_device = device;
    g_channel = channel;
    g_user = user;
    ++g_calls;
}

using romtide::test::eventually;

struct WatchRig : DpemRig {
    WatchRig() : DpemRig(/*virtualTime=*/false) { g_calls = 0; }
    nuboxlink::CDpemIsa& channel0() {
        return static_cast<nuboxlink::CDpemIsa&>(*lib->board(0)->channel(0));
    }
};

TEST(WatchMailbox, CallsBackWhileReportsAreQueued) {
    WatchRig rig;
    ASSERT_EQ(rig.lib->watchMailbox(0, 0, onReport, 0xABCD, 5), 0);
    ASSERT_EQ(rig.lib->dpemWriteCommand(0, 0, rig.block(0x21).data()), 0);
    ASSERT_TRUE(eventually([] { return g_calls.load() > 0; }));
    EXPECT_EQ(g_device, 0);
    EXPECT_EQ(g_channel, 0);
    EXPECT_EQ(g_user, 0xABCDu);
    // The watch took the report from the DPR; GetReport hands it out of the ring.
    uint8_t report[256];
    ASSERT_EQ(rig.lib->dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[0], 0x21 + 0xC0);
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 7);
    // Nothing queued: the callbacks stop.
    std::this_thread::sleep_for(20ms);
    const int calls = g_calls;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(g_calls, calls);
    EXPECT_EQ(rig.lib->stopWatchThread(0, 0), 0);
}

TEST(WatchMailbox, StartAndStopAnswerTheDocumentedCodes) {
    WatchRig rig;
    EXPECT_EQ(rig.lib->watchMailbox(16, 0, onReport, 0, 10), 1);
    EXPECT_EQ(rig.lib->watchMailbox(1, 0, onReport, 0, 10), 3);
    EXPECT_EQ(rig.lib->watchMailbox(0, 4, onReport, 0, 10), 2);
    EXPECT_EQ(rig.lib->watchMailbox(0, 1, onReport, 0, 10), 3);
    EXPECT_EQ(rig.lib->watchMailbox(0, 0, nullptr, 0, 10), 5);
    EXPECT_EQ(rig.lib->stopWatchThread(0, 0), 5);
    ASSERT_EQ(rig.lib->watchMailbox(0, 0, onReport, 0, 10), 0);
    EXPECT_EQ(rig.lib->watchMailbox(0, 0, onReport, 0, 10), 4);
    EXPECT_EQ(rig.lib->stopWatchThread(0, 0), 0);
    EXPECT_EQ(rig.lib->stopWatchThread(0, 0), 5);
    EXPECT_EQ(rig.lib->watchMailbox(0, 0, onReport, 0, 10), 0);  // can start again
}

TEST(WatchMailbox, SeventeenReportsQueueSixteenAndLeaveOneInTheDpr) {
    WatchRig rig;
    ASSERT_EQ(rig.lib->watchMailbox(0, 0, onReport, 0, 100), 0);
    for (uint8_t i = 1; i <= 17; ++i) {
        rig.board.postReport(0, std::vector<uint8_t>{0x99, i});
    }
    ASSERT_TRUE(eventually([&] { return rig.board.pendingReports(0) == 0; }));
    ASSERT_TRUE(eventually([&] { return rig.channel0().queuedReports() == 16; }));
    // The firmware put the 17th into the mailbox; with the ring full it stays there.
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(rig.channel0().queuedReports(), 16u);
    EXPECT_EQ(rig.board.pendingReports(0), 0u);
    uint8_t report[256];
    for (uint8_t i = 1; i <= 17; ++i) {
        ASSERT_TRUE(eventually([&] { return rig.lib->dpemGetReport(0, 0, report) == 0; }));
        EXPECT_EQ(report[1], i);
    }
    EXPECT_EQ(rig.lib->dpemGetReport(0, 0, report), 7);
}

TEST(WatchMailbox, ResetStopsTheWatchAndTheCallbacks) {
    WatchRig rig;
    ASSERT_EQ(rig.lib->watchMailbox(0, 0, onReport, 0, 2), 0);
    for (uint8_t i = 0; i < 3; ++i) {
        rig.board.postReport(0, std::vector<uint8_t>{0x99, i});
    }
    ASSERT_TRUE(eventually([] { return g_calls.load() > 0; }));
    EXPECT_EQ(rig.lib->resetDevice(0, 0), 0);
    const int calls = g_calls;
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(g_calls, calls);
    EXPECT_EQ(rig.lib->stopWatchThread(0, 0), 3);
}

TEST(WatchMailbox, ClosingABoardWithARunningWatchWaitsBeforeClosingTheHandle) {
    WatchRig rig;
    ASSERT_EQ(rig.lib->watchMailbox(0, 0, onReport, 0, 10), 0);
    auto start = std::chrono::steady_clock::now();
    rig.lib->board(0)->Close();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_FALSE(rig.channel0().watching());
}

TEST(DeviceLocks, BoardsAreUsedInParallelWhileBoardManagementRuns) {
    Rig rig(/*virtualTime=*/false);
    rig.addPci(0, 0, 0x42);
    rig.addPci(1, 1, 0x43);
    rig.channel(0, 0, NUBOX_CHANNEL_DPEM, 1000);
    rig.channel(1, 0, NUBOX_CHANNEL_DPEM, 1000);
    rig.platform.startFirmwareThread();
    ASSERT_EQ(rig.init(0b11), 0);
    std::atomic<bool> failed{false};
    auto user = [&](uint8_t device) {
        std::vector<uint8_t> block(256, 0);
        block[0] = 0x21;
        block[1] = device;
        int confirmed = 0;
        uint8_t data[20] = {device}, back[20], report[256];
        auto end = std::chrono::steady_clock::now() + 3s;
        while (confirmed < 50 && std::chrono::steady_clock::now() < end) {
            uint8_t r = rig.lib->dpemWriteCommand(device, 0, block.data());
            failed = failed || (r != 0 && r != 6);
            while (rig.lib->dpemGetReport(device, 0, report) == 0) {
                failed = failed || report[1] != device;
                ++confirmed;
            }
            failed = failed || rig.lib->dpemWriteOutputData(device, 0, data, 0, 20, 1) != 0;
            failed = failed || rig.lib->dpemReadInputData(device, 0, back, 0, 20, 1) != 0;
        }
        failed = failed || confirmed < 50;
    };
    std::thread a(user, 0), b(user, 1);
    std::thread manager([&] {
        for (int i = 0; i < 20; ++i) {
            DeviceInfo info{};
            uint8_t out[5];
            failed = failed || rig.lib->getDeviceInfo(static_cast<uint8_t>(i % 3), &info) != 0;
            rig.lib->attachedDevices(0x60, out);
        }
    });
    a.join();
    b.join();
    manager.join();
    EXPECT_FALSE(failed);
}

// A callback that calls back into the library, as applications do.
TEST(WatchMailbox, ConcurrentCommandsAndCallbacksKeepEveryReport) {
    WatchRig rig;
    std::atomic<int> taken{0};
    struct Ctx {
        nuboxlink::Library* lib;
        std::atomic<int>* taken;
    };
    static Ctx* ctx;
    Ctx c{rig.lib.get(), &taken};
    ctx = &c;
    auto callback = [](uint8_t device, uint8_t channel, uint32_t) {
        uint8_t report[256];
        while (ctx->lib->dpemGetReport(device, channel, report) == 0) {
            ++*ctx->taken;
        }
    };
    ASSERT_EQ(rig.lib->watchMailbox(0, 0, callback, 0, 1), 0);
    int written = 0;
    auto end = std::chrono::steady_clock::now() + 3s;
    while (written < 200 && std::chrono::steady_clock::now() < end) {
        uint8_t r = rig.lib->dpemWriteCommand(0, 0, rig.block(0x21).data());
        if (r == 0) {
            ++written;
        } else {
            ASSERT_EQ(r, 6);
        }
    }
    ASSERT_EQ(written, 200);
    EXPECT_TRUE(eventually([&] { return taken.load() == 200; }));
    EXPECT_EQ(rig.lib->stopWatchThread(0, 0), 0);
}

TEST(DpemProcessData, ReadRepeatsWhileTheBoardUpdatesTheCallersStation) {
    DpemRig rig;
    rig.board.updateInput(0, 9, 0, {1, 1, 1, 1});
    rig.board.beginInputUpdate(0, 9);
    std::thread board([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rig.board.finishInputUpdate(0, 0, {2, 2, 2, 2});
    });
    std::vector<uint8_t> in(4);
    EXPECT_EQ(rig.lib->dpemReadInputData(0, 0, in.data(), 0, 4, 9), 0);
    board.join();
    EXPECT_EQ(in, (std::vector<uint8_t>{2, 2, 2, 2}));
}

TEST(DpemProcessData, ReadNeverReturnsATornCopyWhileTheBoardKeepsWriting) {
    DpemRig rig;
    rig.board.updateInput(0, 0x7F, 0, std::vector<uint8_t>(20, 0));
    std::atomic<bool> stop{false};
    std::thread board([&] {
        for (uint8_t v = 0; !stop.load(); ++v) {
            rig.board.updateInput(0, 0x7F, 0, std::vector<uint8_t>(20, v));
        }
    });
    for (int i = 0; i < 2000; ++i) {
        uint8_t in[20];
        ASSERT_EQ(rig.lib->dpemReadInputData(0, 0, in, 0, 20, 3), 0);
        for (uint8_t b : in) {
            ASSERT_EQ(b, in[0]) << "torn copy at read " << i;
        }
    }
    stop = true;
    board.join();
}

TEST(DpemProcessData, ABoardStuckInTheCallersUpdateFailsTheReadAfterASecond) {
    DpemRig rig(/*virtualTime=*/false);
    rig.board.beginInputUpdate(0, 9);
    uint8_t in[4];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.lib->dpemReadInputData(0, 0, in, 0, 4, 9), 5);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace nuboxlink_test
