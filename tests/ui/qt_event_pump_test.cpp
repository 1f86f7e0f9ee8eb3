#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace romtide::ui
