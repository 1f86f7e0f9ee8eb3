#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/clock.h"
#include "ui/event_pump.h"

namespace romtide::ui {
namespace {

TEST(QueuedEventPump, PostedFromOtherThreadsRunOnTheCallerInPostingOrder) {
    QueuedEventPump pump;
    std::vector<int> seen;
    std::thread::id runner;
    std::thread producer([&] {
        for (int i = 0; i < 1000; ++i) {
            pump.post([&seen, &runner, i] {
                seen.push_back(i);
                runner = std::this_thread::get_id();
            });
        }
    });
    producer.join();
    pump.processPending();
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(seen[static_cast<size_t>(i)], i);
    }
    EXPECT_EQ(runner, std::this_thread::get_id());
}

TEST(QueuedEventPump, WorkPostedWhileRunningWaitsForTheNextRound) {
    // A handler that posts again must not keep a Wait from returning.
    QueuedEventPump pump;
    int runs = 0;
    std::function<void()> again = [&] {
        ++runs;
        pump.post(again);
    };
    pump.post(again);
    pump.processPending();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(pump.pendingCount(), 1u);
}

// The acknowledgement wait: the sleep ends when something is posted (here by an event of
// the simulation, as a frame delivery posts), and work already pending ends it at once.
TEST(QueuedEventPump, ASleepForWorkEndsWhenWorkIsPostedOrPendingAndOtherwiseAtTheDeadline) {
    VirtualClock clock;
    QueuedEventPump pump;
    int ran = 0;
    clock.scheduleAtUs(300, [&] { pump.post([&] { ++ran; }); });
    pump.sleepUntilWork(clock, 5000);
    EXPECT_EQ(clock.nowUs(), 300);
    EXPECT_EQ(ran, 0) << "the sleep only ends; the caller runs the work";
    pump.sleepUntilWork(clock, 5000);
    EXPECT_EQ(clock.nowUs(), 300) << "pending work ends the sleep at once";
    pump.processPending();
    EXPECT_EQ(ran, 1);
    pump.sleepUntilWork(clock, 5000);
    EXPECT_EQ(clock.nowUs(), 5000);
}

TEST(QueuedEventPump, APauseRunsWorkAsItArrivesAndLastsItsTime) {
    VirtualClock clock;
    QueuedEventPump pump;
    std::vector<int64_t> ranAt;
    for (int64_t at : {1000, 2500}) {
        clock.scheduleAtUs(at, [&] { pump.post([&] { ranAt.push_back(clock.nowUs()); }); });
    }
    pumpFor(pump, clock, 4000);
    EXPECT_EQ(ranAt, (std::vector<int64_t>{1000, 2500}));
    EXPECT_EQ(clock.nowUs(), 4000);
}

}  // namespace
}  // namespace romtide::ui
