#include "base/clock.h"

#include <chrono>
#include <thread>

namespace romtide {

void Wakeup::raise() {
    {
        std::lock_guard lock(mutex_);
        raised_ = true;
    }
    changed_.notify_all();
}

void Wakeup::clear() {
    std::lock_guard lock(mutex_);
    raised_ = false;
}

bool Wakeup::raised() const {
    std::lock_guard lock(mutex_);
    return raised_;
}

bool Wakeup::waitUntilSteadyUs(int64_t steadyUs) {
    using namespace std::chrono;
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, steady_clock::time_point(microseconds(steadyUs)),
                               [this] { return raised_; });
}

bool Clock::sleepUntilUs(int64_t deadlineUs, Wakeup& wakeup) {
    if (!wakeup.raised()) {
        sleepUs(deadlineUs - nowUs());
    }
    return wakeup.raised();
}

int64_t SteadyClock::nowUs() const {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void SteadyClock::sleepUs(int64_t us) {
    if (us > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(us));
    }
}

bool SteadyClock::sleepUntilUs(int64_t deadlineUs, Wakeup& wakeup) {
    return wakeup.waitUntilSteadyUs(deadlineUs);
}

int64_t VirtualClock::nowUs() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void VirtualClock::sleepUs(int64_t us) {
    int64_t target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + (us > 0 ? us : 0);
    }
    advanceToUs(target);
}

bool VirtualClock::sleepUntilUs(int64_t deadlineUs, Wakeup& wakeup) {
    while (!wakeup.raised()) {
        if (!runNextDue(deadlineUs)) {
            advanceToUs(deadlineUs);
            return wakeup.raised();
        }
    }
    return true;
}

VirtualClock::EventId VirtualClock::scheduleAtUs(int64_t atUs, Event fn) {
    std::lock_guard lock(mutex_);
    EventId id = nextId_++;
    // An event scheduled in the past runs at the next opportunity, not back in time.
    events_.emplace(std::make_pair(atUs < now_ ? now_ : atUs, id), std::move(fn));
    return id;
}

bool VirtualClock::cancel(EventId id) {
    std::lock_guard lock(mutex_);
    for (auto it = events_.begin(); it != events_.end(); ++it) {
        if (it->first.second == id) {
            events_.erase(it);
            return true;
        }
    }
    return false;
}

bool VirtualClock::runNextDue(int64_t untilUs) {
    Event fn;
    {
        std::lock_guard lock(mutex_);
        auto it = events_.begin();
        if (it == events_.end() || it->first.first > untilUs) {
            return false;
        }
        if (it->first.first > now_) {
            now_ = it->first.first;
        }
        fn = std::move(it->second);
        events_.erase(it);
    }
    fn();
    return true;
}

void VirtualClock::advanceToUs(int64_t atUs) {
    while (runNextDue(atUs)) {
    }
    std::lock_guard lock(mutex_);
    if (atUs > now_) {
        now_ = atUs;
    }
}

int VirtualClock::runAllUntilUs(int64_t limitUs) {
    int count = 0;
    while (runNextDue(limitUs)) {
        ++count;
    }
    return count;
}

size_t VirtualClock::pendingEvents() const {
    std::lock_guard lock(mutex_);
    return events_.size();
}

}  // namespace romtide
