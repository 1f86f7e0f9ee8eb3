// The user-interface thread's event pump. Long operations run inside button and timer
// handlers and stay responsive by letting pending events run inside their waits
// (processPending); other threads hand work to the user-interface thread with post.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

namespace romtide::ui {

class EventPump {
  public:
    virtual ~EventPump() = default;
    // Runs the events that are pending now, on the calling (user-interface) thread.
    virtual void processPending() = 0;
    // Thread-safe: `fn` runs later on the user-interface thread, in posting order.
    virtual void post(std::function<void()> fn) = 0;
};

// A plain FIFO of posted functions, drained by processPending. Used by the terminal
// front end and as the base of the test pumps.
class QueuedEventPump : public EventPump {
  public:
    void processPending() override;
    void post(std::function<void()> fn) override;
    size_t pendingCount() const;

  private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
};

}  // namespace romtide::ui
