#include "ui/event_pump.h"

namespace romtide::ui {

void QueuedEventPump::processPending() {
    // Only what is pending now runs: a handler that posts again (or a flood from the
    // library thread) cannot keep a wait from returning.
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(queue_);
    }
    for (auto& fn : batch) {
        fn();
    }
}

void QueuedEventPump::post(std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
}

size_t QueuedEventPump::pendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

}  // namespace romtide::ui
