// A library thread that is stopped by its event and given at most a fixed time to end.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "nuboxlink/platform/platform.h"

namespace nuboxlink {

class WorkerThread {
  public:
    WorkerThread() = default;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    ~WorkerThread() { stop(3000); }

    // Runs `body`; false when the thread or its events could not be made.
    bool start(Platform& platform, std::function<void(Event& stop)> body);
    bool running() const { return thread_.joinable(); }
    // Signals the stop event and waits at most `timeoutMs` for the body to return. A body
    // that does not return in time (a callback that never comes back) is left to run
    // detached rather than blocking the caller for ever.
    void stop(int timeoutMs);
    bool onThisThread() const { return thread_.get_id() == std::this_thread::get_id(); }

  private:
    std::shared_ptr<Event> stop_;
    std::shared_ptr<Event> done_;
    std::thread thread_;
};

}  // namespace nuboxlink
