#include "ui/event_pump.h"

namespace romtide::ui {

void pumpFor(EventPump& pump, Clock& clock, int64_t us) {
    const int64_t deadline = clock.nowUs() + us;
    do {
        pump.sleepUntilWork(clock, deadline);
        pump.processPending();
    } while (clock.nowUs() < deadline);
}

void QueuedEventPump::processPending() {
    // Only what is pending now runs: a handler that posts again (or a flood of frames
    // from the receive path) cannot keep a wait from returning.
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(queue_);
        // Under the queue's lock: work posted after the swap raises the wake-up again.
        work_.clear();
    }
    for (auto& fn : batch) {
        fn();
    }
}

void QueuedEventPump::post(std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    work_.raise();
}

void QueuedEventPump::sleepUntilWork(Clock& clock, int64_t deadlineUs) {
    clock.sleepUntilUs(deadlineUs, work_);
}

size_t QueuedEventPump::pendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

}  // namespace romtide::ui
