#include "sim/core/scheduler.h"

#include <algorithm>
#include <chrono>

namespace romtide::sim {

RealTimeScheduler::RealTimeScheduler() {
    using namespace std::chrono;
    int64_t wall = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    wallOffset_ = wall - steady_.nowUs();
    std::lock_guard lock(mutex_);
    thread_ = std::thread([this] { run(); });
    runner_ = thread_.get_id();
}

RealTimeScheduler::~RealTimeScheduler() {
    stop();
}

void RealTimeScheduler::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

int64_t RealTimeScheduler::nowUs() const {
    if (std::this_thread::get_id() == runner_) {
        return runningDueUs_;
    }
    return steady_.nowUs();
}

void RealTimeScheduler::at(int64_t atUs, std::function<void()> fn) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        events_.emplace(atUs, std::move(fn));
    }
    changed_.notify_all();
}

void RealTimeScheduler::run() {
    std::unique_lock lock(mutex_);  // waits until the constructor has noted the thread
    while (!stopping_) {
        if (events_.empty()) {
            changed_.wait(lock);
            continue;
        }
        auto due = events_.begin()->first;
        int64_t now = steady_.nowUs();
        if (due > now) {
            changed_.wait_for(lock, std::chrono::microseconds(due - now));
            continue;
        }
        auto fn = std::move(events_.begin()->second);
        events_.erase(events_.begin());
        runningDueUs_ = std::max(runningDueUs_, due);  // never back in time
        lock.unlock();
        fn();
        lock.lock();
    }
}

}  // namespace romtide::sim
