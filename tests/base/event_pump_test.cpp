#include <gtest/gtest.h>

#include <thread>
#include <vector>

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

}  // namespace
}  // namespace romtide::ui
