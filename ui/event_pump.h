// The user-interface thread's event pump. Long operations run inside button and timer
// handlers and stay responsive by letting pending events run inside their waits
// (processPending); other threads hand work to the user-interface thread with post.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "base/clock.h"

namespace romtide::ui {

class EventPump {
  public:
    virtual ~EventPump() = default;
    // Runs the events that are pending now, on the calling (user-interface) thread.
    virtual void processPending() = 0;
    // Thread-safe: `fn` runs later on the user-interface thread, in posting order.
    virtual void post(std::function<void()> fn) = 0;
    // Sleeps until work has been posted or `clock` reads `deadlineUs`, whichever comes
    // first, and returns at once when work is pending already. Window events (clicks,
    // repaints) may run inside; posted work may too, or wait for the processPending that
    // callers make after it. This is how a protocol waits for an answer: the receive
    // path posts the frame, which ends the sleep, instead of the wait looking again and
    // again.
    virtual void sleepUntilWork(Clock& clock, int64_t deadlineUs) = 0;
};

// Lets `us` pass on `clock`, running pending events as they arrive and once at the end:
// a pause that keeps the window responsive without looking at it on an interval.
void pumpFor(EventPump& pump, Clock& clock, int64_t us);

// A plain FIFO of posted functions, drained by processPending. Used by the terminal
// front end and as the base of the test pumps.
class QueuedEventPump : public EventPump {
  public:
    void processPending() override;
    void post(std::function<void()> fn) override;
    void sleepUntilWork(Clock& clock, int64_t deadlineUs) override;
    size_t pendingCount() const;

  private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    // Raised by post, cleared when processPending takes the queue.
    Wakeup work_;
};

}  // namespace romtide::ui
