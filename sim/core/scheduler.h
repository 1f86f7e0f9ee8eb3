// The time the simulators live on: the virtual clock in tests (events run inside the
// sleeps of the code under test), or real time on a thread of their own for the
// headless program, the demo and the benchmark.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "base/clock.h"

namespace romtide::sim {

class SimScheduler {
  public:
    virtual ~SimScheduler() = default;
    virtual int64_t nowUs() const = 0;
    // Runs `fn` at `atUs` (or at once, in order, when that time has passed).
    virtual void at(int64_t atUs, std::function<void()> fn) = 0;
    // Microseconds to add to nowUs for a wall-clock time (trace time stamps).
    virtual int64_t wallOffsetUs() const { return 0; }
};

class VirtualScheduler final : public SimScheduler {
  public:
    explicit VirtualScheduler(VirtualClock& clock) : clock_(clock) {}
    int64_t nowUs() const override { return clock_.nowUs(); }
    void at(int64_t atUs, std::function<void()> fn) override {
        clock_.scheduleAtUs(atUs, std::move(fn));
    }

  private:
    VirtualClock& clock_;
};

// Events run on a thread of their own as they fall due. While an event runs, nowUs on
// that thread answers the time the event was due, as the virtual clock does: what the
// event schedules from "now" (a device's answer time, the next frame on a free wire)
// counts from when it should have happened, so the thread's own wake-up delays do not
// add up from one event to the next the way they would if they were the device's.
class RealTimeScheduler final : public SimScheduler {
  public:
    RealTimeScheduler();
    // Stops the thread; events not yet due are dropped.
    ~RealTimeScheduler() override;
    int64_t nowUs() const override;
    void at(int64_t atUs, std::function<void()> fn) override;
    int64_t wallOffsetUs() const override { return wallOffset_; }
    void stop();

  private:
    void run();

    SteadyClock steady_;
    int64_t wallOffset_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::multimap<int64_t, std::function<void()>> events_;
    bool stopping_ = false;
    std::thread thread_;
    std::thread::id runner_;    // the thread's id, set before it starts
    int64_t runningDueUs_ = 0;  // the running event's time; the thread's own
};

}  // namespace romtide::sim
