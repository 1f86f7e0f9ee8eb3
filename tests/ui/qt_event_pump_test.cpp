#include <gtest/gtest.h>

#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/clock.h"

#include "ui/qt/qt_event_pump.h"
#include "ui/qt_test_support.h"

namespace romtide::ui {
namespace {

class QtEventPumpTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::testApplication(); }
};

TEST_F(QtEventPumpTest, PostedWorkRunsInOrderInsideProcessPending) {
    QtEventPump pump;
    std::vector<int> ran;
    pump.post([&]() { ran.push_back(1); });
    pump.post([&]() { ran.push_back(2); });
    EXPECT_TRUE(ran.empty()) << "posting never runs work at once";
    pump.processPending();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST_F(QtEventPumpTest, WorkPostedByAHandlerWaitsForTheNextCall) {
    QtEventPump pump;
    int runs = 0;
    std::function<void()> again = [&]() {
        ++runs;
        pump.post(again);
    };
    pump.post(again);
    pump.processPending();
    EXPECT_EQ(runs, 1) << "a handler that posts again must not keep a wait from returning";
    pump.processPending();
    EXPECT_EQ(runs, 2);
}

// Frames arrive on the CAN library's thread and must be handled on the user-interface
// thread, in arrival order.
TEST_F(QtEventPumpTest, WorkPostedFromOtherThreadsRunsOnTheUserInterfaceThread) {
    QtEventPump pump;
    std::vector<int> ran;
    std::atomic<int> wrongThread{0};
    QThread* uiThread = QThread::currentThread();
    constexpr int kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t]() {
            for (int i = 0; i < kPerThread; ++i) {
                pump.post([&, t, i]() {
                    if (QThread::currentThread() != uiThread) {
                        ++wrongThread;
                    }
                    ran.push_back(t * kPerThread + i);
                });
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    pump.processPending();
    ASSERT_EQ(ran.size(), 2u * kPerThread);
    EXPECT_EQ(wrongThread.load(), 0);
    int last[2] = {-1, kPerThread - 1};
    for (int v : ran) {
        int t = v / kPerThread;
        EXPECT_GT(v, last[t]) << "one thread's posts keep their order";
        last[t] = v;
    }
}

TEST_F(QtEventPumpTest, WorkLeftWhenThePumpGoesIsDropped) {
    int runs = 0;
    {
        QtEventPump pump;
        pump.post([&]() { ++runs; });
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 0);
}

// The acknowledgement wait in the desktop program: window events (here a timer) run
// inside it without ending it; work posted from the receive thread ends it, long before
// its deadline; with nothing posted it lasts to the deadline.
TEST_F(QtEventPumpTest, ASleepForWorkRunsWindowEventsAndEndsWithPostedWork) {
    QtEventPump pump;
    SteadyClock clock;
    bool windowEvent = false;
    QTimer::singleShot(5, [&] { windowEvent = true; });
    bool ran = false;
    std::thread receiver([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        pump.post([&] { ran = true; });
    });
    const int64_t start = clock.nowUs();
    pump.sleepUntilWork(clock, start + 10'000'000);
    receiver.join();
    EXPECT_TRUE(windowEvent);
    EXPECT_TRUE(ran);
    EXPECT_GE(clock.nowUs() - start, 30'000) << "the window event alone did not end it";
    EXPECT_LT(clock.nowUs() - start, 5'000'000);

    const int64_t again = clock.nowUs();
    pump.sleepUntilWork(clock, again + 30'000);
    EXPECT_GE(clock.nowUs() - again, 30'000);
}

}  // namespace
}  // namespace romtide::ui
