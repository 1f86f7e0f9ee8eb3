#include <gtest/gtest.h>

#include <string>
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

}  // namespace
}  // namespace romtide
