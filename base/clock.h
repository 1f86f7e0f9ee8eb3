// Time seam: every wait, pause and time-out of the system goes through a Clock, so
// the same logic runs on real time in the program and on virtual time in tests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

namespace romtide {

// What ends a sleep before its time: another thread raises it when there is something
// for the sleeper to do (work posted to the user-interface thread). It stays raised
// until the sleeper clears it, so a raise that comes before the sleep is never lost.
class Wakeup {
  public:
    // Any thread.
    void raise();
    void clear();
    bool raised() const;
    // Blocks until raised or until the steady clock reads `steadyUs` (SteadyClock's
    // time); true when raised.
    bool waitUntilSteadyUs(int64_t steadyUs);

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool raised_ = false;
};

class Clock {
  public:
    virtual ~Clock() = default;
    // Monotonic time in microseconds; only differences mean anything.
    virtual int64_t nowUs() const = 0;
    virtual void sleepUs(int64_t us) = 0;
    // Sleeps until the clock reads `deadlineUs` or `wakeup` is raised, whichever comes
    // first; true when raised (it stays raised). A clock that cannot be woken sleeps to
    // the deadline.
    virtual bool sleepUntilUs(int64_t deadlineUs, Wakeup& wakeup);

    int64_t nowMs() const { return nowUs() / 1000; }
    void sleepMs(int64_t ms) { sleepUs(ms * 1000); }
};

// Real time: std::chrono::steady_clock and a real sleep.
class SteadyClock final : public Clock {
  public:
    int64_t nowUs() const override;
    void sleepUs(int64_t us) override;
    bool sleepUntilUs(int64_t deadlineUs, Wakeup& wakeup) override;
};

// Virtual time for tests and simulations. Nothing moves until someone sleeps; a sleep
// advances time and runs, in time order (and in scheduling order on ties), every event
// that falls due up to the wake-up time, with the clock standing at the event's time
// while it runs. A ten-second time-out thus costs no real time and always ends the same.
//
// Events run on the thread that sleeps, without the clock's lock held, so an event may
// schedule further events or read the time.
class VirtualClock final : public Clock {
  public:
    using Event = std::function<void()>;
    using EventId = uint64_t;

    explicit VirtualClock(int64_t startUs = 0) : now_(startUs) {}

    int64_t nowUs() const override;
    void sleepUs(int64_t us) override;
    // Runs the due events one at a time and stops after the one that raised `wakeup`
    // (a frame delivered, work posted), with the clock standing at that event's time;
    // otherwise goes on to the deadline. Raises that come from other threads are seen
    // between events.
    bool sleepUntilUs(int64_t deadlineUs, Wakeup& wakeup) override;

    EventId scheduleAtUs(int64_t atUs, Event fn);
    EventId scheduleAfterUs(int64_t delayUs, Event fn) {
        return scheduleAtUs(nowUs() + delayUs, std::move(fn));
    }
    // False when the event already ran or never existed.
    bool cancel(EventId id);
    // Runs every event due up to `atUs` and leaves the clock there (never backwards).
    void advanceToUs(int64_t atUs);
    // Runs events until none is left or time would pass `limitUs`; returns the count run.
    int runAllUntilUs(int64_t limitUs);
    size_t pendingEvents() const;

  private:
    bool runNextDue(int64_t untilUs);

    mutable std::mutex mutex_;
    int64_t now_;
    EventId nextId_ = 1;
    // Key: (due time, id) so ties run in scheduling order.
    std::map<std::pair<int64_t, EventId>, Event> events_;
};

}  // namespace romtide
