#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"

namespace romtide {
namespace {

TEST(VirtualClock, RunsDueEventsInTimeThenSchedulingOrderWithTheClockAtTheirTime) {
    VirtualClock clock;
    std::vector<std::string> log;
    clock.scheduleAtUs(3000, [&] { log.push_back("c@" + std::to_string(clock.nowUs())); });
    clock.scheduleAtUs(1000, [&] { log.push_back("a@" + std::to_string(clock.nowUs())); });
    clock.scheduleAtUs(1000, [&] { log.push_back("b@" + std::to_string(clock.nowUs())); });
    clock.scheduleAtUs(9000, [&] { log.push_back("late"); });

    clock.sleepMs(5);

    EXPECT_EQ(log, (std::vector<std::string>{"a@1000", "b@1000", "c@3000"}));
    EXPECT_EQ(clock.nowUs(), 5000);
    EXPECT_EQ(clock.pendingEvents(), 1u);
}

TEST(VirtualClock, EventsScheduledByEventsAndCancelledEvents) {
    VirtualClock clock;
    int chained = 0;
    clock.scheduleAfterUs(100, [&] {
        ++chained;
        clock.scheduleAfterUs(100, [&] { ++chained; });
    });
    auto dropped = clock.scheduleAfterUs(150, [&] { chained += 100; });
    EXPECT_TRUE(clock.cancel(dropped));
    EXPECT_FALSE(clock.cancel(dropped));

    clock.sleepUs(250);
    EXPECT_EQ(chained, 2);
    // Scheduling in the past never moves time backwards.
    clock.scheduleAtUs(0, [&] { EXPECT_EQ(clock.nowUs(), 250); });
    clock.sleepUs(0);
    EXPECT_EQ(clock.pendingEvents(), 0u);
}

// A wait for an answer: the virtual clock stops after the event that raised the wake-up,
// with the time at that event, and otherwise goes on to the deadline.
TEST(VirtualClock, ASleepUntilWokenEndsAtTheEventThatRaisedTheWakeup) {
    VirtualClock clock;
    Wakeup wakeup;
    std::vector<int64_t> ran;
    clock.scheduleAtUs(100, [&] { ran.push_back(clock.nowUs()); });
    clock.scheduleAtUs(250, [&] {
        ran.push_back(clock.nowUs());
        wakeup.raise();
    });
    clock.scheduleAtUs(250, [&] { ran.push_back(-1); });  // due with it, but after the raise
    EXPECT_TRUE(clock.sleepUntilUs(1000, wakeup));
    EXPECT_EQ(clock.nowUs(), 250);
    EXPECT_EQ(ran, (std::vector<int64_t>{100, 250}));

    // Still raised: a raise before the sleep is never lost, and time does not move.
    EXPECT_TRUE(clock.sleepUntilUs(1000, wakeup));
    EXPECT_EQ(clock.nowUs(), 250);

    wakeup.clear();
    EXPECT_FALSE(clock.sleepUntilUs(1000, wakeup));
    EXPECT_EQ(clock.nowUs(), 1000);
    EXPECT_EQ(ran.size(), 3u);
    // A deadline already passed never moves time back.
    EXPECT_FALSE(clock.sleepUntilUs(10, wakeup));
    EXPECT_EQ(clock.nowUs(), 1000);
}

TEST(SteadyClock, AWakeupFromAnotherThreadEndsTheSleepLongBeforeItsDeadline) {
    SteadyClock clock;
    Wakeup wakeup;
    const int64_t start = clock.nowUs();
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        wakeup.raise();
    });
    EXPECT_TRUE(clock.sleepUntilUs(start + 10'000'000, wakeup));
    other.join();
    EXPECT_LT(clock.nowUs() - start, 5'000'000);

    wakeup.clear();
    const int64_t again = clock.nowUs();
    EXPECT_FALSE(clock.sleepUntilUs(again + 20'000, wakeup));
    EXPECT_GE(clock.nowUs() - again, 20'000);
}

}  // namespace
}  // namespace romtide
