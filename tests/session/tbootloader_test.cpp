// The session's class-wide values, node list, pauses and update files.
#include <gtest/gtest.h>

#include <filesystem>

#include "session/tbootloader.h"
#include "session/update_files.h"
#include "support/fakes.h"

namespace romtide {
namespace {

class Session : public ::testing::Test {
  protected:
    void SetUp() override { Tbootloader::resetSharedState(); }
    test::TestServices ui;
    Tbootloader session{ui.services};
};

TEST_F(Session, NodeIdsOutsideOneTo128AreRefusedAndChangeNothing) {
    EXPECT_EQ(session.GetNodeId(), 1);
    EXPECT_EQ(session.GetSdoId(), 0x601);
    EXPECT_EQ(session.SetNodeId(5), 0);
    for (int bad : {0, 129, -1, 255}) {
        EXPECT_EQ(session.SetNodeId(bad), -1);
        EXPECT_EQ(session.GetNodeId(), 5);
        EXPECT_EQ(session.GetSdoId(), 0x605);
    }
    EXPECT_EQ(session.SetNodeId(128), 0);
    EXPECT_EQ(session.GetSdoId(), 0x680);
}

TEST_F(Session, ValuesSetThroughOneObjectAreSeenThroughEveryOther) {
    Tbootloader dialogSession(ui.services);
    dialogSession.SetNodeId(42);
    dialogSession.AddNode(7);
    EXPECT_EQ(session.GetNodeId(), 42);
    EXPECT_EQ(session.GetNode(0), 7);
    session.Cancel();
    EXPECT_EQ(Tbootloader::attemptCount, 100);
}

TEST_F(Session, TheNodeListKeepsOrderRefusesDuplicatesAndEndsAt127) {
    EXPECT_EQ(session.AddNode(3), 0);
    EXPECT_EQ(session.AddNode(3), 0);
    EXPECT_EQ(session.AddNode(0), 0) << "adding 0 changes nothing";
    EXPECT_EQ(session.GetNode(0), 3);
    EXPECT_EQ(session.GetNode(1), 0);

    for (int n = 1; n <= 127; ++n) {
        EXPECT_EQ(session.AddNode(static_cast<uint8_t>(n)), 0) << n;
    }
    EXPECT_EQ(session.AddNode(200), -1) << "the 128th distinct entry";
    EXPECT_EQ(Tbootloader::nodeList[127], 0) << "the last byte always stays 0";
    EXPECT_EQ(session.GetNode(126), 127);
    EXPECT_EQ(session.GetNode(127), 255);
    EXPECT_EQ(session.GetNode(-1), 255);
    // A full list: removing an absent node walks the whole list.
    EXPECT_EQ(session.RemoveNode(200), -1);
    EXPECT_EQ(session.RemoveNode(127), 0);
    EXPECT_EQ(session.GetNode(126), 0);
}

TEST_F(Session, RemovingMovesTheFollowingEntriesForward) {
    for (uint8_t n : {9, 4, 6}) {
        session.AddNode(n);
    }
    EXPECT_EQ(session.RemoveNode(9), 0);
    EXPECT_EQ(session.GetNode(0), 4);
    EXPECT_EQ(session.GetNode(1), 6);
    EXPECT_EQ(session.GetNode(2), 0);
    EXPECT_EQ(session.RemoveNode(55), 0) << "not listed";
    EXPECT_EQ(session.RemoveNode(6), 0);
    EXPECT_EQ(session.RemoveNode(4), 0);
    EXPECT_EQ(session.GetNode(0), 0);
    // The work-queue use of the download windows.
    for (uint8_t n : {1, 2, 3}) {
        session.AddNode(n);
    }
    std::vector<int> order;
    while (session.GetNode(0) != 0) {
        order.push_back(session.GetNode(0));
        session.RemoveNode(session.GetNode(0));
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(Session, WaitSleepsInFiftyMillisecondStepsLettingEventsRun) {
    struct Case {
        int ms;
        int64_t lasts;
    };
    for (Case c : {Case{0, 0}, Case{1, 50}, Case{10, 50}, Case{50, 50}, Case{100, 100},
                   Case{101, 150}, Case{200, 200}}) {
        int64_t start = ui.clock.nowMs();
        int pumpsBefore = ui.pump.calls;
        session.Wait(c.ms);
        EXPECT_EQ(ui.clock.nowMs() - start, c.lasts) << c.ms;
        EXPECT_EQ(ui.pump.calls - pumpsBefore, c.lasts / 50) << c.ms;
    }
    // A click during the wait is handled inside it.
    bool clicked = false;
    ui.pump.at(ui.clock.nowMs() + 120, [&] { clicked = true; });
    session.Wait(100);
    EXPECT_FALSE(clicked);
    session.Wait(50);
    EXPECT_TRUE(clicked);
}

TEST(UpdateFiles, ProductsByLetterAndByCode) {
    auto d = updateProductByLetter('D');
    ASSERT_TRUE(d);
    EXPECT_EQ(d->code, 497);
    EXPECT_STREQ(d->updaterFile, "Update/Update/Update497.mhx");
    EXPECT_STREQ(d->bootloaderFile, "Update/Bootloader/497.mhx");
    auto g = updateProductByLetter('G');
    ASSERT_TRUE(g);
    EXPECT_STREQ(g->updaterFile, "Update/Update/Update387s.mhx");
    EXPECT_STREQ(g->bootloaderFile, "Update/Bootloader/387s.mhx");
    EXPECT_FALSE(updateProductByLetter('C'));
    EXPECT_FALSE(updateProductByLetter('H'));
    EXPECT_EQ(updateProductByCode(387)->letter, 'F');
    EXPECT_EQ(updateProductByCode(498)->letter, 'E');
    EXPECT_FALSE(updateProductByCode(0)) << "'G' has no selectable code";
    EXPECT_FALSE(updateProductByCode(2));
}

TEST(UpdateFiles, TheyLieBesideTheRunningProgram) {
    auto exe = std::filesystem::canonical("/proc/self/exe");
    EXPECT_EQ(executableFolder(), exe.parent_path().string());
    EXPECT_EQ(besideProgram("Update/Update/Update497.mhx"),
              exe.parent_path().string() + "/Update/Update/Update497.mhx");
}

}  // namespace
}  // namespace romtide
